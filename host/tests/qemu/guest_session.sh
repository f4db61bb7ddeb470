#!/bin/bash
# The test guest's session, chrooted into the host's root (read-only, with tmpfs where Linux
# writes): unpacks the prepared Wine prefix, starts Wine and the agent on the agent's port, then
# runs the test's commands from the control port, each answered by its output and a line
# "@@end STATUS".
export HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin WINEDEBUG=-all
export WINEPREFIX=/tmp/wineprefix
wine64=/usr/lib/wine/wine64

for word in $(cat /proc/cmdline); do
  case $word in
    vorna.prefix=*) prefix=${word#vorna.prefix=} ;;
    vorna.agent=*) agent=${word#vorna.agent=} ;;
    vorna.prefix32=*) prefix32=${word#vorna.prefix32=} ;;
    vorna.agent32=*) agent32=${word#vorna.agent32=} ;;
  esac
done

note() { echo "vorna-guest: $* after $(cut -d' ' -f1 /proc/uptime) s" >/dev/console; }

tar -C /tmp -xf "$prefix"
note "prefix unpacked"
# The prefix was set up on the host: the guest starts only the server, not wineboot's service
# stack (services.exe, plugplay, two winedevice, rpcss, svchost), which the agent in the
# foreground does not use and which under an emulated processor takes the guest about 25 s of
# every boot. The server is kept between programs.
export WINEDLLOVERRIDES=wineboot.exe=d
/usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1

# Wine cannot map the agent's default \\.\Global\ path: the prefix's dosdevices name vorna0
# links to the port (guest_image.sh).
agent_pid=
agent_start() {
  "$wine64" "$agent" -p '\\.\vorna0' </dev/null >>/tmp/agent.log 2>&1 &
  agent_pid=$!
  note "agent started"
}
# An interrupt: the agent closes the port and ends with status 0.
agent_stop() {
  [ -n "$agent_pid" ] || return 0
  kill -INT "$agent_pid"
  wait "$agent_pid"
  local status=$?
  agent_pid=
  note "agent stopped ($status)"
  return "$status"
}
agent_start

# The shipped 32-bit program, on request, in the WoW64 prefix (and its own server) on the second
# port: natively, as the guest's kernel runs 32-bit programs.
agent32_pid=
agent32_start() {
  [ -d /tmp/wineprefix-wow64 ] || tar -C /tmp -xf "$prefix32" || return 1
  WINEPREFIX=/tmp/wineprefix-wow64 /usr/lib/wine/wine "$agent32" -p '\\.\vorna1' \
    </dev/null >>/tmp/agent32.log 2>&1 &
  agent32_pid=$!
  note "32-bit agent started"
}
agent32_stop() {
  [ -n "$agent32_pid" ] || return 0
  kill -INT "$agent32_pid"
  wait "$agent32_pid"
  local status=$?
  agent32_pid=
  return "$status"
}

# With no host connected the port reads as end of file: wait and read again.
exec 3<>/dev/virtio-ports/vorna.test.control
while :; do
  if IFS= read -r line <&3; then
    { eval "$line"; } >&3 2>&1 </dev/null
    echo "@@end $?" >&3
  else
    sleep 0.2
  fi
done
