// Stands in for QEMU's socket character device under Wine: the server end of the agent's named
// pipe, joined to one loopback TCP client at a time. Wine 8's winsock has no AF_UNIX sockets,
// hence TCP. Bytes the agent writes while no client is connected are dropped, as QEMU does.
// Usage: pipe_bridge PIPE PORT   (PORT 0: any free one; the port is printed on stderr)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

struct relay {
    HANDLE pipe;
    SOCKET client;
    HANDLE stop;
    bool pipe_broken;
};

// Waits for overlapped I/O on the pipe, or the stop; false when it failed or was stopped.
bool finish_io(HANDLE pipe, OVERLAPPED* ov, HANDLE stop, DWORD* done) {
    HANDLE waits[2] = {ov->hEvent, stop};
    DWORD which = WaitForMultipleObjects(stop != nullptr ? 2 : 1, waits, FALSE, INFINITE);
    if (which != WAIT_OBJECT_0) CancelIoEx(pipe, ov);
    BOOL ok = GetOverlappedResult(pipe, ov, done, TRUE);
    return ok != FALSE && which == WAIT_OBJECT_0;
}

DWORD WINAPI pipe_to_client(void* argument) {
    auto* link = static_cast<relay*>(argument);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[4096];
    for (;;) {
        ResetEvent(ov.hEvent);
        DWORD done = 0;
        if (!ReadFile(link->pipe, buffer, sizeof buffer, nullptr, &ov) &&
            GetLastError() != ERROR_IO_PENDING) {
            link->pipe_broken = true;
            break;
        }
        if (!finish_io(link->pipe, &ov, link->stop, &done)) {
            if (WaitForSingleObject(link->stop, 0) != WAIT_OBJECT_0) link->pipe_broken = true;
            break;
        }
        if (send(link->client, buffer, static_cast<int>(done), 0) != static_cast<int>(done)) break;
    }
    CloseHandle(ov.hEvent);
    shutdown(link->client, SD_BOTH);  // ends the other direction's recv
    return 0;
}

// Relays until the client or the agent goes; true when the agent's end is still usable.
bool serve_client(HANDLE pipe, SOCKET client) {
    relay link = {pipe, client, CreateEventA(nullptr, TRUE, FALSE, nullptr), false};
    HANDLE reader = CreateThread(nullptr, 0, pipe_to_client, &link, 0, nullptr);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[4096];
    bool write_failed = false;
    for (;;) {
        int count = recv(client, buffer, sizeof buffer, 0);
        if (count <= 0) break;
        ResetEvent(ov.hEvent);
        DWORD done = 0;
        if ((!WriteFile(pipe, buffer, static_cast<DWORD>(count), nullptr, &ov) &&
             GetLastError() != ERROR_IO_PENDING) ||
            !finish_io(pipe, &ov, nullptr, &done)) {
            write_failed = true;
            break;
        }
    }
    SetEvent(link.stop);
    WaitForSingleObject(reader, INFINITE);
    CloseHandle(reader);
    CloseHandle(ov.hEvent);
    CloseHandle(link.stop);
    closesocket(client);
    return !write_failed && !link.pipe_broken;
}

bool wait_for_agent(HANDLE pipe) {
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool connected = ConnectNamedPipe(pipe, &ov) != FALSE || GetLastError() == ERROR_PIPE_CONNECTED;
    DWORD done = 0;
    if (!connected && GetLastError() == ERROR_IO_PENDING)
        connected = finish_io(pipe, &ov, nullptr, &done);
    CloseHandle(ov.hEvent);
    return connected;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: pipe_bridge PIPE PORT\n");
        return 2;
    }
    WSADATA winsock;
    WSAStartup(MAKEWORD(2, 2), &winsock);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(std::atoi(argv[2])));
    int size = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        listen(listener, 4) != 0) {
        std::fprintf(stderr, "pipe_bridge: cannot listen: %d\n", WSAGetLastError());
        return 1;
    }
    HANDLE pipe = CreateNamedPipeA(argv[1], PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096,
                                   0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "pipe_bridge: cannot create %s: %lu\n", argv[1], GetLastError());
        return 1;
    }
    std::fprintf(stderr, "pipe_bridge: listening on 127.0.0.1:%u\n", ntohs(address.sin_port));
    std::fflush(stderr);
    for (;;) {
        if (!wait_for_agent(pipe)) return 1;
        for (;;) {
            SOCKET client = accept(listener, nullptr, nullptr);
            if (client == INVALID_SOCKET) return 1;
            if (!serve_client(pipe, client)) break;
        }
        DisconnectNamedPipe(pipe);  // the agent comes back on a new connection
    }
}
