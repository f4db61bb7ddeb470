#pragma once

// Registers the auto-start service that runs this executable in service mode on device_path
// (null: the default path); 0 on success, -1 on failure.
int win_service_install(const char* device_path);
// Removes the registration; 0 on success, -1 on failure.
int win_service_uninstall();
