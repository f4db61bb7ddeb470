#include <gtest/gtest.h>

#include "libvirt_channel.h"

namespace {

std::string domain_with(const std::string& devices) {
    return "<domain type='kvm'><name>w</name><devices>" + devices + "</devices></domain>";
}

const char kTarget[] = "<target type='virtio' name='com.vorna.vm.stats_agent.0'/>";

TEST(LibvirtChannelTest, FindsTheAgentsChannelAmongTheDomainsDevices) {
    struct row {
        std::string devices;
        domain_channel::kind_type kind;
        std::string endpoint;
    };
    using kind = domain_channel::kind_type;
    const row rows[] = {
        {"<channel type='unix'><source mode='bind' path='/run/q/ch.0'/>" + std::string(kTarget) +
             "</channel>",
         kind::found, "unix:/run/q/ch.0"},
        {"<channel type='tcp'><source mode='bind' host='127.0.0.1' service='4555'/>" +
             std::string(kTarget) + "</channel>",
         kind::found, "tcp:127.0.0.1:4555"},
        // Another channel first, the agent's second.
        {"<channel type='unix'><source mode='bind' path='/a'/><target type='virtio' "
         "name='org.qemu.guest_agent.0'/></channel><channel type='unix'><source mode='bind' "
         "path='/b'/>" + std::string(kTarget) + "</channel>",
         kind::found, "unix:/b"},
        {"<channel type='pty'><source path='/dev/pts/3'/>" + std::string(kTarget) + "</channel>",
         kind::not_a_socket, ""},
        {"<channel type='unix'>" + std::string(kTarget) + "</channel>", kind::not_a_socket, ""},
        {"<channel type='unix'><source mode='bind' path='/a'/><target type='virtio' "
         "name='org.qemu.guest_agent.0'/></channel>",
         kind::none, ""},
        {"<channel type='unix'><source mode='bind' path='/a'/><target type='guestfwd' "
         "name='com.vorna.vm.stats_agent.0'/></channel>",
         kind::none, ""},
        {"", kind::none, ""},
    };
    for (const row& each : rows) {
        std::optional<domain_channel> found = find_agent_channel(domain_with(each.devices));
        ASSERT_TRUE(found) << each.devices;
        EXPECT_EQ(found->kind, each.kind) << each.devices;
        if (each.kind == kind::found) {
            EXPECT_EQ(endpoint_text(found->where), each.endpoint);
        }
        if (each.kind == kind::not_a_socket) {
            EXPECT_NE(found->problem.find("type='unix'"), std::string::npos);
        }
    }
    EXPECT_FALSE(find_agent_channel("<domain><devices>"));
    EXPECT_FALSE(find_agent_channel("<node/>"));
}

}  // namespace
