// The agent as a service of Wine's own service control manager, driven through the Win32 API:
// installed by the real executable, started, served through a named pipe, stopped, removed.
// Every test uses the one real service name, so they run one after the other in this program;
// each removes its service however it ends, since an auto-start service would otherwise start
// again at every boot of the prefix.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e/agent_process.h"
#include "e2e/pipe_host.h"
#include "e2e/service_manager.h"

namespace {

const char kDisplayName[] = "Vorna VM stats agent.";
const char kDescription[] = "Enables integration with Vorna VM stats server.";
const char kDefaultDevice[] = "\\\\.\\Global\\com.vorna.vm.stats_agent.0";
// Standard output is in text mode: the line end reaches the file as CR LF.
const char kInstalled[] = "Service was installed successfully.\r\n";
const char kDeleted[] = "Service was deleted successfully.\r\n";

// Hang guards only, far above what the agent needs. The agent connects 2 s after its start.
constexpr int kStateTimeoutMs = 20000;
constexpr int kConnectTimeoutMs = 20000;
constexpr int kReplyTimeoutMs = 8000;
constexpr int kExitTimeoutMs = 20000;
// The 2 s wait after the close runs to its end before the loop returns and stopped is reported.
constexpr ULONGLONG kWaitAfterCloseMs = 2000;
// Whatever the agent is doing, stopped follows a stop request within this time: the longest
// fixed wait (4 s after an empty read), the 2 s after the close, and a margin.
constexpr ULONGLONG kStopBoundMs = 7000;
// Wine's dispatcher gives up on a process the manager did not start after about 10 s.
constexpr int kDispatcherTimeoutMs = 60000;

// Removes the service when the test ends, and any leftover of an earlier, killed run when it
// starts.
struct service_guard {
    service_guard() { remove_service(); }
    ~service_guard() { remove_service(); }
    service_guard(const service_guard&) = delete;
    service_guard& operator=(const service_guard&) = delete;
};

// A file copied into the prefix, deleted (with its folder, when the copy made it) when the test
// ends, after the service that may run it has been removed.
struct copied_file {
    std::string folder;
    std::string path;
    bool made_folder = false;
    bool copied = false;
    copied_file(std::string folder_path, const std::string& name, const std::string& source)
        : folder(std::move(folder_path)), path(folder + "\\" + name) {
        made_folder = CreateDirectoryA(folder.c_str(), nullptr) != FALSE;
        copied = CopyFileA(source.c_str(), path.c_str(), FALSE) != FALSE;
    }
    ~copied_file() {
        remove_service();
        DeleteFileA(path.c_str());
        if (made_folder) RemoveDirectoryA(folder.c_str());
    }
    copied_file(const copied_file&) = delete;
    copied_file& operator=(const copied_file&) = delete;
};

std::string registered_command_line() {
    service_registration r;
    return read_registration(&r) ? r.binary_path : "";
}

// The agent's own installation, as a user runs it.
agent_result install(const std::vector<std::string>& args, const std::string& exe = agent_exe()) {
    return run_agent(args, 15000, exe);
}

// The registration's command line for an agent at exe: the executable path always quoted.
std::string expected_command_line(const std::string& exe, const std::string& tail) {
    return "\"" + exe + "\" -d" + tail;
}

// The event source points at the executable the service runs.
void expect_event_source(const std::string& exe) {
    event_source_registration source;
    ASSERT_TRUE(read_event_source(&source));
    EXPECT_EQ(source.message_file_type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(source.message_file, exe);
    EXPECT_EQ(source.types_type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(source.types, 7u);  // error, warning, information
}

// Starts the registered service, checks that it runs and keeps its process to wait for.
testing::AssertionResult start_service(SC_HANDLE service, unique_handle* process = nullptr) {
    std::vector<state_seen> seen = start_and_watch(service, kStateTimeoutMs);
    if (seen.empty()) return testing::AssertionFailure() << "StartService: " << GetLastError();
    std::printf("  start: %s\n", describe(seen).c_str());
    if (seen.back().state != SERVICE_RUNNING)
        return testing::AssertionFailure() << "never running: " << describe(seen);
    if (process != nullptr) *process = open_service_process(service);
    return testing::AssertionSuccess();
}

// Stops the service and checks the states the manager shows: stop pending, then stopped no
// sooner than min_ms (the waits still to run) and within the bound, with exit codes 0. Returns
// the states seen, timed from the request.
std::vector<state_seen> expect_stop(SC_HANDLE service, const char* when,
                                    ULONGLONG min_ms = kWaitAfterCloseMs) {
    DWORD error = NO_ERROR;
    std::vector<state_seen> seen = stop_and_watch(service, kStateTimeoutMs, &error);
    std::printf("  stop %s: %s\n", when, describe(seen).c_str());
    EXPECT_EQ(error, static_cast<DWORD>(NO_ERROR));
    if (seen.empty()) return seen;
    EXPECT_EQ(seen.front().state, static_cast<DWORD>(SERVICE_STOP_PENDING)) << describe(seen);
    EXPECT_EQ(seen.back().state, static_cast<DWORD>(SERVICE_STOPPED)) << describe(seen);
    for (const state_seen& s : seen) {
        EXPECT_TRUE(s.state == SERVICE_STOP_PENDING || s.state == SERVICE_STOPPED)
            << describe(seen);
    }
    if (seen.back().state == SERVICE_STOPPED) {
        EXPECT_GE(seen.back().at_ms + 50, min_ms) << describe(seen);
        EXPECT_LE(seen.back().at_ms, kStopBoundMs) << describe(seen);
    }
    SERVICE_STATUS_PROCESS status = query_status(service);
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
    return seen;
}

void expect_process_exits_with_zero(const unique_handle& process) {
    DWORD status = 255;
    EXPECT_TRUE(wait_for_exit(process, kExitTimeoutMs, &status)) << "the agent did not end";
    EXPECT_EQ(status, 0u);
}

// Everything up to and including the first end, or what came before the time ran out.
std::string receive_through(pipe_host& host, const std::string& end) {
    std::string got;
    ULONGLONG deadline = GetTickCount64() + kReplyTimeoutMs;
    while (got.find(end) == std::string::npos && GetTickCount64() < deadline)
        got += host.receive(1, static_cast<int>(deadline - GetTickCount64()));
    return got;
}

void expect_ping_pong(pipe_host& host) {
    ASSERT_TRUE(host.send("PING"));
    EXPECT_EQ(host.receive(4, kReplyTimeoutMs), "PONG");
}

std::string repeated(const std::string& text, std::size_t times) {
    std::string all;
    while (times-- > 0) all += text;
    return all;
}

// How many times text stands in all.
std::size_t count_of(const std::string& all, const std::string& text) {
    std::size_t count = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
    return count;
}

TEST(ServiceInstallTest, InstallRegistersTheAutoStartService) {
    service_guard guard;
    pipe_host host(unique_pipe_path("service"));
    agent_result r = install({"-p", host.path(), "--service-install"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kInstalled);
    EXPECT_EQ(r.err, "");

    service_registration reg;
    ASSERT_TRUE(read_registration(&reg)) << GetLastError();
    EXPECT_EQ(reg.service_type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(reg.start_type, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(reg.error_control, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(reg.binary_path, expected_command_line(agent_exe(), " -p " + host.path()));
    EXPECT_EQ(reg.display_name, kDisplayName);
    EXPECT_EQ(reg.description, kDescription);
    EXPECT_EQ(reg.load_order_group, "");
    EXPECT_EQ(reg.dependencies, "");
    expect_event_source(agent_exe());
}

TEST(ServiceInstallTest, EmptyDevicePathRegistersTheDefaultPath) {
    service_guard guard;
    agent_result r = install({"-p", "", "--service-install"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kInstalled);
    // No -p at all: the service runs on the default path, never on "(null)".
    EXPECT_EQ(registered_command_line(), expected_command_line(agent_exe(), ""));
}

TEST(ServiceInstallTest, DevicePathAfterTheInstallIsNeverSeen) {
    service_guard guard;
    agent_result r = install({"-p", "\\\\.\\pipe\\first", "--service-install", "-p", "late"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(registered_command_line(),
              expected_command_line(agent_exe(), " -p \\\\.\\pipe\\first"));

    ASSERT_EQ(install({"--service-uninstall"}).status, 0);
    r = install({"--service-install", "-p", "late"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(registered_command_line(),
              expected_command_line(agent_exe(), std::string(" -p ") + kDefaultDevice));
}

TEST(ServiceInstallTest, InstallingTwiceFailsAtTheCreateStep) {
    service_guard guard;
    ASSERT_EQ(install({"-p", "\\\\.\\pipe\\first", "--service-install"}).status, 0);
    agent_result r = install({"-p", "\\\\.\\pipe\\second", "--service-install"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("CreateService: (Error: 1073) ", 0), 0u) << r.err;
    // The first registration stands.
    EXPECT_EQ(registered_command_line(),
              expected_command_line(agent_exe(), " -p \\\\.\\pipe\\first"));
}

TEST(ServiceInstallTest, UninstallRemovesTheRegistration) {
    service_guard guard;
    ASSERT_EQ(install({"--service-install"}).status, 0);
    agent_result r = install({"--service-uninstall"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kDeleted);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(service_exists());
    event_source_registration source;
    EXPECT_FALSE(read_event_source(&source));
}

TEST(ServiceInstallTest, RemovingAMissingServiceFailsAtTheOpenStep) {
    service_guard guard;
    agent_result r = install({"--service-uninstall"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("OpenService: (Error: 1060) ", 0), 0u) << r.err;
}

TEST(ServiceInstallTest, InstallEndsTheProcessBeforeAnyLaterRemoval) {
    service_guard guard;
    agent_result r = install({"--service-install", "--service-uninstall"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kInstalled);
    EXPECT_TRUE(service_exists());
}

TEST(ServiceInstallTest, CommandLineOfAtMost510CharactersIsRegisteredAndLongerIsRefused) {
    service_guard guard;
    // The length of everything but the device path, from a registration with a short one.
    ASSERT_EQ(install({"-p", "x", "--service-install"}).status, 0);
    std::size_t fixed = registered_command_line().size() - 1;
    ASSERT_EQ(install({"--service-uninstall"}).status, 0);
    ASSERT_LT(fixed, 400u);

    std::string device = "\\\\.\\pipe\\" + std::string(510 - fixed - 9, 'd');
    agent_result r = install({"-p", device, "--service-install"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(registered_command_line().size(), 510u);
    EXPECT_EQ(registered_command_line(), expected_command_line(agent_exe(), " -p " + device));
    ASSERT_EQ(install({"--service-uninstall"}).status, 0);

    r = install({"-p", device + "d", "--service-install"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Service command line too long: 511 characters, at most 510.\r\n");
    EXPECT_FALSE(service_exists());

    // Quoting counts: a path with a space gains two quotes.
    std::string spaced = device.substr(0, device.size() - 2) + " ";
    r = install({"-p", spaced, "--service-install"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Service command line too long: 511 characters, at most 510.\r\n");
    EXPECT_FALSE(service_exists());
}

// The executable path that does not fit its buffer is tested from the Linux side
// (linux_side_test.py): Wine's CreateProcess cannot start a program from such a path.

// The service installed by the agent on a pipe of this test, started, and connected.
class ServingTest : public testing::Test {
protected:
    service_guard guard;
    pipe_host host{unique_pipe_path("service")};
    sc_handle service;
    unique_handle process;

    void SetUp() override {
        ASSERT_EQ(install({"-p", host.path(), "--service-install"}).status, 0);
        service = open_service();
        ASSERT_TRUE(service);
        ASSERT_TRUE(start_service(service.get(), &process));
        ASSERT_TRUE(host.wait_for_agent(kConnectTimeoutMs));
    }
};

TEST_F(ServingTest, InstalledServiceStartsAndServes) {
    SERVICE_STATUS_PROCESS status = query_status(service.get());
    // The agent reports type 0x30; what the manager shows is printed, the record itself is
    // checked in-process.
    std::printf("  manager shows: type 0x%lx, controls accepted %lu\n", status.dwServiceType,
                status.dwControlsAccepted);
    EXPECT_EQ(status.dwControlsAccepted,
              static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_EQ(status.dwWaitHint, 0u);

    expect_ping_pong(host);
    // A stats request is answered with the memory object, and the session goes on.
    ASSERT_TRUE(host.send("GSTATS:M;PING"));
    std::string replies = receive_through(host, "PONG");
    ASSERT_GT(replies.size(), 4u);
    EXPECT_EQ(replies.rfind("{\"memory\": {", 0), 0u) << replies;
    EXPECT_EQ(replies.substr(replies.size() - 7), "} }PONG") << replies;

    expect_stop(service.get(), "after serving");
    expect_process_exits_with_zero(process);
}

// Where the agent is when the stop request comes, and how the host puts it there.
struct stop_case {
    const char* state;
    pipe_options pipe;
    bool host_listens;  // false: the device is missing
    void (*reach)(pipe_host& host);
    ULONGLONG min_ms;                // the agent's waits that still run after the request
    void (*check)(pipe_host& host);  // what the host sees afterwards; may be null
};

void expect_one_cpu_reply(pipe_host& host) {
    std::string replies = host.drain(1500);
    EXPECT_EQ(replies.rfind("{\"cpu\": {\"ncpus\": ", 0), 0u) << replies;
    // The command in progress completes; no later one of the message starts.
    EXPECT_EQ(count_of(replies, "\"cpu\""), 1u) << replies;
    EXPECT_EQ(count_of(replies, "PONG"), 0u) << replies;
}

// 512 bytes: 56 CPU requests of 2 s each.
const std::string kCpuTokens = repeated("GSTATS:C;", 56) + "GSTATS:C";

const stop_case kStopCases[] = {
    {"blocked in a read", {}, true, [](pipe_host&) { Sleep(2500); }, kWaitAfterCloseMs,
     [](pipe_host& host) { EXPECT_EQ(host.drain(500), ""); }},
    // 100 PONGs for a host that reads none: the fifth no longer fits its 16-byte buffer.
    {"blocked in a write the host never reads", {16, false}, true,
     [](pipe_host& host) {
         ASSERT_TRUE(host.send(repeated("PING;", 100)));
         Sleep(1500);
     },
     kWaitAfterCloseMs + 1000, nullptr},
    // Just after a PONG: no read is pending.
    {"in the wait before a read", {}, true, expect_ping_pong, kWaitAfterCloseMs, nullptr},
    // An empty message is read as 0 bytes; the agent then waits 4 s before its next read.
    {"in the wait after an empty read", {4096, true}, true,
     [](pipe_host& host) {
         ASSERT_TRUE(host.send(""));
         Sleep(1500);
     },
     kWaitAfterCloseMs + 3000, nullptr},
    {"waiting for a missing device", {}, false, [](pipe_host&) { Sleep(1000); },
     kWaitAfterCloseMs, nullptr},
    {"in the CPU window of a statistics request", {}, true,
     [](pipe_host& host) {
         ASSERT_TRUE(host.send("GSTATS:C;PING"));
         Sleep(1800);  // read after the 1 s wait; the 2 s window is under way
     },
     kWaitAfterCloseMs, expect_one_cpu_reply},
    {"in a message of 512 bytes of CPU requests", {}, true,
     [](pipe_host& host) {
         ASSERT_TRUE(host.send(kCpuTokens));
         Sleep(1800);
     },
     kWaitAfterCloseMs, expect_one_cpu_reply},
};

TEST(ServiceStopTest, StoppedWithinTheBoundInEveryState) {
    ASSERT_EQ(kCpuTokens.size(), 512u);
    for (const stop_case& c : kStopCases) {
        SCOPED_TRACE(c.state);
        service_guard guard;
        pipe_host host(unique_pipe_path("stop"), c.pipe);
        std::string device =
            c.host_listens ? host.path() : "\\\\.\\pipe\\vorna-test-nobody-listens";
        ASSERT_EQ(install({"-p", device, "--service-install"}).status, 0);
        sc_handle service = open_service();
        ASSERT_TRUE(service);
        unique_handle process;
        ASSERT_TRUE(start_service(service.get(), &process));
        if (c.host_listens) {
            ASSERT_TRUE(host.wait_for_agent(kConnectTimeoutMs));
        }
        c.reach(host);
        expect_stop(service.get(), c.state, c.min_ms);
        expect_process_exits_with_zero(process);
        if (c.check != nullptr) c.check(host);
    }
}

TEST(ServiceStopTest, ServesAndStopsAfterAHostThatStalledAndResumed) {
    service_guard guard;
    pipe_host host(unique_pipe_path("stall"), {16, false});
    ASSERT_EQ(install({"-p", host.path(), "--service-install"}).status, 0);
    sc_handle service = open_service();
    ASSERT_TRUE(service);
    unique_handle process;
    ASSERT_TRUE(start_service(service.get(), &process));
    ASSERT_TRUE(host.wait_for_agent(kConnectTimeoutMs));

    ASSERT_TRUE(host.send(repeated("PING;", 100)));
    Sleep(3000);  // the agent waits in a write that the host does not take
    // Without a stop nothing is cut short: every reply arrives once the host reads again.
    EXPECT_EQ(host.receive(400, kReplyTimeoutMs), repeated("PONG", 100));
    expect_ping_pong(host);
    expect_stop(service.get(), "after a host that stalled and resumed");
    expect_process_exits_with_zero(process);
}

TEST(ServiceRunTest, DevicePathWithASpaceIsQuotedAndServed) {
    service_guard guard;
    pipe_host host(unique_pipe_path("service with space"));
    ASSERT_EQ(install({"-p", host.path(), "--service-install"}).status, 0);
    EXPECT_EQ(registered_command_line(),
              expected_command_line(agent_exe(), " -p \"" + host.path() + "\""));
    sc_handle service = open_service();
    ASSERT_TRUE(service);
    ASSERT_TRUE(start_service(service.get()));
    ASSERT_TRUE(host.wait_for_agent(kConnectTimeoutMs));
    expect_ping_pong(host);
    expect_stop(service.get(), "after serving");
}

TEST(ServiceRunTest, InstallFromAFolderWithASpaceStartsAndServes) {
    service_guard guard;
    // With the path unquoted, the manager would run this decoy instead: it tries
    // "C:\Program Files\Vorna" + ".exe" before the whole path.
    copied_file decoy("C:\\Program Files", "Vorna.exe", "C:\\windows\\system32\\hostname.exe");
    copied_file exe("C:\\Program Files\\Vorna Test", "vorna-stats-agent.exe", agent_exe());
    ASSERT_TRUE(decoy.copied) << GetLastError();
    ASSERT_TRUE(exe.copied) << GetLastError();

    pipe_host host(unique_pipe_path("service"));
    agent_result r = install({"-p", host.path(), "--service-install"}, exe.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(registered_command_line(), expected_command_line(exe.path, " -p " + host.path()));
    expect_event_source(exe.path);
    sc_handle service = open_service();
    ASSERT_TRUE(service);
    unique_handle process;
    ASSERT_TRUE(start_service(service.get(), &process));
    ASSERT_TRUE(host.wait_for_agent(kConnectTimeoutMs));
    expect_ping_pong(host);
    expect_stop(service.get(), "after serving");
    expect_process_exits_with_zero(process);
}

// The real registration's command line has no -F. This registration, made for the test only
// through CreateServiceA under the same name, adds one, to see the service write the PID file
// before it serves and delete it when it stops.
sc_handle create_test_only_service_with_pid_file(const std::string& device,
                                                 const std::string& pid_file) {
    sc_handle manager = open_manager();
    if (!manager) return nullptr;
    std::string line = "\"" + agent_exe() + "\" " + command_line_of({"-d", "-p", device, "-F", pid_file});
    return sc_handle(CreateServiceA(manager.get(), SERVICE_NAME_UNDER_TEST, kDisplayName,
                                    SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, line.c_str(),
                                    nullptr, nullptr, nullptr, nullptr, nullptr));
}

TEST(ServiceRunTest, PidFileExistsWhileTheServiceRunsAndIsGoneAfterTheStop) {
    service_guard guard;
    pipe_host host(unique_pipe_path("service"));
    temp_path pid_file("service-pid");
    sc_handle service = create_test_only_service_with_pid_file(host.path(), pid_file.path());
    ASSERT_TRUE(service) << GetLastError();
    unique_handle process;
    ASSERT_TRUE(start_service(service.get(), &process));
    // Written before the loop starts, so before the agent connects.
    ASSERT_TRUE(host.wait_for_agent(kConnectTimeoutMs));
    EXPECT_TRUE(pid_file.exists());
    EXPECT_EQ(pid_file.read(), std::to_string(query_status(service.get()).dwProcessId));
    expect_ping_pong(host);

    expect_stop(service.get(), "with a PID file");
    expect_process_exits_with_zero(process);
    EXPECT_FALSE(pid_file.exists());
}

TEST_F(ServingTest, InterrogateAndUnknownControlsLeaveTheServiceRunning) {

    // Wine hands interrogate and user-defined controls to the handler but reports success
    // whatever the handler returns, so its 120 is checked in-process (service_unit). What shows
    // here is that nothing changed and the agent serves on.
    for (DWORD control : {DWORD{SERVICE_CONTROL_INTERROGATE}, DWORD{128}}) {
        SERVICE_STATUS status = {};
        BOOL sent = ControlService(service.get(), control, &status);
        std::printf("  control %lu: ControlService %s (error %lu), state %s\n", control,
                    sent ? "succeeded" : "failed", sent ? 0ul : GetLastError(),
                    state_name(query_status(service.get()).dwCurrentState));
        EXPECT_EQ(query_status(service.get()).dwCurrentState,
                  static_cast<DWORD>(SERVICE_RUNNING));
    }

    expect_ping_pong(host);
    expect_stop(service.get(), "after interrogate");
}

TEST_F(ServingTest, UninstallDoesNotStopARunningService) {

    agent_result r = install({"--service-uninstall"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kDeleted);
    EXPECT_EQ(query_status(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    expect_ping_pong(host);

    expect_stop(service.get(), "after its removal");
    expect_process_exits_with_zero(process);
    service.reset();
    for (int i = 0; i < 100 && service_exists(); ++i) Sleep(50);
    EXPECT_FALSE(service_exists());
}

TEST(ServiceRunTest, DaemonizeFromAConsoleFailsWithoutAPidFile) {
    temp_path pid_file("console-pid");
    agent_result r = run_agent({"-d", "-p", "\\\\.\\pipe\\vorna-test-unused", "-F", pid_file.path()},
                               kDispatcherTimeoutMs);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("StartServiceCtrlDispatcher: (Error: 1063) ", 0), 0u) << r.err;
    EXPECT_FALSE(pid_file.exists());
}

}  // namespace
