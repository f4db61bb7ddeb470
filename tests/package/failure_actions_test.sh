#!/usr/bin/env bash
# The package's failure actions under Wine. Wine stores none and cannot read them back; its relay
# trace shows what a Windows machine would store: sc.exe, started by the install, hands the
# service control manager level 2 (SERVICE_CONFIG_FAILURE_ACTIONS) for the service. Needs
# WINEPREFIX (the package tests' prefix, booted); leaves it as it found it.
# Usage: failure_actions_test.sh TEST.msi
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the package tests}"
source "$here/../../scripts/lib/wine.sh"
msi="Z:$(echo "$1" | tr / '\\')"
trace=$(mktemp)
debug_key='HKCU\Software\Wine\Debug'
# Standard streams never on a pipe: a Wine program could hand them to a service.
quiet() { "$WINE64" "$@" </dev/null >/dev/null 2>&1; }
cleanup() {
  quiet net stop vorna-stats-client || true
  quiet msiexec /qn /x "$msi" || true
  # Wine's msiexec does not wait for the stop; whatever stayed goes.
  quiet sc delete vorna-stats-client || true
  # The agent takes seconds to stop, and a deleted service lives on until its process ends: go
  # only once it is gone, or the next install in this prefix meets a service marked for deletion.
  for _ in $(seq 150); do quiet sc query vorna-stats-client || break; sleep 0.2; done
  rm -rf "$WINEPREFIX/drive_c/Program Files (x86)/vorna-stats-agent"
  quiet reg delete "$debug_key" /v RelayInclude /f || true
  rm -f "$trace"
}
trap cleanup EXIT

# Only the one call in the trace, in every process the install starts.
quiet reg add "$debug_key" /v RelayInclude /d advapi32.ChangeServiceConfig2W /f
WINEDEBUG=+relay "$WINE64" msiexec /qn /i "$msi" </dev/null >/dev/null 2>"$trace"
grep -a 'ChangeServiceConfig2W(' "$trace" | grep -av ':Ret ' || true
grep -aqE 'Call advapi32\.ChangeServiceConfig2W\([0-9a-f]+,00000002,' "$trace" ||
  { echo "FAIL: no ChangeServiceConfig2W with SERVICE_CONFIG_FAILURE_ACTIONS during the install"; exit 1; }
echo "failure actions set during the install"
