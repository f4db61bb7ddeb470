#!/usr/bin/env bash
# The shipped program and its package's custom-action DLL come out byte for byte the same from
# a second build of the same sources in another folder, and name no folder of either build.
# Usage: reproducible_build_test.sh SOURCE_DIR SHIPPED_EXE SECOND_BUILD_DIR
set -euo pipefail
source_dir=$1
exe=$2
second=$3
first=$(dirname "$exe")
files="vorna-stats-agent.exe vorna-msi-actions.dll"

rm -rf "$second"
cmake -S "$source_dir" -B "$second" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-i686.cmake" >/dev/null
cmake --build "$second" -j 2 --target vorna-stats-agent vorna-msi-actions >/dev/null

status=0
for file in $files; do
  if cmp "$first/$file" "$second/$file"; then
    echo "$file: identical ($(stat -c %s "$first/$file") bytes, sha256 $(sha256sum < "$first/$file" | cut -c1-16))"
  else
    echo "$file: differs between $first and $second"
    status=1
  fi
  for folder in "$source_dir" "$first" "$second"; do
    if grep -qF "$folder" "$first/$file"; then
      echo "$file names the folder $folder"
      status=1
    fi
  done
done
[ $status -ne 0 ] || rm -rf "$second"
exit $status
