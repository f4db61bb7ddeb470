#include "e2e/pipe_host.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>

std::string shown(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c == '\n') text += "\\n";
        else if (c == '\0') text += "\\0";
        else if (c < 0x20 || c > 0x7e) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            text += hex;
        } else text += static_cast<char>(c);
    }
    return text;
}

std::string unique_pipe_path(const char* tag) {
    static std::atomic<int> counter{0};
    return "\\\\.\\pipe\\vorna-test-" + std::string(tag) + "-" +
           std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
}

pipe_host::pipe_host(std::string path, pipe_options options)
    : path_(std::move(path)),
      pipe_(CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                             (options.message_mode ? PIPE_TYPE_MESSAGE : PIPE_TYPE_BYTE) |
                                 PIPE_READMODE_BYTE | PIPE_WAIT,
                             1, options.buffer_size, options.buffer_size, 0, nullptr)),
      event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    if (!pipe_.valid() || !event_.valid()) throw std::runtime_error("cannot create " + path_);
}

bool pipe_host::wait_io(OVERLAPPED* ov, int timeout_ms, DWORD* done) {
    if (WaitForSingleObject(event_.get(), static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0)
        CancelIoEx(pipe_.get(), ov);
    return GetOverlappedResult(pipe_.get(), ov, done, TRUE) != FALSE;
}

bool pipe_host::wait_for_agent(int timeout_ms) {
    OVERLAPPED ov = {};
    ov.hEvent = event_.get();
    if (ConnectNamedPipe(pipe_.get(), &ov)) return true;
    DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return true;
    if (error != ERROR_IO_PENDING) return false;
    DWORD done = 0;
    return wait_io(&ov, timeout_ms, &done);
}

bool pipe_host::send(const std::string& message) {
    OVERLAPPED ov = {};
    ov.hEvent = event_.get();
    if (!WriteFile(pipe_.get(), message.data(), static_cast<DWORD>(message.size()), nullptr, &ov) &&
        GetLastError() != ERROR_IO_PENDING)
        return false;
    DWORD done = 0;
    return wait_io(&ov, 5000, &done) && done == message.size();
}

std::string pipe_host::receive(std::size_t size, int timeout_ms) {
    std::string got;
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
    while (got.size() < size) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) break;
        char buffer[4096];
        DWORD want = static_cast<DWORD>(std::min(size - got.size(), sizeof buffer));
        OVERLAPPED ov = {};
        ov.hEvent = event_.get();
        DWORD done = 0;
        if (!ReadFile(pipe_.get(), buffer, want, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
            break;
        bool ok = wait_io(&ov, static_cast<int>(deadline - now), &done);
        got.append(buffer, done);
        if (!ok) break;
    }
    return got;
}

std::string pipe_host::drain(int timeout_ms) {
    return receive(static_cast<std::size_t>(-1), timeout_ms);
}

void pipe_host::disconnect() {
    DisconnectNamedPipe(pipe_.get());
}
