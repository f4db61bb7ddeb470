#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qemu/qmp_client.h"
#include "support/process.h"

// What a boot of the test guest needs: the image guest_image.sh made, the folder for the run's
// sockets and console logs, and the agent the guest starts under Wine.
struct guest_setup {
    std::string image_dir;
    std::string run_dir;
    std::string session_script;
    std::string agent_exe;
    std::string agent32_exe;  // the shipped 32-bit program; empty: none
    std::vector<std::string> accelerator;  // e.g. {"-accel", "tcg", "-cpu", "max,-smap", "-smp", "1"}
};

// One QEMU process running the test guest. The agent's port is given as the README tells
// operators (a virtio-serial port on a UNIX-socket chardev, server=on,wait=off), with a device id
// for QMP's events; a second port carries the test's commands to the guest's session.
class qemu_guest {
public:
    using clock = std::chrono::steady_clock;

    // Starts QEMU; boot numbers name the console logs. Throws when QEMU does not come up.
    qemu_guest(const guest_setup& setup, int boot);
    ~qemu_guest();
    qemu_guest(const qemu_guest&) = delete;
    qemu_guest& operator=(const qemu_guest&) = delete;

    std::string agent_socket() const { return setup_.run_dir + "/agent.sock"; }
    std::string agent_endpoint() const { return "unix:" + agent_socket(); }
    // The 32-bit program's port, the guest's second (agent32_start in the session).
    std::string agent32_endpoint() const { return "unix:" + setup_.run_dir + "/agent32.sock"; }

    // Runs a shell command in the guest's session (its functions agent_start and agent_stop
    // among them): its exit status and output, nothing when no answer came in time.
    struct result {
        int status;
        std::string output;
    };
    std::optional<result> run(const std::string& command, std::chrono::milliseconds time);

    // When the agent's port was opened in the guest, at or after since.
    std::optional<clock::time_point> wait_agent_port_open(clock::time_point since,
                                                          std::chrono::milliseconds time);
    // Whether the guest reached its session (the control port opened) within the time.
    bool wait_session(std::chrono::milliseconds time);

    void reset();
    // Asks QEMU to quit and waits for its exit.
    void quit();
    std::string console() const;

private:
    guest_setup setup_;
    std::string console_path_;
    clock::time_point started_;
    std::unique_ptr<child_process> qemu_;
    std::unique_ptr<qmp_client> qmp_;
    int control_fd_ = -1;
    std::string control_pending_;
};
