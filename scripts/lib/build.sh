# Configures and builds the three trees: the shipped i686 program, the x86_64 build the tests run
# under Wine, and the portable core natively with sanitizers. Sourced; needs $repo.

build="$repo/build"
jobs=$(nproc)

vorna_build() {
  cmake -S "$repo" -B "$build/i686" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-i686.cmake" >/dev/null
  cmake --build "$build/i686" -j "$jobs"

  cmake -S "$repo" -B "$build/x86_64" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-x86_64.cmake" \
    -DVORNA_SHIPPED_EXE="$build/i686/vorna-stats-agent.exe" >/dev/null
  cmake --build "$build/x86_64" -j "$jobs"
}

# clang, for libFuzzer as well as the sanitizers.
vorna_build_native() {
  local sanitize="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -fno-omit-frame-pointer"
  CC=clang CXX=clang++ cmake -S "$repo" -B "$build/native" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="$sanitize" -DCMAKE_EXE_LINKER_FLAGS="$sanitize" >/dev/null
  cmake --build "$build/native" -j "$jobs"
}

# A fresh prefix for this run, booted once; vorna_stop_prefixes stops its server.
vorna_fresh_prefix() {
  export WINEPREFIX="$build/x86_64/wineprefix"
  source "$repo/scripts/lib/wine.sh"
  wine_stop
  rm -rf "$WINEPREFIX"
  wine_boot
  # The i686 tests' WoW64 prefix: the first of them creates it afresh, and a server that a killed
  # test left stops with the run.
  WINEPREFIX="$build/x86_64/wineprefix-wow64" wine_stop
  rm -rf "$build/x86_64/wineprefix-wow64"
}

# Stops the servers of the run's prefixes (the test run's exit trap).
vorna_stop_prefixes() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  wine_stop
  WINEPREFIX="$build/x86_64/wineprefix-wow64" wine_stop
}

# The host program's fuzz target alone: clang, for libFuzzer and the sanitizers.
vorna_build_host_fuzz() {
  CC=clang CXX=clang++ cmake -S "$repo/host" -B "$build/host-fuzz" -DCMAKE_BUILD_TYPE=Debug \
    -DVORNA_HOST_FUZZ=ON >/dev/null
  cmake --build "$build/host-fuzz" -j "$jobs"
}

# The host program, vorna-stats-host: native, gcc, optimised. Before vorna_build, whose tests
# run its end-to-end test against the agent.
vorna_build_host() {
  CC=gcc CXX=g++ cmake -S "$repo/host" -B "$build/host" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build/host" -j "$jobs"
}

# The host program and its tests with sanitizers: build/host-asan (AddressSanitizer and
# UndefinedBehaviorSanitizer), where its in-process and end-to-end tests run, and build/host-tsan
# (ThreadSanitizer), for the threaded parts: pollers, fleet, HTTP side. One compile at a time:
# scripts/test builds them beside tests that need the other core. -g1: line numbers in reports.
vorna_build_host_sanitized() {
  local kind sanitize
  for kind in asan tsan; do
    sanitize=address
    [ "$kind" = tsan ] && sanitize=thread
    CC=gcc CXX=g++ cmake -S "$repo/host" -B "$build/host-$kind" -DCMAKE_BUILD_TYPE= \
      -DCMAKE_CXX_FLAGS="-O1 -g1" -DVORNA_SANITIZE=$sanitize >/dev/null || return 1
    cmake --build "$build/host-$kind" -j "${1:-$jobs}" || return 1
  done
}

# Their tests; a sanitizer's finding ends the program at once, so the test fails.
vorna_test_host_sanitized() {
  local failed=0
  echo "== host program with AddressSanitizer and UndefinedBehaviorSanitizer"
  ctest --test-dir "$build/host-asan" --output-on-failure -j 2 || failed=1
  echo "== host program's threaded parts with ThreadSanitizer"
  TSAN_OPTIONS="halt_on_error=1 abort_on_error=1" \
    ctest --test-dir "$build/host-tsan" --output-on-failure -j 2 || failed=1
  return $failed
}
