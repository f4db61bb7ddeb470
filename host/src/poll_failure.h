#pragma once

// Why a poll of a VM gave no figures: the reason label of the exporter's failure counter and
// the word its messages use. The list is fixed, so the counter's series stay few.
enum class poll_failure {
    connect,      // no connection to the channel
    timeout,      // no complete reply within the timeout
    closed,       // the guest's side closed before the reply was complete
    invalid,      // not a reply of the shape asked for
    oversized,    // more bytes than any reply can have
    implausible,  // a well-formed report with figures no agent can send
    noisy,        // the channel never went quiet, so no reply could be paired with the request
    resources,    // the exporter had no descriptor or thread left for the VM's poll
};

inline const char* poll_failure_name(poll_failure reason) {
    switch (reason) {
    case poll_failure::connect: return "connect";
    case poll_failure::timeout: return "timeout";
    case poll_failure::closed: return "closed";
    case poll_failure::invalid: return "invalid";
    case poll_failure::oversized: return "oversized";
    case poll_failure::implausible: return "implausible";
    case poll_failure::noisy: return "noisy";
    case poll_failure::resources: return "resources";
    }
    return "invalid";
}
