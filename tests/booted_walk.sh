#!/usr/bin/env bash
# Installs the packages into a fresh minimal Debian that systemd-nspawn boots,
# and walks what an administrator would: reinstalls the collector while a
# sender sends to it in a loop (nothing may be lost), puts a typo into the
# options under traffic (the port stays open, and one restart after the
# file is mended stores what waited), and runs a news command (its output
# in the journal, nothing of it left running). Needs root, mmdebstrap,
# systemd-container and the Debian archive; not part of script/test.
# Usage: tests/booted_walk.sh [SUITE]   (default bookworm)
set -euo pipefail
cd "$(dirname "$0")/.."

suite=${1:-bookworm}
fail() {
    echo "booted walk: $*" >&2
    exit 1
}
[[ $(id -u) -eq 0 ]] || fail "needs root"

mapfile -t debs < <(script/package localhost 9699 | grep -v dbgsym)
root=$(mktemp -d "${TMPDIR:-/var/tmp}/booted-walk-XXXXXX")
nspawn=
cleanup() {
    [[ -z $nspawn ]] || kill "$nspawn" 2>/dev/null || true
    [[ -z $nspawn ]] || wait "$nspawn" 2>/dev/null || true
    rm -rf "$root" "$root.console"
}
trap cleanup EXIT
echo "booted walk: a minimal $suite in $root" >&2
mmdebstrap --quiet --variant=apt --include=systemd,systemd-sysv,dbus,python3,iproute2,procps "$suite" "$root" >&2
# /tmp is a tmpfs in the booted container: what it needs lives here.
walk=$root/var/tmp/walk
mkdir -p "$walk"
cp "${debs[@]}" "$walk/"
chroot "$root" apt-get update -q >&2
chroot "$root" sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -q /var/tmp/walk/*.deb' >&2

systemd-nspawn -q -D "$root" -b --private-network --register=no --keep-unit >"$root.console" 2>&1 &
nspawn=$!
init=
for _ in $(seq 60); do
    init=$(pgrep -P "$nspawn" | head -1) || true
    [[ -n $init ]] && nsenter -t "$init" -a systemctl is-active -q collectCrashReports.service 2>/dev/null && break
    sleep 1
done
[[ -n $init ]] || fail "the container did not boot: $(tail -5 "$root.console")"
inside() { nsenter -t "$init" -a "$@"; }

cat >"$walk/send.py" <<'PY'
# Sends distinct reports to the collector every millisecond until SIGTERM
# (or COUNT of them), then writes how many it sent to FILE.
import os, signal, socket, struct, sys, time, zlib
open(sys.argv[1] + ".pid", "w").write(str(os.getpid()))
stop, sent = False, 0
signal.signal(signal.SIGTERM, lambda *_: globals().update(stop=True))
peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
while not stop and sent < int(sys.argv[2]):
    report = b"walk report %d\n" % sent
    try:
        peer.sendto(struct.pack(">I", len(report)) + zlib.compress(report), ("127.0.0.1", 9699))
    except OSError:
        pass
    sent += 1
    time.sleep(0.001 if len(sys.argv) < 4 else float(sys.argv[3]))
open(sys.argv[1], "w").write(str(sent))
PY
stored() { inside sh -c 'ls /var/lib/crash-reports | grep -c "\.report$" || true'; }

before=$(stored)
inside python3 /var/tmp/walk/send.py /var/tmp/walk/sent 100000000 &
sender=$!
sleep 2
inside sh -c 'DEBIAN_FRONTEND=noninteractive dpkg -i /var/tmp/walk/crash-report-collector_*.deb' >/dev/null
sleep 2
inside sh -c 'kill "$(cat /var/tmp/walk/sent.pid)"'
wait "$sender"
sleep 4
sent=$(cat "$walk/sent")
lost=$((sent - ($(stored) - before)))
echo "booted walk: reinstalled under traffic: sent $sent, lost $lost" >&2
((lost == 0)) || fail "$lost reports lost across the reinstall"

options=/etc/default/collectCrashReports
inside cp "$options" /var/tmp/walk/options
inside sed -i 's|^COLLECTOR_OPTIONS=.*|COLLECTOR_OPTIONS="--allow 10.0.0.0/33"|' "$options"
inside systemctl restart collectCrashReports
before=$(stored)
inside python3 /var/tmp/walk/send.py /var/tmp/walk/sent 10 0.3
[[ $(inside systemctl is-active collectCrashReports.socket) == active ]] || fail "a typo under traffic closed the port"
inside cp /var/tmp/walk/options "$options"
inside systemctl restart collectCrashReports || fail "the restart after the typo was mended failed"
sleep 2
[[ $(($(stored) - before)) -eq 10 ]] || fail "of 10 reports sent with the typo, $(($(stored) - before)) were stored"
echo "booted walk: a typo under traffic kept the port; one restart stored the 10 reports that waited" >&2

printf '#!/bin/sh\nenv\nsleep 200 &\n' >"$root/usr/local/bin/crash-news"
chmod 755 "$root/usr/local/bin/crash-news"
inside sed -i 's|^COLLECTOR_OPTIONS=.*|COLLECTOR_OPTIONS="--on-new-group /usr/local/bin/crash-news"|' "$options"
inside systemctl restart collectCrashReports
inside python3 -c 'import socket, struct, zlib
r = b"signal 11 (SIGSEGV)\n#0  0x1 in booted_walk_crash (a.c:1)\n"
socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(struct.pack(">I", len(r)) + zlib.compress(r), ("127.0.0.1", 9699))'
sleep 3
journal=$(inside journalctl -u collectCrashReports -o cat --no-pager)
grep -q "command for crash group [0-9a-f]*: CRASH_EVENT=new" <<<"$journal" || fail "no command line in the journal"
! grep -q "command for crash group [0-9a-f]*: NOTIFY_SOCKET" <<<"$journal" || fail "the command saw NOTIFY_SOCKET"
# pgrep's 1 is "none": anything else is one found, or a pgrep that failed.
left=0
inside pgrep -x sleep >/dev/null || left=$?
[[ $left -eq 1 ]] || fail "what the command left running goes on (pgrep: $left)"
echo "booted walk: the command's lines in the journal, its environment scrubbed, nothing of it left" >&2
inside systemctl poweroff || true
wait "$nspawn" || true
nspawn=
echo "booted walk: passed" >&2
