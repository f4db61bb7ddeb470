#pragma once

#include <string>
#include <vector>

#include "endpoint.h"

// The channel sockets that match the patterns now, each once, as a VM named after its path
// (vm_name_from_channel_path); names are neither checked nor unique.
std::vector<vm_endpoint> scan_channel_globs(const std::vector<std::string>& patterns);
