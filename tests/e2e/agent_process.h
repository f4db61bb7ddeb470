#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "e2e/pipe_host.h"

// The agent executable under test, as a Windows path.
std::string agent_exe();

// A file in the temporary folder that no other test uses, removed by the destructor.
class temp_path {
public:
    explicit temp_path(const char* tag);
    ~temp_path();
    const std::string& path() const { return path_; }
    bool exists() const;
    std::string read() const;

private:
    std::string path_;
};

// One run of the agent (exe, by default the one under test) with its standard output and error
// captured in files. argv[0] is "vorna-stats-agent"; the process is killed if it still runs when
// the object goes.
class agent_process {
public:
    explicit agent_process(const std::vector<std::string>& args,
                           const std::string& exe = agent_exe());
    ~agent_process();

    DWORD pid() const { return pid_; }
    // True when the process has ended within the time; its status is then in *status.
    bool wait(int timeout_ms, DWORD* status);
    bool running() { return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
    std::string out() const { return out_.read(); }
    std::string err() const { return err_.read(); }

private:
    temp_path out_;
    temp_path err_;
    unique_handle process_;
    DWORD pid_ = 0;
};

// Runs the agent to its end (at most timeout_ms; then it is killed and status is -1).
struct agent_result {
    long long status;
    std::string out;
    std::string err;
};
agent_result run_agent(const std::vector<std::string>& args, int timeout_ms = 15000,
                       const std::string& exe = agent_exe());

// The Windows command line for argv, quoted as the C runtime parses it.
std::string command_line_of(const std::vector<std::string>& argv);
