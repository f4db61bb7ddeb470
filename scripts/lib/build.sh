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

# A fresh prefix for this run, booted once; its server is stopped when the script ends.
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
  trap 'wine_stop; WINEPREFIX="$build/x86_64/wineprefix-wow64" wine_stop' EXIT
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
