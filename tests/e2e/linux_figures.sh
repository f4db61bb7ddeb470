#!/usr/bin/env bash
# Runs a command with the machine's own figures in its environment, read on the Linux side right
# before it starts: the Windows test compares the agent's report with them.
# Usage: linux_figures.sh COMMAND... (WINEPREFIX set)
set -euo pipefail
trap 'echo "linux_figures.sh: line $LINENO failed (status $?)" >&2' ERR
: "${WINEPREFIX:?WINEPREFIX must name the prefix in the build tree}"
source "$(cd "$(dirname "$0")/../../scripts/lib" && pwd)/wine.sh"
wine_boot  # drive_c and drive_d exist once the prefix does

# Wine reports the space available to unprivileged users as the volume's free space.
read -r block_size blocks available < <(stat -f -c '%S %b %a' "$WINEPREFIX/drive_c")
export VORNA_LINUX_NCPUS=$(getconf _NPROCESSORS_ONLN)
export VORNA_LINUX_MEM_TOTAL_KIB=$(awk '$1 == "MemTotal:" { print $2 }' /proc/meminfo)
# Wine's page-file total: memory and swap together.
export VORNA_LINUX_COMMIT_TOTAL_KIB=$(awk '$1 == "MemTotal:" || $1 == "SwapTotal:" { sum += $2 } END { print sum }' /proc/meminfo)
export VORNA_LINUX_DISK_TOTAL_KIB=$((block_size * blocks / 1024))
export VORNA_LINUX_DISK_FREE_KIB=$((block_size * available / 1024))
read -r block_size blocks available < <(stat -f -c '%S %b %a' "$WINEPREFIX/drive_d")
export VORNA_LINUX_DRIVE_D_TOTAL_KIB=$((block_size * blocks / 1024))
export VORNA_LINUX_DRIVE_D_FREE_KIB=$((block_size * available / 1024))
exec "$@"
