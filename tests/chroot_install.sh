#!/usr/bin/env bash
# Installs both packages with apt into a fresh minimal Debian chroot, checks
# that the collector's units are enabled and that the collector starts as its
# service would, then purges both and checks that nothing of them is left.
# Needs root, mmdebstrap and the Debian archive; not part of script/test.
# Usage: tests/chroot_install.sh [SUITE]   (default bookworm)
set -euo pipefail
cd "$(dirname "$0")/.."

suite=${1:-bookworm}
fail() {
    echo "chroot install: $*" >&2
    exit 1
}

mapfile -t debs < <(script/package localhost 9699 | grep -v dbgsym)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
echo "chroot install: making a minimal $suite in $root" >&2
mmdebstrap --quiet --variant=apt --include=systemd,systemd-sysv "$suite" "$root" >&2
in_root() { chroot "$root" "$@"; }
find "$root" -xdev | sort >"$root.before"

mkdir -p "$root/tmp/debs"
cp "${debs[@]}" "$root/tmp/debs/"
# mmdebstrap leaves no package lists behind; apt fetches the dependencies.
in_root apt-get update -q >&2
in_root sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -q /tmp/debs/*.deb' >&2
for unit in collectCrashReports.socket collectCrashReports.service; do
    state=$(in_root systemctl is-enabled "$unit") || true
    [[ $state == enabled ]] || fail "$unit is $state, not enabled"
done
echo "chroot install: both units enabled" >&2

in_root getent passwd crash-reports >/dev/null || fail "no system user crash-reports"
in_root getent group crash-reports >/dev/null || fail "no system group crash-reports"
in_root getent group crash-reports-admin >/dev/null || fail "no system group crash-reports-admin"
echo "chroot install: the system user and group crash-reports" >&2

# As the service would run it: its user, its state directory as systemd
# makes it, its umask, in a network namespace of its own.
install -d -m 0750 "$root/var/lib/crash-reports"
in_root chown crash-reports:crash-reports /var/lib/crash-reports
command=$(sed -n 's/^ExecStart=//p' "$root/lib/systemd/system/collectCrashReports.service")
command=${command/\$COLLECTOR_OPTIONS/--bind 127.0.0.1}
command=${command/\$\{COLLECTOR_STORE\}//var/lib/crash-reports}
started=$(unshare -n chroot "$root" sh -c "ip link set lo up 2>/dev/null; umask 0027; \
    setpriv --reuid=crash-reports --regid=crash-reports --init-groups $command & pid=\$!; sleep 1; \
    kill \$pid; wait \$pid; echo status \$?" 2>&1) || true
grep -q '^listening on 127.0.0.1:9699, storing into /var/lib/crash-reports' <<<"$started" \
    || fail "the collector did not start: $started"
grep -q '^status 0' <<<"$started" || fail "the collector did not stop cleanly: $started"
echo "chroot install: the collector starts and stops as crash-reports" >&2

# A member of the group reads the store (its index, made at start); nobody
# else does.
in_root useradd --no-create-home --groups crash-reports alice
in_root setpriv --reuid=alice --regid=alice --init-groups crashReports groups >/dev/null \
    || fail "a member of crash-reports can't read the store"
in_root useradd --no-create-home bob
! in_root setpriv --reuid=bob --regid=bob --init-groups crashReports groups >/dev/null 2>&1 \
    || fail "a user outside crash-reports reads the store"
in_root userdel alice
in_root userdel bob
echo "chroot install: members of crash-reports read the store, others don't" >&2

rm -rf "$root/tmp/debs"
in_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q --autoremove crash-report-collector crash-report-sender >&2
# The system user stays, as Debian's system users do: the files that hold
# users and their backups are not counted, nor /run, which is a tmpfs on a
# running system.
left=$(find "$root" -xdev | sort | comm -13 "$root.before" - \
    | grep -v -E '^'"$root"'/(var/(lib/(apt|dpkg)|log|cache)|tmp|run)(/|$)' \
    | grep -v -E '^'"$root"'/etc/(passwd|group|shadow|gshadow|subuid|subgid)-?$' || true)
rm -f "$root.before"
[[ -z $left ]] || fail "left after purge: $left"
echo "chroot install: purged, nothing left" >&2
