#!/usr/bin/env bash
# The package as built: its files, conffiles, maintainer scripts and dependencies; lintian; the
# unit's confinement score. Prints lintian's tags and systemd-analyze's table.
# Usage: deb_contents_test.sh DEB WORK_DIR
set -euo pipefail
deb=$(realpath "$1") work=$(realpath -m "$2")
package=vorna-stats-host
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

dpkg-deb --raw-extract "$deb" "$work/tree"
control="$work/tree/DEBIAN"

echo "== files"
expected="./etc/default/$package
./lib/systemd/system/$package.service
./lib/systemd/system/$package.socket
./usr/bin/$package
./usr/share/doc/$package/changelog.gz
./usr/share/doc/$package/copyright
./usr/share/man/man1/$package.1.gz
./usr/share/$package/grafana/$package.json
./usr/share/$package/$package.rules.yml"
files=$(cd "$work/tree" && find . -path ./DEBIAN -prune -o -type f -print | sort)
echo "$files"
[ "$files" = "$expected" ] || fail "files: $(diff <(echo "$expected") <(echo "$files"))"
[ "$(cat "$control/conffiles")" = "/etc/default/$package" ] || fail "conffiles: $(cat "$control/conffiles")"

echo "== metadata"
version=$(dpkg-deb --field "$deb" Version)
[ "$version" = "$(cat "$(dirname "$0")/../../../VERSION")" ] || fail "version $version is not VERSION's"
"$work/tree/usr/bin/$package" --version | grep -qx "$package $version" || fail "the program's version"
depends=$(dpkg-deb --field "$deb" Depends)
echo "Depends: $depends"
# Exactly what dpkg-shlibdeps computes from the packaged program, and adduser for the scripts.
mkdir -p "$work/shlibs/debian"
cp "$(dirname "$0")/../../debian/control" "$work/shlibs/debian/"
shlibs=$(cd "$work/shlibs" && dpkg-shlibdeps -O "$work/tree/usr/bin/$package" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
[ "$depends" = "adduser, $shlibs" ] || fail "Depends is not adduser and dpkg-shlibdeps' $shlibs"

echo "== maintainer scripts"
grep -q 'adduser --quiet --system --group' "$control/postinst" || fail "postinst makes no system user"
grep -q 'for group in libvirt libvirt-qemu' "$control/postinst" || fail "postinst joins no libvirt group"
! grep -q 'deluser' "$control/postrm" || fail "postrm removes the system user, whose ids files may keep"
grep -q 'deb-systemd-helper purge' "$control/postrm" || fail "postrm forgets no unit state"

echo "== lintian"
tags=$(lintian --pedantic --display-info --display-experimental "$deb" 2>&1 |
  grep -v 'running with root privileges' || true)
echo "${tags:-(no tags)}"
grep -E '^[EW]: ' <<<"$tags" && fail "lintian reports errors or warnings"

echo "== systemd-analyze security --offline=yes"
unit="$work/tree/lib/systemd/system/$package.service"
report=$(systemd-analyze security --offline=yes "$unit" 2>&1)
echo "$report" | grep -E '✗|→'
score=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' <<<"$report")
[ -n "$score" ] || fail "no score from systemd-analyze"
awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }' || fail "exposure $score is above 2.0"
# What the program needs, kept: its address families, reading libvirt's folders.
grep -qx 'RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6' "$unit" || fail "address families"
grep -qx 'ExecStart=/usr/bin/vorna-stats-host export $ARGS' "$unit" || fail "ExecStart"
grep -qx 'Restart=on-failure' "$unit" || fail "no restart on failure"
grep -qx 'LimitNOFILE=65536' "$unit" || fail "no LimitNOFILE for thousands of VMs"
grep -qx 'ListenStream=9638' "${unit%.service}.socket" || fail "the socket unit's port"
grep -qx 'EnvironmentFile=/etc/default/vorna-stats-host' "$unit" || fail "EnvironmentFile"
! grep -E '^(ReadWritePaths|InaccessiblePaths|TemporaryFileSystem)=.*(/var/lib/libvirt|/run)' "$unit" ||
  fail "the unit hides libvirt's sockets"

[ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "package checks passed"
