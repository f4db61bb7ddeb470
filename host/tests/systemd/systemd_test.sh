#!/usr/bin/env bash
# The package and its unit under a real systemd: a Debian root (systemd as PID 1, a kernel,
# libvirtd, the package's dependencies, curl) booted under QEMU, where guest_checks.sh installs
# the .deb, runs the unit as an operator would (a simulated guest, the shipped default against
# the real libvirtd, a crash, a usage error, a reinstall, socket activation when the package
# has a .socket unit, the purge) and writes what it saw to a 9p share. This script judges it,
# prints a report and compares it with what the offline checks say (systemd-analyze
# --offline=yes, host_unit_syscalls' emulated filter, host_deb_roundtrip).
# The root is made once with mmdebstrap from this machine's apt sources and kept outside the
# build tree, in a folder named after a hash of its package list (VORNA_SYSTEMD_CACHE, else
# /var/cache/vorna-stats-host-test for root, else $XDG_CACHE_HOME). Exit status 77: the packages
# cannot be had, or the root would have to be made without root.
# Usage: systemd_test.sh DEB SIM_GUEST_TOOL WORK_DIR
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
deb=$(realpath "$1") tool=$(realpath "$2") work=$(realpath -m "$3")
package=vorna-stats-host
started=$SECONDS
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
skip() {
  echo "SKIP: $*"
  exit 77
}
command -v qemu-system-x86_64 >/dev/null || skip "no qemu-system-x86_64"
rm -rf "$work"
mkdir -p "$work/share/out"

# The root's packages: systemd as init, a kernel, libvirtd with its D-Bus and polkit, curl, and
# what the package depends on (its first choices).
packages=$( { printf '%s\n' systemd-sysv udev linux-image-amd64 dbus polkitd libvirt-daemon-system curl
              dpkg-deb --field "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/[[:space:]]//g'
            } | sed '/^$/d' | sort -u)
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
sources=()
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -f "$file" ] && sources+=("$file")
done
[ ${#sources[@]} -gt 0 ] || skip "no apt sources on this machine"
# The way the root is made is part of its key: change "recipe" when it changes.
key=$( { echo "recipe 1"; echo "suite $suite"; echo "$packages"; dpkg-deb --field "$deb" Depends
         cat "${sources[@]}"; } | sha256sum | cut -c1-16)
if [ -n "${VORNA_SYSTEMD_CACHE:-}" ]; then cache=$VORNA_SYSTEMD_CACHE
elif [ "$(id -u)" -eq 0 ]; then cache=/var/cache/vorna-stats-host-test
else cache=${XDG_CACHE_HOME:-$HOME/.cache}/vorna-stats-host-test
fi
image=$cache/root-$key
mkdir -p "$cache"
exec 9>"$cache/lock"

# Apt's options that this machine's sources need (an archive snapshot's old Release files, a
# proxy): mmdebstrap's apt does not read this machine's configuration.
apt_options() {
  apt-config dump | grep -E '^Acquire::(Check-Valid-Until|Check-Date|https?::Proxy) ' |
    sed 's/^/--aptopt=/'
}

make_root() {
  [ "$(id -u)" -eq 0 ] || skip "the root is not made yet, and making it needs root (mmdebstrap --mode=root, mkfs.ext4 -d)"
  command -v mmdebstrap >/dev/null || { fail "no mmdebstrap (scripts/lib/setup.sh installs it)"; return 1; }
  local new=$image.new began=$SECONDS kernel version options=()
  rm -rf "$new"
  mkdir -p "$new"
  mapfile -t options < <(apt_options)
  echo "making the root in $image: $(echo $packages)"
  # Without documentation and the drivers of hardware the guest lacks, during the making only:
  # the package itself is then installed whole.
  local exclude
  for exclude in /usr/share/doc /usr/share/man /usr/share/info /usr/share/locale \
                 /lib/modules/*/kernel/drivers/{gpu,media,infiniband,iio,staging,usb,net/wireless,net/ethernet,bluetooth,isdn} \
                 /lib/modules/*/kernel/sound /lib/modules/*/kernel/net/{wireless,mac80211,bluetooth}; do
    options+=("--dpkgopt=path-exclude=$exclude/*")
  done
  if ! mmdebstrap --mode=root --format=directory --variant=apt "${options[@]}" \
       --include="$(paste -sd, <<<"$packages")" \
       --customize-hook='rm -f "$1/etc/dpkg/dpkg.cfg.d/99mmdebstrap"' \
       "$suite" "$new/tree" "${sources[@]}" >"$new/mmdebstrap.log" 2>&1; then
    local why
    why=$(grep -E 'Failed to fetch|Unable to locate package|has no installation candidate|Temporary failure resolving|Could not resolve|Unable to connect|Could not connect|Unable to fetch some archives|Connection failed' \
      "$new/mmdebstrap.log" | head -n 5 || true)
    if [ -n "$why" ]; then
      rm -rf "$new"
      skip "the root's packages cannot be had: $why"
    fi
    tail -n 30 "$new/mmdebstrap.log" >&2
    fail "mmdebstrap failed; its log: $new/mmdebstrap.log"
    return 1
  fi
  kernel=$(ls "$new"/tree/boot/vmlinuz-* | sort -V | tail -n 1)
  version=${kernel##*/vmlinuz-}
  cp "$kernel" "$new/vmlinuz"
  cp "$new/tree/boot/initrd.img-$version" "$new/initrd.img"
  # Room for the package, the journal and libvirt's state.
  truncate -s "$(( $(du -sm "$new/tree" | cut -f1) + 512 ))M" "$new/root.img"
  mkfs.ext4 -q -F -L vorna-root -d "$new/tree" "$new/root.img"
  rm -rf "$new/tree"
  echo "$packages" >"$new/packages"
  echo "made in $((SECONDS - began)) s on $(date -u +%F), kernel $version, $(du -sm "$new/root.img" | cut -f1) MiB" >"$new/made"
  chmod 0444 "$new/root.img"
  # One root at a time: an older one (another package list) goes.
  find "$cache" -mindepth 1 -maxdepth 1 -name 'root-*' ! -name "root-$key.new" -exec rm -rf {} +
  mv "$new" "$image"
}

flock 9
root_state=cached
if [ ! -f "$image/made" ]; then
  make_root || exit 1
  root_state=made
fi
flock -u 9
# Shared while the guest runs: no other run replaces the root under it.
flock -s 9
echo "root ($root_state): $image, $(cat "$image/made")"

cp "$deb" "$tool" "$here/guest_checks.sh" "$work/share/"
cp "$tool" "$work/share/sim_guest_tool"

# KVM's verdict is kept beside the root, per kernel, QEMU and this machine's kernel: a kernel
# that does not boot under this machine's KVM never does, and finding out costs 20 s.
verdict_file=$cache/kvm-$( { sha256sum <"$image/vmlinuz"; qemu-system-x86_64 --version | head -n 1; uname -r; } |
  sha256sum | cut -c1-16)
run=$work/share/out
qemu_pid=
cleanup() { [ -z "$qemu_pid" ] || kill -KILL "$qemu_pid" 2>/dev/null || true; }
trap cleanup EXIT

# The guest runs guest_checks.sh from the share as kernel-command-line.service (systemd.run=)
# and powers off when it ends. SYSTEMD_LOG_SECCOMP=1 (in PID 1's environment) has every refused
# system call logged to the audit log, which journald reads.
command_line="root=/dev/vda rw console=ttyS0 loglevel=5 systemd.show_status=error fsck.mode=skip"
command_line+=" audit=1 audit_backlog_limit=8192 SYSTEMD_LOG_SECCOMP=1 systemd.run_success_action=poweroff systemd.run_failure_action=poweroff"
command_line+=" systemd.run=\"/bin/sh -c 'mkdir -p /share && mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 share /share && exec /bin/bash /share/guest_checks.sh /share'\""
# Starts QEMU in the background with the accelerator's options; the console goes to console.log.
start_guest() {
  rm -rf "$run" "$work/console.log"
  mkdir -p "$run"
  qemu-system-x86_64 "$@" -m 1024 -nodefaults -no-user-config -display none -no-reboot -nic none \
    -serial "file:$work/console.log" \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" -append "$command_line" \
    -drive "file=$image/root.img,format=raw,if=virtio,snapshot=on" \
    -virtfs "local,path=$work/share,mount_tag=share,security_model=none" \
    2>"$work/qemu.err" &
  qemu_pid=$!
}
# Under KVM the initramfs speaks within seconds; this machine's KVM stalls a Debian kernel
# before it says anything.
boot_began=$SECONDS
accelerator=
verdict=$(cat "$verdict_file" 2>/dev/null || true)
if [ -r /dev/kvm ] && [ -w /dev/kvm ] && [ "$verdict" != tcg ]; then
  start_guest -accel kvm -cpu host -smp 2
  for _ in $(seq 200); do
    grep -q 'Loading, please wait' "$work/console.log" 2>/dev/null && break
    kill -0 "$qemu_pid" 2>/dev/null || break
    sleep 0.1
  done
  if grep -q 'Loading, please wait' "$work/console.log" 2>/dev/null; then
    accelerator="KVM"
    echo kvm >"$verdict_file"
  else
    kill -KILL "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
    echo tcg >"$verdict_file"
    accelerator="TCG (KVM tried: the kernel did not start within 20 s)"
  fi
elif [ "$verdict" = tcg ]; then
  accelerator="TCG (KVM did not start this kernel on an earlier run: $verdict_file)"
else
  accelerator="TCG (no usable /dev/kvm)"
fi
if [ "${accelerator%% *}" = TCG ]; then
  boot_began=$SECONDS
  # With SMAP, QEMU 7.2's TCG oopses the kernel on some returns to user mode (host_qemu).
  start_guest -accel tcg -cpu max,-smap -smp 1
fi
echo "accelerator: $accelerator"
# The guest's own bound: the checks take about 2.5 minutes under TCG.
for _ in $(seq 6000); do
  kill -0 "$qemu_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$qemu_pid" 2>/dev/null; then
  fail "the guest still runs after 600 s"
  kill -KILL "$qemu_pid"
fi
qemu_status=0
wait "$qemu_pid" || qemu_status=$?
qemu_pid=
guest_seconds=$((SECONDS - boot_began))
[ "$qemu_status" -eq 0 ] || fail "QEMU ended with status $qemu_status: $(cat "$work/qemu.err")"

facts=$run/facts
touch "$facts"
diagnose() {
  echo
  echo "--- facts"; cat "$facts"
  echo "--- the checks' log"; cat "$run/guest.log" 2>/dev/null || true
  echo "--- the unit's journal"; cat "$run/unit-journal.txt" 2>/dev/null || true
  echo "--- the console (last 60 lines)"; tail -n 60 "$work/console.log" 2>/dev/null || true
  echo "the whole journal: $run/journal.txt"
}
if [ ! -s "$facts" ]; then
  diagnose
  echo "FAIL: the checks in the guest never started" >&2
  exit 1
fi
get() { sed -n "s/^$1 //p" "$facts" | tail -n 1; }
has() { grep -qE "$2" "$run/$1" 2>/dev/null; }

# --- judging
[ -n "$(get finished)" ] || fail "the checks did not finish"
[ -z "$(get gave_up)" ] || fail "the checks gave up: $(get gave_up)"
[ "$(get pid1)" = systemd ] || fail "PID 1 is $(get pid1), not systemd"
[ "$(get apt_install_status)" = 0 ] || fail "apt install failed: $(tail -n 5 "$run/apt-install.txt" 2>/dev/null)"
version=$(dpkg-deb --field "$deb" Version)
[ "$(get installed)" = "install ok installed $version" ] || fail "installed: $(get installed)"
[ "$(get enabled_after_install)" = disabled ] || fail "the unit is $(get enabled_after_install) after install"
[ "$(get active_after_install)" = inactive ] || fail "the unit is $(get active_after_install) after install"
IFS=: read -r _ _ uid _ _ home shell <<<"$(get passwd)"
[ -n "$uid" ] && [ "$uid" -lt 1000 ] && [ "$home" = /nonexistent ] && [ "$shell" = /usr/sbin/nologin ] ||
  fail "not a system user without home and login: $(get passwd)"
for group in "$package" libvirt libvirt-qemu; do
  grep -qw -- "$group" <<<"$(get groups)" || fail "$package is not in $group: $(get groups)"
done
[ "$(get verify_status)" = 0 ] || fail "systemd-analyze verify: $(cat "$run/verify.txt" 2>/dev/null)"
[ "$(get enable_status)" = 0 ] || fail "systemctl enable --now: $(cat "$run/enable.txt" 2>/dev/null)"
[ -n "$(get up_seconds)" ] || fail "no vorna_up 1 after systemctl enable --now"

# The process as systemd started it.
status_field() { sed -n "s/^$1:[[:space:]]*//p" "$run/first-status.txt" 2>/dev/null; }
read -r ruid euid _ <<<"$(status_field Uid)"
[ "$ruid" = "$uid" ] && [ "$euid" = "$uid" ] || fail "the service runs as uid $(status_field Uid), not $uid"
for field in CapEff CapBnd CapAmb; do
  [ "$(status_field "$field")" = 0000000000000000 ] || fail "$field: $(status_field "$field")"
done
[ "$(status_field NoNewPrivs)" = 1 ] || fail "NoNewPrivs: $(status_field NoNewPrivs)"
[ "$(status_field Seccomp)" = 2 ] || fail "no seccomp filter: Seccomp $(status_field Seccomp)"
for name in first libvirt socket; do
  [ -n "$(get "${name}_nofile_show")" ] || continue
  [ "$(get "${name}_nofile_show")" = "$(get "${name}_nofile_proc")" ] ||
    fail "LimitNOFILE ($name): systemctl show $(get "${name}_nofile_show"), the process's limits $(get "${name}_nofile_proc")"
done

# Real and offline exposure.
real_score=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' "$run/security.txt" 2>/dev/null)
dpkg-deb --raw-extract "$deb" "$work/tree"
offline_report=$(systemd-analyze security --offline=yes "$work/tree/lib/systemd/system/$package.service" 2>&1)
offline_score=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' <<<"$offline_report")
if [ -z "$real_score" ]; then
  fail "no score from systemd-analyze security: $(cat "$run/security.txt" 2>/dev/null)"
else
  awk -v s="$real_score" 'BEGIN { exit !(s <= 2.0) }' || fail "real exposure $real_score is above 2.0"
fi
# A row: its mark, setting and exposure, without the description.
rows() { grep -E '^[✓✗] ' | sed -E 's/^([✓✗]) +([^ ]+) .* ([0-9.]+)$/\1 \2 \3/; s/^([✓✗]) +([^ ]+) .*$/\1 \2/' | sort; }
security_diff=$(diff <(rows <<<"$offline_report") <(rows <"$run/security.txt" 2>/dev/null) | grep '^[<>]' || true)

# Crash, usage error, reinstall.
segv=$(get segv_restart_seconds)
[ -n "$segv" ] && awk -v s="$segv" 'BEGIN { exit !(s <= 10) }' || fail "restart after SIGSEGV: ${segv:-none} s (at most 10)"
[ "$(get segv_nrestarts)" = 1 ] || fail "NRestarts after SIGSEGV: $(get segv_nrestarts)"
[ -n "$(get segv_up_seconds)" ] || fail "not serving again after the restart"
has unit-journal.txt 'Main process exited, code=(killed|dumped), status=11/SEGV' || fail "the journal has no SIGSEGV end of the main process"
[ "$(get usage_status)" = 2 ] || fail "usage error: exit status $(get usage_status), not 2"
[ "$(get usage_state)" = "failed failed exit-code" ] || fail "usage error: state $(get usage_state)"
read -r restarts_before restarts_after <<<"$(get usage_nrestarts)"
[ -n "$restarts_before" ] && [ "$restarts_before" = "$restarts_after" ] ||
  fail "restarted after a usage error: NRestarts $(get usage_nrestarts)"
[ "$(get reinstall_status)" = 0 ] || fail "apt install --reinstall: $(tail -n 5 "$run/apt-reinstall.txt" 2>/dev/null)"
[ "$(get reinstall_default_kept)" = yes ] || fail "the edited default was replaced by the reinstall"
[ -z "$(get reinstall_leftovers)" ] || fail "the reinstall left $(get reinstall_leftovers)"
[ "$(get reinstall_enabled)" = enabled ] || fail "the unit is $(get reinstall_enabled) after the reinstall"
[ -n "$(get reinstall_up_seconds)" ] || fail "not serving after the reinstall"

# Denials while the exporter ran as configured. The filter's refusals are audited (SECCOMP,
# code 0x5xxxx: an error returned; 0x0 or 0x8xxxxxxx: the process killed).
normal=$run/journal-normal.txt
[ -s "$normal" ] || fail "no journal of the normal runs"
audit=$(grep 'SECCOMP' "$normal" 2>/dev/null | grep "exe=\"/usr/bin/$package\"" || true)
syscall_name() {
  awk -v n="$1" '$1 == "#define" && $2 ~ /^__NR_/ && $3 == n { sub(/^__NR_/, "", $2); print $2; exit }' \
    /usr/include/x86_64-linux-gnu/asm/unistd_64.h 2>/dev/null | grep . || echo "syscall $1"
}
refused=$(sed -n 's/.* syscall=\([0-9]*\) .*/\1/p' <<<"$audit" | sort -un | while read -r n; do syscall_name "$n"; done | sort -u)
killed=$(grep -E 'code=0x(0+|8[0-9a-f]*)( |$)' <<<"$audit" || true)
[ -z "$killed" ] || fail "the filter killed the exporter: $killed"
# Refusals known to be harmless: those host_unit_syscalls tolerates, and clone3, which systemd
# refuses whenever RestrictNamespaces= is set (a filter cannot see clone3's flags), so that glibc
# creates threads with clone instead; strace's emulation of the filter alone does not show it.
tolerated=$(sed -n 's/^tolerated="\(.*\)"$/\1/p' "$here/../package/unit_syscalls_test.sh" | tr ' ' '\n' | sort)
harmless=$( { echo "$tolerated"; echo clone3; } | sed '/^$/d' | sort -u)
unexpected=$(comm -23 <(echo "$refused" | sed '/^$/d') <(echo "$harmless"))
[ -z "$unexpected" ] || fail "the filter refused calls not known to be harmless: $(echo $unexpected)"
grep -q 'status=31/SYS' "$normal" && fail "a process ended with SIGSYS: $(grep 'status=31/SYS' "$normal")"
denials=$(grep -E "$package\[[0-9]+\]: .*(Permission denied|Operation not permitted|Read-only file system)|apparmor=\"DENIED\"|avc: +denied" \
  "$normal" || true)
[ -z "$denials" ] || fail "denials in the journal: $denials"

# libvirt.
read -r libvirt_status libvirt_seconds <<<"$(get libvirt_up)"
[ "$libvirt_status" = 0 ] || fail "no vorna_libvirt_up 1 with the shipped default: $(grep -v '^#' "$run/scrape-libvirt.txt" 2>/dev/null | head -n 5); $(cat "$run/journal-libvirt.txt" 2>/dev/null)"
read -r nogroup_status nogroup_seconds <<<"$(get libvirt_up_without_group)"
if [ "$nogroup_status" = 0 ]; then
  libvirt_without_group="vorna_libvirt_up 1 without the group libvirt (its read-only socket is open to every user)"
elif has journal-libvirt-nogroup.txt 'the user needs the group libvirt'; then
  libvirt_without_group="refused without the group libvirt: $(grep -m 1 'the user needs the group libvirt' "$run/journal-libvirt-nogroup.txt" | sed 's/^.*]: //')"
else
  fail "without the group libvirt: neither libvirt up nor the permission message: $(cat "$run/journal-libvirt-nogroup.txt" 2>/dev/null)"
fi
read -r channel_status _ <<<"$(get channel_without_group)"
[ "$channel_status" = 0 ] || fail "no connect failure for the channel without the group libvirt-qemu"
channel_message=$(grep -m 1 'win10: down' "$run/journal-channel-nogroup.txt" 2>/dev/null | sed 's/^.*]: //' || true)
grep -q 'Permission denied' <<<"$channel_message" ||
  fail "without the group libvirt-qemu, no 'Permission denied' for the channel: $(cat "$run/journal-channel-nogroup.txt" 2>/dev/null)"

# Socket activation, when the package ships a .socket unit.
if [ "$(get has_socket_unit)" = yes ]; then
  [ "$(get socket_enable_status)" = 0 ] || fail "systemctl enable --now $package.socket: $(cat "$run/enable-socket.txt" 2>/dev/null)"
  [ "$(get socket_before_scrape)" = "active inactive" ] || fail "before the first scrape: socket and service $(get socket_before_scrape)"
  read -r code _ <<<"$(get socket_first_scrape)"
  [ "$code" = 200 ] || fail "the first scrape through the socket: HTTP $(get socket_first_scrape)"
  has scrape-socket-first.txt '^vorna_build_info' || fail "the first scrape through the socket has no vorna_build_info"
  [ "$(get socket_after_scrape)" = "active active" ] || fail "after the first scrape: socket and service $(get socket_after_scrape)"
  [ "$(get socket_up | cut -d' ' -f1)" = 0 ] || fail "no vorna_up 1 after socket activation"
fi

# The purge: what the root has that it had not before the install.
[ "$(get purge_status)" = 0 ] || fail "apt purge: $(tail -n 5 "$run/apt-purge.txt" 2>/dev/null)"
[ -z "$(get purge_dpkg_info)" ] || fail "dpkg's files of the package stay: $(get purge_dpkg_info)"
grep -q '^not-found inactive$' <<<"$(get purge_unit)" || fail "the unit after the purge: $(get purge_unit)"
purge_diff=$(diff "$run/files-before.txt" "$run/files-after.txt" 2>/dev/null | grep '^[<>]' || true)
[ -s "$run/files-after.txt" ] || fail "no file list after the purge"
# adduser's and deluser's backups of the account files; the files themselves may differ only
# when the user or group stays.
backups='^[<>] /etc/(passwd|group|shadow|gshadow)- '
accounts='^[<>] /etc/(passwd|group|shadow|gshadow) '
other_changes=$(grep -vE "$backups" <<<"$purge_diff" || true)
[ "$(get purge_user)" = none ] && [ "$(get purge_group)" = none ] ||
  other_changes=$(grep -vE "$accounts" <<<"$other_changes" || true)
[ -z "$other_changes" ] || fail "the purge left these changes to the root's files (< before, > after):
$other_changes"
stays=()
[ "$(get purge_user)" = none ] || stays+=("the user ($(get purge_user))")
[ "$(get purge_group)" = none ] || stays+=("the group ($(get purge_group))")
[ -z "$(get purge_backups)" ] || stays+=("the user's lines in the account files' backups $(get purge_backups | sed 's/ $//')")
stays+=("the unit's entries in the journal")

# --- report
echo
echo "== guest"
echo "systemd: $(get systemd); kernel $(get kernel)"
echo "accelerator: $accelerator"
echo "the checks began $(get started) s after the kernel and ended at $(get finished) s; QEMU ran $guest_seconds s"
echo "apt install: $(get apt_install_seconds) s; /metrics had vorna_up 1 $(get up_seconds) s after systemctl enable --now"
echo "groups: $(get groups)"
echo "the process: $(tr '\n' ' ' <"$run/first-status.txt" 2>/dev/null | tr -s '\t ' ' ')"
echo "LimitNOFILE (soft:hard), systemctl show / the process: $(get first_nofile_show) / $(get first_nofile_proc)"
echo "SIGSEGV: restarted after $(get segv_restart_seconds) s (PIDs $(get segv_pids)), serving again $(get segv_up_seconds) s later"
echo "usage error: $(get usage_state), status $(get usage_status), NRestarts $(get usage_nrestarts) (before, 8 s after)"
echo "reinstall: edited default kept: $(get reinstall_default_kept); main PID $(get reinstall_pids) (before, after)"
echo "shipped default: vorna_libvirt_up 1 after ${libvirt_seconds:-?} s; ${libvirt_without_group:-}"
echo "without the group libvirt-qemu: $channel_message"
if [ "$(get has_socket_unit)" = yes ]; then
  echo "socket activation: first scrape HTTP $(get socket_first_scrape) s; LimitNOFILE $(get socket_nofile_show) / $(get socket_nofile_proc)"
else
  echo "socket activation: not checked (the package has no $package.socket)"
fi
echo "systemd-analyze security (real): ${real_score:-none}; offline: ${offline_score:-none}"
grep -E '^[✗] ' "$run/security.txt" 2>/dev/null | sed -E 's/  +/  /g' || true
echo "refused by the filter (audited): ${refused:-none}" | tr '\n' ' '
echo
echo "what stays after the purge: $(printf '%s; ' "${stays[@]}" | sed 's/; $//')"
echo
echo "== differences from the offline checks"
differences=0
difference() {
  echo "- $*"
  differences=$((differences + 1))
}
[ "$real_score" = "$offline_score" ] || difference "exposure: real $real_score, offline (host_deb_contents) $offline_score"
[ -z "$security_diff" ] || difference "systemd-analyze security rows (< offline, > real):
$security_diff"
missing=$(comm -13 <(echo "$refused" | sed '/^$/d') <(echo "$tolerated"))
[ -z "$missing" ] || difference "host_unit_syscalls tolerates $(echo $missing) as refused; under systemd it was not refused here"
not_emulated=$(comm -23 <(echo "$refused" | sed '/^$/d') <(echo "$tolerated"))
[ -z "$not_emulated" ] || difference "refused under systemd, not in host_unit_syscalls' emulation of SystemCallFilter=: $(echo $not_emulated)$(grep -qx clone3 <<<"$not_emulated" && echo " (clone3: RestrictNamespaces=; glibc falls back to clone)")"
difference "host_deb_roundtrip has no libvirtd (vorna_libvirt_up 0 with the shipped default); under systemd with libvirt-daemon-system: vorna_libvirt_up 1"
[ "$nogroup_status" = 0 ] && difference "the postinst adds the user to libvirt for its socket; the read-only socket it uses needs no group (libvirtd-ro.socket's SocketMode=0666, polkit's monitor rule)"
# Both keep the system user and group after a purge; a difference is one that went.
if [ "$(get purge_user)" = none ] || [ "$(get purge_group)" = none ]; then
  difference "host_deb_roundtrip: the purge keeps the user and group; under systemd: $(get purge_user) / $(get purge_group)"
fi
[ "$differences" -gt 0 ] || echo "(none)"
echo
echo "run time: $((SECONDS - started)) s (root $root_state; $(cat "$image/made"))"

if [ "$failures" -ne 0 ]; then
  diagnose
  echo "$failures failure(s)" >&2
  exit 1
fi
rm -rf "$work/tree"
echo "systemd checks passed"
