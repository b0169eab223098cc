#!/usr/bin/env bash
# Runs the project's scripts on a clean clone of HEAD in a fresh minimal
# Debian root, as a new machine would: nothing there but what the scripts
# install, and no /etc/hosts (so localhost does not resolve). Needs root,
# mmdebstrap and the Debian archive; not part of script/test.
# Usage: tests/fresh_root.sh [SCRIPT...]   (default: script/demo script/test)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts=("$@")
[[ ${#scripts[@]} -gt 0 ]] || scripts=(script/demo script/test)
fail() {
    echo "fresh root: $*" >&2
    exit 1
}
[[ $(id -u) -eq 0 ]] || fail "needs root"

root=$(mktemp -d "${TMPDIR:-/var/tmp}/fresh-root-XXXXXX")
cleanup() {
    for mount in dev/pts dev proc sys ""; do
        umount -l "$root/$mount" 2>/dev/null || true
    done
    rm -rf "$root"
}
trap cleanup EXIT

echo "fresh root: a minimal bookworm in $root" >&2
mmdebstrap --quiet --variant=minbase --include=ca-certificates bookworm "$root" >&2
rm -f "$root/etc/hosts"
mkdir -p "$root/src"
git archive HEAD | tar -x -C "$root/src"
# Its root a mount point of its own, as a machine's is, so that what the
# tests run under unshare -m can make their mounts private.
mount --bind "$root" "$root"
for mount in proc sys dev dev/pts; do
    mount --bind "/$mount" "$root/$mount"
done
for script in "${scripts[@]}"; do
    echo "fresh root: $script" >&2
    chroot "$root" /bin/sh -c "cd /src && $script" || fail "$script failed"
done
echo "fresh root: ${scripts[*]} passed" >&2
