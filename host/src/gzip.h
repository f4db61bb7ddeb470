#pragma once

#include <optional>
#include <string>
#include <string_view>

// Whether an Accept-Encoding header's value accepts gzip (and not with q=0).
bool accepts_gzip(std::string_view accept_encoding);

// The text in gzip format; nothing if zlib fails.
std::optional<std::string> gzip(std::string_view text);
