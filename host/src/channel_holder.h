#pragma once

#include <string>

// QEMU's socket character device serves one client at a time and leaves the next in the
// listening socket's queue, unanswered, until the first goes. Whether a client is connected to
// the UNIX socket at path now, as the kernel's socket table shows it: a connection QEMU accepted
// carries the socket file's inode. False when it cannot be told.
bool unix_channel_held(const std::string& path);

// The message query gives for a channel that another client holds.
std::string channel_held_message(const std::string& path);
