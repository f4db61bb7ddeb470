// query of a VM whose channel another client (an exporter) holds: QEMU's socket serves one
// client at a time, so the query would wait unanswered for its whole timeout.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "support/process.h"
#include "support/sim_guest.h"

namespace {

using namespace std::chrono_literals;

// A client that the guest's side has accepted: it got its PONG.
int hold(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    timeval limit = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char reply[8] = {};
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        send(fd, "PING", 4, MSG_NOSIGNAL) != 4 || recv(fd, reply, 4, MSG_WAITALL) != 4) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(QueryTest, ChannelHeldByAnotherClientFailsAtOnceSayingSo) {
    mkdir("held", 0755);
    sim_guest guest("held/channel.sock", sim_guest_options{});
    int holder = hold("held/channel.sock");
    ASSERT_GE(holder, 0);
    auto began = std::chrono::steady_clock::now();
    process_result held = run_process({host_exe(), "query", "unix:held/channel.sock", "PING"}, 20s);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_EQ(held.status, 3) << held.err;
    EXPECT_NE(held.err.find("another client holds the channel"), std::string::npos) << held.err;
    EXPECT_LT(took, 2.0);

    close(holder);
    process_result free = run_process({host_exe(), "query", "unix:held/channel.sock", "PING"}, 20s);
    EXPECT_EQ(free.status, 0) << free.err;
    EXPECT_EQ(free.out, "PONG\n");
}

}  // namespace
