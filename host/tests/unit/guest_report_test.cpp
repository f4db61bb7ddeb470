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

guest_figures valid_report(const std::string& text, const char* selector = "CMD") {
    guest_figures got;
    std::string error;
    EXPECT_EQ(check_report(text, selector, &got, &error), report_verdict::valid) << error;
    return got;
}

TEST(GuestReportTest, KibibytesBecomeBytesAndPercentARatio) {
    guest_figures got = valid_report(report(kCpu, kMemory, kDisk));
    using f = figure_id;
    const std::pair<figure_id, double> expected[] = {
        {f::cpus, 8},          {f::cpu_percent, 0.125}, {f::mem_total, 4096},
        {f::mem_free, 3072},   {f::commit_limit, 6144}, {f::commit_available, 5120},
        {f::disk_used, 1024},  {f::disk_free, 2048},    {f::disk_total, 3072},
    };
    for (const auto& [id, value] : expected)
        EXPECT_DOUBLE_EQ(value_of(got, id), value) << figure_of(id).key;
    EXPECT_TRUE(failed_probes(got).empty());
}

TEST(GuestReportTest, WhatTheAgentSendsForEachSelector) {
    valid_report("{\"cpu\": {\"ncpus\": 1,\"percent\": 100.00} }", "C");
    valid_report("{\"memory\": {" + kMemory + "},\"disk\": {" + kDisk + "}}", "DM");
    valid_report("{\"cpu\": {\"ncpus\": 2,\"percent\": 0.00},\"disk\": {" + kDisk + "}}", "DCD");
    std::string memory = "\"mem_total\": 18014398509481983,\"mem_free\": 0,\"swap_total\": 1,"
                         "\"swap_free\": 0";  // 2^54 - 1 KiB: the largest that fits in bytes
    EXPECT_DOUBLE_EQ(value_of(valid_report(report(kCpu, memory, kDisk)), figure_id::mem_total),
                     18446744073709550592.0);
}

TEST(GuestReportTest, AFragmentOfZerosIsAProbeThatFailed) {
    guest_figures got = valid_report(report(
        kCpu, "\"mem_total\": 0,\"mem_free\": 0,\"swap_total\": 0,\"swap_free\": 0",
        "\"used\": 0,\"free\": 0,\"total\": 0,\"unit\": \"kB\""));
    EXPECT_EQ(failed_probes(got), (std::vector<std::string>{"memory", "disk"}));
}

struct bad_case {
    std::string text;
    report_verdict verdict;
    const char* error;
};

TEST(GuestReportTest, ReportsNoAgentCanSendAreRefusedWithTheReason) {
    using v = report_verdict;
    const std::string cpu_only = "{\"cpu\": {" + kCpu + "}}";
    const bad_case cases[] = {
        {"{\"cpu\": ", v::invalid, "not a JSON object"},
        {"[1]", v::invalid, "not a JSON object"},
        {report(kCpu, kMemory, kDisk) + "{}", v::invalid, "not a JSON object"},
        {"{\"memory\": {" + kMemory + "},\"disk\": {" + kDisk + "}}", v::invalid,
         "unexpected fragment memory"},
        {cpu_only, v::invalid, "no report.memory"},
        {report("\"ncpus\": 8", kMemory, kDisk), v::invalid, "no cpu.percent"},
        {report("\"percent\": 1,\"ncpus\": 8", kMemory, kDisk), v::invalid,
         "unexpected key cpu.percent"},
        {report(kCpu + ",\"ncpus\": 8", kMemory, kDisk), v::invalid, "cpu.ncpus given twice"},
        {report(kCpu, kMemory,
                kDisk.substr(0, kDisk.size() - 12) + "\"total\": 3,\"unit\": \"kB\""),
         v::invalid, "disk.total given twice"},
        {report(kCpu, kMemory, kDisk.substr(0, kDisk.size() - 1) + "\",\"unit\": \"MB\""),
         v::invalid, "disk.unit given twice"},
        {"{\"cpu\": {" + kCpu + "},\"cpu\": {" + kCpu + "}}", v::invalid, "cpu given twice"},
        {report(kCpu, kMemory, kDisk) + "," , v::invalid, "not a JSON object"},
        {"{\"cpu\": 1,\"memory\": {" + kMemory + "},\"disk\": {" + kDisk + "}}", v::invalid,
         "cpu is not an object"},
        {report("\"ncpus\": {\"a\": 1},\"percent\": 1", kMemory, kDisk), v::invalid,
         "cpu.ncpus is not a figure"},
        {report("\"ncpus\": [1],\"percent\": 1", kMemory, kDisk), v::invalid,
         "cpu.ncpus is not a figure"},
        {report("\"ncpus\": 8,\"percent\": \"5\"", kMemory, kDisk), v::invalid,
         "cpu.percent is not a number"},
        {report(kCpu, "\"mem_total\": 1.5,\"mem_free\": 0,\"swap_total\": 6,\"swap_free\": 5",
                kDisk),
         v::invalid, "memory.mem_total is not a count"},
        {report(kCpu, kMemory, kDisk) + "\r", v::invalid, "bytes the agent never sends"},
        {report(kCpu, kMemory, "\"used\": 1,\"free\": 2,\"total\": 3,\"unit\": \"k\xc2\x9b\""),
         v::invalid, "bytes the agent never sends"},
        {report("\"ncpus\": 0,\"percent\": 1", kMemory, kDisk), v::implausible,
         "cpu.ncpus is below 1"},
        {report("\"ncpus\": -1,\"percent\": 1", kMemory, kDisk), v::implausible,
         "cpu.ncpus is below 1"},
        {report("\"ncpus\": 8,\"percent\": 150", kMemory, kDisk), v::implausible,
         "cpu.percent is not 0 to 100"},
        {report("\"ncpus\": 8,\"percent\": -0.01", kMemory, kDisk), v::implausible,
         "cpu.percent is not 0 to 100"},
        {report(kCpu, "\"mem_total\": 4,\"mem_free\": 5,\"swap_total\": 6,\"swap_free\": 5",
                kDisk),
         v::implausible, "memory.mem_free is above memory.mem_total"},
        {report(kCpu, "\"mem_total\": 4,\"mem_free\": 3,\"swap_total\": 6,\"swap_free\": 7",
                kDisk),
         v::implausible, "memory.swap_free is above memory.swap_total"},
        {report(kCpu, "\"mem_total\": 0,\"mem_free\": 0,\"swap_total\": 6,\"swap_free\": 5",
                kDisk),
         v::implausible, "one of memory.mem_total and memory.swap_total is 0"},
        {report(kCpu,
                "\"mem_total\": 18014398509481984,\"mem_free\": 3,\"swap_total\": 6,"
                "\"swap_free\": 5",
                kDisk),
         v::implausible, "memory.mem_total is out of range"},
        {report(kCpu, kMemory, "\"used\": 1,\"free\": 2,\"total\": 3,\"unit\": \"MB\""),
         v::implausible, "disk.unit is not kB"},
        {report(kCpu, kMemory, "\"used\": 5,\"free\": 2,\"total\": 10,\"unit\": \"kB\""),
         v::implausible, "disk.used + disk.free is not disk.total"},
        {report(kCpu, kMemory, "\"used\": 1,\"free\": 4,\"total\": 3,\"unit\": \"kB\""),
         v::implausible, "disk.free is above disk.total"},
    };
    for (const bad_case& c : cases) {
        guest_figures got;
        std::string error;
        EXPECT_EQ(check_report(c.text, "CMD", &got, &error), c.verdict) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(GuestReportTest, DeepNestingIsRefusedAtOnce) {
    std::string deep = "{\"cpu\": ";
    for (int i = 0; i < 6000; ++i) deep += "{\"ncpus\": ";
    deep += "1" + std::string(6000, '}') + "}";
    guest_figures got;
    std::string error;
    EXPECT_EQ(check_report(deep, "C", &got, &error), report_verdict::invalid);
    EXPECT_EQ(error, "cpu.ncpus is not a figure");
}

}  // namespace
