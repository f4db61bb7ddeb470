#pragma once

#include <string>
#include <vector>

#include "endpoint.h"

// The channel sockets that match the patterns now, each as a VM named after its path
// (vm_name_from_channel_path). Of two paths with one name the first in order wins.
std::vector<vm_endpoint> scan_channel_globs(const std::vector<std::string>& patterns);
