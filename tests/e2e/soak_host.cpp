// Keeps the agent busy for a while — a request every second, mixing PING and statistics, and a
// reconnection at a fixed interval — and compares its private bytes, handles and threads after
// warm-up with those at the end. Exit status 1 when a reply was wrong or a figure grew.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/agent_process.h"
#include "e2e/pipe_host.h"

namespace {

struct usage {
    SIZE_T private_bytes = 0;
    DWORD handles = 0;
    DWORD threads = 0;
};

// One row of the system handle table (information class 16).
struct handle_entry {
    USHORT pid;
    USHORT creator_back_trace_index;
    UCHAR object_type;
    UCHAR attributes;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};

// GetProcessHandleCount answers 0 under Wine; the system handle table is right on both.
DWORD handle_count(DWORD pid) {
    using query_fn = NTSTATUS(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<query_fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll"), "NtQuerySystemInformation")));
    std::vector<char> table(1 << 20);
    ULONG length = 0;
    while (query(16, table.data(), static_cast<ULONG>(table.size()), &length) != 0) {
        if (table.size() >= (64u << 20)) return 0;
        table.resize(table.size() * 2);
    }
    ULONG count = *reinterpret_cast<ULONG*>(table.data());
    const auto* rows = reinterpret_cast<const handle_entry*>(table.data() + sizeof(ULONG_PTR));
    DWORD mine = 0;
    for (ULONG i = 0; i < count; ++i)
        if (rows[i].pid == static_cast<USHORT>(pid)) ++mine;
    return mine;
}

usage usage_of(const agent_process& agent) {
    usage u;
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    // The commit charge: private bytes. (Wine leaves PrivateUsage at 0.)
    if (GetProcessMemoryInfo(agent.handle(), &memory, sizeof memory))
        u.private_bytes = memory.PagefileUsage;
    u.handles = handle_count(agent.pid());
    unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 thread = {};
    thread.dwSize = sizeof thread;
    for (BOOL more = Thread32First(snapshot.get(), &thread); more;
         more = Thread32Next(snapshot.get(), &thread))
        if (thread.th32OwnerProcessID == agent.pid()) ++u.threads;
    return u;
}

bool reply_ok(const std::string& request, const std::string& reply) {
    if (request == "PING") return reply == "PONG";
    return reply.size() > 2 && reply.front() == '{' && reply.back() == '}';
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    int reconnect_every = argc > 2 ? std::atoi(argv[2]) : 60;
    int warm_up = argc > 3 ? std::atoi(argv[3]) : 30;
    const char* requests[] = {"PING", "GSTATS:M", "PING", "GSTATS:D", "PING", "GSTATS:CMD",
                              "PING", "GSTATS:MD", "PING", "GSTATS:C"};

    pipe_host host(unique_pipe_path("soak"));
    agent_process agent({"-p", host.path()});
    if (!host.wait_for_agent(15000)) {
        std::fprintf(stderr, "soak: the agent did not connect\n");
        return 1;
    }
    ULONGLONG start = GetTickCount64();
    ULONGLONG last_reconnect = start;
    auto elapsed = [&] { return static_cast<int>((GetTickCount64() - start) / 1000); };

    usage baseline;
    bool have_baseline = false;
    int sent = 0, wrong = 0, reconnects = 0;
    while (elapsed() < seconds) {
        if (GetTickCount64() - last_reconnect >= static_cast<ULONGLONG>(reconnect_every) * 1000) {
            host.disconnect();
            if (!host.wait_for_agent(15000)) {
                std::fprintf(stderr, "soak: the agent did not come back\n");
                return 1;
            }
            last_reconnect = GetTickCount64();
            ++reconnects;
        }
        if (!have_baseline && elapsed() >= warm_up) {
            baseline = usage_of(agent);
            have_baseline = true;
        }
        std::string request = requests[sent % (sizeof requests / sizeof *requests)];
        ++sent;
        std::string reply;
        if (host.send(request)) {
            std::string first = host.receive(1, 6000);
            reply = first.empty() ? first : first + host.drain(300);
        }
        if (!reply_ok(request, reply)) {
            ++wrong;
            std::fprintf(stderr, "soak: %s -> '%s'\n", request.c_str(), reply.c_str());
        }
        Sleep(1000);
    }
    usage end = usage_of(agent);
    if (!have_baseline) baseline = end;

    std::printf("soak: %d s, %d requests, %d wrong replies, %d reconnections\n", elapsed(), sent,
                wrong, reconnects);
    std::printf("%-14s %14s %14s\n", "", "after warm-up", "at the end");
    std::printf("%-14s %14zu %14zu\n", "private bytes", static_cast<size_t>(baseline.private_bytes),
                static_cast<size_t>(end.private_bytes));
    std::printf("%-14s %14lu %14lu\n", "handles", baseline.handles, end.handles);
    std::printf("%-14s %14lu %14lu\n", "threads", baseline.threads, end.threads);

    bool grew = end.private_bytes > baseline.private_bytes || end.handles > baseline.handles ||
                end.threads > baseline.threads;
    if (grew) std::printf("soak: a figure grew after warm-up\n");
    return (wrong == 0 && !grew && agent.running()) ? 0 : 1;
}
