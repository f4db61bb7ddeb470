#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "endpoint.h"

// The name the agent's virtio-serial port carries in the guest and in a domain's XML.
constexpr char kAgentChannelName[] = "com.vorna.vm.stats_agent.0";

// What a domain's live XML says about the agent's channel.
struct domain_channel {
    enum class kind_type { found, none, not_a_socket };
    kind_type kind = kind_type::none;
    endpoint where;       // found
    std::string problem;  // not_a_socket: what the XML has instead, and the fix
};

// Finds the <channel> whose <target type='virtio' name='com.vorna.vm.stats_agent.0'/> in a
// domain's XML: its unix path or tcp host and service. Nothing when the XML does not parse.
std::optional<domain_channel> find_agent_channel(std::string_view domain_xml);
