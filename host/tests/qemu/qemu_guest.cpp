#include "qemu/qemu_guest.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

constexpr char kControlPort[] = "vorna.test.control";
constexpr char kControlDevice[] = "vorna-test-control";
// QEMU reports a port's opening and closing by the guest (QMP's VSERPORT_CHANGE) only for a port
// device with an id.
constexpr char kAgentDevice[] = "vorna-agent-port";

int connect_unix(const std::string& path) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), std::min(path.size() + 1, sizeof address.sun_path));
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
}

}  // namespace

qemu_guest::qemu_guest(const guest_setup& setup, int boot)
    : setup_(setup),
      console_path_(setup.run_dir + "/console-" + std::to_string(boot) + ".log"),
      started_(clock::now()) {
    for (const char* name : {"/agent.sock", "/agent32.sock", "/control.sock", "/qmp.sock"})
        if (setup_.run_dir.size() + std::strlen(name) >= sizeof(sockaddr_un::sun_path))
            throw std::runtime_error("run folder too long for a UNIX socket: " + setup_.run_dir);
    std::vector<std::string> argv = {"qemu-system-x86_64"};
    argv.insert(argv.end(), setup_.accelerator.begin(), setup_.accelerator.end());
    std::vector<std::string> rest = {
        "-m", "1536", "-display", "none", "-monitor", "none", "-parallel", "none",
        "-serial", "file:" + console_path_,
        "-qmp", "unix:" + setup_.run_dir + "/qmp.sock,server=on,wait=off",
        "-kernel", setup_.image_dir + "/kernel/vmlinuz",
        "-initrd", setup_.image_dir + "/initramfs.cpio",
        "-append", "console=ttyS0 quiet vorna.session=" + setup_.session_script +
                   " vorna.prefix=" + setup_.image_dir + "/wineprefix.tar vorna.agent=" + setup_.agent_exe +
                   " vorna.prefix32=" + setup_.image_dir + "/wineprefix-wow64.tar vorna.agent32=" +
                   setup_.agent32_exe,
        // The guest runs the host's own Wine: the host's root, read-only.
        "-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap",
        "-device", "virtio-serial",
        "-chardev", "socket,id=vorna0,path=" + agent_socket() + ",server=on,wait=off",
        "-device", std::string("virtserialport,chardev=vorna0,id=") + kAgentDevice +
                   ",name=com.vorna.vm.stats_agent.0",
        "-chardev", "socket,id=vorna1,path=" + setup_.run_dir + "/agent32.sock,server=on,wait=off",
        "-device", "virtserialport,chardev=vorna1,name=com.vorna.vm.stats_agent.1",
        "-chardev", "socket,id=control,path=" + setup_.run_dir + "/control.sock,server=on,wait=off",
        "-device", std::string("virtserialport,chardev=control,id=") + kControlDevice + ",name=" + kControlPort,
    };
    argv.insert(argv.end(), rest.begin(), rest.end());
    std::string qmp_socket = setup_.run_dir + "/qmp.sock";
    unlink(qmp_socket.c_str());
    qemu_ = std::make_unique<child_process>(argv);
    bool listening = eventually(std::chrono::seconds(30), [&] {
        return access(qmp_socket.c_str(), F_OK) == 0 || qemu_->wait(std::chrono::milliseconds(0));
    });
    if (!listening || qemu_->wait(std::chrono::milliseconds(0)))
        throw std::runtime_error("QEMU did not start: " + qemu_->err());
    qmp_ = std::make_unique<qmp_client>(qmp_socket, std::chrono::seconds(10));
    // The chardevs exist once QMP answers; the control port holds what is sent until the guest
    // opens it.
    control_fd_ = connect_unix(setup_.run_dir + "/control.sock");
    if (control_fd_ < 0) throw std::runtime_error("no control socket; QEMU: " + qemu_->err());
}

qemu_guest::~qemu_guest() {
    if (control_fd_ >= 0) close(control_fd_);
    qmp_.reset();
    if (qemu_) qemu_->stop(SIGKILL);
}

std::optional<qemu_guest::result> qemu_guest::run(const std::string& command,
                                                  std::chrono::milliseconds time) {
    std::string line = command + "\n";
    if (send(control_fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
        return std::nullopt;
    auto deadline = clock::now() + time;
    const std::string marker = "@@end ";
    for (;;) {
        std::size_t at = control_pending_.find(marker);
        std::size_t end = at == std::string::npos ? at : control_pending_.find('\n', at);
        if (end != std::string::npos) {
            result done = {std::stoi(control_pending_.substr(at + marker.size())),
                           control_pending_.substr(0, at)};
            control_pending_.erase(0, end + 1);
            return done;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        pollfd ready = {control_fd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
        char buffer[4096];
        ssize_t count = recv(control_fd_, buffer, sizeof buffer, 0);
        if (count <= 0) return std::nullopt;
        control_pending_.append(buffer, static_cast<std::size_t>(count));
    }
}

std::optional<qemu_guest::clock::time_point> qemu_guest::wait_agent_port_open(
    clock::time_point since, std::chrono::milliseconds time) {
    return qmp_->wait_event("VSERPORT_CHANGE", since, [](const nlohmann::json& data) {
        return data.value("open", false) && data.value("id", "") == kAgentDevice;
    }, time);
}

bool qemu_guest::wait_session(std::chrono::milliseconds time) {
    return qmp_->wait_event("VSERPORT_CHANGE", started_, [](const nlohmann::json& data) {
        return data.value("open", false) && data.value("id", "") == kControlDevice;
    }, time).has_value();
}

void qemu_guest::reset() {
    qmp_->execute("system_reset");
}

void qemu_guest::quit() {
    try {
        qmp_->execute("quit");
    } catch (const std::exception&) {
        // QEMU may close the socket before its reply.
    }
    qemu_->wait(std::chrono::seconds(30));
}

std::string qemu_guest::console() const {
    std::ifstream in(console_path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
