#include "support/sim_guest.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <vector>

const sim_figures kSimFigures = {
    "4",        "25.00",   std::to_string(kSimMemTotalKib), "1048576", "3145728", "2097152",
    "10485760", "20971520", std::to_string(kSimDiskTotalKib), "\"kB\"",
};

sim_figures volume_figures(unsigned long long used, unsigned long long free,
                           unsigned long long total) {
    sim_figures figures;
    figures[static_cast<std::size_t>(figure_id::volume_used)] = std::to_string(used);
    figures[static_cast<std::size_t>(figure_id::volume_free)] = std::to_string(free);
    figures[static_cast<std::size_t>(figure_id::volume_total)] = std::to_string(total);
    return figures;
}

namespace {

// As the agent writes strings: quotes and backslashes escaped, controls and DEL as \u00xx.
std::string json_text(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// A fragment's figures, "key": value in the table's order.
std::string figures_of(fragment_id fragment, const sim_figures& figures) {
    std::string text;
    for (const figure_row& row : kFigures)
        if (row.fragment == fragment)
            text += (text.empty() ? "\"" : ",\"") + std::string(row.key) + "\": " +
                    figures[static_cast<std::size_t>(row.id)];
    return text;
}

std::string volumes_of(const std::vector<sim_volume>& volumes) {
    std::string text = "[";
    for (const sim_volume& volume : volumes) {
        std::string paths;
        for (const std::string& path : volume.paths)
            paths += (paths.empty() ? "" : ",") + json_text(path);
        text += (text.size() == 1 ? "{\"paths\": [" : ",{\"paths\": [") + paths +
                "],\"volume\": " + json_text(volume.name) + ",\"label\": " +
                json_text(volume.label) + ",\"fs\": " + json_text(volume.fs) + "," +
                figures_of(fragment_id::volumes, volume.figures) + "}";
    }
    return text + "]";
}

}  // namespace

const std::vector<sim_volume> kSimVolumes = {
    {{"C:\\"}, "\\\\?\\Volume{0c1b02c1-d990-11dc-99ae-806e6f6e6963}\\", "System", "NTFS",
     volume_figures(10485760, 20971520, kSimDiskTotalKib)},
    {{"D:\\", "C:\\Data\\Archive\\"}, "\\\\?\\Volume{8a3e5d10-1f2b-4c6d-9e7f-0a1b2c3d4e5f}\\",
     "Donn\xc3\xa9" "es", "ReFS", volume_figures(104857600, 0, 104857600)},
    {{"C:\\Data\\Logs\\"}, "\\\\?\\Volume{2d7c41a0-5b3e-4f19-a6d8-3e9b0c7f1a24}\\", "Logs",
     "NTFS", volume_figures(1048576, 3145728, 4194304)},
    {{}, "\\\\?\\Volume{0b4c3f2e-7d6a-4e59-8c1b-2a3f4e5d6c7b}\\", "Recovery", "NTFS",
     volume_figures(424960, 87040, 512000)},
    {{"E:\\"}, "\\\\?\\Volume{5e6f7a8b-9c0d-4e1f-8a2b-3c4d5e6f7a8b}\\", "", "",
     volume_figures(0, 0, 0)},
};

std::string sim_report(std::string_view selector, const sim_figures& figures,
                       const std::vector<sim_volume>& volumes) {
    std::vector<const fragment_row*> asked;
    for (const fragment_row& fragment : kFragments)
        if (selects(selector, fragment.id)) asked.push_back(&fragment);
    std::string text = "{";
    for (std::size_t i = 0; i < asked.size(); ++i) {
        text += "\"" + std::string(asked[i]->name) + "\": ";
        text += asked[i]->id == fragment_id::volumes ? volumes_of(volumes)
                                                     : "{" + figures_of(asked[i]->id, figures) + "}";
        // As the agent ends them: a comma before the next fragment; last, cpu and memory with a
        // space, disk and volumes with nothing.
        bool bare = asked[i]->id == fragment_id::disk || asked[i]->id == fragment_id::volumes;
        text += i + 1 < asked.size() ? "," : bare ? "" : " ";
    }
    return text + "}";
}

const std::string kSimReport = sim_report("CMD");

sim_guest::sim_guest(const std::string& unix_path, sim_guest_options options)
    : options_(std::move(options)), path_(unix_path) {
    if (!path_.empty()) {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        if (path_.size() >= sizeof address.sun_path) throw std::runtime_error("path too long");
        std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        unlink(path_.c_str());
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind " + path_);
        endpoint_ = "unix:" + path_;
    } else {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        socklen_t size = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            throw std::runtime_error("cannot bind a loopback port");
        endpoint_ = "tcp:127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    listen(listener_, 4);
    thread_ = std::thread([this] { serve(); });
}

sim_guest::~sim_guest() {
    stop_.raise();
    thread_.join();
    close(listener_);
    if (!path_.empty()) unlink(path_.c_str());
}

std::chrono::steady_clock::time_point sim_guest::last_message() const {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(last_message_ns_.load()));
}

void sim_guest::serve() {
    for (;;) {
        pollfd watched[2] = {{listener_, POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
        poll(watched, 2, -1);
        if (watched[1].revents != 0) return;
        int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        if (!kept_.empty()) send(client, kept_.data(), kept_.size(), MSG_NOSIGNAL);
        kept_.clear();
        serve_connection(client);
        close(client);
    }
}

void sim_guest::serve_connection(int client) {
    bool chatter = options_.behaviour == guest_behaviour::chatter;
    for (;;) {
        pollfd watched[2] = {{client, POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
        if (poll(watched, 2, chatter ? 500 : -1) == 0) {
            send(client, "x", 1, MSG_NOSIGNAL);
            continue;
        }
        if (watched[1].revents != 0) return;
        char message[512];
        ssize_t count = recv(client, message, sizeof message, 0);
        if (count <= 0) return;
        ++messages_;
        last_message_ns_ = std::chrono::steady_clock::now().time_since_epoch().count();
        std::string text(message, static_cast<std::size_t>(count));
        std::string reply;
        switch (options_.behaviour) {
        case guest_behaviour::silent:
        case guest_behaviour::chatter:
            continue;
        case guest_behaviour::garbage:
            if (stop_.wait_for(options_.report_delay)) return;
            reply = "\x01\x02 no reply here";
            break;
        case guest_behaviour::close_mid_reply:
            reply = options_.report ? options_.report() : kSimReport;
            send(client, reply.data(), reply.size() / 2, MSG_NOSIGNAL);
            return;
        case guest_behaviour::trickle:
            if (stop_.wait_for(options_.report_delay)) return;
            send(client, "{", 1, MSG_NOSIGNAL);
            for (std::size_t i = 0; i < 2 * 64 * 1024 && !stop_.raised(); ++i) {
                if (send(client, " ", 1, MSG_NOSIGNAL) != 1) return;
                struct timespec pause = {0, 10 * 1000};
                nanosleep(&pause, nullptr);
            }
            continue;
        case guest_behaviour::agent:
            if (text == "PING") {
                reply = "PONG";
            } else if (text.rfind("GSTATS:", 0) == 0) {
                if (stop_.wait_for(options_.report_delay)) return;
                std::string selector = text.substr(7);
                if (!options_.knows_volumes)
                    selector.erase(std::remove(selector.begin(), selector.end(), 'V'),
                                   selector.end());
                reply = options_.report ? options_.report() : sim_report(selector);
            }
            break;
        }
        if (!reply.empty()) reply_to(client, reply);
    }
}

void sim_guest::reply_to(int client, const std::string& reply) {
    pollfd watched = {client, POLLIN, 0};
    char byte;
    bool gone = poll(&watched, 1, 0) > 0 &&
                ((watched.revents & (POLLHUP | POLLERR)) != 0 ||
                 recv(client, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0);
    if (gone || send(client, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
        if (options_.keep_late_replies) kept_ += reply;
    }
}
