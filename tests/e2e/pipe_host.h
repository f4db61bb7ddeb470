#pragma once

#include <windows.h>

#include <string>

// Owns one Win32 handle.
class unique_handle {
public:
    unique_handle() = default;
    explicit unique_handle(HANDLE handle) : handle_(handle) {}
    unique_handle(unique_handle&& other) noexcept : handle_(other.release()) {}
    unique_handle& operator=(unique_handle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~unique_handle() { reset(); }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void reset(HANDLE handle = nullptr) {
        if (valid()) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

// Bytes as a person reads them: line feeds, NULs and other unprintable bytes escaped.
std::string shown(const std::string& bytes);

// A name no other test or run uses.
std::string unique_pipe_path(const char* tag);

// How the host's pipe is made. Small buffers make the agent's writes wait for the host; message
// mode lets the host send an empty message, which the agent reads as 0 bytes.
struct pipe_options {
    DWORD buffer_size = 4096;
    bool message_mode = false;
};

// The host's end of the channel: the server end of a named pipe, which the agent opens as its
// device.
class pipe_host {
public:
    explicit pipe_host(std::string path, pipe_options options = {});
    const std::string& path() const { return path_; }

    // Waits until the agent has opened the pipe.
    bool wait_for_agent(int timeout_ms);
    bool send(const std::string& message);
    // Reads until size bytes have arrived or the time is up; returns what arrived.
    std::string receive(std::size_t size, int timeout_ms);
    // Everything that arrives within the time.
    std::string drain(int timeout_ms);
    // Ends the connection: the agent's read fails, and it comes back later.
    void disconnect();

private:
    bool wait_io(OVERLAPPED* ov, int timeout_ms, DWORD* done);

    std::string path_;
    unique_handle pipe_;
    unique_handle event_;
};
