#pragma once

#include <optional>
#include <string>
#include <string_view>

// Where a guest's channel is reached on the host: the UNIX socket or the TCP address of QEMU's
// character device.
struct endpoint {
    enum class kind_type { unix_socket, tcp };
    kind_type kind = kind_type::unix_socket;
    std::string path;  // unix_socket
    std::string host;  // tcp; an IPv6 address without its brackets
    std::string port;  // tcp
};

// "unix:PATH" or "tcp:HOST:PORT" ("tcp:[::1]:PORT" for IPv6).
std::optional<endpoint> parse_endpoint(std::string_view text);

std::string endpoint_text(const endpoint& where);

// "HOST:PORT" with a port of 1 to 65535 (0 too when allowed: a port the system picks).
bool split_host_port(std::string_view text, bool allow_port_zero, std::string* host,
                     std::string* port);

struct vm_endpoint {
    std::string name;
    endpoint where;
    std::string uuid;  // of a libvirt domain; empty for a VM given on the command line
};

// "NAME=ENDPOINT", NAME not empty.
std::optional<vm_endpoint> parse_vm_endpoint(std::string_view text);

// The VM's name for a channel socket that libvirt made: libvirt puts it in a folder named
// "domain-<id>-<name>" (the name cut to 20 characters), so the name is the parent folder's name
// without "domain-<id>-"; the whole folder name when it has another form.
std::string vm_name_from_channel_path(std::string_view path);

// The name of the folder that holds the socket: domain-<id>-<name> for libvirt's channels.
std::string channel_folder_of(std::string_view path);
