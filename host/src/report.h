#pragma once

// The host program's one way to tell its user something: "vorna-stats-host: ", the message and a
// line end, written to standard error as one line (under systemd, the journal). Text that came
// from outside (guests' bytes, paths, libvirt's names and errors) is passed through printable()
// or shown_name() by the caller, so that no line can carry controls.
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));
