#!/usr/bin/env bash
# The shipped package holds the shipped 32-bit program, and registers the service exactly as
# the test package (which the other tests install) does.
# Usage: shipped_package_test.sh SHIPPED.msi SHIPPED.exe TEST.msi
set -euo pipefail
msi=$1
exe=$2
test_msi=$3
status=0
fail() { echo "FAIL: $*"; status=1; }
rows() { msiinfo export "$1" "$2" | tail -n +4 | tr -d '\r'; }

# The File table: one file, the program, with the shipped program's size.
files=$(rows "$msi" File)
echo "File: $files"
[ "$(echo "$files" | wc -l)" -eq 1 ] || fail "expected one file"
IFS=$'\t' read -r _ component name size _ <<<"$files"
[ "$component" = Agent ] || fail "component $component"
[ "$name" = vorna-stats-agent.exe ] || fail "file name $name"
[ "$size" = "$(stat -c %s "$exe")" ] || fail "size $size, the shipped program has $(stat -c %s "$exe")"

# The packaged file itself: the shipped program, a PE32 console executable for Intel 386.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
msiextract -C "$work" "$msi" >/dev/null
packaged=$(find "$work" -type f -name vorna-stats-agent.exe)
[ -n "$packaged" ] || { echo "FAIL: no vorna-stats-agent.exe in the package"; exit 1; }
echo "packaged at: ${packaged#"$work"/}"
[ "${packaged#"$work"/}" = "Program Files/vorna-stats-agent/vorna-stats-agent.exe" ] ||
  fail "not in the product's folder of the 32-bit Program Files"
info=$(file -b "$packaged")
echo "PE header: $info"
case "$info" in
  "PE32 executable (console) Intel 80386"*) ;;
  *) fail "not a PE32 console executable for Intel 386" ;;
esac
cmp -s "$packaged" "$exe" || fail "the packaged file is not the shipped program"

# The registration, exactly.
expected=$(printf '%s\t' AgentService vorna-stats-client "Vorna VM stats agent." 16 2 1 "" "" \
  LocalSystem "" "[VORNA_SERVICE_ARGS]" Agent)"Enables integration with Vorna VM stats server."
[ "$(rows "$msi" ServiceInstall)" = "$expected" ] || fail "ServiceInstall: $(rows "$msi" ServiceInstall)"
# Start on install; stop on install and uninstall; delete on uninstall; wait for each.
[ "$(rows "$msi" ServiceControl)" = "$(printf 'AgentService\tvorna-stats-client\t163\t\t1\tAgent')" ] ||
  fail "ServiceControl: $(rows "$msi" ServiceControl)"
grep -qx "$(printf 'ALLUSERS\t1')" <(rows "$msi" Property) || fail "not a per-machine package"

# Everything but the file and the product code is the same as in the test package.
for table in Component Directory Feature FeatureComponents ServiceInstall ServiceControl \
    CustomAction InstallExecuteSequence Upgrade; do
  diff <(rows "$msi" $table) <(rows "$test_msi" $table) >/dev/null || fail "$table differs from the test package's"
done
diff <(rows "$msi" Property | grep -v '^ProductCode') <(rows "$test_msi" Property | grep -v '^ProductCode') \
  >/dev/null || fail "Property differs from the test package's"
[ "$(rows "$msi" Property | grep '^ProductCode')" != "$(rows "$test_msi" Property | grep '^ProductCode')" ] ||
  fail "two builds share a product code"

[ $status -eq 0 ] && echo "shipped package OK"
exit $status
