// The package under Wine's own msiexec and service control manager: install, registration,
// service, upgrade and removal.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "e2e/agent_process.h"
#include "e2e/pipe_host.h"
#include "package/installer.h"

namespace {

constexpr int kConnectTimeoutMs = 20000;

std::string test_package() { return windows_path_from_env("VORNA_TEST_MSI"); }
std::string newer_test_package() { return windows_path_from_env("VORNA_TEST_MSI_NEWER"); }

// The host end of the device: answers prove that the installed service serves it.
void expect_pong(pipe_host& host) {
    ASSERT_TRUE(host.wait_for_agent(kConnectTimeoutMs)) << "the service never opened " << host.path();
    ASSERT_TRUE(host.send("PING"));
    EXPECT_EQ(host.receive(4, 5000), "PONG");
}

// The arguments the agent's --service-install writes after the executable for a device path.
std::string expected_arguments(const char* device_path) {
    if (device_path == nullptr || *device_path == '\0') return "-d";
    return "-d -p " + command_line_of({device_path});
}

// What follows the installed executable in a service's command line. Windows Installer quotes
// the executable's path; Wine's msiexec does not: either is taken, and nothing else.
std::string arguments_of(const std::string& binary_path) {
    const std::string exe = expected_installed_exe();
    for (const std::string& head : {"\"" + exe + "\" ", exe + " "})
        if (binary_path.compare(0, head.size(), head) == 0) return binary_path.substr(head.size());
    return "(not the installed executable) " + binary_path;
}

std::string registered_arguments() {
    service_registration registration;
    if (!read_registration(&registration)) return "(no registration)";
    return arguments_of(registration.binary_path);
}

std::string remembered_device_path() {
    registry_value value = read_registry_value(kProductKey, "DevicePath", KEY_WOW64_32KEY);
    return value.type == REG_SZ ? value.data : "(none)";
}

// The event source as the agent's --service-install registers it.
void expect_event_source() {
    registry_value message_file = read_registry_value(kEventSourceKey, "EventMessageFile", 0);
    EXPECT_EQ(message_file.type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(message_file.data, expected_installed_exe());
    registry_value types = read_registry_value(kEventSourceKey, "TypesSupported", 0);
    EXPECT_EQ(types.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(types.data, "7");
}

void expect_nothing_installed(const std::string& upgrade_code) {
    EXPECT_FALSE(service_exists());
    EXPECT_TRUE(agent_services().empty());
    EXPECT_EQ(count_agent_processes(), 0);
    EXPECT_FALSE(path_exists(expected_installed_exe()));
    EXPECT_FALSE(path_exists(expected_install_dir()));
    EXPECT_TRUE(related_products(upgrade_code).empty());
    EXPECT_FALSE(registry_key_exists(kProductKey, KEY_WOW64_32KEY));
    EXPECT_FALSE(registry_key_exists(kEventSourceKey, 0));
}

class package_test : public ::testing::Test {
protected:
    void SetUp() override {
        // A leftover of an earlier failed test would hide what this one does.
        ASSERT_FALSE(service_exists());
        ASSERT_TRUE(related_products(upgrade_code_).empty());
        ASSERT_FALSE(path_exists(expected_install_dir()));
    }

    const std::string upgrade_code_ = package_property(test_package(), "UpgradeCode");
    package_cleanup cleanup_{upgrade_code_};
};

}  // namespace

TEST_F(package_test, silent_install_runs_the_service_on_the_device_and_uninstall_removes_all) {
    // A space in the device path: the service gets it quoted.
    pipe_host host(unique_pipe_path("msi with space"));
    msiexec_result installed = install_package(test_package(), host.path().c_str());
    ASSERT_EQ(installed.status, 0u) << installed.log;

    // Per machine, into the 32-bit Program Files folder, the file as built.
    std::vector<std::string> products = related_products(upgrade_code_);
    ASSERT_EQ(products.size(), 1u);
    EXPECT_EQ(products[0], package_property(test_package(), "ProductCode"));
    EXPECT_EQ(read_file(expected_installed_exe()), read_file(windows_path_from_env("VORNA_TEST_EXE")));

    EXPECT_EQ(registered_arguments(), expected_arguments(host.path().c_str()));
    EXPECT_EQ(remembered_device_path(), host.path());
    expect_event_source();
    ASSERT_TRUE(wait_for_service_state(SERVICE_RUNNING, 10000));
    expect_pong(host);
    EXPECT_EQ(count_agent_processes(), 1);

    // Windows Installer's StopServices waits for the stop (ServiceControl Wait); Wine's sends
    // it and goes on, and would find the executable still in use. Wait here as Windows does.
    ASSERT_TRUE(stop_service_and_wait());
    msiexec_result removed = uninstall_package(products[0]);
    ASSERT_EQ(removed.status, 0u) << removed.log;
    expect_nothing_installed(upgrade_code_);
}

TEST_F(package_test, uninstall_stops_and_removes_the_running_service) {
    pipe_host host(unique_pipe_path("msi-uninstall"));
    msiexec_result installed = install_package(test_package(), host.path().c_str());
    ASSERT_EQ(installed.status, 0u) << installed.log;
    expect_pong(host);

    // Straight from running: msiexec alone stops the service and deletes it.
    msiexec_result removed = uninstall_package(package_property(test_package(), "ProductCode"));
    ASSERT_EQ(removed.status, 0u) << removed.log;
    EXPECT_TRUE(wait_until_no_service(10000));
    EXPECT_TRUE(agent_services().empty());
    EXPECT_TRUE(related_products(upgrade_code_).empty());
    ULONGLONG deadline = GetTickCount64() + 10000;
    while (count_agent_processes() != 0 && GetTickCount64() < deadline) Sleep(100);
    EXPECT_EQ(count_agent_processes(), 0);
    // Not looked at: the files. Under Wine the executable is still in use when they are
    // removed (see above) and stays; the clean-up removes it.
}

// The upgrade is given no DEVICE_PATH: the remembered one is used.
TEST_F(package_test, upgrade_leaves_one_running_service_with_the_new_file) {
    std::string newer = newer_test_package();
    ASSERT_EQ(package_property(newer, "UpgradeCode"), upgrade_code_);
    ASSERT_NE(package_property(newer, "ProductCode"), package_property(test_package(), "ProductCode"));
    std::string newer_exe = read_file(windows_path_from_env("VORNA_TEST_EXE_NEWER"));
    ASSERT_NE(newer_exe, read_file(windows_path_from_env("VORNA_TEST_EXE")));

    pipe_host host(unique_pipe_path("msi-upgrade"));
    msiexec_result first = install_package(test_package(), host.path().c_str());
    ASSERT_EQ(first.status, 0u) << first.log;
    expect_pong(host);

    // As Windows Installer's StopServices would during the removal of the earlier version.
    ASSERT_TRUE(stop_service_and_wait());
    msiexec_result second = install_package(newer, nullptr);
    ASSERT_EQ(second.status, 0u) << second.log;
    EXPECT_EQ(registered_arguments(), expected_arguments(host.path().c_str()));
    EXPECT_EQ(remembered_device_path(), host.path());

    // One product, the newer one; one service, running the new file.
    std::vector<std::string> products = related_products(upgrade_code_);
    ASSERT_EQ(products.size(), 1u);
    EXPECT_EQ(products[0], package_property(newer, "ProductCode"));
    EXPECT_EQ(installed_version(products[0]), package_property(newer, "ProductVersion"));
    EXPECT_EQ(agent_services(), std::vector<std::string>{SERVICE_NAME_UNDER_TEST});
    EXPECT_EQ(read_file(expected_installed_exe()), newer_exe);
    ASSERT_TRUE(wait_for_service_state(SERVICE_RUNNING, 10000));
    EXPECT_EQ(count_agent_processes(), 1);
    // The earlier service let go of the device; the new one opens it.
    host.disconnect();
    expect_pong(host);

    ASSERT_TRUE(stop_service_and_wait());
    msiexec_result removed = uninstall_package(products[0]);
    ASSERT_EQ(removed.status, 0u) << removed.log;
    expect_nothing_installed(upgrade_code_);
}

TEST_F(package_test, a_device_path_given_to_the_upgrade_replaces_the_remembered_one) {
    pipe_host first_host(unique_pipe_path("msi-first"));
    msiexec_result first = install_package(test_package(), first_host.path().c_str());
    ASSERT_EQ(first.status, 0u) << first.log;
    ASSERT_TRUE(stop_service_and_wait());

    pipe_host second_host(unique_pipe_path("msi second"));
    msiexec_result second = install_package(newer_test_package(), second_host.path().c_str());
    ASSERT_EQ(second.status, 0u) << second.log;
    EXPECT_EQ(registered_arguments(), expected_arguments(second_host.path().c_str()));
    EXPECT_EQ(remembered_device_path(), second_host.path());
    expect_pong(second_host);

    ASSERT_TRUE(stop_service_and_wait());
    msiexec_result removed = uninstall_package(package_property(newer_test_package(), "ProductCode"));
    ASSERT_EQ(removed.status, 0u) << removed.log;
    expect_nothing_installed(upgrade_code_);
}

TEST_F(package_test, an_older_build_does_not_replace_a_newer_one) {
    std::string newer = newer_test_package();
    msiexec_result installed = install_package(newer, nullptr);
    ASSERT_EQ(installed.status, 0u) << installed.log;
    ASSERT_TRUE(wait_for_service_state(SERVICE_RUNNING, 10000));

    msiexec_result older = install_package(test_package(), nullptr);
    EXPECT_NE(older.status, 0u) << older.log;
    std::vector<std::string> products = related_products(upgrade_code_);
    ASSERT_EQ(products.size(), 1u);
    EXPECT_EQ(products[0], package_property(newer, "ProductCode"));
    EXPECT_EQ(read_file(expected_installed_exe()),
              read_file(windows_path_from_env("VORNA_TEST_EXE_NEWER")));
    EXPECT_EQ(service_state(), static_cast<DWORD>(SERVICE_RUNNING));
}

// The package's registration against the one the agent's --service-install writes for the
// same executable and device: the arguments after the executable (see arguments_of), every
// other field exactly.
class registration_test : public package_test,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(registration_test, matches_what_service_install_writes) {
    const char* device_path = GetParam();
    msiexec_result installed = install_package(test_package(), device_path);
    ASSERT_EQ(installed.status, 0u) << installed.log;
    ASSERT_TRUE(wait_for_service_state(SERVICE_RUNNING, 10000));

    service_registration from_package;
    ASSERT_TRUE(read_registration(&from_package));
    EXPECT_EQ(from_package.service_type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(from_package.start_type, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(from_package.error_control, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(from_package.display_name, "Vorna VM stats agent.");
    EXPECT_EQ(from_package.description, "Enables integration with Vorna VM stats server.");

    // Replace it with the agent's own registration, by the installed executable.
    remove_installed_service();
    ASSERT_FALSE(service_exists());
    // An empty -p is the agent's "no device path": no -p in the command line.
    std::vector<std::string> args = {"-p", device_path == nullptr ? "" : device_path,
                                     "--service-install"};
    agent_result registered = run_agent(args, 15000, expected_installed_exe());
    ASSERT_EQ(registered.status, 0) << registered.out << registered.err;

    service_registration from_agent;
    ASSERT_TRUE(read_registration(&from_agent));
    EXPECT_EQ(from_agent.binary_path,
              "\"" + expected_installed_exe() + "\" " + expected_arguments(device_path));
    EXPECT_EQ(arguments_of(from_package.binary_path), arguments_of(from_agent.binary_path));
    EXPECT_EQ(from_package.service_type, from_agent.service_type);
    EXPECT_EQ(from_package.start_type, from_agent.start_type);
    EXPECT_EQ(from_package.error_control, from_agent.error_control);
    EXPECT_EQ(from_package.load_order_group, from_agent.load_order_group);
    EXPECT_EQ(from_package.tag_id, from_agent.tag_id);
    EXPECT_EQ(from_package.dependencies, from_agent.dependencies);
    EXPECT_EQ(from_package.start_name, from_agent.start_name);
    EXPECT_EQ(from_package.display_name, from_agent.display_name);
    EXPECT_EQ(from_package.description, from_agent.description);

    agent_result unregistered = run_agent({"--service-uninstall"}, 15000, expected_installed_exe());
    ASSERT_EQ(unregistered.status, 0) << unregistered.out << unregistered.err;
    msiexec_result removed = uninstall_package(package_property(test_package(), "ProductCode"));
    ASSERT_EQ(removed.status, 0u) << removed.log;
    expect_nothing_installed(upgrade_code_);
}

// No property: no -p, the agent's default device. A path with a space is quoted.
INSTANTIATE_TEST_SUITE_P(device_paths, registration_test,
                         ::testing::Values(nullptr, "\\\\.\\pipe\\vorna-msi-registration",
                                           "\\\\.\\pipe\\vorna msi registration"),
                         [](const ::testing::TestParamInfo<const char*>& param_info) {
                             const char* path = param_info.param;
                             if (path == nullptr) return std::string("default_device");
                             return std::string(std::strchr(path, ' ') ? "path_with_space"
                                                                       : "plain_path");
                         });

// Every kind of device path: the arguments the package's custom action sets (run on its own, no
// install) against those the agent's --service-install registers for the same path.
struct arguments_case {
    const char* name;
    const char* device_path;  // null: not given
    const char* arguments;
};

class arguments_test : public ::testing::TestWithParam<arguments_case> {
protected:
    void SetUp() override { ASSERT_FALSE(service_exists()); }
    void TearDown() override { remove_service(); }
};

TEST_P(arguments_test, package_sets_what_service_install_registers) {
    const arguments_case& c = GetParam();
    EXPECT_EQ(package_service_arguments(test_package(), c.device_path), c.arguments);

    std::string exe = windows_path_from_env("VORNA_TEST_EXE");
    agent_result registered =
        run_agent({"-p", c.device_path == nullptr ? "" : c.device_path, "--service-install"}, 15000, exe);
    ASSERT_EQ(registered.status, 0) << registered.out << registered.err;
    service_registration from_agent;
    ASSERT_TRUE(read_registration(&from_agent));
    EXPECT_EQ(from_agent.binary_path, "\"" + exe + "\" " + c.arguments);
}

INSTANTIATE_TEST_SUITE_P(
    device_paths, arguments_test,
    ::testing::Values(
        arguments_case{"absent", nullptr, "-d"},
        arguments_case{"empty", "", "-d"},
        arguments_case{"plain", R"(\\.\pipe\vorna-msi)", R"(-d -p \\.\pipe\vorna-msi)"},
        arguments_case{"space", R"(\\.\pipe\vorna msi)", R"(-d -p "\\.\pipe\vorna msi")"},
        arguments_case{"tab", "\\\\.\\pipe\\vorna\tmsi", "-d -p \"\\\\.\\pipe\\vorna\tmsi\""},
        arguments_case{"quote", R"(\\.\pipe\vorna"msi)", R"(-d -p "\\.\pipe\vorna\"msi")"},
        arguments_case{"backslash_quote", R"(\\.\pipe\vorna\"msi)", R"(-d -p "\\.\pipe\vorna\\\"msi")"},
        arguments_case{"trailing_backslash", R"(\\.\pipe\vorna-msi\)", R"(-d -p \\.\pipe\vorna-msi\)"},
        arguments_case{"space_trailing_backslash", R"(\\.\pipe\vorna msi\)",
                       R"(-d -p "\\.\pipe\vorna msi\\")"}),
    [](const ::testing::TestParamInfo<arguments_case>& param_info) {
        return std::string(param_info.param.name);
    });
