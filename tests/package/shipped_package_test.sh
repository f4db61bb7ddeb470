#!/usr/bin/env bash
# The shipped package holds the shipped 32-bit program and its custom actions, and registers the
# service exactly as the test package (which the other tests install) does.
# Usage: shipped_package_test.sh SHIPPED.msi SHIPPED.exe TEST.msi SHIPPED-ACTIONS.dll
set -euo pipefail
msi=$1
exe=$2
test_msi=$3
actions=$4
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

# Refuses Windows before Vista / Server 2008; no Modify in Apps & features.
grep -qx "$(printf 'Installed OR VersionNT >= 600\tvorna-stats-agent needs Windows Vista, Windows Server 2008 or later.')" \
  <(rows "$msi" LaunchCondition) || fail "LaunchCondition: $(rows "$msi" LaunchCondition)"
for property in "ARPNOMODIFY	1" "Manufacturer	Vorna"; do
  grep -qx "$property" <(rows "$msi" Property) || fail "no property $property"
done
grep -q $'^SecureCustomProperties\tDEVICE_PATH;' <(rows "$msi" Property) || fail "DEVICE_PATH is not secure"

# DEVICE_PATH remembered in the product's key, searched in the same (32-bit) view; the event
# source as --service-install registers it. Row names are wixl's.
[ "$(rows "$msi" Registry | cut -f2- | sort)" = "$(printf '%s\n' \
  $'2\tSOFTWARE\\Vorna\\vorna-stats-agent\tDevicePath\t[DEVICE_PATH]\tAgent' \
  $'2\tSYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\vorna-stats-client\\\tEventMessageFile\t#%[#AgentExe]\tAgent' \
  $'2\tSYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\vorna-stats-client\\\tTypesSupported\t#7\tAgent')" ] ||
  fail "Registry: $(rows "$msi" Registry)"
[ "$(rows "$msi" RegLocator)" = $'RememberedDevicePath\t2\tSOFTWARE\\Vorna\\vorna-stats-agent\tDevicePath\t2' ] ||
  fail "RegLocator: $(rows "$msi" RegLocator)"
[ "$(rows "$msi" AppSearch)" = $'DEVICE_PATH\tRememberedDevicePath' ] || fail "AppSearch: $(rows "$msi" AppSearch)"

# The custom actions: the arguments from the agent's own code (a DLL, 1), before InstallServices;
# the failure actions by sc.exe (50), deferred (1024), not impersonated (2048), result ignored
# (64), after InstallServices and before StartServices.
action() { rows "$msi" CustomAction | grep "^$1"$'\t'; }
sequence() { rows "$msi" InstallExecuteSequence | grep "^$1"$'\t' | cut -f3; }
[ "$(action SetServiceArguments)" = $'SetServiceArguments\t2049\tVornaActions\tset_service_arguments\t' ] ||
  fail "SetServiceArguments: $(action SetServiceArguments)"
[ "$(action SetFailureActions)" = "$(printf 'SetFailureActions\t3186\tVORNA_SC\t%s\t' \
  'failure vorna-stats-client reset= 86400 actions= restart/5000/restart/5000/restart/60000')" ] ||
  fail "SetFailureActions: $(action SetFailureActions)"
[ "$(sequence SetServiceArguments)" -lt "$(sequence InstallServices)" ] &&
  [ "$(sequence InstallServices)" -lt "$(sequence SetFailureActions)" ] &&
  [ "$(sequence SetFailureActions)" -lt "$(sequence StartServices)" ] || fail "custom actions out of order"
# The DLL is the i686 build's, which a 32-bit package's custom action server loads.
msiinfo extract "$msi" Binary.VornaActions >"$work/actions.dll"
cmp -s "$work/actions.dll" "$actions" || fail "the packaged custom actions are not the i686 build's"
case "$(file -b "$work/actions.dll")" in
  "PE32 executable (DLL)"*"Intel 80386"*) ;;
  *) fail "custom actions: $(file -b "$work/actions.dll")" ;;
esac
# Exported undecorated (no _name@4), as the CustomAction row names it.
grep -qE '^\s+\[ *[0-9]+\] set_service_arguments$' <(i686-w64-mingw32-objdump -p "$work/actions.dll") ||
  fail "set_service_arguments is not exported by that name"

# Everything but the file, the custom actions' DLL and the product code is the same as in the
# test package.
for table in Component Directory Feature FeatureComponents ServiceInstall ServiceControl \
    CustomAction InstallExecuteSequence InstallUISequence Upgrade Registry RegLocator AppSearch \
    LaunchCondition; do
  diff <(rows "$msi" $table) <(rows "$test_msi" $table) >/dev/null || fail "$table differs from the test package's"
done
diff <(rows "$msi" Property | grep -v '^ProductCode') <(rows "$test_msi" Property | grep -v '^ProductCode') \
  >/dev/null || fail "Property differs from the test package's"
[ "$(rows "$msi" Property | grep '^ProductCode')" != "$(rows "$test_msi" Property | grep '^ProductCode')" ] ||
  fail "two builds share a product code"

[ $status -eq 0 ] && echo "shipped package OK"
exit $status
