#pragma once

#include <optional>
#include <string>
#include <string_view>

// Text from outside (VM names, a guest's volume names) that may stand as it is in a label, a
// message or on a terminal: valid UTF-8 with nothing that moves or hides text.

// Why the text cannot stand as it is (not valid UTF-8; a control character, C0, DEL or C1; a
// line separator or bidirectional control), or nothing when it can. Empty text can.
std::optional<std::string> text_problem(std::string_view text);
