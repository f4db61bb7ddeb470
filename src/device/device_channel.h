#pragma once

// The serial device through which the host talks to the agent: opened like a file, read and
// written with blocking calls. Nothing here prints; results alone carry failures.
struct dev_channel;

dev_channel* dev_init(const char* path);
// Replaces the path; an absent or empty path leaves the record without one.
void dev_set_path(dev_channel* dev, const char* path);
// The current path, or null.
const char* dev_path(const dev_channel* dev);
int dev_connect(dev_channel* dev);
// The system's error code of the last dev_connect that failed; 0 after one that succeeded.
unsigned long dev_connect_error(const dev_channel* dev);
// Bytes read (0 to size), or -1 on failure or once dev_cancel has been called.
int dev_read(dev_channel* dev, void* buffer, int size);
// 0 when all size bytes were written, else -1. Once dev_cancel has been called, a write that the
// host has not taken within about a second is cancelled and fails.
int dev_write(dev_channel* dev, const void* data, int size);
void dev_close(dev_channel* dev);
// Releases a read that is blocked now and makes every later read fail at once; bounds every
// write, pending or later, to about a second. Safe from another thread while the device is
// opened, read or closed: it never touches the device handle.
void dev_cancel(dev_channel* dev);
void dev_free(dev_channel* dev);
