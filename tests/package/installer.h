#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "e2e/service_manager.h"

// Where the package installs; it registers the service SERVICE_NAME_UNDER_TEST.
constexpr char kInstalledExeName[] = "vorna-stats-agent.exe";

// A Linux path named by an environment variable, as a Windows path on drive Z:.
std::string windows_path_from_env(const char* name);
std::string read_file(const std::string& path);
bool path_exists(const std::string& path);

// The install folder in the 32-bit Program Files folder, and the executable in it.
std::string expected_install_dir();
std::string expected_installed_exe();

// A property of a package's Property table, read from the file.
std::string package_property(const std::string& msi, const char* name);

// The service arguments the package's custom action sets for a DEVICE_PATH (null: not given),
// run on its own in a session of the package: nothing is installed.
std::string package_service_arguments(const std::string& msi, const char* device_path);

// Where the package remembers DEVICE_PATH (the 32-bit view, as a 32-bit package writes it), and
// the event source it registers (one key for 32-bit and 64-bit programs).
constexpr char kProductKey[] = "SOFTWARE\\Vorna\\vorna-stats-agent";
constexpr char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\vorna-stats-client";
struct registry_value {
    DWORD type;
    std::string data;  // a DWORD as its decimal digits
};
// A value under HKLM in the given view (KEY_WOW64_32KEY or 0); type 0 when there is none.
registry_value read_registry_value(const char* key, const char* name, REGSAM view);
bool registry_key_exists(const char* key, REGSAM view);

// One silent msiexec run (/qn, verbose log); the log is kept for the failure message.
struct msiexec_result {
    DWORD status;
    std::string log;
};
msiexec_result run_msiexec(const std::vector<std::string>& args);
msiexec_result install_package(const std::string& msi, const char* device_path);
msiexec_result uninstall_package(const std::string& product_code);

// The current state (SERVICE_RUNNING, ...), or 0 when there is no such service.
DWORD service_state();
bool wait_for_service_state(DWORD state, int timeout_ms);
// Stops the service and waits until its process has ended: what Windows Installer's
// StopServices does for a ServiceControl with Wait, and Wine's does not (it sends the stop and
// goes on, so the executable is still in use when the files are removed).
bool stop_service_and_wait();
// Stops the service and waits for its process (see above), then removes it.
void remove_installed_service();
bool wait_until_no_service(int timeout_ms);

// Services whose executable is the agent, whatever their name.
std::vector<std::string> agent_services();
// Running processes of the agent's executable.
int count_agent_processes();

// Installed products of the package family (one upgrade code).
std::vector<std::string> related_products(const std::string& upgrade_code);
std::string installed_version(const std::string& product_code);

// Leaves the prefix as before the test: every product of the family uninstalled, the service
// and the install folder gone. Runs when it goes, so that a failed test cleans up too.
class package_cleanup {
public:
    explicit package_cleanup(std::string upgrade_code) : upgrade_code_(std::move(upgrade_code)) {}
    ~package_cleanup();
    package_cleanup(const package_cleanup&) = delete;
    package_cleanup& operator=(const package_cleanup&) = delete;

private:
    std::string upgrade_code_;
};
