#!/usr/bin/env bash
# The unit's system call filter and address families allow what export does: the exporter under
# strace finds a VM through libvirt, polls it and a named one (simulated guests) and serves a
# scrape and a wrong path, over plain HTTP and over TLS with basic authentication; every call it made must be in the unit's SystemCallFilter sets (as
# systemd-analyze expands them) and every socket of an allowed family. strace fails each call
# outside those sets with EPERM, as the service manager would, so the scenario shows the exporter
# working under the filter; a call outside is accepted only from the list of those known to be
# refused harmlessly.
# libvirt is reached as the unit reaches qemu:///system: through a libvirtd's socket (its remote
# driver, event loop thread and keepalive), a libvirtd of the test's own with the test driver
# behind it; without root, which that daemon needs, through the test driver in the process.
# Usage: unit_syscalls_test.sh VORNA_HOST_EXE SIM_GUEST_TOOL UNIT WORK_DIR
set -euo pipefail
export LC_ALL=C
exe=$(realpath "$1") tool=$(realpath "$2") unit=$(realpath "$3") work=$(realpath -m "$4")
rm -rf "$work"
mkdir -p "$work"
cd "$work"
guest= listed= daemon= tracer= exporter=
cleanup() {
  [ -n "$exporter" ] || [ -z "$tracer" ] || exporter=$(cat exporter.pid 2>/dev/null || true)
  [ -z "$exporter" ] || kill -KILL "$exporter" 2>/dev/null || true
  [ -z "$tracer" ] || kill -KILL "$tracer" 2>/dev/null || true
  [ -z "$guest" ] || kill -KILL "$guest" 2>/dev/null || true
  [ -z "$listed" ] || kill -KILL "$listed" 2>/dev/null || true
  [ -z "$daemon" ] || kill -TERM "$daemon" 2>/dev/null || true
  wait
}
trap cleanup EXIT

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
# Calls outside the filter that the exporter's libraries make and get over when refused:
# set_mempolicy: libnuma (through libvirt) probes MPOL_PREFERRED_MANY when it is loaded and, refused,
#   keeps the default memory policy.
tolerated="set_mempolicy"

"$tool" "$work/guest.sock" >guest.out &
guest=$!
"$tool" "$work/listed.sock" >listed.out &
listed=$!
# A domain of libvirt's test driver whose agent channel is the second simulated guest.
cat >node.xml <<NODE
<node><domain type='test'><name>listed</name><memory>1048576</memory><os><type>hvm</type></os>
<devices><channel type='unix'><source mode='bind' path='$work/listed.sock'/>
<target type='virtio' name='com.vorna.vm.stats_agent.0'/></channel></devices></domain></node>
NODE
if [ "$(id -u)" -eq 0 ]; then
  mkdir run no-modules
  printf '%s\n' "unix_sock_dir = \"$work/run\"" 'auth_unix_rw = "none"' 'auth_unix_ro = "none"' \
    >libvirtd.conf
  LIBVIRT_DRIVER_DIR="$work/no-modules" libvirtd -f "$work/libvirtd.conf" -p "$work/libvirtd.pid" \
    2>libvirtd.err &
  daemon=$!
  uri="test+unix://$work/node.xml?socket=$work/run/libvirt-sock-ro"
  for _ in $(seq 100); do [ -S run/libvirt-sock-ro ] && break; sleep 0.1; done
  [ -S run/libvirt-sock-ro ] || { cat libvirtd.err; echo "FAIL: libvirtd made no socket" >&2; exit 1; }
else
  uri="test://$work/node.xml"
fi
echo "libvirt: $uri"
# One run of the exporter under strace, with the unit's filter emulated; trace-NAME.txt.
# Usage: traced_export NAME SCHEME CURL_OPTIONS -- EXPORT_OPTIONS...
traced_export() {
  local name=$1 scheme=$2 curl_options=$3 port= scrape line
  shift 4
  exporter=
  rm -f exporter.pid
  : >"exporter-$name.err"
  # sh tells the exporter's PID (strace writes its trace in blocks) and becomes the exporter.
  strace -f -qq -e trace=all -e "inject=!$(sed 's/^/?/' <<<"$permitted" | paste -sd,):error=EPERM" \
    -o "trace-$name.txt" sh -c 'echo $$ >exporter.pid; exec "$@"' sh \
    "$exe" export --web.listen-address 127.0.0.1:0 --interval 1 --vm guest="unix:$work/guest.sock" \
    --vm-glob "$work/none/domain-*/com.vorna.vm.stats_agent.0" --libvirt "$uri" "$@" \
    2>"exporter-$name.err" &
  tracer=$!
  for _ in $(seq 150); do
    [ -n "$exporter" ] || exporter=$(cat exporter.pid 2>/dev/null || true)
    port=$(sed -n 's/.*serving \/metrics on 127.0.0.1:\([0-9]*\)\( (TLS)\)\{0,1\}$/\1/p' "exporter-$name.err")
    [ -n "$port" ] && [ -n "$exporter" ] && grep -q 'guest: up' "exporter-$name.err" &&
      grep -q 'listed: up' "exporter-$name.err" && break
    sleep 0.1
  done
  [ -n "$port" ] && [ -n "$exporter" ] ||
    { cat "exporter-$name.err"; echo "FAIL: the exporter ($name) did not serve" >&2; exit 1; }
  # shellcheck disable=SC2086  # the options are words
  scrape=$(curl -fsS --max-time 5 $curl_options "$scheme://127.0.0.1:$port/metrics")
  for line in 'vorna_up{vm="guest"} 1' 'vorna_up{vm="listed"} 1' 'vorna_libvirt_up 1'; do
    grep -qxF "$line" <<<"$scrape" ||
      { cat "exporter-$name.err"; echo "FAIL: no $line on /metrics ($name)" >&2; exit 1; }
  done
  # shellcheck disable=SC2086
  curl -sS --max-time 5 -o /dev/null $curl_options "$scheme://127.0.0.1:$port/other"
  # The signal goes to the exporter itself. strace 6.1 now and then stays after its tracee has
  # ended: it gets a few seconds, then a SIGTERM (its output is written as it goes).
  kill -TERM "$exporter"
  for _ in $(seq 100); do kill -0 "$exporter" 2>/dev/null || break; sleep 0.1; done
  ! kill -0 "$exporter" 2>/dev/null ||
    { echo "FAIL: the exporter ($name) still runs 10 s after SIGTERM" >&2; exit 1; }
  exporter=
  for _ in $(seq 50); do kill -0 "$tracer" 2>/dev/null || break; sleep 0.1; done
  kill -TERM "$tracer" 2>/dev/null || true
  wait "$tracer" || true
  tracer=
  echo "$name: served on $scheme://127.0.0.1:$port"
}

traced_export http http "" --
# TLS (GnuTLS through libmicrohttpd) and basic authentication (bcrypt through crypt(3)).
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key \
  -out server.crt -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -days 2 2>/dev/null
printf '%s\n' 'tls_server_config:' '  cert_file: server.crt' '  key_file: server.key' \
  'basic_auth_users:' '  prometheus: $2b$08$5sBQvsk5Wm3cYd00UOgHVOzzh/Y/UJ3rebSEfufDFfzZgWkl/i7lW' \
  >web.yml
traced_export tls https "--cacert server.crt --user prometheus:scrape" -- --web.config.file web.yml

# The exporter's calls: from its execve on.
used=$(for trace in trace-*.txt; do
  awk -v exe="$exe" '
    index($0, "execve(\"" exe "\"") { started = 1 }
    started { call = $2; sub(/\(.*/, "", call); if (call ~ /^[a-z_0-9]+$/) print call }' "$trace"
done | sort -u)
[ -n "$used" ] || { echo "FAIL: no calls of the exporter in the trace" >&2; exit 1; }
outside=$(comm -23 <(echo "$used") <(echo "$permitted"))
refused=$(comm -12 <(echo "$outside") <(tr ' ' '\n' <<<"$tolerated" | sort))
outside=$(comm -23 <(echo "$outside") <(tr ' ' '\n' <<<"$tolerated" | sort))
echo "system calls made: $(echo $used)"
echo "refused with EPERM, and got over: ${refused:-none}"
families=$(cat trace-*.txt | grep -oE 'socket\((AF_[A-Z0-9]+)' | sed 's/socket(//' | sort -u)
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
