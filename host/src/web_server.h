#pragma once

#include <memory>
#include <string>
#include <vector>

#include "listen_socket.h"
#include "web_config.h"
#include "web_handler.h"

// The exporter's HTTP side, one libmicrohttpd server (epoll, a few threads) on each listening
// socket, over plain HTTP or TLS as the web configuration says, within the limits of
// web_limits.h; the handler gives the answers. Logins are checked through a login_queue, so
// that no bcrypt ever holds a serving thread. It serves until destroyed.
class web_server {
public:
    virtual ~web_server() = default;
};

// Takes the sockets over; nothing, with the reason in *error, when a server does not start.
std::unique_ptr<web_server> start_web_server(std::vector<listen_socket> sockets,
                                             const web_config& config, web_handler& handler,
                                             std::string* error);
