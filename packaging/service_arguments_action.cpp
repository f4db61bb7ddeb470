// The package's custom action that sets the service's arguments (VORNA_SERVICE_ARGS) from
// DEVICE_PATH with the agent's own formatting, so that the package registers the service exactly
// as the agent's --service-install does, whatever the path holds.
#include <windows.h>
#include <msiquery.h>

#include <cstring>

#include "service/service_install.h"

namespace {

// The line is formatted for an empty executable path; the arguments follow its "" and a space.
constexpr char kEmptyExePrefix[] = "\"\" ";

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall set_service_arguments(MSIHANDLE install) {
    char device_path[SERVICE_COMMAND_LINE_SIZE] = {};
    DWORD size = sizeof device_path;
    // Too long a path (ERROR_MORE_DATA) fails the install as --service-install would.
    if (MsiGetPropertyA(install, "DEVICE_PATH", device_path, &size) != ERROR_SUCCESS)
        return ERROR_INSTALL_FAILURE;
    char line[SERVICE_COMMAND_LINE_SIZE] = {};
    int needed = service_command_line(line, sizeof line, "",
                                      device_path[0] == '\0' ? nullptr : device_path);
    const std::size_t prefix = sizeof kEmptyExePrefix - 1;
    if (needed < 0 || static_cast<std::size_t>(needed) >= sizeof line ||
        std::strncmp(line, kEmptyExePrefix, prefix) != 0)
        return ERROR_INSTALL_FAILURE;
    return MsiSetPropertyA(install, "VORNA_SERVICE_ARGS", line + prefix) == ERROR_SUCCESS
               ? ERROR_SUCCESS
               : ERROR_INSTALL_FAILURE;
}
