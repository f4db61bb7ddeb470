#include "endpoint.h"

#include <cctype>

namespace {

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

}  // namespace

bool split_host_port(std::string_view text, bool allow_port_zero, std::string* host,
                     std::string* port) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    std::string_view name = text.substr(0, colon);
    std::string_view number = text.substr(colon + 1);
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    if (name.empty() || !all_digits(number) || number.size() > 5) return false;
    unsigned long value = std::stoul(std::string(number));
    if (value > 65535 || (value == 0 && !allow_port_zero)) return false;
    *host = std::string(name);
    *port = std::to_string(value);
    return true;
}

std::optional<endpoint> parse_endpoint(std::string_view text) {
    endpoint where;
    if (text.substr(0, 5) == "unix:") {
        where.path = std::string(text.substr(5));
        if (where.path.empty()) return std::nullopt;
        return where;
    }
    if (text.substr(0, 4) == "tcp:") {
        where.kind = endpoint::kind_type::tcp;
        if (!split_host_port(text.substr(4), false, &where.host, &where.port)) return std::nullopt;
        return where;
    }
    return std::nullopt;
}

std::string endpoint_text(const endpoint& where) {
    if (where.kind == endpoint::kind_type::unix_socket) return "unix:" + where.path;
    bool ipv6 = where.host.find(':') != std::string::npos;
    return "tcp:" + (ipv6 ? "[" + where.host + "]" : where.host) + ":" + where.port;
}

std::optional<vm_endpoint> parse_vm_endpoint(std::string_view text) {
    std::size_t equals = text.find('=');
    if (equals == 0 || equals == std::string_view::npos) return std::nullopt;
    std::optional<endpoint> where = parse_endpoint(text.substr(equals + 1));
    if (!where) return std::nullopt;
    return vm_endpoint{std::string(text.substr(0, equals)), *where, {}};
}

std::string channel_folder_of(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    std::size_t slash = path.rfind('/');
    std::string_view folder = slash == std::string_view::npos ? "" : path.substr(0, slash);
    return std::string(folder.substr(folder.rfind('/') + 1));  // npos + 1 == 0
}

std::string vm_name_from_channel_path(std::string_view path) {
    std::string folder = channel_folder_of(path);
    std::string_view name = folder;
    constexpr std::string_view kPrefix = "domain-";
    if (name.substr(0, kPrefix.size()) == kPrefix) {
        std::string_view rest = name.substr(kPrefix.size());
        std::size_t dash = rest.find('-');
        if (dash != std::string_view::npos && dash + 1 < rest.size() &&
            all_digits(rest.substr(0, dash)))
            return std::string(rest.substr(dash + 1));
    }
    return std::string(name);
}
