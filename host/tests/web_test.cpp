// The exporter's HTTP side as Prometheus's users expect it: the landing page, an exposition
// promtool accepts, and the exporter toolkit's web configuration (TLS, client certificates,
// basic authentication) answered as Debian's prometheus-node-exporter answers it, and scraped
// by a real Prometheus.
#include <gtest/gtest.h>

#include <crypt.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>

#include "support/exposition.h"
#include "support/process.h"
#include "support/sim_guest.h"

namespace {

using namespace std::chrono_literals;

int started_port(child_process& exporter) {
    auto text = exporter.wait_for_err("serving /metrics on 127.0.0.1:", 10s);
    return text ? std::stoi(*text) : 0;
}

TEST(WebTest, LandingPageLinksTheMetricsWhichPromtoolAccepts) {
    sim_guest guest("", sim_guest_options{});
    child_process exporter({host_exe(), "export", "--web.listen-address", "127.0.0.1:0",
                            "--interval", "1", "--vm", "web=" + guest.endpoint()});
    int port = started_port(exporter);
    ASSERT_NE(port, 0) << exporter.err();
    std::optional<std::string> page = http_get(port, "/");
    ASSERT_TRUE(page);
    EXPECT_NE(page->find("<a href=\"/metrics\">"), std::string::npos) << *page;

    std::string text;
    ASSERT_TRUE(eventually(10s, [&] {
        text = http_get(port, "/metrics").value_or("");
        return sample_of(text, "vorna_up", "web") == 1.0;
    }));
    EXPECT_NE(text.find("vorna_build_info{version=\"" VORNA_VERSION "\"} 1"), std::string::npos);
    EXPECT_TRUE(sample_of(text, "vorna_poll_duration_seconds", "web"));
    std::ofstream("web-exposition.txt") << text;
    process_result lint = run_process({"sh", "-c", "promtool check metrics < web-exposition.txt"}, 20s);
    EXPECT_EQ(lint.status, 0) << lint.out << lint.err;
    EXPECT_EQ(lint.out + lint.err, "");
}

// A CA, a server certificate for 127.0.0.1, a client certificate, and a user's bcrypt hash.
struct fixture_files {
    std::string folder;
    std::string password = "correct horse";

    explicit fixture_files(const std::string& where) : folder(where) {
        mkdir(folder.c_str(), 0755);
        std::string script =
            "set -e; cd '" + folder + "'\n"
            "key() { openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
            "-keyout $1.key -out $1.csr -subj /CN=$2 2>/dev/null; }\n"
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
            "-keyout ca.key -out ca.crt -subj /CN=vorna-test-ca -days 2 2>/dev/null\n"
            "key server 127.0.0.1; key client scraper\n"
            "echo subjectAltName=IP:127.0.0.1 > server.ext\n"
            "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
            "-out server.crt -days 2 -extfile server.ext 2>/dev/null\n"
            "openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
            "-out client.crt -days 2 2>/dev/null\n"
            // A client certificate from a CA the server does not know.
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
            "-keyout stranger.key -out stranger.crt -subj /CN=stranger -days 2 2>/dev/null\n";
        process_result made = run_process({"sh", "-c", script}, 60s);
        EXPECT_EQ(made.status, 0) << made.err;
    }
    std::string write_config(const std::string& name, const std::string& client_auth_type) const {
        char salt[CRYPT_GENSALT_OUTPUT_SIZE];
        crypt_gensalt_rn("$2b$", 8, nullptr, 0, salt, sizeof salt);
        crypt_data data = {};
        std::string hash = crypt_r(password.c_str(), salt, &data);
        std::string path = folder + "/" + name;
        std::ofstream(path) << "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
                            << "  client_ca_file: ca.crt\n  client_auth_type: " << client_auth_type
                            << "\nbasic_auth_users:\n  scraper: " << hash << "\n";
        return path;
    }
};

// "200", "401", ... or "none" when the server gave no HTTP answer (the TLS handshake or the
// connection refused).
std::string answer_to(int port, const std::string& folder, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                     "--max-time", "10", "--cacert", folder + "/ca.crt"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back("https://127.0.0.1:" + std::to_string(port) + "/metrics");
    process_result result = run_process(argv, 20s);
    return result.out == "000" || result.out.empty() ? "none" : result.out;
}

TEST(WebTest, WebConfigIsAnsweredAsTheNodeExporterAnswersIt) {
    fixture_files files(working_folder() + "/web-fixture-" + std::to_string(getpid()));
    std::string config = files.write_config("web.yml", "RequireAndVerifyClientCert");
    sim_guest guest("", sim_guest_options{});
    child_process ours({host_exe(), "export", "--web.listen-address", "127.0.0.1:0",
                        "--web.config.file", config, "--vm", "tls=" + guest.endpoint()});
    int our_port = started_port(ours);
    ASSERT_NE(our_port, 0) << ours.err();
    int node_port = free_port();
    child_process node({"prometheus-node-exporter", "--web.listen-address=127.0.0.1:" +
                        std::to_string(node_port), "--web.config.file=" + config,
                        "--collector.disable-defaults"});
    ASSERT_TRUE(eventually(10s, [&] { return answer_to(node_port, files.folder, {}) == "none" &&
                                             node.err().find("Listening") != std::string::npos; }))
        << node.err();

    std::string right = "scraper:" + files.password;
    std::vector<std::string> client = {"--cert", files.folder + "/client.crt", "--key",
                                       files.folder + "/client.key"};
    std::vector<std::string> stranger = {"--cert", files.folder + "/stranger.crt", "--key",
                                         files.folder + "/stranger.key"};
    auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"no credentials, no certificate", {}},
        {"right password, no certificate", {"-u", right}},
        {"no credentials, certificate", client},
        {"wrong password, certificate", with({"-u", "scraper:wrong"}, client)},
        {"unknown user, certificate", with({"-u", "nobody:" + files.password}, client)},
        {"right password, certificate", with({"-u", right}, client)},
        {"right password, unknown CA's certificate", with({"-u", right}, stranger)},
    };
    const std::string expected[] = {"none", "none", "401", "401", "401", "200", "none"};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::string theirs = answer_to(node_port, files.folder, cases[i].second);
        EXPECT_EQ(theirs, expected[i]) << cases[i].first << " (node exporter)";
        EXPECT_EQ(answer_to(our_port, files.folder, cases[i].second), theirs) << cases[i].first;
    }

    // The real Prometheus, over TLS with its client certificate and basic auth.
    std::string data = files.folder + "/prometheus";
    mkdir(data.c_str(), 0755);
    std::ofstream(data + "/prometheus.yml")
        << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
        << "scrape_configs:\n  - job_name: vorna\n    scheme: https\n"
        << "    basic_auth: {username: scraper, password: '" << files.password << "'}\n"
        << "    tls_config: {ca_file: " << files.folder << "/ca.crt, cert_file: " << files.folder
        << "/client.crt, key_file: " << files.folder << "/client.key}\n"
        << "    static_configs:\n      - targets: ['127.0.0.1:" << our_port << "']\n";
    int web_port = free_port();
    child_process prometheus({"prometheus", "--config.file=" + data + "/prometheus.yml",
                              "--storage.tsdb.path=" + data + "/tsdb",
                              "--web.listen-address=127.0.0.1:" + std::to_string(web_port)});
    double up = -1;
    EXPECT_TRUE(eventually(60s, [&] {
        auto body = http_get(web_port, "/api/v1/query?query=vorna_up");
        if (!body) return false;
        auto reply = nlohmann::json::parse(*body, nullptr, false);
        if (reply.is_discarded() || reply["data"]["result"].empty()) return false;
        up = std::stod(reply["data"]["result"][0]["value"][1].get<std::string>());
        return up == 1.0;
    })) << prometheus.err();
    prometheus.stop(SIGTERM);
    node.stop(SIGTERM);
    run_process({"rm", "-rf", files.folder}, 20s);
}

// Without TLS the embedded server of prometheus-cpp serves; the users guard every path there too.
TEST(WebTest, BasicAuthWithoutTlsGuardsEveryPath) {
    fixture_files files(working_folder() + "/web-plain-" + std::to_string(getpid()));
    std::string config = files.write_config("web.yml", "NoClientCert");
    std::string text;
    {
        std::ifstream in(config);
        std::getline(in, text, '\0');
    }
    std::ofstream(config) << text.substr(text.find("basic_auth_users:"));
    child_process exporter({host_exe(), "export", "--web.listen-address", "127.0.0.1:0",
                            "--web.config.file", config, "--vm", "a=tcp:127.0.0.1:9"});
    int port = started_port(exporter);
    ASSERT_NE(port, 0) << exporter.err();
    auto status = [&](const std::string& path, const std::string& user) {
        std::vector<std::string> argv = {"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                         "--max-time", "10"};
        if (!user.empty()) argv.insert(argv.end(), {"-u", user});
        argv.push_back("http://127.0.0.1:" + std::to_string(port) + path);
        return run_process(argv, 20s).out;
    };
    for (const char* path : {"/", "/metrics"}) {
        EXPECT_EQ(status(path, ""), "401") << path;
        EXPECT_EQ(status(path, "scraper:wrong"), "401") << path;
        EXPECT_EQ(status(path, "scraper:" + files.password), "200") << path;
    }
    run_process({"rm", "-rf", files.folder}, 20s);
}

TEST(WebTest, WebConfigThatCannotBeHonouredIsRefused) {
    std::string folder = working_folder() + "/web-refused-" + std::to_string(getpid());
    mkdir(folder.c_str(), 0755);
    const std::pair<std::string, std::string> cases[] = {
        {"basic_auth_users:\n  a: plain-text\n", "not bcrypt"},
        {"tls_server_config:\n  cert_file: x.crt\n", "cert_file and key_file"},
        {"tls_server_config:\n  cert_file: x.crt\n  key_file: x.key\n  client_auth_type: "
         "RequireAndVerifyClientCert\n", "needs client_ca_file"},
        {"tls_server_config:\n  cert_file: x.crt\n  key_file: x.key\n  cipher_suites: [x]\n",
         "cipher_suites is not supported"},
        {"http_server_config:\n  http2: false\n", "http_server_config is not supported"},
        {"tls_server_config: [\n", ""},
    };
    for (const auto& [text, message] : cases) {
        std::ofstream(folder + "/web.yml") << text;
        process_result result = run_process({host_exe(), "export", "--web.listen-address",
                                             "127.0.0.1:0", "--web.config.file",
                                             folder + "/web.yml", "--vm", "a=tcp:127.0.0.1:9"}, 20s);
        EXPECT_EQ(result.status, 2) << text;
        EXPECT_NE(result.err.find(message), std::string::npos) << text << result.err;
    }
    run_process({"rm", "-rf", folder}, 20s);
}

}  // namespace
