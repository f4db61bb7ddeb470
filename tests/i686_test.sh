#!/usr/bin/env bash
# The shipped 32-bit program under 32-bit Wine, in a WoW64 prefix of its own: the 64-bit test
# helpers run there natively and share its server with the 32-bit agent, so only the agent is
# emulated. Sets the emulation up when it is missing (root or sudo).
#   i686_test.sh unit UNIT-TESTS               the portable unit tests, built for i686
#   i686_test.sh version AGENT                 --version through the 32-bit loader
#   i686_test.sh exchanges HOST AGENT FILE     the agent against a simulated host, FILE's exchanges
#   i686_test.sh e2e E2E-TESTS AGENT [ARG...]  the end-to-end suite against the 32-bit agent
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
: "${WINEPREFIX:?WINEPREFIX must name the WoW64 prefix in the build tree}"
export WINEPREFIX
source "$repo/scripts/lib/i386.sh"
source "$repo/scripts/lib/wine.sh"

vorna_setup_i386
wine_boot wow64
trap wine_stop EXIT
if [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
  echo "the prefix has no 32-bit half: $WINEPREFIX"
  exit 1
fi

windows_path() {
  local path="Z:$1"
  echo "${path//\//\\}"
}

mode=$1
shift
case $mode in
  unit)
    "$WINE32" "$1" </dev/null
    ;;
  version)
    agent=$1
    expected="$(windows_path "$agent") $(cat "$repo/VERSION")"
    got=$("$WINE32" "$agent" --version </dev/null | tr -d '\r')
    echo "$got"
    [ "$got" = "$expected" ] || { echo "expected: $expected"; exit 1; }
    ;;
  exchanges)
    VORNA_AGENT_EXE=$2 "$WINE64" "$1" --wow64 "$3" </dev/null
    ;;
  e2e)
    # With the machine's own figures, for the statistics suite.
    e2e=$1
    VORNA_AGENT_EXE=$2 VORNA_AGENT_32BIT_UNDER_WINE=1 \
      "$repo/tests/e2e/linux_figures.sh" "$WINE64" "$e2e" "${@:3}" </dev/null
    ;;
  *)
    echo "unknown mode: $mode"
    exit 2
    ;;
esac
