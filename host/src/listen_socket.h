#pragma once

#include <optional>
#include <string>
#include <vector>

// Where the HTTP side listens: an address and port given as ADDR:PORT, [ADDR6]:PORT or :PORT.
struct listen_address {
    std::string host;  // numeric; empty: every address
    std::string port;  // 0: one the system picks
};

// Nothing unless the text has that form with a numeric address.
std::optional<listen_address> parse_listen_address(const std::string& text);

struct listen_socket {
    int fd = -1;
    std::string shown;  // as the messages show it: 127.0.0.1:9638, [::]:9638
};

// A listening socket on the address; every address is IPv6's and IPv4's together ([::] with
// IPv4 mapped), or IPv4's alone where the system has no IPv6. Nothing, with the reason in
// *error, when it cannot be had.
std::optional<listen_socket> open_listen_socket(const listen_address& where, std::string* error);

// The listening sockets systemd passed for socket activation (LISTEN_PID and LISTEN_FDS).
// False, with the reason in *error, when there are none or one is not a listening socket.
bool systemd_listen_sockets(std::vector<listen_socket>* sockets, std::string* error);
