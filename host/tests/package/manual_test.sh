#!/usr/bin/env bash
# The manual page's source covers the program: every subcommand and option its --help lists,
# every metric name in its sources (the figure table's among them), every exit status; the
# README names every metric of the sources and none the manual lacks.
# Usage: manual_test.sh VORNA_HOST_EXE
set -euo pipefail
exe=$1
host=$(cd "$(dirname "$0")/../.." && pwd)
manual="$host/doc/vorna-stats-host.1.md"
failures=0
missing() {
  echo "FAIL: the manual ($manual) lacks $*" >&2
  failures=$((failures + 1))
}

subcommands=$("$exe" --help | sed -n '/^Subcommands:/,$p' | awk 'NR > 1 && NF { print $1 }')
for command in $subcommands; do
  grep -qE "^## $command( |$)" "$manual" || missing "a section for $command"
  for option in $("$exe" "$command" --help | grep -oE '(^|[ ,])--?[a-z][a-z0-9.-]*' | tr -d ' ,' | sort -u); do
    case $option in -h | --help) continue ;; esac
    grep -qF -- "**\\$option**" "$manual" || missing "$command's option $option"
  done
done
for option in --help --version; do
  grep -qF -- "**\\$option**" "$manual" || missing "the option $option"
done

metrics=$(grep -ohE '"vorna_[a-z_]+"' "$host"/src/*.cpp "$host"/src/*.h | tr -d '"' | sort -u)
[ -n "$metrics" ] || { echo "FAIL: no metric names in $host/src" >&2; exit 1; }
for metric in $metrics; do
  grep -qF "**$metric**" "$manual" || missing "the metric $metric"
  grep -qF "\`$metric\`" "$host/../README.md" ||
    { echo "FAIL: README.md lacks the metric $metric" >&2; failures=$((failures + 1)); }
done

statuses=$(sed -n 's/.*= *\([0-9][0-9]*\),.*/\1/p' "$host/src/exit_status.h")
exit_section=$(sed -n '/^# EXIT STATUS/,/^# /p' "$manual")
for status in $statuses; do
  grep -qx "$status" <<<"$exit_section" || missing "the exit status $status"
done

for metric in $(grep -oE 'vorna_[a-z_]+' "$host/../README.md" | sort -u); do
  grep -qF "**$metric**" "$manual" ||
    missing "$metric, which README.md names (or README.md names a metric that is gone)"
done

[ "$failures" -eq 0 ] || exit 1
echo "the manual covers $(wc -w <<<"$subcommands") subcommands, $(wc -w <<<"$metrics") metrics, $(wc -w <<<"$statuses") exit statuses"
