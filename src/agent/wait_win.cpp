#include "agent/wait.h"

#include <windows.h>

void ctl_wait_seconds(int seconds) {
    Sleep(static_cast<DWORD>(seconds) * 1000);
}
