#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "figure_table.h"
#include "stop_signal.h"

// A guest's channel as QEMU's socket character device offers it, with a simulated agent behind:
// one connection at a time, and each read of the host's bytes taken as one message.
enum class guest_behaviour {
    agent,            // PONG to PING, the report to GSTATS: after the report delay
    silent,           // reads and never answers
    close_mid_reply,  // half of the report, then the connection closes
    garbage,          // after the report delay, bytes that are no reply
    trickle,          // after the report delay, a reply that never ends, one byte per write
    chatter,          // a byte every half second, whatever the host sends
};

struct sim_guest_options {
    guest_behaviour behaviour = guest_behaviour::agent;
    // The agent's 2 s CPU window: no report comes sooner.
    std::chrono::milliseconds report_delay{2000};
    // The reply to GSTATS:, whatever the selector; by default the agent's reply to the selector
    // with the figures of kSimFigures.
    std::function<std::string()> report;
    // As QEMU does: a reply written while no host is connected waits for the next connection.
    bool keep_late_replies = false;
    // An agent from before V, which ignores the letter.
    bool knows_volumes = true;
};

// The simulated agent's figures as it writes them, by row of kFigures; its sizes in KiB.
using sim_figures = std::array<std::string, kFigureCount>;
constexpr unsigned long long kSimMemTotalKib = 2097152;
constexpr unsigned long long kSimDiskTotalKib = 31457280;
extern const sim_figures kSimFigures;

// A volume as the simulated agent reports it: its strings in UTF-8, its figures by row.
struct sim_volume {
    std::vector<std::string> paths;
    std::string name;
    std::string label;
    std::string fs;
    sim_figures figures;
};

// A volume's figures in KiB.
sim_figures volume_figures(unsigned long long used, unsigned long long free,
                           unsigned long long total);

// Drive C: (the disk fragment's), a data drive that is full and also mounted in a folder, with
// a non-ASCII label, a volume mounted in a folder alone, one with no path, and a drive whose
// space cannot be read (its figures 0).
extern const std::vector<sim_volume> kSimVolumes;

// The agent's reply to GSTATS: and the selector, byte for byte, with these figures.
std::string sim_report(std::string_view selector, const sim_figures& figures = kSimFigures,
                       const std::vector<sim_volume>& volumes = kSimVolumes);

// The default reply to GSTATS:CMD.
extern const std::string kSimReport;

class sim_guest {
public:
    // On a UNIX socket at path (replaced when it exists), or on a loopback TCP port when the
    // path is empty.
    sim_guest(const std::string& unix_path, sim_guest_options options);
    ~sim_guest();
    sim_guest(const sim_guest&) = delete;
    sim_guest& operator=(const sim_guest&) = delete;

    // unix:PATH or tcp:127.0.0.1:PORT
    const std::string& endpoint() const { return endpoint_; }
    int messages() const { return messages_.load(); }
    // When the latest message arrived.
    std::chrono::steady_clock::time_point last_message() const;

private:
    void serve();
    void serve_connection(int client);
    // Sends the reply, or keeps it for the next connection when the host has gone.
    void reply_to(int client, const std::string& reply);

    sim_guest_options options_;
    std::string path_;
    std::string endpoint_;
    int listener_ = -1;
    stop_signal stop_;
    std::atomic<int> messages_{0};
    std::atomic<long long> last_message_ns_{0};
    std::string kept_;
    std::thread thread_;
};
