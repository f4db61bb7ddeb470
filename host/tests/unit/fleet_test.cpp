#include <gtest/gtest.h>

#include <prometheus/text_serializer.h>

#include "fleet.h"
#include "support/exposition.h"

namespace {

std::string exposition_of(const std::map<std::string, vm_state>& vms, steady_time now) {
    return prometheus::TextSerializer().Serialize(render_families(vms, now));
}

TEST(FleetTest, VmThatFailedItsLastPollShowsDownWithoutFigures) {
    steady_time now{std::chrono::seconds(1000)};
    vm_state good;
    good.up = true;
    good.figures.memory_total_bytes = 4096;
    good.figures.cpu_busy_ratio = 0.5;
    good.last_good = now - std::chrono::seconds(2);
    vm_state failed = good;
    failed.up = false;
    failed.last_good = now - std::chrono::seconds(40);
    vm_state never;

    std::string text = exposition_of({{"good", good}, {"failed", failed}, {"never", never}}, now);
    EXPECT_EQ(sample_of(text, "vorna_up", "good"), 1.0);
    EXPECT_EQ(sample_of(text, "vorna_memory_total_bytes", "good"), 4096.0);
    EXPECT_EQ(sample_of(text, "vorna_cpu_busy_ratio", "good"), 0.5);
    EXPECT_EQ(sample_of(text, "vorna_last_success_age_seconds", "good"), 2.0);

    EXPECT_EQ(sample_of(text, "vorna_up", "failed"), 0.0);
    EXPECT_EQ(sample_of(text, "vorna_last_success_age_seconds", "failed"), 40.0);
    EXPECT_EQ(sample_of(text, "vorna_up", "never"), 0.0);
    EXPECT_EQ(sample_of(text, "vorna_last_success_age_seconds", "never"), std::nullopt);
    for (const char* figure : {"vorna_cpus", "vorna_cpu_busy_ratio", "vorna_memory_total_bytes",
                               "vorna_memory_available_bytes", "vorna_swap_total_bytes",
                               "vorna_swap_free_bytes", "vorna_disk_used_bytes",
                               "vorna_disk_free_bytes", "vorna_disk_total_bytes"}) {
        EXPECT_TRUE(sample_of(text, figure, "good")) << figure;
        EXPECT_FALSE(sample_of(text, figure, "failed")) << figure;
        EXPECT_FALSE(sample_of(text, figure, "never")) << figure;
    }
}

TEST(FleetTest, FiguresOfAProbeThatFailedInTheGuestAreNotServed) {
    steady_time now{std::chrono::seconds(1000)};
    vm_state state;
    state.up = true;
    state.figures.cpu_count = 2;
    state.figures.memory_total_bytes = 4096;
    state.figures.disk_probe_failed = true;
    state.last_good = now;
    std::string text = exposition_of({{"vm", state}}, now);
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
}

TEST(FleetTest, RemovedVmIsNotBroughtBackByItsLastPoll) {
    fleet vms;
    vms.add("a");
    vms.remove("a");
    vms.record_success("a", guest_figures{}, steady_time{});
    vms.record_failure("a", poll_failure::timeout);
    EXPECT_TRUE(vms.Collect().empty());
}

}  // namespace
