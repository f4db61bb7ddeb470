# Wine in a prefix of the build tree's own: never ~/.wine, and only this prefix's server is stopped.
# Sourced; the caller sets WINEPREFIX.

WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG="${WINEDEBUG:--all}"

# A fresh prefix from a copy of the 64-bit loader with no 32-bit loader beside it: Wine then skips
# setting up its 32-bit half, which takes minutes where 32-bit emulation is registered.
wine_create_prefix() {
  local loader="$WINEPREFIX.loader"
  rm -rf "$loader"
  mkdir -p "$loader/lib/wine" "$loader/share" "$loader/lib/x86_64-linux-gnu"
  cp "$WINE64" "$loader/lib/wine/"
  ln -s "$WINESERVER" "$loader/lib/wine/wineserver"
  ln -s /usr/share/wine "$loader/share/wine"
  ln -s /usr/lib/x86_64-linux-gnu/wine "$loader/lib/x86_64-linux-gnu/wine"
  "$loader/lib/wine/wine64" wineboot -i </dev/null >/dev/null 2>&1
  "$WINESERVER" -w
  rm -rf "$loader"
}

# A prefix whose 32-bit half (syswow64) is set up too, for 32-bit programs beside 64-bit ones:
# booted by the normal loader, which needs 32-bit Wine installed and runnable.
wine_create_wow64_prefix() {
  "$WINE64" wineboot -i </dev/null >/dev/null 2>&1
  "$WINESERVER" -w
}

# A second drive, D:, in a folder of the prefix beside drive_c: a volume of its own for the
# volume reports. Wine finds its drives when its server starts, so this comes before.
wine_map_drive_d() {
  [ -L "$WINEPREFIX/dosdevices/d:" ] && return 0
  mkdir -p "$WINEPREFIX/drive_d"
  ln -s ../drive_d "$WINEPREFIX/dosdevices/d:"
}

# Boots the prefix with its standard streams detached (Wine's background services inherit them,
# and a pipe there would keep its reader waiting) and keeps its server alive until wine_stop.
# "wine_boot wow64" creates a missing prefix with its 32-bit half.
wine_boot() {
  local create=wine_create_prefix
  [ "${1:-}" != wow64 ] || create=wine_create_wow64_prefix
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    # What starts here outlives the lock: it must not inherit the lock's descriptor.
    [ -f "$WINEPREFIX/system.reg" ] || "$create" 9>&-
    wine_map_drive_d
    "$WINESERVER" -p </dev/null >/dev/null 2>&1 9>&- || true
    # Under load Wine has rarely failed to start a process once (not repeatable alone): say so and
    # try again, so that a test of something else does not fail silently here.
    "$WINE64" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || {
      echo "wine_boot: Wine failed to start a process in $WINEPREFIX; trying once more" >&2
      "$WINE64" cmd /c exit </dev/null >/dev/null 9>&-
    }
  ) 9>"$WINEPREFIX.lock"
}

wine_stop() {
  "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
}
