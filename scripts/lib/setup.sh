# Installs the Debian packages the build and the tests need; quick when all are there.
# Sourced by the scripts in scripts/.

VORNA_PACKAGES=(
  cmake make g++ python3 file
  clang libclang-rt-14-dev
  googletest
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine64
  nlohmann-json3-dev
  wixl msitools
  osslsigncode openssl
  prometheus-cpp-dev libcli11-dev prometheus
  pkg-config libvirt-dev libxml2-dev libyaml-cpp-dev libcrypt-dev libmicrohttpd-dev libgnutls28-dev zlib1g-dev
  libvirt-daemon libvirt-clients prometheus-node-exporter curl chromium
  debhelper dpkg-dev lintian pandoc man-db systemd iproute2 strace
  qemu-system-x86 busybox-static cpio
  mmdebstrap e2fsprogs
)

vorna_setup() {
  local missing=()
  local pkg
  for pkg in "${VORNA_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}
