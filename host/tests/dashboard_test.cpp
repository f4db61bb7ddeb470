// The shipped Grafana dashboard against what the exporter serves: a real Prometheus scrapes an
// exporter of simulated guests (some up with several volumes, one filling up, one silent, one
// agent from before V, libvirt's test driver listed), and every query of every panel and
// variable must return data, every metric it names must be one the exporter serves, and every
// panel must say its unit. A renamed metric fails here, not on an operator's screen.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <set>

#include "support/process.h"
#include "support/sim_guest.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

std::string source_folder() {
    const char* folder = std::getenv("VORNA_HOST_SOURCE");
    return folder != nullptr ? folder : ".";
}

// A guest whose data volume loses 1 MiB a second: the days-left panel has a trend to show.
std::string filling_report() {
    static const auto start = std::chrono::steady_clock::now();
    auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    std::vector<sim_volume> volumes(kSimVolumes.begin(), kSimVolumes.begin() + 3);
    unsigned long long free = 3000000 - 1024 * static_cast<unsigned long long>(seconds);
    volumes[1].figures = volume_figures(4194304 - free, free, 4194304);
    return sim_report("CMDV", kSimFigures, volumes);
}

// The dashboard's variables as Grafana substitutes them with "All" chosen.
std::string substituted(std::string expression) {
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"$__rate_interval", "10s"}, {"$job", ".*"}, {"$instance", ".*"}, {"$vm", ".*"}})
        for (std::size_t at; (at = expression.find(name)) != std::string::npos;)
            expression.replace(at, name.size(), value);
    return expression;
}

// The names of the metrics an expression uses: words that begin vorna_ or process_.
std::vector<std::string> metric_names(const std::string& expression) {
    std::vector<std::string> names;
    auto word = [](char c) { return std::islower(static_cast<unsigned char>(c)) || c == '_'; };
    for (std::size_t at = 0; at < expression.size(); ++at) {
        if (at > 0 && (word(expression[at - 1]) ||
                       std::isdigit(static_cast<unsigned char>(expression[at - 1]))))
            continue;
        if (expression.compare(at, 6, "vorna_") != 0 && expression.compare(at, 8, "process_") != 0)
            continue;
        std::size_t end = at;
        while (end < expression.size() && word(expression[end])) ++end;
        names.push_back(expression.substr(at, end - at));
        at = end;
    }
    return names;
}

std::string url_encoded(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

TEST(DashboardTest, EveryQueryOfThePackagedDashboardReturnsData) {
    std::string grafana = source_folder() + "/grafana";
    process_result generated =
        run_process({"python3", grafana + "/make_dashboard.py", "--check"}, 30s);
    EXPECT_EQ(generated.status, 0) << generated.err;
    std::ifstream file(grafana + "/vorna-stats-host.json");
    json dashboard = json::parse(file, nullptr, false);
    ASSERT_FALSE(dashboard.is_discarded());

    mkdir("dashboard", 0755);
    sim_guest_options old_agent;
    old_agent.knows_volumes = false;
    sim_guest_options filling;
    filling.report = filling_report;
    sim_guest_options silent;
    silent.behaviour = guest_behaviour::silent;
    sim_guest a("dashboard/a.sock", {}), b("dashboard/b.sock", filling),
        c("dashboard/c.sock", old_agent), d("dashboard/d.sock", silent);
    child_process exporter({host_exe(), "export", "--web.listen-address", "127.0.0.1:0",
                            "--interval", "1", "--timeout", "4", "--libvirt", "test:///default",
                            "--vm", "a=" + a.endpoint(), "--vm", "b=" + b.endpoint(), "--vm",
                            "old=" + c.endpoint(), "--vm", "silent=" + d.endpoint()});
    auto port = exporter.wait_for_err("serving /metrics on 127.0.0.1:", 10s);
    ASSERT_TRUE(port) << exporter.err();

    std::string folder = working_folder() + "/dashboard/prometheus";
    mkdir(folder.c_str(), 0755);
    std::ofstream(folder + "/prometheus.yml")
        << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
        << "scrape_configs:\n  - job_name: vorna\n    static_configs:\n"
        << "      - targets: ['127.0.0.1:" << *port << "']\n";
    int web_port = free_port();
    child_process prometheus({"prometheus", "--config.file=" + folder + "/prometheus.yml",
                              "--storage.tsdb.path=" + folder + "/data",
                              "--web.listen-address=127.0.0.1:" + std::to_string(web_port)});
    auto query = [&](const std::string& expression) {
        auto body = http_get(web_port, "/api/v1/query?query=" + url_encoded(expression), 10s);
        json reply = json::parse(body.value_or(""), nullptr, false);
        if (reply.is_discarded() || reply.value("status", "") != "success") return json();
        return reply["data"]["result"];
    };
    // The filling volume's trend needs a few of its polls in Prometheus.
    ASSERT_TRUE(eventually(60s,
                           [&] {
                               json trend =
                                   query("deriv(vorna_volume_free_bytes{vm=\"b\"}[1m]) < 0");
                               return trend.is_array() && !trend.empty();
                           }))
        << prometheus.err() << exporter.err();

    std::string exposition = http_get(std::stoi(*port), "/metrics").value_or("");
    std::set<std::string> served;
    for (std::size_t at = exposition.find("# TYPE "); at != std::string::npos;
         at = exposition.find("# TYPE ", at + 1))
        served.insert(exposition.substr(at + 7, exposition.find(' ', at + 7) - at - 7));

    std::set<std::string> used;
    auto check = [&](const std::string& what, const std::string& expression) {
        for (const std::string& name : metric_names(expression)) {
            used.insert(name);
            EXPECT_EQ(served.count(name), 1u) << what << " uses " << name;
        }
        json result = query(substituted(expression));
        EXPECT_TRUE(result.is_array() && !result.empty()) << what << ": " << expression;
        std::printf("%-45s %zu series\n", what.c_str(), result.is_array() ? result.size() : 0);
    };
    int panels = 0;
    for (const json& panel : dashboard["panels"]) {
        if (panel["type"] == "row") continue;
        ++panels;
        std::string title = panel["title"];
        EXPECT_FALSE(panel["fieldConfig"]["defaults"].value("unit", "").empty()) << title;
        EXPECT_EQ(panel["datasource"]["uid"], "${datasource}") << title;
        for (const json& target : panel["targets"]) check(title, target["expr"]);
    }
    // label_values(METRIC, LABEL): Grafana asks for the label's values among METRIC's series.
    for (const json& variable : dashboard["templating"]["list"]) {
        if (variable["type"] != "query") continue;
        std::string definition = variable["query"]["query"];
        const std::string head = "label_values(";
        std::size_t comma = definition.rfind(',');
        ASSERT_TRUE(definition.compare(0, head.size(), head) == 0 && definition.back() == ')' &&
                    comma != std::string::npos)
            << definition;
        std::string metric = definition.substr(head.size(), comma - head.size());
        std::string label = definition.substr(comma + 1, definition.size() - comma - 2);
        label.erase(0, label.find_first_not_of(' '));
        check("variable " + variable["name"].get<std::string>(),
              "group by (" + label + ") (" + metric + ")");
    }
    EXPECT_GE(panels, 15);
    for (const char* needed :
         {"vorna_up", "vorna_poll_failures_total", "vorna_cpu_busy_ratio", "vorna_cpus",
          "vorna_memory_available_bytes", "vorna_commit_limit_bytes", "vorna_volume_free_bytes",
          "vorna_poll_duration_seconds", "vorna_http_scrape_size_bytes",
          "process_cpu_seconds_total"})
        EXPECT_EQ(used.count(needed), 1u) << needed;
    prometheus.stop(SIGTERM);
    run_process({"rm", "-rf", folder}, 20s);
}

}  // namespace
