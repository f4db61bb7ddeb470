#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "guest_report.h"

namespace {

std::string report(const std::string& cpu, const std::string& memory, const std::string& disk) {
    return "{\"cpu\": {" + cpu + "},\"memory\": {" + memory + "},\"disk\": {" + disk + "}}";
}

const std::string kCpu = "\"ncpus\": 8,\"percent\": 12.50";
const std::string kMemory =
    "\"mem_total\": 4,\"mem_free\": 3,\"swap_total\": 6,\"swap_free\": 5";
const std::string kDisk = "\"used\": 1,\"free\": 2,\"total\": 3,\"unit\": \"kB\"";

// A reply to GSTATS:DV with these volumes, and one volume as the agent writes it.
std::string with_volumes(const std::string& volumes) {
    return "{\"disk\": {" + kDisk + "},\"volumes\": [" + volumes + "]}";
}
std::string volume(const std::string& paths, const std::string& name,
                   const std::string& label = "\"\"", const std::string& figures =
                       "\"used\": 1,\"free\": 2,\"total\": 3") {
    return "{\"paths\": [" + paths + "],\"volume\": " + name + ",\"label\": " + label +
           ",\"fs\": \"NTFS\"," + figures + "}";
}
const std::string kC = R"("C:\\")";
const std::string kD = R"("D:\\")";
const std::string kVolumeA = R"("\\\\?\\Volume{a}\\")";
const std::string kVolumeB = R"("\\\\?\\Volume{b}\\")";

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

struct volume_case {
    const char* label;  // of the series
    const char* paths;  // joined with ;
    const char* volume_label;
    bool failed;
    double total, free;  // bytes
};

TEST(GuestReportTest, EachVolumeWithItsNamesAndFigures) {
    const std::string volumes =
        volume(kC, R"("\\\\?\\Volume{c}\\")", R"("System")",
               R"("used": 41943040,"free": 20971520,"total": 62914560)") + "," +
        volume(R"("D:\\","C:\\Data\\Archive\\")", R"("\\\\?\\Volume{d}\\")",
               "\"Donn\xc3\xa9" R"(es \"{}\\")", R"("used": 100,"free": 0,"total": 100)") + "," +
        volume(R"("C:\\Data\\Logs\\")", R"("\\\\?\\Volume{l}\\")", R"("Logs")",
               R"("used": 1,"free": 2,"total": 4)") + "," +
        volume("", R"("\\\\?\\Volume{r}\\")", R"("Recovery")",
               R"("used": 424960,"free": 87040,"total": 512000)") + "," +
        volume(R"("E:\\")", R"("\\\\?\\Volume{e}\\")", "\"\"", R"("used": 0,"free": 0,"total": 0)");
    guest_figures got = valid_report(with_volumes(volumes), "DV");
    const volume_case expected[] = {
        {"C:", "C:\\", "System", false, 62914560.0 * 1024, 20971520.0 * 1024},
        {"D:", "D:\\;C:\\Data\\Archive\\", "Donn\xc3\xa9" "es \"{}\\", false, 102400, 0},
        {"C:\\Data\\Logs", "C:\\Data\\Logs\\", "Logs", false, 4096, 2048},
        {"\\\\?\\Volume{r}\\", "", "Recovery", false, 512000.0 * 1024, 87040.0 * 1024},
        {"E:", "E:\\", "", true, 0, 0},
    };
    ASSERT_EQ(got.volumes.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const guest_volume& v = got.volumes[i];
        std::string paths;
        for (const std::string& path : v.paths) paths += (paths.empty() ? "" : ";") + path;
        EXPECT_EQ(volume_label(v), expected[i].label);
        EXPECT_EQ(paths, expected[i].paths) << i;
        EXPECT_EQ(v.label, expected[i].volume_label) << i;
        EXPECT_EQ(v.fs, "NTFS");
        EXPECT_EQ(v.probe_failed, expected[i].failed) << i;
        EXPECT_EQ(value_of(v, figure_id::volume_total), expected[i].total) << i;
        EXPECT_EQ(value_of(v, figure_id::volume_free), expected[i].free) << i;
    }
    EXPECT_EQ(failed_probes(got), std::vector<std::string>{"volume E:"});
}

TEST(GuestReportTest, VolumesAreAbsentFromAnAgentBeforeVAndAtMost64) {
    guest_figures old = valid_report(report(kCpu, kMemory, kDisk), "CMDV");
    EXPECT_TRUE(reported(old, fragment_id::disk));
    EXPECT_FALSE(reported(old, fragment_id::volumes));
    EXPECT_FALSE(reported(valid_report("{}", "V"), fragment_id::volumes));
    guest_figures unlisted = valid_report(with_volumes(""), "DV");
    EXPECT_TRUE(reported(unlisted, fragment_id::volumes));
    EXPECT_EQ(failed_probes(unlisted), std::vector<std::string>{"volumes"});

    std::string many;
    for (int i = 0; i < 65; ++i) {
        std::string n = std::to_string(i);
        many += (i == 0 ? "" : ",") +
                volume(R"("C:\\M)" + n + R"(\\")", R"("\\\\?\\Volume{)" + n + R"(}\\")");
        if (i == 63) {
            EXPECT_EQ(valid_report(with_volumes(many), "DV").volumes.size(), 64u);
        }
    }
    guest_figures got;
    std::string error;
    EXPECT_EQ(check_report(with_volumes(many), "DV", &got, &error), report_verdict::implausible);
    EXPECT_EQ(error, "more than 64 volumes");
}

struct bad_case {
    std::string text;
    report_verdict verdict;
    const char* error;
    const char* selector = "CMD";
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
        {report(kCpu, kMemory, "\"used\": 1,\"free\": 2,\"total\": 3,\"unit\": \"k\\u001b\""),
         v::invalid, "bytes the agent never sends"},
        // The volumes, in reply to GSTATS:DV.
        {with_volumes("") + ",", v::invalid, "not a JSON object", "DV"},
        {"{\"volumes\": []}", v::invalid, "unexpected fragment volumes", "DV"},
        {with_volumes(""), v::invalid, "unexpected fragment volumes", "D"},
        {"{\"disk\": {" + kDisk + "},\"volumes\": {}}", v::invalid, "volumes is not a list",
         "DV"},
        {"{\"disk\": {" + kDisk + "},\"volumes\": [],\"volumes\": []}", v::invalid,
         "volumes given twice", "DV"},
        {with_volumes("1"), v::invalid, "volumes[0] is not an object", "DV"},
        {with_volumes(volume(kC, kVolumeA) + "," + R"({"volume": "x"})"), v::invalid,
         "unexpected key volumes[1].volume", "DV"},
        {with_volumes(R"({"paths": [],"paths": []})"), v::invalid,
         "volumes[0].paths given twice", "DV"},
        {with_volumes(R"({"paths": [],"volume": "\\\\?\\Volume{a}\\","label": "","fs": ""})"),
         v::invalid, "no volumes[0].used", "DV"},
        {with_volumes(R"({"paths": "C:\\"})"), v::invalid, "volumes[0].paths is not a list",
         "DV"},
        {with_volumes(R"({"paths": [["C:\\"]]})"), v::invalid,
         "volumes[0].paths is not a list of texts", "DV"},
        {with_volumes(R"({"paths": [1]})"), v::invalid, "volumes[0].paths is not a list of texts",
         "DV"},
        {with_volumes(volume(kC, kVolumeA, "{}")), v::invalid, "volumes[0].label is not a text",
         "DV"},
        {with_volumes(volume(kC, kVolumeA, "\"\"", R"("used": [1],"free": 2,"total": 3)")),
         v::invalid, "volumes[0].used is not a figure", "DV"},
        {with_volumes(volume(kC, kVolumeA, "\"\"", R"("used": -1,"free": 2,"total": 3)")),
         v::invalid, "volumes[0].used is not a count", "DV"},
        {with_volumes(volume(kC, kVolumeA, "\"\xff\"")), v::invalid, "not a JSON object", "DV"},
        {with_volumes(volume(kC, kVolumeA, R"("a\u001b[2J")")), v::implausible,
         "volumes[0].label is not safe text (a control character)", "DV"},
        {with_volumes(volume(kC, kVolumeA, R"("\u009b")")), v::implausible,
         "volumes[0].label is not safe text (a control character)", "DV"},
        {with_volumes(volume(kC, kVolumeA, "\"a\xe2\x80\xae\"")), v::implausible,
         "volumes[0].label is not safe text (a control character)", "DV"},
        {with_volumes(volume(R"("C:\\Logs\u2028\\")", kVolumeA)), v::implausible,
         "volumes[0].paths[0] is not safe text (a control character)", "DV"},
        {with_volumes(volume(kC + "," + kC, kVolumeA)), v::implausible,
         "volumes[0].paths[1] is given twice", "DV"},
        {with_volumes(volume(kD, kVolumeA) + "," + volume(kC + "," + kD, kVolumeB)),
         v::implausible, "volumes[1].paths[1] is given twice", "DV"},
        {with_volumes(volume(kC, kVolumeA) + "," + volume(kD, kVolumeA)), v::implausible,
         "volumes[1].volume is given twice", "DV"},
        {with_volumes(volume(R"("D:")", kVolumeA)), v::implausible,
         "volumes[0].paths[0] is not a mount path", "DV"},
        {with_volumes(volume(R"("\\\\?\\Volume{b}\\")", kVolumeA)), v::implausible,
         "volumes[0].paths[0] is not a mount path", "DV"},
        {with_volumes(volume(kC, kC)), v::implausible, "volumes[0].volume is not a volume name",
         "DV"},
        {with_volumes(volume(kC, kVolumeA, "\"\"", R"("used": 1,"free": 4,"total": 3)")),
         v::implausible, "volumes[0].free is above volumes[0].total", "DV"},
        {with_volumes(volume(kC, kVolumeA, "\"\"", R"("used": 5,"free": 2,"total": 10)")),
         v::implausible, "volumes[0].used + volumes[0].free is not volumes[0].total", "DV"},
        {"{\"cpu\": {" + kCpu + "} }", v::invalid, "no report.memory", "CMDV"},
    };
    for (const bad_case& c : cases) {
        guest_figures got;
        std::string error;
        EXPECT_EQ(check_report(c.text, c.selector, &got, &error), c.verdict) << c.text;
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
