#pragma once

// The command loop's waits, in whole seconds. A wait always runs to its end; the loop looks at
// the stop flag only between waits. Defined by the Win32 edge (Sleep) and, for the portable
// builds, by the tests' fakes, so that the loop stays free of windows.h.
void ctl_wait_seconds(int seconds);
