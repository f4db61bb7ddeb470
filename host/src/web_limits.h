#pragma once

#include <chrono>
#include <cstddef>

// The HTTP side's limits, the same over plain HTTP and over TLS. Each connection serves one
// request: a stranger holds a connection for at most kRequestDeadline unless it sends a whole
// request, and an answer for at most kConnectionDeadline.

// Open connections on each listen address; far above what a few scrapers need, so that idle
// strangers leave room. Beyond it, new connections wait in the kernel's queue.
constexpr unsigned kMaxConnections = 4096;
// From a connection's accept to its request's last header, the TLS handshake included.
constexpr std::chrono::seconds kRequestDeadline{5};
// From the accept to the answer's last byte.
constexpr std::chrono::seconds kConnectionDeadline{60};
// A connection on which nothing moves for this long is closed.
constexpr unsigned kIdleTimeoutSeconds = 10;
// Memory for one connection's request: its headers must fit.
constexpr std::size_t kConnectionMemory = 16 * 1024;
// Threads serving the connections of one listen address (epoll: each serves many).
constexpr unsigned kServerThreads = 2;
// Scrapes answered at once unless --web.max-requests says otherwise (node_exporter's default);
// a scrape beyond them gets 503.
constexpr int kDefaultMaxRequests = 40;
// Passwords waiting for their bcrypt, which runs one at a time off the serving threads; a
// login beyond them gets 503.
constexpr std::size_t kMaxPendingLogins = 8;
