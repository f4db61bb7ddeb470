// The status page at /: the rows from the fleet's state, their order, and escaping.
#include <gtest/gtest.h>

#include "status_page.h"

namespace {

guest_figures figures_with(std::vector<std::pair<std::string, double>> volumes_free_share) {
    guest_figures figures;
    for (fragment_id id : {fragment_id::cpu, fragment_id::memory, fragment_id::disk})
        figures.reported[static_cast<std::size_t>(id)] = true;
    figures.values[static_cast<std::size_t>(figure_id::cpus)] = 4;
    figures.values[static_cast<std::size_t>(figure_id::cpu_percent)] = 0.25;
    figures.values[static_cast<std::size_t>(figure_id::mem_free)] = 3 * 1073741824.0;
    figures.values[static_cast<std::size_t>(figure_id::disk_free)] = 30;
    figures.values[static_cast<std::size_t>(figure_id::disk_total)] = 100;
    if (volumes_free_share.empty()) return figures;
    figures.reported[static_cast<std::size_t>(fragment_id::volumes)] = true;
    for (const auto& [path, share] : volumes_free_share) {
        guest_volume volume;
        volume.paths = {path};
        volume.values[static_cast<std::size_t>(figure_id::volume_free)] = share * 1000;
        volume.values[static_cast<std::size_t>(figure_id::volume_total)] = 1000;
        volume.probe_failed = share < 0;
        figures.volumes.push_back(volume);
    }
    return figures;
}

TEST(StatusPageTest, RowsComeDownFirstThenFullestVolumeWithEveryTextEscaped) {
    std::map<std::string, vm_state> vms;
    vm_state roomy;
    roomy.up = true;
    roomy.figures = figures_with({{"C:\\", 0.6}, {"D:\\", 0.5}});
    roomy.last_good_unix = 1000;
    vm_state full = roomy;
    full.figures = figures_with({{"C:\\", 0.6}, {"C:\\Data\\", 0.04}, {"E:\\", -1}});
    vm_state old_agent = roomy;
    old_agent.figures = figures_with({});  // drive C: alone: 30 % free
    vm_state down;
    down.last_good_unix = 400;
    down.last_failure = poll_failure::timeout;
    vms = {{"roomy", roomy},
           {"<b>full</b>", full},
           {"old", old_agent},
           {"down", down},
           {"never", vm_state{}}};

    std::vector<status_row> rows = status_rows(vms, 1010);
    std::string page = status_page_html(rows, "/metrics");
    std::vector<std::string> order = {"<td>down</td>", "<td>never</td>",
                                      "<td>&lt;b&gt;full&lt;/b&gt;</td>", "<td>old</td>",
                                      "<td>roomy</td>"};
    std::size_t last = 0;
    for (const std::string& cell : order) {
        std::size_t at = page.find(cell);
        ASSERT_NE(at, std::string::npos) << cell << "\n" << page;
        EXPECT_GT(at, last) << cell;
        last = at;
    }
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    EXPECT_NE(page.find("<a href=\"/metrics\">"), std::string::npos);
    EXPECT_NE(page.find("down (timeout)</td><td class=\"n\">10 min ago"), std::string::npos)
        << page;
    EXPECT_NE(page.find("<td>C:\\Data</td><td class=\"n low\">4 %</td>"), std::string::npos);
    EXPECT_NE(page.find("<td>C:</td><td class=\"n\">30 %</td>"), std::string::npos);  // old agent
    EXPECT_NE(page.find("<td class=\"n\">4</td><td class=\"n\">25 %</td><td class=\"n\">3.0 GiB"),
              std::string::npos);
    EXPECT_NE(page.find("3 of 5 VMs up"), std::string::npos);
    EXPECT_EQ(page.find("<script"), std::string::npos);
}

TEST(StatusPageTest, AThousandVmsMakeASmallPage) {
    std::map<std::string, vm_state> vms;
    for (int i = 0; i < 1000; ++i) {
        vm_state state;
        state.up = i % 10 != 0;
        state.figures = figures_with({{"C:\\", 0.5}, {"D:\\", 0.2}});
        state.last_good_unix = 1000;
        vms["windows-server-" + std::to_string(i)] = state;
    }
    std::string page = status_page_html(status_rows(vms, 1005), "/metrics");
    EXPECT_LT(page.size(), 300u * 1000u);
}

}  // namespace
