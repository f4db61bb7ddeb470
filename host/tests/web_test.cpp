// The exporter's HTTP side as Prometheus's users expect it, over plain HTTP and over TLS: the
// landing page, an exposition promtool accepts, the answers to every kind of request (beside
// Debian's prometheus-node-exporter given the same web configuration), a real Prometheus
// scraping over TLS, and strangers who hold connections without finishing a request.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "support/bcrypt_hash.h"
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
    for (const char* own : {"process_cpu_seconds_total ", "process_resident_memory_bytes ",
                            "process_open_fds ", "process_max_fds ", "process_start_time_seconds ",
                            "vorna_http_requests_total{code=\"200\"} ", "vorna_http_connections "})
        EXPECT_NE(text.find(std::string("\n") + own), std::string::npos) << own;
    std::ofstream("web-exposition.txt") << text;
    process_result lint = run_process({"sh", "-c", "promtool check metrics < web-exposition.txt"}, 20s);
    EXPECT_EQ(lint.status, 0) << lint.out << lint.err;
    EXPECT_EQ(lint.out + lint.err, "");
}

std::vector<std::string> chromium(const std::string& profile) {
    return {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--user-data-dir=" + profile, "--window-size=1200,600"};
}

// The status page as a real browser renders it: a screenshot in the build tree, and the DOM
// it made shows every VM's row, the down one first, a name with markup as text.
TEST(WebTest, StatusPageInABrowserShowsEveryVmsRow) {
    sim_guest_options silent;
    silent.behaviour = guest_behaviour::silent;
    sim_guest_options old_agent;
    old_agent.knows_volumes = false;
    sim_guest fresh("", {}), old("", old_agent), hung("", silent);
    child_process exporter({host_exe(), "export", "--web.listen-address", "127.0.0.1:0",
                            "--interval", "1", "--timeout", "4", "--vm", "fresh=" + fresh.endpoint(),
                            "--vm", "old=" + old.endpoint(), "--vm", "<i>hung</i>=" + hung.endpoint()});
    int port = started_port(exporter);
    ASSERT_NE(port, 0) << exporter.err();
    ASSERT_TRUE(eventually(20s, [&] {
        std::string text = http_get(port, "/metrics").value_or("");
        return sample_of(text, "vorna_up", "fresh") == 1.0 && sample_of(text, "vorna_up", "old") == 1.0 &&
               text.find("reason=\"timeout\"} 1") != std::string::npos;
    })) << exporter.err();
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    std::string profile = working_folder() + "/chromium-" + std::to_string(getpid());
    std::vector<std::string> shot = chromium(profile);
    shot.insert(shot.end(), {"--screenshot=" + working_folder() + "/status-page.png", url});
    EXPECT_EQ(run_process(shot, 60s).status, 0);
    struct stat png = {};
    EXPECT_EQ(stat("status-page.png", &png), 0);
    EXPECT_GT(png.st_size, 1000);
    std::vector<std::string> dump = chromium(profile);
    dump.insert(dump.end(), {"--dump-dom", url});
    process_result dom = run_process(dump, 60s);
    ASSERT_EQ(dom.status, 0) << dom.err;
    // Down first: the silent guest's row, with its reason and no markup made of its name.
    std::size_t hung_row = dom.out.find("<td>&lt;i&gt;hung&lt;/i&gt;</td><td>down (timeout)</td>");
    std::size_t old_row = dom.out.find("<td>old</td><td>up</td>");
    std::size_t fresh_row = dom.out.find("<td>fresh</td><td>up</td>");
    EXPECT_NE(hung_row, std::string::npos) << dom.out;
    EXPECT_NE(old_row, std::string::npos) << dom.out;
    EXPECT_NE(fresh_row, std::string::npos) << dom.out;
    EXPECT_LT(hung_row, std::min(old_row, fresh_row));
    EXPECT_EQ(dom.out.find("<i>"), std::string::npos);
    // The fresh guest's fullest volume is its full D:; the old agent's only drive is C:.
    EXPECT_NE(dom.out.find("<td>D:</td><td class=\"n low\">0 %</td>"), std::string::npos);
    EXPECT_NE(dom.out.find("<td>C:</td><td class=\"n\">67 %</td>"), std::string::npos);
    EXPECT_NE(dom.out.find("<a href=\"/metrics\">Metrics</a>"), std::string::npos);
    run_process({"rm", "-rf", profile}, 20s);
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
    ~fixture_files() { run_process({"rm", "-rf", folder}, 20s); }

    // tls: none, "plain" (no client certificate asked for) or a client_auth_type.
    std::string write_config(const std::string& name, const std::string& tls, bool users) const {
        std::string path = folder + "/" + name;
        std::ofstream config(path);
        if (tls != "none")
            config << "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n";
        if (tls != "none" && tls != "plain")
            config << "  client_ca_file: ca.crt\n  client_auth_type: " << tls << "\n";
        if (users) {
            config << "basic_auth_users:\n  scraper: " << bcrypt_hash(password, 8) << "\n";
        }
        return path;
    }
};

struct curl_answer {
    std::string status;  // "200", "401", ...; "none" when there was no HTTP answer
    std::string headers;
};

curl_answer ask(const std::string& url, const std::string& ca, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {"curl", "-s", "-o", "/dev/null", "-D", "-", "-w",
                                     "%{http_code}", "--max-time", "10", "--cacert", ca};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(url);
    process_result result = run_process(argv, 20s);
    std::string code = result.out.size() >= 3 ? result.out.substr(result.out.size() - 3) : "";
    if (code == "000" || code.empty()) return {"none", ""};
    return {code, result.out.substr(0, result.out.size() - 3)};
}

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct request_case {
    const char* what;
    std::vector<std::string> curl;  // besides the client certificate
    bool certificate;               // the client's own
    const char* path;
    const char* plain;  // the answer over plain HTTP
    const char* tls;    // over TLS asking for a verified client certificate
    bool node_exporter; // which answers the same
};

TEST(WebTest, EveryRequestIsAnsweredAlikeOverPlainHttpAndTls) {
    fixture_files files(working_folder() + "/web-fixture-" + std::to_string(getpid()));
    sim_guest guest("", sim_guest_options{});
    std::string right = "scraper:" + files.password;
    std::vector<std::string> stranger = {"--cert", files.folder + "/stranger.crt", "--key",
                                         files.folder + "/stranger.key"};
    const request_case cases[] = {
        {"no credentials", {}, true, "/metrics", "401", "401", true},
        {"wrong password", {"-u", "scraper:wrong"}, true, "/metrics", "401", "401", true},
        {"unknown user", {"-u", "nobody:" + files.password}, true, "/metrics", "401", "401", true},
        {"right password", {"-u", right}, true, "/metrics", "200", "200", true},
        {"right password, no certificate", {"-u", right}, false, "/metrics", "200", "none", true},
        {"right password, unknown CA's certificate", with({"-u", right}, stranger), false,
         "/metrics", "200", "none", true},
        {"no credentials, no certificate", {}, false, "/metrics", "401", "none", true},
        {"HEAD", {"-u", right, "-I"}, true, "/metrics", "200", "200", false},
        {"POST", {"-u", right, "-X", "POST"}, true, "/metrics", "405", "405", false},
        {"POST without credentials", {"-X", "POST"}, true, "/metrics", "401", "401", false},
        {"landing page", {"-u", right}, true, "/", "200", "200", true},
        {"landing page without credentials", {}, true, "/", "401", "401", true},
        {"another path", {"-u", right}, true, "/other", "404", "404", false},
    };
    std::vector<std::string> client = {"--cert", files.folder + "/client.crt", "--key",
                                       files.folder + "/client.key"};
    std::map<std::string, std::string> content_types;
    for (const char* mode : {"plain", "tls"}) {
        bool tls = std::string(mode) == "tls";
        std::string config = files.write_config(std::string(mode) + ".yml",
                                                tls ? "RequireAndVerifyClientCert" : "none", true);
        child_process ours({host_exe(), "export", "--web.listen-address", "127.0.0.1:0",
                            "--web.config.file", config, "--vm", "vm=" + guest.endpoint()});
        int port = started_port(ours);
        ASSERT_NE(port, 0) << ours.err();
        std::unique_ptr<child_process> node;
        int node_port = free_port();
        if (tls) {
            node = std::make_unique<child_process>(std::vector<std::string>{
                "prometheus-node-exporter",
                "--web.listen-address=127.0.0.1:" + std::to_string(node_port),
                "--web.config.file=" + config, "--collector.disable-defaults"});
            ASSERT_TRUE(eventually(10s, [&] { return node->err().find("Listening") != std::string::npos; }))
                << node->err();
        }
        std::string scheme = tls ? "https://127.0.0.1:" : "http://127.0.0.1:";
        for (const request_case& test : cases) {
            std::vector<std::string> argv = test.certificate ? with(test.curl, client) : test.curl;
            curl_answer got = ask(scheme + std::to_string(port) + test.path,
                                  files.folder + "/ca.crt", argv);
            EXPECT_EQ(got.status, tls ? test.tls : test.plain) << mode << ": " << test.what;
            if (tls && test.node_exporter) {
                EXPECT_EQ(ask(scheme + std::to_string(node_port) + test.path,
                              files.folder + "/ca.crt", argv).status, got.status)
                    << "node exporter: " << test.what;
            }
        }
        // One content type and gzip in both modes.
        curl_answer scrape = ask(scheme + std::to_string(port) + "/metrics", files.folder + "/ca.crt",
                                 with({"-u", right, "--compressed"}, client));
        EXPECT_NE(scrape.headers.find("Content-Encoding: gzip"), std::string::npos) << mode << scrape.headers;
        std::size_t type = scrape.headers.find("Content-Type: ");
        ASSERT_NE(type, std::string::npos) << mode << scrape.headers;
        content_types[mode] = scrape.headers.substr(type, scrape.headers.find('\r', type) - type);
        if (node) node->stop(SIGTERM);
    }
    EXPECT_EQ(content_types["plain"], "Content-Type: text/plain; version=0.0.4; charset=utf-8");
    EXPECT_EQ(content_types["tls"], content_types["plain"]);
}

TEST(WebTest, PrometheusScrapesOverTlsWithAClientCertificateAndBasicAuth) {
    fixture_files files(working_folder() + "/web-prometheus-" + std::to_string(getpid()));
    std::string config = files.write_config("web.yml", "RequireAndVerifyClientCert", true);
    sim_guest guest("", sim_guest_options{});
    child_process ours({host_exe(), "export", "--web.listen-address", "127.0.0.1:0",
                        "--web.config.file", config, "--vm", "tls=" + guest.endpoint()});
    int our_port = started_port(ours);
    ASSERT_NE(our_port, 0) << ours.err();
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
}

int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether the server closed the connection: a read that ends, or fails, rather than waits.
bool closed_by_server(int fd) {
    timeval no_wait = {0, 100 * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &no_wait, sizeof no_wait);
    char byte;
    ssize_t got = recv(fd, &byte, 1, 0);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// More idle strangers than the old servers had threads or connections, and a few that send a
// byte a second: honest scrapes are answered at once, and every stranger is cut at its deadline.
TEST(WebTest, StrangersWhoNeverFinishARequestAreCutAndBlindNoScrape) {
    fixture_files files(working_folder() + "/web-strangers-" + std::to_string(getpid()));
    sim_guest guest("", sim_guest_options{});
    for (const char* mode : {"plain", "tls"}) {
        bool tls = std::string(mode) == "tls";
        std::vector<std::string> argv = {host_exe(), "export", "--web.listen-address",
                                         "127.0.0.1:0", "--vm", "vm=" + guest.endpoint()};
        if (tls) argv = with(argv, {"--web.config.file", files.write_config("tls.yml", "plain", false)});
        child_process exporter(argv);
        int port = started_port(exporter);
        ASSERT_NE(port, 0) << exporter.err();
        std::vector<int> idle;
        for (int i = 0; i < 300; ++i) idle.push_back(connect_to(port));
        std::atomic<bool> done{false};
        std::vector<int> dripping;
        for (int i = 0; i < 10; ++i) dripping.push_back(connect_to(port));
        std::thread drip([&] {
            const std::string bytes = tls ? std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)
                                          : "GET /metrics HTTP/1.1\r\nHost: x\r\n";
            for (std::size_t at = 0; !done; at = (at + 1) % bytes.size()) {
                for (int fd : dripping) send(fd, &bytes[at], 1, MSG_NOSIGNAL);
                std::this_thread::sleep_for(500ms);
            }
        });
        std::string url = std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
        for (int i = 0; i < 5; ++i) {
            auto before = std::chrono::steady_clock::now();
            EXPECT_EQ(ask(url + "/metrics", files.folder + "/ca.crt", {}).status, "200") << mode << i;
            EXPECT_LT(std::chrono::steady_clock::now() - before, 2s) << mode << i;
        }
        // The deadline for a request's headers, handshake included, is 5 s.
        std::this_thread::sleep_for(7s);
        int cut = 0;
        for (int fd : idle) cut += fd >= 0 && closed_by_server(fd);
        for (int fd : dripping) cut += fd >= 0 && closed_by_server(fd);
        EXPECT_EQ(cut, 310) << mode;
        done = true;
        drip.join();
        for (int fd : idle) close(fd);
        for (int fd : dripping) close(fd);
        curl_answer scrape = ask(url + "/metrics", files.folder + "/ca.crt", {});
        EXPECT_EQ(scrape.status, "200") << mode;
        std::string text = run_process({"curl", "-s", "--cacert", files.folder + "/ca.crt",
                                        url + "/metrics"}, 20s).out;
        std::size_t at = text.find("\nvorna_http_connections_cut_total ");
        ASSERT_NE(at, std::string::npos) << mode;
        EXPECT_GE(std::stod(text.substr(at + 34)), 310.0) << mode;
    }
}

TEST(WebTest, WebConfigThatCannotBeHonouredIsAUsageError) {
    std::string folder = working_folder() + "/web-refused-" + std::to_string(getpid());
    mkdir(folder.c_str(), 0755);
    fixture_files files(folder + "/files");
    // Certificates asked for without a CA to ask with: the server could not start with it.
    std::ofstream(folder + "/web.yml")
        << "tls_server_config:\n  cert_file: files/server.crt\n  key_file: files/server.key\n"
        << "  client_auth_type: RequireAnyClientCert\n";
    process_result result = run_process({host_exe(), "export", "--web.listen-address",
                                         "127.0.0.1:0", "--web.config.file", folder + "/web.yml",
                                         "--vm", "a=tcp:127.0.0.1:9"}, 20s);
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("RequireAnyClientCert needs client_ca_file"), std::string::npos)
        << result.err;
    run_process({"rm", "-rf", folder}, 20s);
}

}  // namespace
