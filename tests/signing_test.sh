#!/usr/bin/env bash
# scripts/sign with a throwaway self-signed code-signing certificate made here: signs copies of
# the programs, packages the x86_64 one as scripts/package does (sign, package, sign the
# package), and checks the signatures against the certificate. Leaves the signed files in DIR
# for the tests that run and install them. Without a certificate nothing is changed; with a
# wrong password signing fails and leaves the file as it was.
# Usage: signing_test.sh DIR X86_64-EXE X86_64-ACTIONS-DLL [I686-EXE]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
x86_64_exe=$2
x86_64_actions=$3
i686_exe=${4:-}
status=0
fail() { echo "FAIL: $*"; status=1; }

rm -rf "$dir"
mkdir -p "$dir/x86_64" "$dir/i686"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=vorna-stats-agent test signing" \
  -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature \
  -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$dir/key.pem" -in "$dir/cert.pem" -out "$dir/cert.p12" \
  -passout pass:test-password

files=("$dir/x86_64/vorna-stats-agent.exe" "$dir/x86_64/vorna-msi-actions.dll")
cp "$x86_64_exe" "${files[0]}"
cp "$x86_64_actions" "${files[1]}"
if [ -n "$i686_exe" ]; then
  files+=("$dir/i686/vorna-stats-agent.exe")
  cp "$i686_exe" "${files[2]}"
fi

# No certificate: unsigned, unchanged.
env -u VORNA_SIGN_PKCS12 "$repo/scripts/sign" "${files[0]}"
cmp -s "$x86_64_exe" "${files[0]}" || fail "changed without a certificate"
# A wrong password: a failure, and the file unchanged.
if VORNA_SIGN_PKCS12="$dir/cert.p12" VORNA_SIGN_PASSWORD=wrong "$repo/scripts/sign" "${files[0]}" 2>/dev/null; then
  fail "signed with a wrong password"
fi
cmp -s "$x86_64_exe" "${files[0]}" || fail "changed by a failed signing"

export VORNA_SIGN_PKCS12="$dir/cert.p12" VORNA_SIGN_PASSWORD=test-password
unset VORNA_SIGN_TIMESTAMP_URL
"$repo/scripts/sign" "${files[@]}"
version=$(cat "$repo/VERSION")
msi="$dir/vorna-stats-agent-$version-signed.msi"
"$repo/scripts/make-msi" "${files[0]}" "$version" "$msi" "${files[1]}"
"$repo/scripts/sign" "$msi"
files+=("$msi")

for file in "${files[@]}"; do
  if osslsigncode verify -CAfile "$dir/cert.pem" -in "$file" >"$dir/verify.log" 2>&1; then
    echo "verified: $file"
  else
    cat "$dir/verify.log"
    fail "the signature of $file does not verify"
  fi
done
exit $status
