// The statistics report over fake probes and the recording fake device.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "agent/context.h"
#include "agent/stats_report.h"
#include "support/fake_device.h"
#include "support/fake_probes.h"
#include "util/xalloc.h"

namespace {

// The fragments for the default fake figures.
const std::string kCpu = R"("cpu": {"ncpus": 4,"percent": 12.50})";
const std::string kMemory =
    R"("memory": {"mem_total": 8388608,"mem_free": 4194304,"swap_total": 9437184,"swap_free": 5242880})";
const std::string kDisk = R"("disk": {"used": 6,"free": 4,"total": 10,"unit": "kB"})";
const std::string kVolumes =
    R"("volumes": [{"paths": ["C:\\"],"volume": "\\\\?\\Volume{c}\\","label": "","fs": "NTFS",)"
    R"("used": 6,"free": 4,"total": 10}])";
const std::string kFull = "{" + kCpu + "," + kMemory + "," + kDisk + "}";

struct StatsReportTest : testing::Test {
    ctl_context ctx;
    StatsReportTest() {
        ctx.device = dev_init("fake");
        g_fake_probes = fake_probe_figures{};
    }
    ~StatsReportTest() override {
        dev_free(ctx.device);
        xfree(ctx.output.data);
    }

    // The reply to one request, which must be exactly one write.
    std::string reply(const char* selector) {
        ctx.device->writes.clear();
        EXPECT_EQ(send_stats(&ctx, selector), 0) << selector;
        EXPECT_EQ(ctx.device->writes.size(), 1u) << selector;
        return ctx.device->writes.empty() ? "" : ctx.device->writes.back();
    }
    int probe_calls() const {
        return g_fake_probes.cpu_calls + g_fake_probes.memory_calls + g_fake_probes.disk_calls +
               g_fake_probes.volume_calls;
    }
};

TEST_F(StatsReportTest, FragmentsStandInTheOrderCpuMemoryDiskWhateverTheLetters) {
    for (const char* selector : {"CMD", "DMC", "MDC", "DCM", "xCyMzD", "CMD\n", "DDMMCC"})
        EXPECT_EQ(reply(selector), kFull) << selector;
    for (const char* selector : {"CMDV", "VDMC", "xVyDMCV"})
        EXPECT_EQ(reply(selector), kFull.substr(0, kFull.size() - 1) + "," + kVolumes + "}")
            << selector;
}

TEST_F(StatsReportTest, SeparatorIsACommaExactlyWhenALaterFragmentFollows) {
    EXPECT_EQ(reply("C"), "{" + kCpu + " }");
    EXPECT_EQ(reply("M"), "{" + kMemory + " }");
    EXPECT_EQ(reply("D"), "{" + kDisk + "}");
    EXPECT_EQ(reply("DC"), "{" + kCpu + "," + kDisk + "}");
    EXPECT_EQ(reply("MC"), "{" + kCpu + "," + kMemory + " }");
    EXPECT_EQ(reply("DM"), "{" + kMemory + "," + kDisk + "}");
    EXPECT_EQ(reply("V"), "{" + kVolumes + "}");
    EXPECT_EQ(reply("VC"), "{" + kCpu + "," + kVolumes + "}");
    EXPECT_EQ(reply("VM"), "{" + kMemory + "," + kVolumes + "}");
    EXPECT_EQ(reply("VD"), "{" + kDisk + "," + kVolumes + "}");
}

TEST_F(StatsReportTest, RepeatedLettersGiveOneFragmentAndOneProbeCall) {
    EXPECT_EQ(reply("MM"), "{" + kMemory + " }");
    EXPECT_EQ(reply("CCC"), "{" + kCpu + " }");
    EXPECT_EQ(g_fake_probes.memory_calls, 1);
    EXPECT_EQ(g_fake_probes.cpu_calls, 1);  // one 2-second window per request
}

TEST_F(StatsReportTest, SelectorWithoutTheLettersGivesAnEmptyObject) {
    for (const char* selector : {"X", "cmdv", " ", "c;m;d", "\n"}) EXPECT_EQ(reply(selector), "{}");
    EXPECT_EQ(probe_calls(), 0);
}

TEST_F(StatsReportTest, EmptySelectorGetsNoReply) {
    EXPECT_EQ(send_stats(&ctx, ""), 0);
    EXPECT_EQ(send_stats(&ctx, nullptr), 0);
    EXPECT_TRUE(ctx.device->writes.empty());
    EXPECT_EQ(ctx.output.capacity, 0u);
    EXPECT_EQ(probe_calls(), 0);
}

TEST_F(StatsReportTest, FailedWriteIsReported) {
    ctx.device->fail_write_from = 0;
    EXPECT_EQ(send_stats(&ctx, "D"), -1);
    EXPECT_EQ(ctx.device->write_attempts, 1);
}

TEST_F(StatsReportTest, BufferGrowsFromNothingAndTheNextReplyCarriesNothingOfThePrevious) {
    EXPECT_EQ(reply("X"), "{}");
    EXPECT_EQ(ctx.output.capacity, 256u);  // "{" into an empty buffer: 1 + 255

    // Twenty-digit figures make a reply longer than the first 256 bytes.
    const std::uint64_t big = std::numeric_limits<std::uint64_t>::max();
    g_fake_probes.memory = {big, big, big, big};
    g_fake_probes.disk_total = g_fake_probes.disk_free = g_fake_probes.disk_used = big;
    std::string long_reply = reply("CMD");
    EXPECT_GT(long_reply.size(), 256u);
    std::uint32_t grown = ctx.output.capacity;
    EXPECT_GT(grown, long_reply.size());

    EXPECT_EQ(reply("X"), "{}");
    EXPECT_EQ(ctx.output.used, 2u);
    EXPECT_EQ(ctx.output.capacity, grown);  // reused, never shrunk
    for (std::uint32_t i = ctx.output.used; i < ctx.output.capacity; ++i)
        ASSERT_EQ(ctx.output.data[i], '\0') << "offset " << i;
}

// The shipped 32-bit program formats through the C runtime: 64-bit figures must print in full.
TEST_F(StatsReportTest, SixtyFourBitFiguresPrintInFull) {
    g_fake_probes.memory = {(1ull << 32) + 1, 1ull << 32, (1ull << 63) + 5,
                            std::numeric_limits<std::uint64_t>::max()};
    g_fake_probes.disk_used = 1ull << 63;
    g_fake_probes.disk_free = 0;
    g_fake_probes.disk_total = 10000000000000000000ull;
    EXPECT_EQ(reply("MD"),
              R"({"memory": {"mem_total": 4294967297,"mem_free": 4294967296,)"
              R"("swap_total": 9223372036854775813,"swap_free": 18446744073709551615},)"
              R"("disk": {"used": 9223372036854775808,"free": 0,"total": 10000000000000000000,)"
              R"("unit": "kB"}})");
}

TEST_F(StatsReportTest, PercentHasTwoDecimalsAndIsZeroWhenNotANumber) {
    const std::pair<double, const char*> cases[] = {
        {0.0, "0.00"},
        {100.0, "100.00"},
        {100.0 / 3, "33.33"},
        {99.999, "100.00"},
        {std::nan(""), "0.00"},  // no time elapsed between the samples
        {std::numeric_limits<double>::infinity(), "0.00"},
        {-std::numeric_limits<double>::infinity(), "0.00"},
    };
    for (const auto& [percent, shown] : cases) {
        g_fake_probes.percent = percent;
        EXPECT_EQ(reply("C"), std::string(R"({"cpu": {"ncpus": 4,"percent": )") + shown + "} }")
            << percent;
    }
}

TEST_F(StatsReportTest, CpuFragmentIsCutAt126Characters) {
    g_fake_probes.percent = 1e200;  // 201 digits
    std::string prefix = R"("cpu": {"ncpus": 4,"percent": )";
    std::string got = reply("C");
    ASSERT_EQ(got.size(), 1 + 126 + 1u);
    EXPECT_EQ(got.substr(0, 1 + prefix.size()), "{" + prefix);
    for (std::size_t i = 1 + prefix.size(); i < 127; ++i)
        ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(got[i]))) << got;
    EXPECT_EQ(got.back(), '}');
}

TEST_F(StatsReportTest, VolumesFragmentListsEachVolumeWithItsLetterPathsFirst) {
    using namespace std::string_literals;
    const std::string c_drive = R"("volume": "c","label": "","fs": "NTFS","used": 6,"free": 4,)"
                                R"("total": 10})";
    struct {
        const char* what;
        std::vector<fake_volume> volumes;
        std::string fragment;
    } cases[] = {
        {"no volume", {}, R"("volumes": [])"},
        {"no path, all figures 0", {{u""s, u"v"s, u""s, u""s, 0, 0, 0}},
         R"("volumes": [{"paths": [],"volume": "v","label": "","fs": "","used": 0,"free": 0,)"
         R"("total": 0}])"},
        {"mount folders after the letters",
         {{u"C:\\Data\\\0E:\\\0C:\\Logs\\\0D:\\\0"s, u"c"s, u""s, u"NTFS"s, 10, 4, 6}},
         R"("volumes": [{"paths": ["E:\\","D:\\","C:\\Data\\","C:\\Logs\\"],)" + c_drive + "]"},
        {"a letter's look-alikes are folders",
         {{u"C:\\x\0C:\0C:/\0\\\\?\\\0c:\\\0"s, u"c"s, u""s, u"NTFS"s, 10, 4, 6}},
         R"("volumes": [{"paths": ["c:\\","C:\\x","C:","C:/","\\\\?\\"],)" + c_drive + "]"},
        {"two volumes, label escaped, 20-digit figures",
         {{u"C:\\\0"s, u"c"s, u"\"Daten\""s, u"NTFS"s, 10, 4, 6},
          {u""s, u"v"s, u"€"s, u"ReFS"s, UINT64_MAX, 0, UINT64_MAX}},
         R"("volumes": [{"paths": ["C:\\"],"volume": "c","label": "\"Daten\"","fs": "NTFS",)"
         R"("used": 6,"free": 4,"total": 10},{"paths": [],"volume": "v","label": "€",)"
         R"("fs": "ReFS","used": 18446744073709551615,"free": 0,"total": 18446744073709551615}])"},
    };
    for (const auto& c : cases) {
        g_fake_probes.volumes = c.volumes;
        EXPECT_EQ(reply("V"), "{" + c.fragment + "}") << c.what;
    }
}

TEST(JsonNeedCommaTest, CommaWhenAnyOfTheLettersIsInTheSelector) {
    EXPECT_EQ(json_need_comma("CMD", "MD"), ',');
    EXPECT_EQ(json_need_comma("CD", "MD"), ',');
    EXPECT_EQ(json_need_comma("xDx", "MD"), ',');
    EXPECT_EQ(json_need_comma("C", "MD"), ' ');
    EXPECT_EQ(json_need_comma("Cmd", "MD"), ' ');
    EXPECT_EQ(json_need_comma("CMD", ""), ' ');
    EXPECT_EQ(json_need_comma("CMD", nullptr), ' ');
}

}  // namespace
