#!/usr/bin/env bash
# The unit's system call filter and address families allow what export does: the exporter under
# strace polls a simulated guest and serves a scrape and a wrong path; every call it made must be
# in the unit's SystemCallFilter sets (as systemd-analyze expands them) and every socket of an
# allowed family. A call outside would fail with EPERM under the service manager.
# Usage: unit_syscalls_test.sh VORNA_HOST_EXE SIM_GUEST_TOOL UNIT WORK_DIR
set -euo pipefail
export LC_ALL=C
exe=$(realpath "$1") tool=$(realpath "$2") unit=$(realpath "$3") work=$(realpath -m "$4")
rm -rf "$work"
mkdir -p "$work"
cd "$work"
guest= tracer= exporter=
cleanup() {
  [ -n "$exporter" ] || [ -z "$tracer" ] || exporter=$(cat exporter.pid 2>/dev/null || true)
  [ -z "$exporter" ] || kill -KILL "$exporter" 2>/dev/null || true
  [ -z "$tracer" ] || kill -KILL "$tracer" 2>/dev/null || true
  [ -z "$guest" ] || kill -KILL "$guest" 2>/dev/null || true
  wait
}
trap cleanup EXIT

"$tool" "$work/guest.sock" >guest.out &
guest=$!
# sh tells the exporter's PID (strace writes its trace in blocks) and becomes the exporter.
strace -f -qq -e trace=all -o trace.txt sh -c 'echo $$ >exporter.pid; exec "$@"' sh \
  "$exe" export --listen 127.0.0.1:0 --interval 1 --vm guest="unix:$work/guest.sock" \
  --vm-glob "$work/none/domain-*/com.vorna.vm.stats_agent.0" 2>exporter.err &
tracer=$!
port=
for _ in $(seq 100); do
  [ -n "$exporter" ] || exporter=$(cat exporter.pid 2>/dev/null || true)
  port=$(sed -n 's/.*serving \/metrics on 127.0.0.1:\([0-9]*\)$/\1/p' exporter.err)
  [ -n "$port" ] && [ -n "$exporter" ] && grep -q 'guest: up' exporter.err && break
  sleep 0.1
done
[ -n "$port" ] && [ -n "$exporter" ] || { cat exporter.err; echo "FAIL: the exporter did not serve" >&2; exit 1; }
curl -fsS --max-time 5 "http://127.0.0.1:$port/metrics" | grep -q '^vorna_up{vm="guest"} 1$' ||
  { echo "FAIL: no figures on /metrics" >&2; exit 1; }
curl -sS --max-time 5 -o /dev/null "http://127.0.0.1:$port/other"
# The signal goes to the exporter itself. strace 6.1 now and then stays after its tracee has
# ended: it gets a few seconds, then a SIGTERM (its output is written as it goes).
kill -TERM "$exporter"
for _ in $(seq 100); do kill -0 "$exporter" 2>/dev/null || break; sleep 0.1; done
! kill -0 "$exporter" 2>/dev/null || { echo "FAIL: the exporter still runs 10 s after SIGTERM" >&2; exit 1; }
exporter=
for _ in $(seq 50); do kill -0 "$tracer" 2>/dev/null || break; sleep 0.1; done
kill -TERM "$tracer" 2>/dev/null || true
wait "$tracer" || true
tracer=

expand() {
  systemd-analyze syscall-filter "$1" | awk 'NR > 1 && $1 !~ /^#/ && NF { print $1 }' |
    while read -r name; do
      case $name in @*) expand "$name" ;; *) echo "$name" ;; esac
    done
}
# A line of sets with ~ removes them all; the others add theirs.
denied=$(sed -n 's/^SystemCallFilter=~//p' "$unit" | tr ' ' '\n' | sed '/^$/d')
allowed=$(sed -n '/^SystemCallFilter=[^~]/s/^SystemCallFilter=//p' "$unit" | tr ' ' '\n')
permitted=$(comm -23 <(for s in $allowed; do expand "$s"; done | sort -u) \
                     <(for s in $denied; do expand "$s"; done | sort -u))
# The exporter's calls: from its execve on.
used=$(awk -v exe="$exe" '
  index($0, "execve(\"" exe "\"") { started = 1 }
  started { call = $2; sub(/\(.*/, "", call); if (call ~ /^[a-z_0-9]+$/) print call }' trace.txt | sort -u)
[ -n "$used" ] || { echo "FAIL: no calls of the exporter in the trace" >&2; exit 1; }
outside=$(comm -23 <(echo "$used") <(echo "$permitted"))
echo "system calls made: $(echo $used)"
families=$(grep -oE 'socket\((AF_[A-Z0-9]+)' trace.txt | sed 's/socket(//' | sort -u)
echo "address families: $(echo $families)"
status=0
if [ -n "$outside" ]; then
  echo "FAIL: calls outside the unit's SystemCallFilter: $(echo $outside)" >&2
  status=1
fi
for family in $families; do
  grep -qE "^RestrictAddressFamilies=.*\\b$family\\b" "$unit" ||
    { echo "FAIL: a socket of $family, not in RestrictAddressFamilies" >&2; status=1; }
done
exit $status
