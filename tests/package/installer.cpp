#include "package/installer.h"

#include <msi.h>
#include <msiquery.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "e2e/agent_process.h"

namespace {

// Closes an MSIHANDLE when it goes.
class msi_handle {
public:
    msi_handle() = default;
    ~msi_handle() {
        if (handle_ != 0) MsiCloseHandle(handle_);
    }
    msi_handle(const msi_handle&) = delete;
    msi_handle& operator=(const msi_handle&) = delete;
    MSIHANDLE* out() { return &handle_; }
    MSIHANDLE get() const { return handle_; }

private:
    MSIHANDLE handle_ = 0;
};

sc_handle open_service(SC_HANDLE manager, DWORD access) {
    return sc_handle(OpenServiceA(manager, SERVICE_NAME_UNDER_TEST, access));
}

std::string text_or_empty(const char* text) {
    return text == nullptr ? std::string() : std::string(text);
}

std::string to_lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string windows_path_from_env(const char* name) {
    const char* unix_path = std::getenv(name);
    if (unix_path == nullptr) throw std::runtime_error(std::string(name) + " is not set");
    std::string path = std::string("Z:") + unix_path;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool path_exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string expected_install_dir() {
    char folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, folder)))
        throw std::runtime_error("no 32-bit Program Files folder");
    return std::string(folder) + "\\vorna-stats-agent";
}

std::string expected_installed_exe() {
    return expected_install_dir() + "\\" + kInstalledExeName;
}

std::string package_property(const std::string& msi, const char* name) {
    msi_handle database;
    if (MsiOpenDatabaseA(msi.c_str(), MSIDBOPEN_READONLY, database.out()) != ERROR_SUCCESS)
        throw std::runtime_error("cannot open " + msi);
    std::string query = std::string("SELECT `Value` FROM `Property` WHERE `Property` = '") + name + "'";
    msi_handle view;
    msi_handle record;
    if (MsiDatabaseOpenViewA(database.get(), query.c_str(), view.out()) != ERROR_SUCCESS ||
        MsiViewExecute(view.get(), 0) != ERROR_SUCCESS ||
        MsiViewFetch(view.get(), record.out()) != ERROR_SUCCESS)
        throw std::runtime_error(std::string("no property ") + name + " in " + msi);
    char value[256] = {};
    DWORD size = sizeof value;
    MsiRecordGetStringA(record.get(), 1, value, &size);
    return value;
}

std::string package_service_arguments(const std::string& msi, const char* device_path) {
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    msi_handle session;
    if (MsiOpenPackageA(msi.c_str(), session.out()) != ERROR_SUCCESS)
        throw std::runtime_error("cannot open a session of " + msi);
    if (device_path != nullptr) MsiSetPropertyA(session.get(), "DEVICE_PATH", device_path);
    if (MsiDoActionA(session.get(), "SetServiceArguments") != ERROR_SUCCESS)
        throw std::runtime_error("SetServiceArguments failed");
    char arguments[1024] = {};
    DWORD size = sizeof arguments;
    MsiGetPropertyA(session.get(), "VORNA_SERVICE_ARGS", arguments, &size);
    return arguments;
}

registry_value read_registry_value(const char* key, const char* name, REGSAM view) {
    registry_value value = {0, {}};
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | view, &handle) != ERROR_SUCCESS)
        return value;
    BYTE data[1024] = {};
    DWORD size = sizeof data - 1;
    if (RegQueryValueExA(handle, name, nullptr, &value.type, data, &size) != ERROR_SUCCESS)
        value.type = 0;
    else if (value.type == REG_DWORD)
        value.data = std::to_string(*reinterpret_cast<DWORD*>(data));
    else
        value.data = reinterpret_cast<char*>(data);
    RegCloseKey(handle);
    return value;
}

bool registry_key_exists(const char* key, REGSAM view) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | view, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

msiexec_result run_msiexec(const std::vector<std::string>& args) {
    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, MAX_PATH);
    std::string msiexec = std::string(system) + "\\msiexec.exe";
    temp_path log("msiexec-log");
    // msiexec reads NAME="value" itself: the property arguments are passed as they are.
    std::string line = "msiexec /qn /l*v \"" + log.path() + "\"";
    for (const std::string& arg : args) line += " " + arg;

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(msiexec.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        throw std::runtime_error("cannot start " + msiexec);
    CloseHandle(info.hThread);
    unique_handle process(info.hProcess);
    msiexec_result result = {static_cast<DWORD>(-1), {}};
    if (WaitForSingleObject(process.get(), 180000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.get(), &result.status);
    else
        TerminateProcess(process.get(), 255);
    result.log = "msiexec " + line.substr(line.find("/qn")) + "\n" + read_file(log.path());
    return result;
}

msiexec_result install_package(const std::string& msi, const char* device_path) {
    std::vector<std::string> args = {"/i", "\"" + msi + "\""};
    if (device_path != nullptr) args.push_back(std::string("DEVICE_PATH=\"") + device_path + "\"");
    return run_msiexec(args);
}

msiexec_result uninstall_package(const std::string& product_code) {
    return run_msiexec({"/x", product_code});
}

DWORD service_state() {
    sc_handle manager = open_manager();
    if (!manager) return 0;
    sc_handle service = open_service(manager.get(), SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
    return status.dwCurrentState;
}

bool wait_for_service_state(DWORD state, int timeout_ms) {
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
    while (service_state() != state) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(100);
    }
    return true;
}

bool stop_service_and_wait() {
    {
        sc_handle manager = open_manager();
        if (!manager) return false;
        sc_handle service = open_service(manager.get(), SERVICE_STOP | SERVICE_QUERY_STATUS);
        if (!service) return false;
        SERVICE_STATUS status = {};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    }
    if (!wait_for_service_state(SERVICE_STOPPED, 30000)) return false;
    ULONGLONG deadline = GetTickCount64() + 10000;
    while (count_agent_processes() != 0) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(100);
    }
    return true;
}

void remove_installed_service() {
    stop_service_and_wait();
    remove_service();
}

bool wait_until_no_service(int timeout_ms) {
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
    while (service_exists()) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(100);
    }
    return true;
}

std::vector<std::string> agent_services() {
    std::vector<std::string> names;
    sc_handle manager = open_manager();
    if (!manager) return names;
    DWORD needed = 0;
    DWORD count = 0;
    DWORD resume = 0;
    EnumServicesStatusA(manager.get(), SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                        &count, &resume);
    std::vector<BYTE> storage(needed);
    resume = 0;
    if (!EnumServicesStatusA(manager.get(), SERVICE_WIN32, SERVICE_STATE_ALL,
                             reinterpret_cast<ENUM_SERVICE_STATUSA*>(storage.data()),
                             static_cast<DWORD>(storage.size()), &needed, &count, &resume))
        return names;
    auto* entries = reinterpret_cast<ENUM_SERVICE_STATUSA*>(storage.data());
    for (DWORD i = 0; i < count; ++i) {
        sc_handle service(OpenServiceA(manager.get(), entries[i].lpServiceName, SERVICE_QUERY_CONFIG));
        if (!service) continue;
        DWORD size = 0;
        QueryServiceConfigA(service.get(), nullptr, 0, &size);
        std::vector<char> config_storage(size);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config_storage.data());
        if (QueryServiceConfigA(service.get(), config, size, &size) &&
            to_lower(text_or_empty(config->lpBinaryPathName)).find(kInstalledExeName) !=
                std::string::npos)
            names.push_back(entries[i].lpServiceName);
    }
    return names;
}

int count_agent_processes() {
    unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) return -1;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32First(snapshot.get(), &entry); more;
         more = Process32Next(snapshot.get(), &entry))
        if (to_lower(entry.szExeFile) == kInstalledExeName) ++count;
    return count;
}

std::vector<std::string> related_products(const std::string& upgrade_code) {
    std::vector<std::string> codes;
    char code[39] = {};
    for (DWORD i = 0; MsiEnumRelatedProductsA(upgrade_code.c_str(), 0, i, code) == ERROR_SUCCESS; ++i)
        codes.push_back(code);
    return codes;
}

std::string installed_version(const std::string& product_code) {
    char version[64] = {};
    DWORD size = sizeof version;
    if (MsiGetProductInfoA(product_code.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &size) !=
        ERROR_SUCCESS)
        return {};
    return version;
}

package_cleanup::~package_cleanup() {
    stop_service_and_wait();
    for (const std::string& code : related_products(upgrade_code_)) uninstall_package(code);
    remove_installed_service();
    DeleteFileA(expected_installed_exe().c_str());
    RemoveDirectoryA(expected_install_dir().c_str());
}
