#include "e2e/agent_process.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

std::string agent_exe() {
    const char* unix_path = std::getenv("VORNA_AGENT_EXE");
    if (unix_path == nullptr) throw std::runtime_error("VORNA_AGENT_EXE is not set");
    // Wine shows the Linux root as drive Z:.
    std::string path = std::string("Z:") + unix_path;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

temp_path::temp_path(const char* tag) {
    static std::atomic<int> counter{0};
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    path_ = std::string(folder) + "vorna-" + tag + "-" + std::to_string(GetCurrentProcessId()) +
            "-" + std::to_string(++counter);
    DeleteFileA(path_.c_str());
}

temp_path::~temp_path() {
    DeleteFileA(path_.c_str());
}

bool temp_path::exists() const {
    return GetFileAttributesA(path_.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string temp_path::read() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string command_line_of(const std::vector<std::string>& argv) {
    std::string line;
    for (const std::string& arg : argv) {
        if (!line.empty()) line += ' ';
        if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
            line += arg;
            continue;
        }
        line += '"';
        std::size_t backslashes = 0;
        for (char c : arg) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            // Backslashes are literal unless a quote follows them.
            line.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
            backslashes = 0;
            line += c;
        }
        line.append(2 * backslashes, '\\');
        line += '"';
    }
    return line;
}

agent_process::agent_process(const std::vector<std::string>& args, const std::string& exe)
    : out_("out"), err_("err") {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    auto open_capture = [&](const temp_path& file) {
        return unique_handle(CreateFileA(file.path().c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                         &inherit, CREATE_ALWAYS, 0, nullptr));
    };
    unique_handle out = open_capture(out_);
    unique_handle err = open_capture(err_);
    unique_handle in(CreateFileA("NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr));

    std::vector<std::string> argv = {"vorna-stats-agent"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string line = command_line_of(argv);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.get();
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    PROCESS_INFORMATION info = {};
    // Under load Wine's CreateProcess has failed once with ERROR_INTERNAL_ERROR while setting the
    // new process up (45 runs alone did not repeat it): one more try, so that such a hiccup does
    // not fail a test of something else; a program that cannot start fails both.
    auto create = [&] {
        return CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                              nullptr, &startup, &info);
    };
    if (!create() && !(GetLastError() == ERROR_INTERNAL_ERROR && create()))
        throw std::runtime_error("cannot start " + exe + ": error " +
                                 std::to_string(GetLastError()));
    CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    pid_ = info.dwProcessId;
}

agent_process::~agent_process() {
    if (running()) {
        TerminateProcess(process_.get(), 255);
        WaitForSingleObject(process_.get(), 5000);
    }
}

bool agent_process::wait(int timeout_ms, DWORD* status) {
    if (WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0)
        return false;
    GetExitCodeProcess(process_.get(), status);
    return true;
}

agent_result run_agent(const std::vector<std::string>& args, int timeout_ms,
                       const std::string& exe) {
    agent_process agent(args, exe);
    DWORD status = 0;
    bool ended = agent.wait(timeout_ms, &status);
    return {ended ? static_cast<long long>(status) : -1, agent.out(), agent.err()};
}
