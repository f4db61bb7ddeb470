# 32-bit Wine for the shipped i686 program. Where the kernel cannot run 32-bit Linux programs,
# qemu-user runs Wine's 32-bit loader through binfmt_misc. Wine's preloader is what makes that
# usable: without it, the loader's address-space reservation costs over a minute per process
# under qemu; with it, a start takes about half a second. Sourced; quick when all is there.

VORNA_I386_PACKAGES=(wine32:i386 wine32-preloader:i386 qemu-user-static)
WINE32=/usr/lib/wine/wine

# The i386 ELF magic and mask as qemu's own binfmt files write them; F opens the interpreter at
# registration, so it also works inside other mount namespaces.
VORNA_QEMU_I386_BINFMT=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F'

vorna_setup_i386() {
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)

  local missing=() pkg
  for pkg in "${VORNA_I386_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    dpkg --print-foreign-architectures | grep -qx i386 || "${sudo[@]}" dpkg --add-architecture i386
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi

  # Runs natively where the kernel can, or through an emulation registered before.
  "$WINE32" --version </dev/null >/dev/null 2>&1 && return 0

  local binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || "${sudo[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ -e "$binfmt/qemu-i386" ]; then
    echo 1 | "${sudo[@]}" tee "$binfmt/qemu-i386" >/dev/null
  else
    printf '%s' "$VORNA_QEMU_I386_BINFMT" | "${sudo[@]}" tee "$binfmt/register" >/dev/null
  fi
  "$WINE32" --version </dev/null >/dev/null 2>&1 && return 0
  echo "32-bit Wine does not run, even with qemu-i386 registered in $binfmt" >&2
  return 1
}
