#include <gtest/gtest.h>

#include <string>

#include "agent/output_buffer.h"
#include "util/xalloc.h"

namespace {

struct OutputBufferTest : testing::Test {
    output_buffer out = {0, 0, nullptr};
    ~OutputBufferTest() override { xfree(out.data); }

    // Every byte after the used characters up to the capacity must be NUL.
    void expect_zero_tail() {
        for (std::uint32_t i = out.used; i < out.capacity; ++i)
            ASSERT_EQ(out.data[i], '\0') << "offset " << i;
    }
};

TEST_F(OutputBufferTest, FirstAddGrowsFromNothing) {
    output_add(&out, "{");
    EXPECT_EQ(out.used, 1u);
    EXPECT_EQ(out.capacity, 256u);
    EXPECT_STREQ(out.data, "{");
    expect_zero_tail();
}

TEST_F(OutputBufferTest, AbsentOrEmptyTextChangesNothing) {
    output_add(&out, nullptr);
    output_add(&out, "");
    EXPECT_EQ(out.capacity, 0u);
    EXPECT_EQ(out.data, nullptr);
    output_reset(&out);  // no storage yet: nothing to clear
    EXPECT_EQ(out.used, 0u);
}

TEST_F(OutputBufferTest, TextThatWouldExactlyFillGrowsAndKeepsRoomForTheNul) {
    output_add(&out, "{");
    std::string fill(255, 'a');  // used + len == capacity
    output_add(&out, fill.c_str());
    EXPECT_EQ(out.used, 256u);
    EXPECT_EQ(out.capacity, 256u + 255 + 255);
    EXPECT_EQ(std::string(out.data), "{" + fill);
    expect_zero_tail();

    output_reset(&out);
    output_add(&out, std::string(254, 'b').c_str());  // fits: 254 < 766
    EXPECT_EQ(out.capacity, 766u);
}

TEST_F(OutputBufferTest, ResetKeepsStorageAndForgetsTheLastReply) {
    output_add(&out, "{\"a long first reply\": 1}");
    std::uint32_t capacity = out.capacity;
    char* storage = out.data;
    output_reset(&out);
    EXPECT_EQ(out.used, 0u);
    EXPECT_EQ(out.capacity, capacity);
    EXPECT_EQ(out.data, storage);
    expect_zero_tail();

    output_add(&out, "{}");
    EXPECT_EQ(std::string(out.data, out.used), "{}");
    expect_zero_tail();
}

TEST_F(OutputBufferTest, ManyAddsKeepEveryCharacter) {
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        std::string piece = std::to_string(i) + ",";
        output_add(&out, piece.c_str());
        expected += piece;
    }
    EXPECT_EQ(std::string(out.data, out.used), expected);
    EXPECT_GT(out.capacity, out.used);
    expect_zero_tail();
}

}  // namespace
