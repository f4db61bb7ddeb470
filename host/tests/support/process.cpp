#include "support/process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string capture_path(const char* stream) {
    static std::atomic<int> counter{0};
    return "child-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + "." + stream;
}

}  // namespace

child_process::child_process(const std::vector<std::string>& argv)
    : out_path_(capture_path("out")), err_path_(capture_path("err")) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    int failed = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("cannot start " + argv[0]);
}

child_process::~child_process() {
    if (!status_) stop(SIGTERM);
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
}

std::optional<int> child_process::wait(std::chrono::milliseconds time) {
    auto deadline = std::chrono::steady_clock::now() + time;
    while (!status_) {
        int raw = 0;
        pid_t done = waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
}

int child_process::stop(int signal_number) {
    if (!status_) kill(pid_, signal_number);
    if (!wait(std::chrono::seconds(5))) {
        kill(pid_, SIGKILL);
        wait(std::chrono::seconds(5));
    }
    return status_.value_or(-1);
}

std::string child_process::out() const {
    return read_file(out_path_);
}

std::string child_process::err() const {
    return read_file(err_path_);
}

std::optional<std::string> child_process::wait_for_err(const std::string& text,
                                                       std::chrono::milliseconds time) {
    std::optional<std::string> rest;
    eventually(time, [&] {
        std::string got = err();
        std::size_t at = got.find(text);
        std::size_t end = at == std::string::npos ? at : got.find('\n', at);
        if (end == std::string::npos) return false;
        rest = got.substr(at + text.size(), end - at - text.size());
        if (!rest->empty() && rest->back() == '\r') rest->pop_back();  // Windows programs' lines
        return true;
    });
    return rest;
}

process_result run_process(const std::vector<std::string>& argv, std::chrono::milliseconds time) {
    child_process child(argv);
    std::optional<int> status = child.wait(time);
    if (!status) child.stop(SIGKILL);
    return {status.value_or(-1), child.out(), child.err()};
}

std::optional<std::string> http_get(int port, const std::string& path,
                                    std::chrono::milliseconds time) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    timeval limit = {static_cast<time_t>(time.count() / 1000),
                     static_cast<suseconds_t>(time.count() % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::string response;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            char buffer[65536];
            ssize_t count;
            while ((count = recv(fd, buffer, sizeof buffer, 0)) > 0)
                response.append(buffer, static_cast<std::size_t>(count));
        }
    }
    close(fd);
    std::size_t body = response.find("\r\n\r\n");
    if (response.compare(0, 12, "HTTP/1.1 200") != 0 && response.compare(0, 12, "HTTP/1.0 200") != 0)
        return std::nullopt;
    if (body == std::string::npos) return std::nullopt;
    return response.substr(body + 4);
}

double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string status_field(pid_t pid, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(name + ":", 0) == 0) {
            std::string value = line.substr(name.size() + 1);
            return value.substr(value.find_first_not_of(" \t"));
        }
    return "?";
}

int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

std::string host_exe() {
    const char* path = std::getenv("VORNA_HOST_EXE");
    return path != nullptr ? path : "vorna-stats-host";
}

std::string working_folder() {
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) != nullptr ? buffer : ".";
}
