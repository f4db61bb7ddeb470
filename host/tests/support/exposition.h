#pragma once

#include <optional>
#include <string>

// The value of name{vm="<vm>"} in a Prometheus text exposition; nothing when it has no sample.
inline std::optional<double> sample_of(const std::string& text, const std::string& name,
                                       const std::string& vm) {
    std::string head = name + "{vm=\"" + vm + "\"} ";
    for (std::size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1))
        if (at == 0 || text[at - 1] == '\n') return std::stod(text.substr(at + head.size()));
    return std::nullopt;
}
