#!/usr/bin/env bash
# Installs a build under a temporary DESTDIR and checks what was installed:
# the programs run, their manual pages render without a warning, and the
# systemd units name the programs under the prefix, read the configuration
# installed, run as a user that the installed sysusers file makes, and pass
# systemd-analyze verify.
# With --package, builds both Debian packages for a host and port other than
# the defaults instead, and checks their contents, maintainer scripts, units
# and lintian.
# Usage: install_test.sh BUILD_DIR | install_test.sh --package
set -euo pipefail

fail() {
    echo "install test: $*" >&2
    exit 1
}

# invoked CONTROL_DIR SCRIPT ARGS...: the units that the collector's maintainer
# script SCRIPT starts, stops or restarts when dpkg runs it with ARGS under a
# running systemd, one "ACTION UNIT..." a line. Run in a mount namespace of
# its own, where /run/systemd/system is there, with the commands it runs
# replaced by ones that only record their arguments.
invoked() {
    local control=$1 script=$2 stubs
    shift 2
    stubs=$(mktemp -d)
    for command in deb-systemd-invoke deb-systemd-helper systemctl adduser; do
        printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$command" "$stubs" >"$stubs/$command"
        chmod +x "$stubs/$command"
    done
    unshare -m sh -c 'mount -t tmpfs none /run && mkdir -p /run/systemd/system && exec "$@"' sh \
        env PATH="$stubs:$PATH" sh "$control/$script" "$@" >/dev/null
    sed -n "s/^deb-systemd-invoke //p" "$stubs/calls" 2>/dev/null | tr -d "'" || true
    rm -rf "$stubs"
}

# check_unit_actions CONTROL_DIR: an install starts the socket and the
# service, removal stops both, and an upgrade restarts the service alone:
# the socket holds the port and what arrives meanwhile.
check_unit_actions() {
    local control=$1 actions
    if [[ $(id -u) -ne 0 ]]; then
        echo "install test: not root, the maintainer scripts' unit actions not checked" >&2
        return
    fi
    actions=$(invoked "$control" postinst configure "")
    [[ $actions == "start collectCrashReports.service collectCrashReports.socket" ]] \
        || fail "an install does not start the units: ${actions:-nothing}"
    actions=$(invoked "$control" prerm remove)
    [[ $actions == "stop collectCrashReports.service collectCrashReports.socket" ]] \
        || fail "a removal does not stop the units: ${actions:-nothing}"
    actions="$(invoked "$control" prerm upgrade 1.2.0)
$(invoked "$control" postinst configure 1.2.0)"
    ! grep -Eq "^(stop|restart|try-restart|reload-or-restart) .*collectCrashReports\.socket" <<<"$actions" \
        || fail "an upgrade stops or restarts the socket, which closes the port: $actions"
    grep -qx "restart collectCrashReports.service" <<<"$actions" \
        || fail "an upgrade does not restart the service: $actions"
}

# check_opt_in_on_removal CONTROL_DIR: removing the sender with the README's
# opt-in of every service in place says how to take it away.
check_opt_in_on_removal() {
    local control=$1 said
    if [[ $(id -u) -ne 0 ]]; then
        echo "install test: not root, the sender's removal not checked" >&2
        return
    fi
    # shellcheck disable=SC2016 # expanded by the inner shell
    said=$(unshare -m sh -c 'mount -t tmpfs none /etc/systemd/system && mkdir /etc/systemd/system/service.d &&
        printf "[Unit]\nOnFailure=crash-report@%%n.service\n" >/etc/systemd/system/service.d/10-crash-report.conf &&
        sh "$1/postrm" remove' sh "$control" 2>&1 >/dev/null) || fail "the sender's postrm failed: $said"
    grep -q "rm /etc/systemd/system/service.d/10-crash-report.conf" <<<"$said" \
        || fail "removing the sender does not say how to take away the opt-in of every service: ${said:-nothing}"
}

# check_packages: the two packages of script/package example.org 9700.
check_packages() {
    local root debs collector sender work
    root=$(cd "$(dirname "$0")/.." && pwd)
    debs=$("$root/script/package" example.org 9700) || fail "script/package example.org 9700 failed"
    collector=$(grep '/crash-report-collector_[^/]*\.deb$' <<<"$debs") || fail "no collector package in: $debs"
    sender=$(grep '/crash-report-sender_[^/]*\.deb$' <<<"$debs") || fail "no sender package in: $debs"
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN

    dpkg-deb -x "$collector" "$work/collector"
    dpkg-deb -e "$collector" "$work/collector-control"
    dpkg-deb -x "$sender" "$work/sender"
    for file in usr/bin/collectCrashReports usr/share/man/man1/collectCrashReports.1.gz \
        usr/bin/crashReports usr/share/man/man1/crashReports.1.gz \
        lib/systemd/system/collectCrashReports.service lib/systemd/system/collectCrashReports.socket \
        etc/default/collectCrashReports usr/share/doc/crash-report-collector/copyright \
        usr/share/doc/crash-report-collector/README.md.gz usr/lib/sysusers.d/crash-reports.conf \
        usr/share/bash-completion/completions/crashReports usr/share/bash-completion/completions/collectCrashReports; do
        [[ -f $work/collector/$file ]] || fail "crash-report-collector has no $file"
    done
    for file in usr/bin/sendCrashReport usr/share/man/man1/sendCrashReport.1.gz usr/bin/sendUnitCrashReport \
        usr/share/man/man1/sendUnitCrashReport.1.gz lib/systemd/system/crash-report@.service \
        usr/share/doc/crash-report-sender/copyright usr/share/doc/crash-report-sender/README.md.gz; do
        [[ -f $work/sender/$file ]] || fail "crash-report-sender has no $file"
    done
    [[ ! -e $work/sender/usr/bin/collectCrashReports ]] || fail "crash-report-sender carries the collector"
    [[ ! -e $work/collector/usr/bin/sendCrashReport ]] || fail "crash-report-collector carries the sender"

    grep -qx 'ListenDatagram=0.0.0.0:9700' "$work/collector/lib/systemd/system/collectCrashReports.socket" \
        || fail "the socket unit does not listen on the port the sender was built for"
    # shellcheck disable=SC2016 # the unit's own text, which systemd expands
    grep -qx 'ExecStart=/usr/bin/collectCrashReports $COLLECTOR_OPTIONS ${COLLECTOR_STORE}' \
        "$work/collector/lib/systemd/system/collectCrashReports.service" || fail "the service's ExecStart"
    ! grep -q 9699 "$work/collector/lib/systemd/system/"* || fail "a unit names the default port"
    # Read whole before grep -q, which stops at the first match: with
    # pipefail, a writer cut short by that would fail the check.
    grep -q 'example.org' <<<"$(zcat "$work/sender/usr/share/man/man1/sendCrashReport.1.gz")" \
        || fail "the sender's man page does not name its host"
    grep -q 'example.org, UDP port 9700' <<<"$(dpkg-deb -f "$sender" Description)" \
        || fail "the sender's description does not name its host and port"
    grep -q zlib1g <<<"$(dpkg-deb -f "$collector" Depends)" || fail "the collector does not depend on zlib1g"

    grep -q "deb-systemd-helper enable 'collectCrashReports.socket'" "$work/collector-control/postinst" \
        || fail "postinst does not enable the socket"
    check_unit_actions "$work/collector-control"
    dpkg-deb -e "$sender" "$work/sender-control"
    check_opt_in_on_removal "$work/sender-control"
    grep -q "/var/lib/private/crash-reports" "$work/collector-control/postrm" \
        || fail "postrm does not remove the reports on purge"
    ! grep -Eq "(rmdir|rm -[a-z]*) [^#]*/var/lib/private( |$)" "$work/collector-control/postrm" \
        || fail "postrm removes /var/lib/private, which is systemd's"
    for conffile in /etc/default/collectCrashReports /etc/crash-reports/skip-frames; do
        grep -qx "$conffile" "$work/collector-control/conffiles" || fail "$conffile is not a conffile"
    done
    grep -q "adduser --system --group .* crash-reports" "$work/collector-control/postinst" \
        || fail "postinst does not make the system user and group crash-reports"
    grep -qx "User=crash-reports" "$work/collector/lib/systemd/system/collectCrashReports.service" \
        || fail "the service does not run as crash-reports"
    echo "install test: both packages for example.org:9700 are sound and lintian-clean"
}

if [[ $1 == --package ]]; then
    check_packages
    exit 0
fi

build=$1
# Installed as an operator would, under a DESTDIR: the programs under the
# prefix, the configuration in /etc.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
installed=/usr/local
prefix=$root$installed
DESTDIR=$root cmake --install "$build" --prefix "$installed" >/dev/null

status=0
usage=$("$prefix/bin/sendCrashReport" 2>&1 >/dev/null) || status=$?
[[ $status -eq 1 ]] || fail "sendCrashReport without arguments exited $status, not 1"
[[ $usage == "Uasage: sendCrashReport <fileName>" ]] || fail "sendCrashReport usage line: $usage"

help=$("$prefix/bin/collectCrashReports" --help) || fail "collectCrashReports --help exited $?"
[[ $help == "usage: collectCrashReports "* ]] || fail "collectCrashReports --help printed: $help"

help=$("$prefix/bin/crashReports" --help) || fail "crashReports --help exited $?"
[[ $help == "usage: crashReports "* ]] || fail "crashReports --help printed: $help"

for page in sendCrashReport sendUnitCrashReport collectCrashReports crashReports; do
    file=$prefix/share/man/man1/$page.1
    [[ -f $file ]] || fail "no manual page $file"
    warnings=$(groff -man -ww -z "$file" 2>&1)
    [[ -z $warnings ]] || fail "$page.1 renders with warnings: $warnings"
    text=$(MANWIDTH=80 man -l "$file" 2>&1)
    sections=(NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES)
    case $page in
    sendCrashReport | collectCrashReports) sections+=("FRAME FORMAT" "BUILD SETTINGS") ;;
    crashReports) sections+=(COMMANDS OPTIONS OUTPUT FILES "SEE ALSO") ;;
    esac
    for section in "${sections[@]}"; do
        grep -q "^$section" <<<"$text" || fail "$page.1 has no $section section"
    done
    grep -q "$page 1\.[0-9]*\.[0-9]*" <<<"$text" || fail "$page.1 has no version in its footer"
done
[[ -x $prefix/bin/sendUnitCrashReport ]] || fail "no $prefix/bin/sendUnitCrashReport"
usage=$("$prefix/bin/sendUnitCrashReport" 2>&1) && fail "sendUnitCrashReport without a unit exited 0"
[[ $usage == "usage: sendUnitCrashReport UNIT" ]] || fail "sendUnitCrashReport usage line: $usage"

units=$prefix/lib/systemd/system
for unit in collectCrashReports.service collectCrashReports.socket crash-report@.service; do
    [[ -f $units/$unit ]] || fail "no systemd unit $units/$unit"
done
grep -qx "ExecStart=$installed/bin/sendUnitCrashReport %i" "$units/crash-report@.service" \
    || fail "the crash report template does not run the script installed in $installed"
grep -qx "ExecStart=$installed/bin/collectCrashReports \$COLLECTOR_OPTIONS \${COLLECTOR_STORE}" \
    "$units/collectCrashReports.service" || fail "the service does not run the collector installed in $installed"
grep -qx "RestartPreventExitStatus=2" "$units/collectCrashReports.service" \
    || fail "the service restarts after a usage error, which restarting can't mend"
# The files that the unit and the collector read are those installed.
options=$(sed -n 's/^EnvironmentFile=-\{0,1\}//p' "$units/collectCrashReports.service")
[[ -n $options && -f $root$options ]] || fail "the service reads options from ${options:-nothing}, not installed"
rules=$(grep -o '(default: [^ ]* if it is there)' <<<"$("$prefix/bin/collectCrashReports" --help)" | cut -d' ' -f2)
[[ -n $rules && -f $root$rules ]] || fail "the collector reads skip rules from ${rules:-nothing}, not installed"
# The store is the state directory unless the options file names another,
# also under an options file that names none.
grep -qx "Environment=COLLECTOR_STORE=/var/lib/crash-reports" "$units/collectCrashReports.service" \
    || fail "the service has no default store"
grep -qx "COLLECTOR_STORE=/var/lib/crash-reports" "$root$options" \
    || fail "the options file does not name the default store"
# An options file that is there already is the operator's.
echo 'COLLECTOR_OPTIONS="--count 1"' >"$root$options"
DESTDIR=$root cmake --install "$build" --prefix "$installed" >/dev/null
grep -qx 'COLLECTOR_OPTIONS="--count 1"' "$root$options" || fail "installing again replaced the options file"
# The user that the service runs as is made by systemd-sysusers from the
# file installed, where systemd-sysusers reads it.
user=$(sed -n 's/^User=//p' "$units/collectCrashReports.service")
sysusers=$prefix/lib/sysusers.d/crash-reports.conf
[[ -f $sysusers ]] || fail "no $sysusers to make the user $user"
if [[ $(id -u) -eq 0 ]] && command -v systemd-sysusers >/dev/null; then
    mkdir -p "$root/etc"
    touch "$root/etc/passwd" "$root/etc/group"
    systemd-sysusers --root="$root" "$sysusers" 2>/dev/null || fail "systemd-sysusers failed on $sysusers"
    grep -q "^$user:" "$root/etc/passwd" && grep -q "^$user:" "$root/etc/group" \
        || fail "systemd-sysusers made no user and group $user from $sysusers"
    grep -q "^crash-reports-admin:" "$root/etc/group" \
        || fail "systemd-sysusers made no group crash-reports-admin, which the service joins, from $sysusers"
fi
if ! command -v systemd-analyze >/dev/null; then
    echo "install test: systemd-analyze not installed, units not verified" >&2
    exit 0
fi
# Verified where the programs are now, under the DESTDIR.
verified=$root/verified
mkdir "$verified"
for unit in collectCrashReports.socket collectCrashReports.service crash-report@.service; do
    sed "s|=$installed/|=$prefix/|" "$units/$unit" >"$verified/$unit"
done
findings=$(cd "$verified" && MANPATH=$prefix/share/man systemd-analyze verify \
    collectCrashReports.socket collectCrashReports.service crash-report@.service 2>&1) \
    || fail "systemd-analyze verify failed: $findings"
[[ -z $findings ]] || fail "systemd-analyze verify: $findings"
echo "install test: programs, manual pages, units and configuration under $root are sound"
