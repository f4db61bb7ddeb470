#pragma once

// Raises the soft limit on open files to the hard one, as Go programs do at start: the soft
// limit of 1,024 (systemd's default too) is far below what thousands of VMs and HTTP
// connections need, and nothing here uses select(), which is why that default is low. Reports a
// failure and goes on with the limit it has. Then sets the pollers' share of the limit: all
// but what is open already and a reserve, so that VMs never take the descriptors that serving
// /metrics and talking to libvirt need.
void raise_descriptor_limit();

// Takes descriptors of the pollers' share for one VM; false when the share has not that many
// left.
bool take_poller_descriptors(int count);
void return_poller_descriptors(int count);
// The limit on open files, as last set.
long long descriptor_limit();
// The descriptors the process has open.
long long open_descriptors();
