#!/usr/bin/env bash
# The package tests' own Wine prefix: "fresh" makes it anew and boots it (its server stays up
# for the tests); "stop" stops its server. Needs WINEPREFIX.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:?WINEPREFIX must name the prefix of the package tests}"
source "$here/../../scripts/lib/wine.sh"
case "${1:-}" in
  fresh)
    wine_stop
    rm -rf "$WINEPREFIX"
    wine_boot
    ;;
  stop) wine_stop ;;
  *) echo "usage: $0 fresh|stop" >&2; exit 2 ;;
esac
