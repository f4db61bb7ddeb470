#!/bin/bash
# The checks inside the guest, run by systemd (kernel-command-line.service, from the kernel's
# systemd.run=) as root in a Debian 12 root with systemd as PID 1 and libvirtd. They install the
# package from the share, run its unit the way an operator would, and write what they saw to
# the share's out/ folder: facts (one "KEY VALUE" line each), the files named in them, and the
# journal. The host (systemd_test.sh) judges them; a step that cannot go on skips the rest.
# The guest powers off when this script ends, whatever its status.
# Usage: guest_checks.sh SHARE
share=$1
out=$share/out
package=vorna-stats-host
unit=$package.service
socket_unit=$package.socket
default_file=/etc/default/$package
metrics=http://127.0.0.1:9638/metrics
work=/tmp/vorna-test
channel_dir=/var/lib/libvirt/qemu/channel/target/domain-1-win10
channel=$channel_dir/com.vorna.vm.stats_agent.0
export LC_ALL=C DEBIAN_FRONTEND=noninteractive PATH=/usr/sbin:/usr/bin:/sbin:/bin
exec >"$out/guest.log" 2>&1

now() { cut -d' ' -f1 /proc/uptime; }
fact() { echo "$*" >>"$out/facts"; }
# Progress on the console too, which the host prints when the test fails.
note() {
  echo "== $* ($(now) s)"
  echo "vorna-guest: $* ($(now) s)" >/dev/ttyS0
}
finish() {
  note "saving the journal"
  journalctl -b --no-pager -o short-monotonic >"$out/journal.txt" 2>&1
  journalctl -b --no-pager -o short-monotonic -u "$unit" -u "$socket_unit" >"$out/unit-journal.txt" 2>&1
  fact finished "$(now)"
  sync
  exit 0
}
# A step that failed in a way the later ones depend on.
give_up() {
  fact gave_up "$*"
  note "giving up: $*"
  finish
}
show() { systemctl show -p "$1" --value "$unit"; }
cursor() { journalctl -n 0 --show-cursor -q 2>/dev/null | sed -n 's/^-- cursor: //p'; }
# The unit's journal since a cursor.
journal_since() { journalctl --no-pager -o short-monotonic --after-cursor="$1" -u "$unit" -u "$socket_unit"; }

# Scrapes until a line matches PATTERN, for at most SECONDS; the last scrape goes to out/NAME.
# Prints the seconds it took and succeeds when the line came.
scrape_until() {
  local pattern=$1 seconds=$2 name=$3 began text
  began=$(now)
  while awk -v b="$began" -v n="$(now)" -v s="$seconds" 'BEGIN { exit !(n - b < s) }'; do
    text=$(curl -fsS --max-time 5 "$metrics" 2>&1) || text="curl: $text"
    if grep -qE "$pattern" <<<"$text"; then
      echo "$text" >"$out/$name"
      awk -v b="$began" -v n="$(now)" 'BEGIN { printf "%.1f\n", n - b }'
      return 0
    fi
    sleep 0.3
  done
  echo "$text" >"$out/$name"
  return 1
}

# Waits for the unit's MainPID to be a running process other than OLD; prints it.
wait_new_main_pid() {
  local old=$1 seconds=$2 deadline pid
  deadline=$(awk -v n="$(now)" -v s="$seconds" 'BEGIN { print n + s }')
  while awk -v d="$deadline" -v n="$(now)" 'BEGIN { exit !(n < d) }'; do
    pid=$(show MainPID)
    if [ "$pid" != 0 ] && [ "$pid" != "$old" ] && [ "$(show ActiveState)" = active ]; then
      echo "$pid"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# What the process got from systemd: identity, capabilities, filter, limits, mounts.
record_process() {
  local pid=$1 name=$2
  grep -E '^(Uid|Gid|Groups|CapInh|CapPrm|CapEff|CapBnd|CapAmb|NoNewPrivs|Seccomp|Seccomp_filters):' \
    "/proc/$pid/status" >"$out/$name-status.txt"
  cat "/proc/$pid/limits" >"$out/$name-limits.txt"
  awk '{ print $5, $6 }' "/proc/$pid/mountinfo" >"$out/$name-mounts.txt"
  fact "${name}_nofile_proc" "$(awk '/^Max open files/ { print $4 ":" $5 }' "/proc/$pid/limits")"
  fact "${name}_nofile_show" "$(show LimitNOFILESoft):$(show LimitNOFILE)"
}

# The root's files, for the purge's comparison: type, mode, owner and path of everything, the
# size of files, and a hash of each file under /etc and /var/lib. Left out: what changes with
# any package (dpkg's and apt's databases and caches, logs) and what is not on the disk.
# One find and one sha256sum for all: a loop over 15,000 files takes half a minute under TCG.
file_list() {
  local prune=(\( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp -o -path /var/tmp
               -o -path /var/log -o -path /var/cache/apt -o -path /var/cache/debconf -o -path /var/lib/apt
               -o -path /var/lib/dpkg -o -path /share \) -prune)
  {
    find / -xdev "${prune[@]}" -o -type f -printf '%p f %m %u:%g %s\n' -o -printf '%p %y %m %u:%g\n'
    find /etc /var/lib -xdev "${prune[@]}" -o -type f -exec sha256sum {} + | awk '{ print $2, "sha256", substr($1, 1, 16) }'
  } | sort
}

note "checks started"
fact started "$(now)"
fact systemd "$(systemctl --version | head -n 1)"
fact kernel "$(uname -r)"
fact pid1 "$(cat /proc/1/comm)"
mkdir -p "$work"
cp "$share"/"$package"_*.deb "$work/" || give_up "no package in the share"
deb=$(ls "$work"/"$package"_*.deb)
cp "$share/sim_guest_tool" "$work/"

# logind too: apt asks it for an inhibitor lock, and it makes /var/lib/systemd/linger.
note "sockets, logind and libvirtd, as a host starts them at boot"
systemctl start sockets.target systemd-logind.service || give_up "sockets.target or logind did not start"
systemctl start libvirtd.service || give_up "libvirtd did not start"
fact libvirtd "$(systemctl show -p ActiveState --value libvirtd.service)"

note "a simulated guest on its channel socket, as libvirt makes it"
mkdir -p "$channel_dir"
chown root:libvirt-qemu "$channel_dir"
chmod 0750 "$channel_dir"
systemd-run --quiet --unit=vorna-sim-guest "$work/sim_guest_tool" "$channel" ||
  give_up "the simulated guest did not start"
for _ in $(seq 100); do [ -S "$channel" ] && break; sleep 0.1; done
[ -S "$channel" ] || give_up "the simulated guest made no socket"
chown root:libvirt-qemu "$channel"
chmod 0770 "$channel"
fact channel "$(stat -c '%A %U:%G' "$channel_dir") $(stat -c '%A %U:%G' "$channel")"

file_list >"$out/files-before.txt"

note "apt install"
began=$(now)
apt-get install -y "$deb" </dev/null >"$out/apt-install.txt" 2>&1
fact apt_install_status $?
fact apt_install_seconds "$(awk -v b="$began" -v n="$(now)" 'BEGIN { printf "%.1f", n - b }')"
dpkg-query -W -f='${Status}\n' "$package" >/dev/null 2>&1 || give_up "the package is not installed"
fact installed "$(dpkg-query -W -f='${Status} ${Version}' "$package")"
fact enabled_after_install "$(systemctl is-enabled "$unit" 2>&1)"
fact active_after_install "$(systemctl is-active "$unit" 2>&1)"
fact passwd "$(getent passwd "$package")"
fact groups "$(id -nG "$package")"
fact has_socket_unit "$([ -f "/lib/systemd/system/$socket_unit" ] && echo yes || echo no)"
# Documentation= is left to host_deb_roundtrip: the root has no man-db.
systemd-analyze verify --man=no "$unit" >"$out/verify.txt" 2>&1
fact verify_status $?

note "ARGS with the simulated guest; systemctl enable --now"
sed -i "s|^ARGS=.*|ARGS=\"--vm win10=unix:$channel\"|" "$default_file"
grep '^ARGS=' "$default_file" >"$out/default-edited.txt"
began=$(now)
systemctl enable --now "$unit" >"$out/enable.txt" 2>&1
fact enable_status $?
seconds=$(scrape_until '^vorna_up\{vm="win10"\} 1$' 60 scrape-up.txt) || give_up "no vorna_up 1 for win10"
fact up_seconds "$seconds"
main_pid=$(show MainPID)
record_process "$main_pid" first
systemd-analyze security --no-pager "$unit" >"$out/security.txt" 2>&1
fact security_status $?

note "kill -SEGV of the main process"
began=$(now)
kill -SEGV "$main_pid"
new_pid=$(wait_new_main_pid "$main_pid" 30) || give_up "no new main process within 30 s of SIGSEGV"
fact segv_restart_seconds "$(awk -v b="$began" -v n="$(now)" 'BEGIN { printf "%.1f", n - b }')"
fact segv_pids "$main_pid $new_pid"
fact segv_nrestarts "$(show NRestarts)"
seconds=$(scrape_until '^vorna_up\{vm="win10"\} 1$' 60 scrape-after-segv.txt) ||
  give_up "no vorna_up 1 after the restart"
fact segv_up_seconds "$seconds"

note "the same package installed again: the edited default stays"
edited=$(sha256sum <"$default_file")
pid=$(show MainPID)
apt-get install -y --reinstall "$deb" </dev/null >"$out/apt-reinstall.txt" 2>&1
fact reinstall_status $?
fact reinstall_default_kept "$([ "$(sha256sum <"$default_file")" = "$edited" ] && echo yes || echo no)"
fact reinstall_leftovers "$(ls "$default_file".* 2>/dev/null | tr '\n' ' ')"
fact reinstall_enabled "$(systemctl is-enabled "$unit" 2>&1)"
fact reinstall_pids "$pid $(show MainPID)"
seconds=$(scrape_until '^vorna_up\{vm="win10"\} 1$' 60 scrape-after-reinstall.txt) ||
  give_up "no vorna_up 1 after the reinstall"
fact reinstall_up_seconds "$seconds"

# Every denial the sandbox could cause, while the exporter ran as the operator runs it; the
# later steps refuse things on purpose.
note "denials so far"
journalctl -b --no-pager -o short-monotonic >"$out/journal-normal.txt" 2>&1

note "ARGS with a usage error: status 2, no restart"
restarts=$(show NRestarts)
sed -i 's|^ARGS=.*|ARGS="--no-such-option"|' "$default_file"
at=$(cursor)
systemctl restart "$unit"
for _ in $(seq 100); do [ "$(show ActiveState)" = failed ] && break; sleep 0.1; done
# Past RestartSec= (5 s) with a margin: a restart would have come.
sleep 8
fact usage_state "$(show ActiveState) $(show SubState) $(show Result)"
fact usage_status "$(show ExecMainStatus)"
fact usage_nrestarts "$restarts $(show NRestarts)"
journal_since "$at" >"$out/journal-usage.txt"

note "the shipped default: the system libvirt through its read-only socket"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$default_file" >"$default_file"
grep '^ARGS=' "$default_file" >"$out/default-shipped.txt"
if grep -q -- '^ARGS=.*--web.systemd-socket' "$default_file" && [ -f "/lib/systemd/system/$socket_unit" ]; then
  systemctl start "$socket_unit"
fi
systemctl reset-failed "$unit"
at=$(cursor)
systemctl restart "$unit"
seconds=$(scrape_until '^vorna_libvirt_up 1$' 90 scrape-libvirt.txt)
fact libvirt_up "$? $seconds"
journal_since "$at" >"$out/journal-libvirt.txt"
record_process "$(show MainPID)" libvirt

note "without the group libvirt"
gpasswd -d "$package" libvirt >/dev/null
fact groups_without_libvirt "$(id -nG "$package")"
at=$(cursor)
systemctl restart "$unit"
seconds=$(scrape_until '^vorna_libvirt_up 1$' 60 scrape-libvirt-nogroup.txt)
fact libvirt_up_without_group "$? $seconds"
sleep 2
journal_since "$at" >"$out/journal-libvirt-nogroup.txt"
adduser --quiet "$package" libvirt

note "without the group libvirt-qemu: the channel socket"
gpasswd -d "$package" libvirt-qemu >/dev/null
fact groups_without_libvirt_qemu "$(id -nG "$package")"
sed -i "s|^ARGS=.*|ARGS=\"--vm win10=unix:$channel\"|" "$default_file"
at=$(cursor)
systemctl restart "$unit"
seconds=$(scrape_until '^vorna_poll_failures_total\{vm="win10",reason="connect"\} [1-9]' 60 scrape-channel-nogroup.txt)
fact channel_without_group "$? $seconds"
sleep 1
journal_since "$at" >"$out/journal-channel-nogroup.txt"
adduser --quiet "$package" libvirt-qemu

if [ -f "/lib/systemd/system/$socket_unit" ]; then
  note "socket activation: the first scrape"
  systemctl stop "$unit" "$socket_unit"
  sed -i "s|^ARGS=.*|ARGS=\"--web.systemd-socket --vm win10=unix:$channel\"|" "$default_file"
  systemctl enable --now "$socket_unit" >"$out/enable-socket.txt" 2>&1
  fact socket_enable_status $?
  fact socket_before_scrape "$(systemctl is-active "$socket_unit") $(systemctl is-active "$unit")"
  at=$(cursor)
  began=$(now)
  code=$(curl -sS -o "$out/scrape-socket-first.txt" -w '%{http_code}' --max-time 60 "$metrics" 2>&1)
  fact socket_first_scrape "$code $(awk -v b="$began" -v n="$(now)" 'BEGIN { printf "%.1f", n - b }')"
  fact socket_after_scrape "$(systemctl is-active "$socket_unit") $(systemctl is-active "$unit")"
  seconds=$(scrape_until '^vorna_up\{vm="win10"\} 1$' 60 scrape-socket-up.txt)
  fact socket_up "$? $seconds"
  journal_since "$at" >"$out/journal-socket.txt"
  record_process "$(show MainPID)" socket
  systemctl show "$socket_unit" >"$out/show-socket.txt"
fi
systemctl show "$unit" >"$out/show.txt"

note "apt purge"
apt-get purge -y "$package" </dev/null >"$out/apt-purge.txt" 2>&1
fact purge_status $?
fact purge_dpkg "$(dpkg-query -W -f='${Status}' "$package" 2>&1)"
fact purge_user "$(getent passwd "$package" || echo none)"
fact purge_group "$(getent group "$package" || echo none)"
fact purge_unit "$(systemctl show -p LoadState --value "$unit") $(systemctl is-active "$unit" 2>&1)"
fact purge_backups "$(grep -l "^$package:" /etc/passwd- /etc/group- /etc/shadow- /etc/gshadow- 2>/dev/null | tr '\n' ' ')"
fact purge_dpkg_info "$(ls /var/lib/dpkg/info/$package.* 2>/dev/null | tr '\n' ' ')"
file_list >"$out/files-after.txt"
finish
