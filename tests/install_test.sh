#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what was installed:
# both programs run, both manual pages render without a warning, and the
# systemd units name the programs under that prefix and pass
# systemd-analyze verify.
# Usage: install_test.sh BUILD_DIR
set -euo pipefail

build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

fail() {
    echo "install test: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >/dev/null

status=0
usage=$("$prefix/bin/sendCrashReport" 2>&1 >/dev/null) || status=$?
[[ $status -eq 1 ]] || fail "sendCrashReport without arguments exited $status, not 1"
[[ $usage == "Uasage: sendCrashReport <fileName>" ]] || fail "sendCrashReport usage line: $usage"

help=$("$prefix/bin/collectCrashReports" --help) || fail "collectCrashReports --help exited $?"
[[ $help == "usage: collectCrashReports "* ]] || fail "collectCrashReports --help printed: $help"

for page in sendCrashReport collectCrashReports; do
    file=$prefix/share/man/man1/$page.1
    [[ -f $file ]] || fail "no manual page $file"
    warnings=$(groff -man -ww -z "$file" 2>&1)
    [[ -z $warnings ]] || fail "$page.1 renders with warnings: $warnings"
    text=$(MANWIDTH=80 man -l "$file" 2>&1)
    for section in NAME SYNOPSIS DESCRIPTION "FRAME FORMAT" "EXIT STATUS" "BUILD SETTINGS" EXAMPLES; do
        grep -q "^$section" <<<"$text" || fail "$page.1 has no $section section"
    done
done

units=$prefix/lib/systemd/system
for unit in collectCrashReports.service collectCrashReports.socket; do
    [[ -f $units/$unit ]] || fail "no systemd unit $units/$unit"
done
grep -qx "ExecStart=$prefix/bin/collectCrashReports \$COLLECTOR_OPTIONS /var/lib/crash-reports" \
    "$units/collectCrashReports.service" || fail "the service does not run the collector installed in $prefix"
[[ -f $prefix/etc/default/collectCrashReports ]] || fail "no options file $prefix/etc/default/collectCrashReports"
if ! command -v systemd-analyze >/dev/null; then
    echo "install test: systemd-analyze not installed, units not verified" >&2
    exit 0
fi
findings=$(cd "$units" && MANPATH=$prefix/share/man systemd-analyze verify \
    collectCrashReports.socket collectCrashReports.service 2>&1) || fail "systemd-analyze verify failed: $findings"
[[ -z $findings ]] || fail "systemd-analyze verify: $findings"
echo "install test: programs, manual pages and units in $prefix are sound"
