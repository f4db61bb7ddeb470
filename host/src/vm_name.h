#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// VM names become label values of every series and words of every message: they must be valid
// UTF-8 with nothing that moves or hides text on a terminal.

// Why the name cannot be used (empty; not valid UTF-8; a control character, C0, DEL or C1; a
// line separator or bidirectional control), or nothing when it can.
std::optional<std::string> vm_name_problem(std::string_view name);

// A name as a message shows it: as it is when it could be a VM's name, escaped otherwise.
std::string shown_name(std::string_view name);

// A VM found on the host: the name it is known by, and a longer one that tells it apart from
// others of that name (libvirt cuts names to 20 characters in its channel folders; the folder
// name domain-<id>-<name> is unique among running domains).
struct found_vm {
    std::string name;
    std::string distinct_name;
};

// The name each newly found VM is exported under, never one already in use: its own name when no
// VM in use or found has it, else its distinct name, else none (an empty string). A VM keeps
// the name it got for as long as it is polled, so no series ever changes VM. One message for
// each VM that did not get its own name goes to *warnings.
std::vector<std::string> assign_vm_names(const std::vector<found_vm>& found,
                                         const std::set<std::string>& in_use,
                                         std::vector<std::string>* warnings);
