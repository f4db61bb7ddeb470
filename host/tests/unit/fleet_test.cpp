#include <gtest/gtest.h>

#include <prometheus/text_serializer.h>

#include "fleet.h"
#include "support/exposition.h"

namespace {

std::string exposition_of(const std::map<std::string, vm_state>& vms,
                          const discovery_state& discovery = {}) {
    return prometheus::TextSerializer().Serialize(render_families(vms, discovery));
}

TEST(FleetTest, VmThatFailedItsLastPollShowsDownWithoutFigures) {
    vm_state good;
    good.up = true;
    good.figures.reported.fill(true);
    good.figures.values[static_cast<std::size_t>(figure_id::mem_total)] = 4096;
    good.figures.values[static_cast<std::size_t>(figure_id::cpu_percent)] = 0.5;
    good.last_good_unix = 1700000000.0;
    vm_state failed = good;
    failed.up = false;
    failed.last_good_unix = 1699999960.0;
    vm_state never;

    std::string text = exposition_of({{"good", good}, {"failed", failed}, {"never", never}});
    EXPECT_EQ(sample_of(text, "vorna_up", "good"), 1.0);
    EXPECT_EQ(sample_of(text, "vorna_memory_total_bytes", "good"), 4096.0);
    EXPECT_EQ(sample_of(text, "vorna_cpu_busy_ratio", "good"), 0.5);
    EXPECT_EQ(sample_of(text, "vorna_last_success_timestamp_seconds", "good"), 1700000000.0);

    EXPECT_EQ(sample_of(text, "vorna_up", "failed"), 0.0);
    EXPECT_EQ(sample_of(text, "vorna_last_success_timestamp_seconds", "failed"), 1699999960.0);
    EXPECT_EQ(sample_of(text, "vorna_up", "never"), 0.0);
    EXPECT_EQ(sample_of(text, "vorna_last_success_timestamp_seconds", "never"), std::nullopt);
    for (const char* figure : {"vorna_cpus", "vorna_cpu_busy_ratio", "vorna_memory_total_bytes",
                               "vorna_memory_available_bytes", "vorna_commit_limit_bytes",
                               "vorna_commit_available_bytes", "vorna_disk_used_bytes",
                               "vorna_disk_free_bytes", "vorna_disk_total_bytes"}) {
        EXPECT_TRUE(sample_of(text, figure, "good")) << figure;
        EXPECT_FALSE(sample_of(text, figure, "failed")) << figure;
        EXPECT_FALSE(sample_of(text, figure, "never")) << figure;
    }
}

TEST(FleetTest, FiguresOfAProbeThatFailedInTheGuestAreNotServed) {
    vm_state state;
    state.up = true;
    state.figures.reported.fill(true);
    state.figures.values[static_cast<std::size_t>(figure_id::cpus)] = 2;
    state.figures.values[static_cast<std::size_t>(figure_id::mem_total)] = 4096;
    state.figures.probe_failed[static_cast<std::size_t>(fragment_id::disk)] = true;
    guest_volume data;
    data.paths = {"D:\\", "C:\\Data\\"};
    data.name = "\\\\?\\Volume{d}\\";
    data.label = "Donn\xc3\xa9" "es";
    data.fs = "NTFS";
    data.values[static_cast<std::size_t>(figure_id::volume_total)] = 4096;
    data.values[static_cast<std::size_t>(figure_id::volume_free)] = 1024;
    guest_volume broken;
    broken.name = "\\\\?\\Volume{e}\\";
    broken.probe_failed = true;
    state.figures.volumes = {data, broken};
    state.last_good_unix = 1700000000.0;
    std::string text = exposition_of({{"vm", state}});
    EXPECT_EQ(sample_of(text, "vorna_up", "vm"), 1.0);
    EXPECT_EQ(sample_of(text, "vorna_cpus", "vm"), 2.0);
    EXPECT_EQ(sample_of(text, "vorna_memory_total_bytes", "vm"), 4096.0);
    for (const char* figure : {"vorna_disk_used_bytes", "vorna_disk_free_bytes",
                               "vorna_disk_total_bytes"})
        EXPECT_FALSE(sample_of(text, figure, "vm")) << figure;
    EXPECT_NE(text.find("vorna_probe_failed{vm=\"vm\",fragment=\"disk\"} 1\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("vorna_probe_failed{vm=\"vm\",fragment=\"memory\"} 0\n"),
              std::string::npos);
    // A volume's failed probe hides its figures alone; its names stay.
    const std::string lines[] = {
        R"(vorna_volume_total_bytes{vm="vm",volume="D:"} 4096)",
        R"(vorna_volume_free_bytes{vm="vm",volume="D:"} 1024)",
        R"(vorna_probe_failed{vm="vm",fragment="volumes"} 0)",
        R"(vorna_probe_failed{vm="vm",fragment="volume",volume="D:"} 0)",
        R"(vorna_probe_failed{vm="vm",fragment="volume",volume="\\\\?\\Volume{e}\\"} 1)",
        R"(vorna_volume_info{vm="vm",volume="D:",paths="D:\\;C:\\Data\\",label="Donn)"
        "\xc3\xa9" R"(es",fs="NTFS"} 1)",
        R"(vorna_volume_info{vm="vm",volume="\\\\?\\Volume{e}\\",paths="",label="",fs=""} 1)",
    };
    for (const std::string& line : lines)
        EXPECT_NE(text.find(line + "\n"), std::string::npos) << line << "\n" << text;
    EXPECT_EQ(text.find(R"(vorna_volume_total_bytes{vm="vm",volume="\\\\?\\Volume{e})"),
              std::string::npos);
}

TEST(FleetTest, RemovedVmIsNotBroughtBackByItsLastPoll) {
    fleet vms;
    vms.add("a");
    vms.remove("a");
    vms.record_success("a", guest_figures{});
    vms.record_failure("a", poll_failure::timeout);
    std::string text = prometheus::TextSerializer().Serialize(vms.Collect());
    EXPECT_EQ(text.find("vm=\"a\""), std::string::npos) << text;
}

TEST(FleetTest, FailuresAreCountedByReasonAndTheExporterNamesItsVersionAndDomains) {
    fleet vms;
    vms.add("a", "6695eb01-f6a4-8304-79aa-97f2502e193f");
    vms.add("b");
    vms.record_failure("a", poll_failure::timeout);
    vms.record_failure("a", poll_failure::timeout);
    vms.record_failure("a", poll_failure::noisy);
    vms.record_duration("a", std::chrono::milliseconds(1500));
    vms.set_libvirt_state(true, 3);
    std::string text = prometheus::TextSerializer().Serialize(vms.Collect());

    EXPECT_NE(text.find("# TYPE vorna_poll_failures_total counter\n"), std::string::npos) << text;
    EXPECT_NE(text.find("vorna_poll_failures_total{vm=\"a\",reason=\"timeout\"} 2\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("vorna_poll_failures_total{vm=\"a\",reason=\"noisy\"} 1\n"),
              std::string::npos);
    // Every reason has its series from 0 once the VM is found.
    for (const char* vm : {"a", "b"})
        EXPECT_NE(text.find("vorna_poll_failures_total{vm=\"" + std::string(vm) +
                            "\",reason=\"connect\"} 0\n"),
                  std::string::npos) << vm;
    EXPECT_EQ(sample_of(text, "vorna_poll_duration_seconds", "a"), 1.5);
    EXPECT_NE(text.find("vorna_vm_info{vm=\"a\",uuid=\"6695eb01-f6a4-8304-79aa-97f2502e193f\"} 1"),
              std::string::npos);
    EXPECT_EQ(text.find("vorna_vm_info{vm=\"b\""), std::string::npos);  // not a domain
    EXPECT_NE(text.find("vorna_build_info{version=\"" VORNA_VERSION "\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("vorna_libvirt_up 1\n"), std::string::npos);
    EXPECT_NE(text.find("vorna_libvirt_domains_without_channel 3\n"), std::string::npos);
}

}  // namespace
