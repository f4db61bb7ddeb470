#!/usr/bin/env bash
# The package's life on a KVM host: install, the operator's edit of the default file and the
# unit's enabling, upgrade to the same version rebuilt with another default, remove, purge. The
# exporter runs as the service would run it (the unit's user and groups, its ExecStart with ARGS
# from its EnvironmentFile, no capabilities, no new privileges) and is scraped on 127.0.0.1.
#
# The machine is not touched: everything happens in a throwaway root, an overlay of this machine's
# root whose changes go to a tmpfs, seen only from a mount, network and PID namespace of the
# test's own. When the test ends, however it ends, the namespace goes with its processes, mounts
# and changes. The changes are what shows a purge that leaves something behind.
# Usage: deb_roundtrip_test.sh DEB SIM_GUEST_TOOL WORK_DIR
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  [ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root (a mount namespace and chroot)"; exit 77; }
  deb=$(realpath "$1") tool=$(realpath "$2") work=$(realpath -m "$3")
  rm -rf "$work"
  mkdir -p "$work/scratch" "$work/v2"
  trap 'rm -rf "$work"' EXIT
  # The same version with another default: the shipped ARGS with another port.
  dpkg-deb --raw-extract "$deb" "$work/v2/tree"
  sed -i 's/^ARGS=""$/ARGS="--web.listen-address :9639"/' "$work/v2/tree/etc/default/vorna-stats-host"
  grep -q '^ARGS="--web.listen-address :9639"$' "$work/v2/tree/etc/default/vorna-stats-host" ||
    { echo "FAIL: the shipped default has no empty ARGS=\"\" to change" >&2; exit 1; }
  (cd "$work/v2/tree" && sed -i "s|^[0-9a-f]*  etc/default/vorna-stats-host\$|$(md5sum etc/default/vorna-stats-host)|" DEBIAN/md5sums)
  dpkg-deb --root-owner-group --build "$work/v2/tree" "$work/v2/rebuilt.deb" >/dev/null
  # --kill-child: a killed test takes the namespace's first process, and so all of it, along.
  unshare --mount --net --pid --fork --propagation private --kill-child -- \
    bash "$0" --inside "$deb" "$work/v2/rebuilt.deb" "$tool" "$work"
  exit $?
fi

deb=$2 deb2=$3 tool=$4 work=$5
scratch="$work/scratch"
root="$scratch/root"
package=vorna-stats-host
default_file=/etc/default/$package

mount -t tmpfs -o size=1g tmpfs "$scratch"
mkdir "$scratch/upper" "$scratch/work" "$root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$root"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/run"
mount -t tmpfs tmpfs "$root/tmp"
ip link set lo up
# The root's /tmp is its own: the packages and the guest's program go to its /run.
mkdir "$root/run/test"
cp "$deb" "$root/run/test/vorna-stats-host.deb"
cp "$deb2" "$root/run/test/vorna-stats-host-rebuilt.deb"
cp "$tool" "$root/run/test/sim_guest_tool"
deb=/run/test/vorna-stats-host.deb deb2=/run/test/vorna-stats-host-rebuilt.deb tool=/run/test/sim_guest_tool

in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C DEBIAN_FRONTEND=noninteractive "$@"; }
step() { echo "== $*"; }
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
on_exit() {
  local status=$?
  if [ "$status" -ne 0 ] && [ -s "$root/tmp/exporter.err" ]; then
    echo "--- the exporter's standard error"
    cat "$root/tmp/exporter.err"
  fi
}
trap on_exit EXIT

# The changes to the root: each file that differs from this machine's (path and a hash, a link's
# target, or a deletion) and each new folder. dpkg's own database and logs, the backups of the
# account files and man-db's cache (made by `man`, which systemd-analyze runs) change with any
# package.
changes() {
  (cd "$scratch/upper" && find . -mindepth 1 -printf '%y %p\n' | sort |
    while read -r kind path; do
      case $kind in
        d) [ -d "/$path" ] || echo "$path/" ;;
        f) cmp -s "$path" "/$path" 2>/dev/null || echo "$path $(sha256sum <"$path" | cut -c1-16)" ;;
        l) [ "$(readlink "$path")" = "$(readlink "/$path" 2>/dev/null)" ] ||
             echo "$path -> $(readlink "$path")" ;;
        c) echo "$path deleted" ;;
      esac
    done) |
    grep -v -E '^\./var/lib/dpkg/(status|status-old|available|lock|lock-frontend|triggers/[^/]*|info/format) ' |
    grep -v -E '^\./var/log/|^\./var/cache/(debconf|man)/|^\./etc/(passwd|group|shadow|gshadow)-? ' || true
}

# The account files without the system user's and group's own lines and the user's memberships:
# all that may change of them.
accounts() {
  local file
  for file in passwd group shadow gshadow; do
    echo "== $file"
    sed -E "/^$package:/d; s/(^|[:,])$package(,|\$)/\1/; s/,\$//" "$root/etc/$file"
  done
}

# The unit's own settings, from the installed file.
unit_setting() { sed -n "s/^$1=//p" "$root/lib/systemd/system/$package.service"; }

exporter=
start_exporter() {
  local user group environment command
  user=$(unit_setting User) group=$(unit_setting Group)
  environment=$(unit_setting EnvironmentFile) command=$(unit_setting ExecStart)
  # systemd splits an unquoted $ARGS at white space and expands no pattern: so does sh with set -f.
  chroot "$root" setpriv --reuid="$user" --regid="$group" --init-groups --no-new-privs \
    --bounding-set=-all --inh-caps=-all \
    env -i PATH=/usr/bin:/bin LC_ALL=C sh -c "set -a; . ${environment#-}; set +a; set -f; exec $command" \
    >"$root/tmp/exporter.out" 2>"$root/tmp/exporter.err" &
  exporter=$!
}

stop_exporter() {
  kill -TERM "$exporter"
  local status=0
  wait "$exporter" || status=$?
  [ "$status" -eq 0 ] || fail "the exporter ended with status $status on SIGTERM"
}

# Waits for the VM's figures on /metrics, as Prometheus would scrape them.
scrape_until_up() {
  local port=$1 deadline=$((SECONDS + 30)) text=
  while [ "$SECONDS" -lt "$deadline" ]; do
    kill -0 "$exporter" 2>/dev/null || fail "the exporter ended"
    text=$(curl -fsS --max-time 2 "http://127.0.0.1:$port/metrics" 2>/dev/null) || text=
    if grep -q '^vorna_up{vm="win10"} 1$' <<<"$text"; then
      grep '^vorna_memory_total_bytes{vm="win10"} 2147483648$' <<<"$text" >/dev/null ||
        fail "no memory total of 2 GiB in the scrape: $text"
      grep '{vm="win10"}' <<<"$text"
      return 0
    fi
    sleep 0.5
  done
  fail "no vorna_up 1 for win10 on 127.0.0.1:$port within 30 s; last scrape: $text"
}

step "the throwaway root: QEMU's channel socket as libvirt makes it, and its group"
# libvirt-qemu is made here so that the package finds it; libvirt's group is left as this machine
# has it, so one of the two is absent unless libvirt's daemon is installed.
in_root getent group libvirt-qemu >/dev/null || in_root groupadd --system libvirt-qemu
channel=/var/lib/libvirt/qemu/channel/target/domain-1-win10
mkdir -p "$root$channel"
in_root chown root:libvirt-qemu "$channel"
chmod 0750 "$root$channel"
chroot "$root" "$tool" "$channel/com.vorna.vm.stats_agent.0" >"$root/tmp/guest.out" &
for _ in $(seq 50); do grep -q ready "$root/tmp/guest.out" && break; sleep 0.1; done
grep -q ready "$root/tmp/guest.out" || fail "the simulated guest did not start"
in_root chown root:libvirt-qemu "$channel/com.vorna.vm.stats_agent.0"
chmod 0770 "$root$channel/com.vorna.vm.stats_agent.0"
before=$(changes)
accounts_before=$(accounts)
libvirt_group=$(in_root getent group libvirt || true)

step "install"
in_root dpkg --install "$deb" >/dev/null
in_root dpkg-query --show --showformat='${Conffiles}\n' "$package" | grep -q "^ $default_file " ||
  fail "$default_file is not a conffile"
passwd=$(in_root getent passwd "$package") || fail "no user $package"
echo "user: $passwd"
IFS=: read -r _ _ uid _ _ home shell <<<"$passwd"
[ "$uid" -lt 1000 ] && [ "$home" = /nonexistent ] && [ "$shell" = /usr/sbin/nologin ] ||
  fail "not a system user without home and login: $passwd"
groups=$(in_root id -nG "$package")
echo "groups: $groups"
grep -qw libvirt-qemu <<<"$groups" || fail "$package is not in libvirt-qemu"
if [ -n "$libvirt_group" ]; then
  grep -qw libvirt <<<"$groups" || fail "$package is not in libvirt"
else
  ! in_root getent group libvirt >/dev/null || fail "the package made a group libvirt"
fi
[ ! -e "$root/etc/systemd/system/multi-user.target.wants/$package.service" ] ||
  fail "the unit is enabled before the operator enables it"
in_root systemd-analyze verify "/lib/systemd/system/$package.service" || fail "systemd-analyze verify"
echo "systemd-analyze verify: clean (with the program and its manual page installed)"

if [ -z "$libvirt_group" ]; then
  step "libvirt installed after the package: dpkg-reconfigure joins its group"
  in_root groupadd --system libvirt
  in_root dpkg-reconfigure "$package"
  in_root id -nG "$package" | grep -qw libvirt || fail "$package is not in libvirt after dpkg-reconfigure"
  echo "groups: $(in_root id -nG "$package")"
  # As the machine had it: without the group.
  in_root groupdel libvirt
fi

step "the exporter as the unit starts it, with the shipped default (:9638, the system libvirt)"
# There is no libvirtd in this root (its /run is empty): the exporter serves, shows libvirt down
# and says on standard error what it lacks.
grep -qx 'ARGS=""' "$root$default_file" || fail "the shipped default has arguments: $(grep '^ARGS' "$root$default_file")"
start_exporter
text=
for _ in $(seq 60); do
  kill -0 "$exporter" 2>/dev/null || fail "the exporter ended"
  text=$(curl -fsS --max-time 2 http://127.0.0.1:9638/metrics 2>/dev/null) || text=
  grep -q '^vorna_libvirt_up 0$' <<<"$text" && break
  sleep 0.5
done
grep -E '^vorna_(build_info|libvirt_up|libvirt_domains_without_channel)[{ ]' <<<"$text" ||
  fail "no build info and libvirt state on :9638; last scrape: $text"
grep -q '^vorna_build_info{version="[^"]*"} 1$' <<<"$text" || fail "no vorna_build_info"
grep -q '^vorna_libvirt_up 0$' <<<"$text" || fail "no vorna_libvirt_up 0"
! grep -q '^vorna_up' <<<"$text" || fail "a VM polled without libvirt: $text"
grep -q "libvirt qemu:///system: .*libvirt-sock-ro.*; trying again" "$root/tmp/exporter.err" ||
  fail "no message that libvirt cannot be reached: $(cat "$root/tmp/exporter.err")"
echo "standard error: $(cat "$root/tmp/exporter.err")"
stop_exporter

step "the operator edits $default_file and enables the unit"
cat >"$root$default_file" <<'ARGS'
# This host's arguments.
ARGS="--web.listen-address 127.0.0.1:9638 --interval 1 --vm-glob /var/lib/libvirt/qemu/channel/target/domain-*/com.vorna.vm.stats_agent.0"
ARGS
in_root systemctl enable "$package.service" 2>&1
[ -L "$root/etc/systemd/system/multi-user.target.wants/$package.service" ] ||
  fail "systemctl enable made no link"

step "the exporter with the operator's arguments, scraped on 127.0.0.1:9638"
start_exporter
scrape_until_up 9638
read -r _ ruid euid _ < <(grep '^Uid:' "$root/proc/$exporter/status")
[ "$ruid" = "$uid" ] && [ "$euid" = "$uid" ] || fail "the exporter runs as uid $ruid/$euid, not $uid"
grep -E '^(Uid|Gid|Groups|CapEff|CapBnd|NoNewPrivs):' "$root/proc/$exporter/status"
stop_exporter

step "upgrade to the same version with another default"
in_root dpkg --install --force-confdef --force-confold "$deb2" >/dev/null
grep -q '127.0.0.1:9638 --interval 1' "$root$default_file" || fail "the operator's arguments were replaced"
grep -q ':9639"' "$root$default_file.dpkg-dist" || fail "no new default beside the kept file"
echo "kept: $(grep '^ARGS' "$root$default_file")"
echo "new default in $default_file.dpkg-dist: $(grep '^ARGS' "$root$default_file.dpkg-dist")"
[ -L "$root/etc/systemd/system/multi-user.target.wants/$package.service" ] ||
  fail "the upgrade disabled the unit"
start_exporter
scrape_until_up 9638 >/dev/null
echo "scraped again after the upgrade"
stop_exporter

step "remove"
in_root dpkg --remove "$package" >/dev/null
status=$(in_root dpkg-query --show --showformat='${Status}' "$package")
[ "$status" = "deinstall ok config-files" ] || fail "status after remove: $status"
[ ! -e "$root/usr/bin/$package" ] && [ ! -e "$root/lib/systemd/system/$package.service" ] ||
  fail "program or unit left after remove"
[ -f "$root$default_file" ] || fail "the conffile went with remove"
in_root getent passwd "$package" >/dev/null || fail "the user went with remove"
echo "status: $status; $default_file and the user stay"

step "purge"
in_root dpkg --purge "$package" >/dev/null
! in_root dpkg-query --show "$package" >/dev/null 2>&1 || fail "dpkg still knows $package"
in_root getent passwd "$package" >/dev/null || fail "the system user went with the purge"
in_root getent group "$package" >/dev/null || fail "the system group went with the purge"
after=$(changes)
if [ "$before" != "$after" ]; then
  diff <(echo "$before") <(echo "$after") || true
  fail "the purge left these changes to the root (> lines)"
fi
accounts_after=$(accounts)
if [ "$accounts_before" != "$accounts_after" ]; then
  diff <(echo "$accounts_before") <(echo "$accounts_after") || true
  fail "the account files changed beyond the user's lines"
fi
echo "nothing left but the system user and group: the root's other files are as before the install"
