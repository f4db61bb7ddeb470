#include <gtest/gtest.h>

#include <string>

#include "guest_report.h"

namespace {

std::string report(const std::string& cpu, const std::string& memory, const std::string& disk) {
    return "{\"cpu\": {" + cpu + "},\"memory\": {" + memory + "},\"disk\": {" + disk + "}}";
}

const std::string kCpu = "\"ncpus\": 8,\"percent\": 12.50";
const std::string kMemory =
    "\"mem_total\": 4,\"mem_free\": 3,\"swap_total\": 6,\"swap_free\": 5";
const std::string kDisk = "\"used\": 1,\"free\": 2,\"total\": 3,\"unit\": \"kB\"";

TEST(GuestReportTest, KibibytesBecomeBytesAndPercentARatio) {
    guest_figures got;
    std::string error;
    ASSERT_TRUE(parse_full_report(report(kCpu, kMemory, kDisk), &got, &error)) << error;
    EXPECT_EQ(got.cpu_count, 8u);
    EXPECT_DOUBLE_EQ(got.cpu_busy_ratio, 0.125);
    EXPECT_EQ(got.memory_total_bytes, 4096u);
    EXPECT_EQ(got.memory_available_bytes, 3072u);
    EXPECT_EQ(got.swap_total_bytes, 6144u);
    EXPECT_EQ(got.swap_free_bytes, 5120u);
    EXPECT_EQ(got.disk_used_bytes, 1024u);
    EXPECT_EQ(got.disk_free_bytes, 2048u);
    EXPECT_EQ(got.disk_total_bytes, 3072u);
}

TEST(GuestReportTest, LargestFigureThatFitsInBytes) {
    guest_figures got;
    std::string error;
    std::string memory = "\"mem_total\": 18014398509481983,\"mem_free\": 0,\"swap_total\": 0,"
                         "\"swap_free\": 0";  // 2^54 - 1 KiB
    ASSERT_TRUE(parse_full_report(report(kCpu, memory, kDisk), &got, &error)) << error;
    EXPECT_EQ(got.memory_total_bytes, 18446744073709550592u);
}

struct bad_case {
    std::string text;
    const char* error;
};

TEST(GuestReportTest, ReportsThatCannotBeServedAreRefusedWithTheReason) {
    const bad_case cases[] = {
        {"{\"cpu\": ", "not a JSON object"},
        {"[1]", "not a JSON object"},
        {"{\"memory\": {" + kMemory + "},\"disk\": {" + kDisk + "}}", "no report.cpu"},
        {report("\"ncpus\": 8", kMemory, kDisk), "no cpu.percent"},
        {report("\"ncpus\": -1,\"percent\": 1", kMemory, kDisk), "cpu.ncpus is not a count"},
        {report("\"ncpus\": 8,\"percent\": -1", kMemory, kDisk), "cpu.percent is not a share"},
        {report("\"ncpus\": 8,\"percent\": \"5\"", kMemory, kDisk), "cpu.percent is not a share"},
        {report(kCpu, "\"mem_total\": 1.5,\"mem_free\": 3,\"swap_total\": 6,\"swap_free\": 5",
                kDisk),
         "memory.mem_total is not a count"},
        {report(kCpu, "\"mem_total\": 18014398509481984,\"mem_free\": 3,\"swap_total\": 6,"
                      "\"swap_free\": 5",
                kDisk),
         "memory.mem_total is out of range"},
        {report(kCpu, kMemory, "\"used\": 1,\"free\": 2,\"total\": 3,\"unit\": \"MB\""),
         "disk.unit is not kB"},
        {"{\"cpu\": 1,\"memory\": {" + kMemory + "},\"disk\": {" + kDisk + "}}",
         "cpu is not an object"},
    };
    for (const bad_case& c : cases) {
        guest_figures got;
        std::string error;
        EXPECT_FALSE(parse_full_report(c.text, &got, &error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

}  // namespace
