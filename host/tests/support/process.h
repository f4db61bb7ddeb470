#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// A program the test starts, its standard output and error in files of the working folder.
// It gets SIGTERM, then SIGKILL after 5 s, if it still runs when the object goes.
class child_process {
public:
    explicit child_process(const std::vector<std::string>& argv);
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const { return pid_; }
    // The exit status (128 + signal when killed) once it has ended within the time.
    std::optional<int> wait(std::chrono::milliseconds time);
    // Sends the signal and waits for the end (SIGKILL after 5 s).
    int stop(int signal_number);
    std::string out() const;
    std::string err() const;
    // Waits until the standard error holds the text; what follows it on its line.
    std::optional<std::string> wait_for_err(const std::string& text, std::chrono::milliseconds time);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string out_path_;
    std::string err_path_;
};

struct process_result {
    int status;  // -1 when it had to be killed
    std::string out;
    std::string err;
};
process_result run_process(const std::vector<std::string>& argv, std::chrono::milliseconds time);

// The body of a 200 answer to GET path from 127.0.0.1:port; nothing on any failure.
std::optional<std::string> http_get(int port, const std::string& path,
                                    std::chrono::milliseconds time = std::chrono::seconds(5));

// User and system CPU time of a process so far, in seconds.
double cpu_seconds(pid_t pid);

// A field of /proc/PID/status (VmRSS, VmHWM, Threads), as it stands there; "?" when absent.
std::string status_field(pid_t pid, const std::string& name);

// A loopback TCP port that was free a moment ago.
int free_port();

// The program under test: VORNA_HOST_EXE, or vorna-stats-host on the PATH.
std::string host_exe();

// The working folder, where a test makes its files.
std::string working_folder();

// Polls check every 100 ms until it holds or the time is up; whether it held.
template <typename Check>
bool eventually(std::chrono::milliseconds time, Check check) {
    auto deadline = std::chrono::steady_clock::now() + time;
    for (;;) {
        if (check()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        struct timespec pause = {0, 100 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}
