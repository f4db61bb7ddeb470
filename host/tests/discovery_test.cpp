// vorna-stats-host export finding its VMs through libvirt: the test driver's node file for the
// listing and the XML; a libvirtd of the test's own, driven with virsh, for domains that start
// and stop and for the daemon's restart.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include "support/exposition.h"
#include "support/process.h"
#include "support/sim_guest.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

// A domain of libvirt's test driver, with the agent's channel when a source is given.
std::string domain_xml(const std::string& name, const std::string& uuid,
                       const std::string& channel_source, const std::string& type = "unix") {
    std::string xml = "<domain type='test'><name>" + name + "</name>";
    if (!uuid.empty()) xml += "<uuid>" + uuid + "</uuid>";
    xml += "<memory>1048576</memory><os><type>hvm</type></os><devices>";
    if (!channel_source.empty())
        xml += "<channel type='" + type + "'>" + channel_source +
               "<target type='virtio' name='com.vorna.vm.stats_agent.0'/></channel>";
    return xml + "</devices></domain>";
}

// A timeout well above the simulated guest's 2 s report delay: a reply at the edge of the
// timeout would make the first poll a race.
std::unique_ptr<child_process> start_exporter(const std::string& uri, int* port) {
    auto exporter = std::make_unique<child_process>(std::vector<std::string>{
        host_exe(), "export", "--libvirt", uri, "--web.listen-address", "127.0.0.1:0",
        "--interval", "1", "--timeout", "5"});
    auto text = exporter->wait_for_err("serving /metrics on 127.0.0.1:", 10s);
    *port = text ? std::stoi(*text) : 0;
    return exporter;
}

std::string metrics(int port) {
    return http_get(port, "/metrics").value_or("");
}

constexpr char kLongName[] = "windows-server-2022-accounting-east";  // beyond libvirt's 20
constexpr char kLongUuid[] = "6695eb01-f6a4-8304-79aa-97f2502e193f";

TEST(LibvirtDiscoveryTest, ExportsTheRunningDomainsThatHaveTheAgentsChannel) {
    mkdir("discovery", 0755);
    std::string folder = working_folder() + "/discovery";
    sim_guest by_unix(folder + "/long.sock", sim_guest_options{});
    sim_guest by_tcp("", sim_guest_options{});
    std::string tcp_port = by_tcp.endpoint().substr(by_tcp.endpoint().rfind(':') + 1);
    std::ofstream(folder + "/node.xml")
        << "<node>"
        << domain_xml(kLongName, kLongUuid, "<source mode='bind' path='" + folder + "/long.sock'/>")
        << domain_xml("by-tcp", "", "<source mode='bind' host='127.0.0.1' service='" + tcp_port + "'/>", "tcp")
        << domain_xml("no-agent", "", "")
        << domain_xml("pty-agent", "", "<source path='/dev/null'/>", "pty")
        << domain_xml("file-agent", "", "<source mode='bind' path='" + folder + "/node.xml'/>")
        << "</node>\n";

    int port = 0;
    auto exporter = start_exporter("test://" + folder + "/node.xml", &port);
    ASSERT_NE(port, 0) << exporter->err();
    std::string text;
    // A new connection waits for the channel to be quiet before its first request.
    EXPECT_TRUE(eventually(20s, [&] {
        text = metrics(port);
        return sample_of(text, "vorna_up", kLongName) == 1.0 && sample_of(text, "vorna_up", "by-tcp") == 1.0;
    })) << text << exporter->err();
    EXPECT_EQ(sample_of(text, "vorna_memory_total_bytes", kLongName), kSimMemTotalKib * 1024.0);
    EXPECT_NE(text.find("vorna_vm_info{vm=\"" + std::string(kLongName) + "\",uuid=\"" + kLongUuid + "\"} 1"),
              std::string::npos) << text;
    EXPECT_FALSE(sample_of(text, "vorna_up", "no-agent"));
    EXPECT_NE(text.find("vorna_libvirt_domains_without_channel 2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("vorna_libvirt_up 1\n"), std::string::npos);
    // The pty channel is reported, with the fix, once.
    std::string err = exporter->err();
    std::size_t reported = err.find("pty-agent: the channel com.vorna.vm.stats_agent.0 is of type 'pty'");
    EXPECT_NE(reported, std::string::npos) << err;
    EXPECT_EQ(err.find("pty-agent", reported + 1), std::string::npos) << err;
    EXPECT_NE(err.find("file-agent: " + folder + "/node.xml is not a socket"), std::string::npos)
        << err;
}

// A libvirtd with nothing but the test driver (no QEMU, network or storage driver modules), on
// sockets in the test's folder; no systemd needed.
class private_libvirtd {
public:
    explicit private_libvirtd(const std::string& folder) : folder_(folder) {
        mkdir(folder.c_str(), 0755);
        mkdir((folder + "/run").c_str(), 0755);
        mkdir((folder + "/no-modules").c_str(), 0755);
        std::ofstream(folder + "/libvirtd.conf")
            << "unix_sock_dir = \"" << folder << "/run\"\n"
            << "auth_unix_rw = \"none\"\nauth_unix_ro = \"none\"\n"
            << "unix_sock_rw_perms = \"0777\"\nunix_sock_ro_perms = \"0700\"\n";
        setenv("LIBVIRT_DRIVER_DIR", (folder + "/no-modules").c_str(), 1);
    }
    std::string uri(const std::string& socket = "libvirt-sock") const {
        return "test+unix:///default?socket=" + folder_ + "/run/" + socket;
    }
    bool start() {
        daemon_ = std::make_unique<child_process>(std::vector<std::string>{
            "libvirtd", "-f", folder_ + "/libvirtd.conf", "-p", folder_ + "/libvirtd.pid"});
        return eventually(20s, [&] { return virsh({"list"}).status == 0; });
    }
    void stop() { daemon_.reset(); }
    process_result virsh(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"virsh", "-c", uri()});
        return run_process(arguments, 20s);
    }
    std::string err() const { return daemon_ ? daemon_->err() : ""; }

private:
    std::string folder_;
    std::unique_ptr<child_process> daemon_;
};

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

TEST(LibvirtDiscoveryTest, FollowsDomainsThatStartAndStopAndADaemonThatRestarts) {
    if (geteuid() != 0) GTEST_SKIP() << "libvirtd runs as a system daemon only for root";
    std::string folder = working_folder() + "/libvirtd-" + std::to_string(getpid());
    private_libvirtd daemon(folder);
    ASSERT_TRUE(daemon.start()) << daemon.err();
    sim_guest guest(folder + "/guest.sock", sim_guest_options{});
    std::ofstream(folder + "/guest.xml")
        << domain_xml("started-later", "", "<source mode='bind' path='" + folder + "/guest.sock'/>");

    int port = 0;
    auto exporter = start_exporter(daemon.uri(), &port);
    ASSERT_NE(port, 0) << exporter->err();
    ASSERT_TRUE(eventually(10s, [&] { return metrics(port).find("vorna_libvirt_up 1") != std::string::npos; }));

    ASSERT_EQ(daemon.virsh({"create", folder + "/guest.xml"}).status, 0);
    auto started = clock_type::now();
    // Polled within 5 s: its poller has started and its series is there. Up follows once the
    // new connection has been quiet for a while and the report has come.
    EXPECT_TRUE(eventually(10s, [&] { return sample_of(metrics(port), "vorna_up", "started-later").has_value(); }))
        << exporter->err();
    double to_polled = seconds_since(started);
    EXPECT_LT(to_polled, 5.0);
    EXPECT_TRUE(eventually(20s, [&] { return sample_of(metrics(port), "vorna_up", "started-later") == 1.0; }))
        << exporter->err();
    double to_up = seconds_since(started);

    ASSERT_EQ(daemon.virsh({"destroy", "started-later"}).status, 0);
    started = clock_type::now();
    EXPECT_TRUE(eventually(10s, [&] { return !sample_of(metrics(port), "vorna_up", "started-later"); }));
    double to_gone = seconds_since(started);

    ASSERT_EQ(daemon.virsh({"create", folder + "/guest.xml"}).status, 0);
    ASSERT_TRUE(eventually(20s, [&] { return sample_of(metrics(port), "vorna_up", "started-later") == 1.0; }));
    daemon.stop();
    EXPECT_TRUE(exporter->wait_for_err("connection lost", 10s)) << exporter->err();
    // The domain runs on without the daemon, and is polled on.
    EXPECT_EQ(sample_of(metrics(port), "vorna_up", "started-later"), 1.0) << metrics(port) << exporter->err();
    EXPECT_NE(metrics(port).find("vorna_libvirt_up 0"), std::string::npos);
    ASSERT_TRUE(daemon.start()) << daemon.err();
    started = clock_type::now();
    EXPECT_TRUE(exporter->wait_for_err("connected again", 15s)) << exporter->err();
    double to_reconnect = seconds_since(started);
    EXPECT_LT(to_reconnect, 10.0);
    // The restarted test driver has forgotten the domain: it leaves the exposition.
    EXPECT_TRUE(eventually(10s, [&] { return !sample_of(metrics(port), "vorna_up", "started-later"); }));
    std::string err = exporter->err();
    auto count = [&](const std::string& text) {
        int found = 0;
        for (std::size_t at = err.find(text); at != std::string::npos; at = err.find(text, at + 1)) ++found;
        return found;
    };
    EXPECT_EQ(count("connection lost"), 1) << err;
    EXPECT_EQ(count("connected again"), 1) << err;
    std::printf("discovery: started domain polled after %.1f s and up after %.1f s, stopped one "
                "gone after %.1f s, restarted libvirtd reconnected after %.1f s\n",
                to_polled, to_up, to_gone, to_reconnect);
    exporter.reset();
    daemon.stop();
    run_process({"rm", "-rf", folder}, 20s);
}

int occurrences(const std::string& text, const std::string& part) {
    int found = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++found;
    return found;
}

TEST(LibvirtDiscoveryTest, MissingPermissionsAreReportedOnceNamingTheGroup) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the exporter as another user";
    std::string folder = working_folder() + "/libvirtd-denied-" + std::to_string(getpid());
    private_libvirtd daemon(folder);
    ASSERT_TRUE(daemon.start()) << daemon.err();
    // The guest's socket is root's alone, as QEMU's are libvirt-qemu's.
    sim_guest guest(folder + "/guest.sock", sim_guest_options{});
    chmod((folder + "/guest.sock").c_str(), 0700);
    std::ofstream(folder + "/guest.xml")
        << domain_xml("guarded", "", "<source mode='bind' path='" + folder + "/guest.sock'/>");

    auto as_nobody = [&](const std::string& uri) {
        return std::make_unique<child_process>(std::vector<std::string>{
            "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", host_exe(), "export",
            "--libvirt", uri, "--web.listen-address", "127.0.0.1:0", "--interval", "1"});
    };
    auto no_libvirt = as_nobody(daemon.uri("libvirt-sock-ro"));  // 0700, root's
    auto no_channel = as_nobody(daemon.uri());
    // The test driver's domains last while a client is connected: create it after.
    ASSERT_TRUE(no_channel->wait_for_err("connected", 10s)) << no_channel->err();
    ASSERT_EQ(daemon.virsh({"create", folder + "/guest.xml"}).status, 0);
    EXPECT_TRUE(no_libvirt->wait_for_err("needs the group libvirt", 10s)) << no_libvirt->err();
    EXPECT_TRUE(no_channel->wait_for_err("group libvirt-qemu", 10s)) << no_channel->err();
    std::this_thread::sleep_for(5s);  // two more listings
    EXPECT_EQ(occurrences(no_libvirt->err(), "needs the group libvirt"), 1) << no_libvirt->err();
    EXPECT_EQ(occurrences(no_channel->err(), "group libvirt-qemu"), 1) << no_channel->err();
    no_libvirt.reset();
    no_channel.reset();
    daemon.stop();
    run_process({"rm", "-rf", folder}, 20s);
}

}  // namespace
