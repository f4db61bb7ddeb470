#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "util/xalloc.h"

namespace {

TEST(XallocTest, StrdupMakesAPrivateCopy) {
    char original[] = "\\\\.\\pipe\\agent";
    char* copy = xstrdup(original);
    EXPECT_NE(copy, original);
    EXPECT_STREQ(copy, original);
    original[0] = 'x';
    EXPECT_EQ(copy[0], '\\');
    xfree(copy);

    char* empty = xstrdup("");
    EXPECT_STREQ(empty, "");
    xfree(empty);
}

TEST(XallocTest, ReallocKeepsContentsAndFreeIgnoresNull) {
    auto* block = static_cast<char*>(xmalloc(4));
    std::memcpy(block, "abc", 4);
    block = static_cast<char*>(xrealloc(block, 4096));
    EXPECT_STREQ(block, "abc");
    xfree(block);
    xfree(nullptr);
}

TEST(XallocDeathTest, ExhaustedMemoryEndsTheProcessWithStatus1) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Unanchored at the start: a sanitizer may warn before the message.
    const std::size_t too_much = SIZE_MAX - 64;
    EXPECT_EXIT(xmalloc(too_much), testing::ExitedWithCode(1), "malloc: memory exhausted\n$");
    EXPECT_EXIT(xrealloc(nullptr, too_much), testing::ExitedWithCode(1),
                "realloc: memory exhausted\n$");
}

}  // namespace
