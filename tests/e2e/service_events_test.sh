#!/usr/bin/env bash
# The service's events and failure actions as Wine shows them, in a prefix of its own.
# Usage: service_events_test.sh TEST_EXE PREFIX, with VORNA_AGENT_EXE set.
#
# Wine keeps no event log, but with WINEDEBUG=+eventlog its ReportEvent prints each event on
# the reporting process's standard error. A service's standard error and environment are those
# of services.exe, inherited from whatever booted the prefix: so this prefix is booted with that
# setting and its standard error in a file, which the test program reads.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
test_exe=$1
export WINEPREFIX=$2
source "$here/../../scripts/lib/wine.sh"
log=$WINEPREFIX.stderr
trace=$WINEPREFIX.install-trace

wine_stop
rm -rf "$WINEPREFIX" "$log" "$trace"
mkdir -p "$(dirname "$WINEPREFIX")"
trap wine_stop EXIT
wine_create_prefix
"$WINESERVER" -p </dev/null >/dev/null 2>&1
WINEDEBUG=+eventlog "$WINE64" cmd /c exit </dev/null >/dev/null 2>"$log"

# Wine accepts the failure actions and keeps none, nor can it report them: what shows is the
# install's call with its level (2: SERVICE_CONFIG_FAILURE_ACTIONS) in the service trace, and
# services.exe's note of the record it received (its reset period) in the boot's log.
WINEDEBUG=trace+service "$WINE64" "$VORNA_AGENT_EXE" --service-install </dev/null >/dev/null 2>"$trace"
"$WINE64" "$VORNA_AGENT_EXE" --service-uninstall </dev/null >/dev/null
call=$(grep -E 'trace:service:ChangeServiceConfig2A [0-9A-Fa-f]+ 2 [0-9A-Fa-f]+' "$trace") &&
  received=$(grep -E 'SERVICE_CONFIG_FAILURE_ACTIONS .*period 86400 msg \(null\) cmd \(null\)' "$log") || {
  echo "The install set no failure actions; its service trace, then the boot's log:"
  cat "$trace" "$log"
  exit 1
}
echo "failure actions set: $call"
echo "services.exe: $received"

VORNA_EVENT_LOG="Z:${log//\//\\}" "$WINE64" "$test_exe"
