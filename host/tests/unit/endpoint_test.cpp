#include <gtest/gtest.h>

#include "endpoint.h"

namespace {

struct endpoint_case {
    const char* text;
    bool valid;
    const char* shown;  // endpoint_text of the parsed endpoint
};

TEST(EndpointTest, UnixAndTcpEndpoints) {
    const endpoint_case cases[] = {
        {"unix:/run/vm.sock", true, "unix:/run/vm.sock"},
        {"unix:relative/vm.sock", true, "unix:relative/vm.sock"},
        {"tcp:127.0.0.1:4555", true, "tcp:127.0.0.1:4555"},
        {"tcp:host.example:65535", true, "tcp:host.example:65535"},
        {"tcp:[::1]:4555", true, "tcp:[::1]:4555"},
        {"tcp:127.0.0.1:0", false, ""},
        {"tcp:127.0.0.1:65536", false, ""},
        {"tcp:127.0.0.1:", false, ""},
        {"tcp:4555", false, ""},
        {"tcp::4555", false, ""},
        {"unix:", false, ""},
        {"/run/vm.sock", false, ""},
        {"udp:127.0.0.1:4555", false, ""},
    };
    for (const endpoint_case& c : cases) {
        std::optional<endpoint> got = parse_endpoint(c.text);
        ASSERT_EQ(got.has_value(), c.valid) << c.text;
        if (got) {
            EXPECT_EQ(endpoint_text(*got), c.shown);
        }
    }
}

TEST(EndpointTest, ListenAddressMayAskForAnyPort) {
    std::string host, port;
    EXPECT_TRUE(split_host_port("127.0.0.1:0", true, &host, &port));
    EXPECT_EQ(host + " " + port, "127.0.0.1 0");
    EXPECT_FALSE(split_host_port("127.0.0.1:0", false, &host, &port));
    EXPECT_FALSE(split_host_port("9100", true, &host, &port));
}

TEST(EndpointTest, VmIsNameEqualsEndpoint) {
    std::optional<vm_endpoint> vm = parse_vm_endpoint("web-1=tcp:127.0.0.1:4555");
    ASSERT_TRUE(vm);
    EXPECT_EQ(vm->name, "web-1");
    EXPECT_EQ(vm->where.port, "4555");
    EXPECT_FALSE(parse_vm_endpoint("=unix:/a"));
    EXPECT_FALSE(parse_vm_endpoint("web-1"));
    EXPECT_FALSE(parse_vm_endpoint("web-1=/a"));
}

TEST(EndpointTest, VmNameComesFromLibvirtsChannelFolder) {
    const std::pair<const char*, const char*> cases[] = {
        {"/var/lib/libvirt/qemu/channel/target/domain-3-win10/com.vorna.vm.stats_agent.0",
         "win10"},
        {"/var/lib/libvirt/qemu/channel/target/domain-12-web-01/x", "web-01"},
        {"/c/domain-7-a/x", "a"},
        {"/c/domain-x-a/x", "domain-x-a"},  // not libvirt's form: the folder as it is
        {"/c/domain-7-/x", "domain-7-"},
        {"/c/guests/win10/x", "win10"},
        {"x", ""},
    };
    for (const auto& [path, name] : cases) EXPECT_EQ(vm_name_from_channel_path(path), name) << path;
}

}  // namespace
