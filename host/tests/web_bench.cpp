// scripts/bench --host, the HTTP side: honest scrapes while strangers hold idle connections,
// stall or drip TLS handshakes, or try wrong passwords, over plain HTTP and TLS; the exporter's
// CPU per wrong login against one bcrypt; the wire size of a TLS scrape; many VMs under a low
// soft limit on open files; how soon SIGTERM ends it. Asserts nothing.
#include "web_bench.h"

#include <crypt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "support/bcrypt_hash.h"
#include "support/exposition.h"
#include "support/process.h"
#include "support/sim_guest.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

// Strangers on connections of their own, each reopened as soon as the server cuts it; each
// second every one sends its next byte of a message (none when it is empty).
class strangers {
public:
    strangers(int port, int count, std::string message) : message_(std::move(message)) {
        for (int i = 0; i < count; ++i) fds_.push_back({connect_to(port), 0});
        thread_ = std::thread([this, port] { run(port); });
    }
    ~strangers() {
        done_ = true;
        thread_.join();
        for (auto& [fd, at] : fds_) close(fd);
    }
    int reopened() const { return reopened_; }

private:
    void run(int port) {
        auto next_byte = clock_type::now() + 1s;
        while (!done_) {
            std::vector<pollfd> watched;
            for (auto& [fd, at] : fds_) watched.push_back({fd, POLLIN, 0});
            poll(watched.data(), watched.size(), 100);
            for (std::size_t i = 0; i < watched.size(); ++i) {
                char buffer[512];
                if (watched[i].revents == 0 || recv(fds_[i].first, buffer, sizeof buffer, 0) > 0)
                    continue;
                close(fds_[i].first);
                fds_[i] = {connect_to(port), 0};
                ++reopened_;
            }
            if (message_.empty() || clock_type::now() < next_byte) continue;
            next_byte += 1s;
            for (auto& [fd, at] : fds_) {
                send(fd, &message_[at % message_.size()], 1, MSG_NOSIGNAL);
                ++at;
            }
        }
    }

    std::string message_;
    std::vector<std::pair<int, std::size_t>> fds_;
    std::atomic<bool> done_{false};
    std::atomic<int> reopened_{0};
    std::thread thread_;
};

struct scrape_result {
    bool ok;
    double seconds;
    double bytes;  // on the wire
};

scrape_result scrape(const std::string& url, const std::string& ca, const std::string& user,
                     bool compressed = true) {
    std::vector<std::string> argv = {"curl",       "-s",
                                     "-o",         "/dev/null",
                                     "-w",         "%{http_code} %{time_total} %{size_download}",
                                     "--max-time", "10",
                                     "--cacert",   ca};
    if (!user.empty()) argv.insert(argv.end(), {"-u", user});
    if (compressed) argv.push_back("--compressed");
    argv.push_back(url + "/metrics");
    std::istringstream out(run_process(argv, 20s).out);
    int code = 0;
    scrape_result result{false, 99, 0};
    out >> code >> result.seconds >> result.bytes;
    result.ok = code == 200;
    return result;
}

// Of n scrapes half a second apart, how many were answered within 2 s.
int honest_within_2s(const std::string& url, const std::string& ca, const std::string& user,
                     int n) {
    int good = 0;
    for (int i = 0; i < n; ++i) {
        scrape_result got = scrape(url, ca, user);
        good += got.ok && got.seconds < 2.0;
        std::this_thread::sleep_for(500ms);
    }
    return good;
}

double one_bcrypt_seconds(const std::string& hash) {
    auto start = clock_type::now();
    crypt_data data = {};
    crypt_r("wrong", hash.c_str(), &data);
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// A CA-signed server certificate for 127.0.0.1 in the working folder.
bool make_certificates() {
    const char* script =
        "set -e; openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
        "-keyout ca.key -out ca.crt -subj /CN=bench-ca -days 2 2>/dev/null\n"
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key "
        "-out server.csr -subj /CN=127.0.0.1 2>/dev/null\n"
        "echo subjectAltName=IP:127.0.0.1 > server.ext\n"
        "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
        "-out server.crt -days 2 -extfile server.ext 2>/dev/null\n";
    return run_process({"sh", "-c", script}, 60s).status == 0;
}

void bench_strangers(const char* host_exe, int guests) {
    if (!make_certificates()) {
        std::printf("web bench skipped: openssl could not make certificates\n");
        return;
    }
    mkdir("web-fleet", 0755);
    std::vector<std::unique_ptr<sim_guest>> fleet;
    for (int i = 1; i <= guests; ++i) {
        std::string folder = "web-fleet/domain-" + std::to_string(i) + "-web" + std::to_string(i);
        mkdir(folder.c_str(), 0755);
        fleet.push_back(std::make_unique<sim_guest>(folder + "/com.vorna.vm.stats_agent.0",
                                                    sim_guest_options{}));
    }
    const std::string password = "honest";
    const std::string hash = bcrypt_hash(password, 10);
    double bcrypt = one_bcrypt_seconds(hash);
    std::ofstream("plain.yml") << "basic_auth_users:\n  scraper: " << hash << "\n";
    std::ofstream("tls.yml")
        << "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
        << "basic_auth_users:\n  scraper: " << hash << "\n";
    char folder[4096];
    std::string here = getcwd(folder, sizeof folder) != nullptr ? folder : ".";
    std::string ca = here + "/ca.crt";
    std::string user = "scraper:" + password;
    std::printf("HTTP side, %d simulated guests, bcrypt cost 10 (%.3f s each here):\n", guests,
                bcrypt);
    for (const char* mode : {"plain", "tls"}) {
        bool tls = std::string(mode) == "tls";
        child_process exporter({host_exe, "export", "--listen", "127.0.0.1:0", "--interval", "15",
                                "--web.config.file", here + "/" + mode + ".yml", "--vm-glob",
                                "web-fleet/domain-*/com.vorna.vm.stats_agent.0"});
        auto port_text = exporter.wait_for_err("serving /metrics on 127.0.0.1:", 10s);
        if (!port_text) {
            std::printf("  %s: the exporter did not start: %s\n", mode, exporter.err().c_str());
            continue;
        }
        int port = std::stoi(*port_text);
        std::string url =
            std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
        std::this_thread::sleep_for(10s);  // the guests come up
        scrape_result packed = scrape(url, ca, user);
        scrape_result whole = scrape(url, ca, user, false);
        std::printf("  %s: one scrape %.0f bytes on the wire with gzip asked for, %.0f without\n",
                    mode, packed.bytes, whole.bytes);

        int good = 0;
        {
            strangers idle(port, 2000, "");
            std::this_thread::sleep_for(1s);
            good = honest_within_2s(url, ca, user, 10);
            std::printf(
                "  %s: 2,000 idle connections held, reopened when cut: %d of 10 honest "
                "scrapes within 2 s (%d reopened)\n",
                mode, good, idle.reopened());
        }
        if (tls) {
            std::string hello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
            strangers silent(port, 100, "");
            strangers dripping(port, 100, hello);
            std::this_thread::sleep_for(1s);
            good = honest_within_2s(url, ca, user, 10);
            std::printf(
                "  %s: 100 stalled and 100 dripping TLS handshakes: %d of 10 honest "
                "scrapes within 2 s\n",
                mode, good);
        }
        {
            std::atomic<bool> done{false};
            std::atomic<int> tried{0};
            std::thread attacker([&] {
                auto next = clock_type::now();
                for (int i = 0; !done; ++i) {
                    std::string login = i % 2 == 0 ? "scraper:wrong" + std::to_string(i)
                                                   : "nobody" + std::to_string(i) + ":" + password;
                    std::thread([url, ca, login] { scrape(url, ca, login); }).detach();
                    ++tried;
                    next += 50ms;
                    std::this_thread::sleep_until(next);
                }
            });
            std::this_thread::sleep_for(1s);
            double cpu_before = cpu_seconds(exporter.pid());
            int before = tried;
            good = honest_within_2s(url, ca, user, 13);
            double cpu = cpu_seconds(exporter.pid()) - cpu_before;
            int bad = tried - before;
            done = true;
            attacker.join();
            std::this_thread::sleep_for(2s);
            std::printf(
                "  %s: 20 wrong logins a second: %d of 13 honest scrapes within 2 s; "
                "%.3f s of exporter CPU per wrong login (%.1f bcrypts); peak memory %s\n",
                mode, good, cpu / bad, cpu / bad / bcrypt, status_field(exporter.pid(), "VmHWM").c_str());
        }
        exporter.stop(SIGTERM);
    }
}

void bench_descriptor_limit(const char* host_exe, int guests) {
    mkdir("fd-fleet", 0755);
    std::vector<std::unique_ptr<sim_guest>> fleet;
    for (int i = 1; i <= guests; ++i) {
        std::string folder = "fd-fleet/domain-" + std::to_string(i) + "-fd" + std::to_string(i);
        mkdir(folder.c_str(), 0755);
        fleet.push_back(std::make_unique<sim_guest>(folder + "/com.vorna.vm.stats_agent.0",
                                                    sim_guest_options{}));
    }
    child_process exporter({"sh", "-c", "ulimit -S -n 1024 && exec \"$0\" \"$@\"", host_exe,
                            "export", "--listen", "127.0.0.1:0", "--interval", "15", "--vm-glob",
                            "fd-fleet/domain-*/com.vorna.vm.stats_agent.0"});
    auto port_text = exporter.wait_for_err("serving /metrics on 127.0.0.1:", 10s);
    int up = 0;
    if (port_text) {
        int port = std::stoi(*port_text);
        eventually(30s, [&] {
            std::string text = http_get(port, "/metrics", 10s).value_or("");
            up = 0;
            for (int i = 1; i <= guests; ++i)
                up += sample_of(text, "vorna_up", "fd" + std::to_string(i)) == 1.0;
            return up == guests || exporter.wait(0ms).has_value();
        });
    }
    std::optional<int> ended = exporter.wait(0ms);
    std::printf(
        "%d VMs under a soft limit of 1,024 open files: %d up%s\n", guests, up,
        ended ? (", the exporter ended with status " + std::to_string(*ended)).c_str() : "");
    auto before = clock_type::now();
    exporter.stop(SIGTERM);
    std::printf("SIGTERM with %d VMs polled: ended %.2f s later\n", guests,
                std::chrono::duration<double>(clock_type::now() - before).count());
}

}  // namespace

void bench_web_side(const char* host_exe, int guests) {
    // The strangers and the fleet need more descriptors than the usual soft limit.
    rlimit limit = {};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    bench_strangers(host_exe, guests);
    bench_descriptor_limit(host_exe, 1100);
}
