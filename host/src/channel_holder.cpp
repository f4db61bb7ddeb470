#include "channel_holder.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

struct diag_request {
    nlmsghdr header;
    unix_diag_req body;
};

// Whether one unix_diag answer is a connected socket of the file (inode, device) whose client is
// still there: a connection the client has closed, which the server has not yet closed, holds
// nothing (its peer has no inode left).
bool holds_file(const unix_diag_msg* message, int length, ino_t inode, dev_t device) {
    if (message->udiag_state != TCP_ESTABLISHED) return false;
    bool of_file = false;
    bool peer_alive = false;
    int rest = length - static_cast<int>(NLMSG_ALIGN(sizeof *message));
    for (auto* attribute = reinterpret_cast<const rtattr*>(message + 1); RTA_OK(attribute, rest);
         attribute = RTA_NEXT(attribute, rest)) {
        if (attribute->rta_type == UNIX_DIAG_PEER) {
            std::uint32_t peer = 0;
            std::memcpy(&peer, RTA_DATA(attribute), sizeof peer);
            peer_alive = peer != 0;
        } else if (attribute->rta_type == UNIX_DIAG_VFS) {
            unix_diag_vfs vfs;
            std::memcpy(&vfs, RTA_DATA(attribute), sizeof vfs);
            // The kernel gives the device in its own encoding: major << 20 | minor.
            dev_t vfs_device = makedev(vfs.udiag_vfs_dev >> 20, vfs.udiag_vfs_dev & 0xfffff);
            of_file = vfs.udiag_vfs_ino == inode && vfs_device == device;
        }
    }
    return of_file && peer_alive;
}

}  // namespace

bool unix_channel_held(const std::string& path) {
    struct stat file = {};
    if (stat(path.c_str(), &file) != 0 || !S_ISSOCK(file.st_mode)) return false;
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return false;
    diag_request request = {};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.body.sdiag_family = AF_UNIX;
    request.body.udiag_states = 1u << TCP_ESTABLISHED;
    request.body.udiag_show = UDIAG_SHOW_VFS | UDIAG_SHOW_PEER;
    bool held = false;
    bool done = send(fd, &request, sizeof request, 0) != static_cast<ssize_t>(sizeof request);
    // Bounded: the kernel ends a dump with NLMSG_DONE; a timeout guards against anything else.
    timeval wait = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    alignas(nlmsghdr) char buffer[32768];
    while (!done) {
        ssize_t count = recv(fd, buffer, sizeof buffer, 0);
        if (count <= 0) break;
        int left = static_cast<int>(count);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, left);
             header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            auto* message = static_cast<const unix_diag_msg*>(NLMSG_DATA(header));
            int length = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(0));
            if (holds_file(message, length, file.st_ino, file.st_dev)) held = true;
        }
    }
    close(fd);
    return held;
}

std::string channel_held_message(const std::string& path) {
    return path + ": another client holds the channel (an exporter polling this VM?); QEMU "
                  "serves one client at a time, so query only gets an answer once it lets go";
}
