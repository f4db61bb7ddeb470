#include "agent/wait.h"

// The portable tests never run the loop long enough to need real waits.
void ctl_wait_seconds(int) {}
