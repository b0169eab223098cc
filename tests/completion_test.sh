#!/usr/bin/env bash
# The bash completions of crashReports and collectCrashReports: each row
# completes a command line, the cursor at its end, and names what is
# offered. The reader that the completion asks for ids is a stand-in that
# prints the tables of a store of two groups.
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=/dev/null
source "$root/reader/crashReports.bash-completion"
# shellcheck source=/dev/null
source "$root/collector/collectCrashReports.bash-completion"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/store" "$work/stash"
touch "$work/rules"

crashReports() {
    echo "$*" >>"$work/calls"
    case " $* " in
    *" groups "*) printf 'GROUP             COUNT\n0123456789abcdef      2\nfedcba9876543210      1\n' ;;
    *" list "*) printf 'RECEIVED              REPORT\n2026-12-08T11:59:59Z  20261208T115959.000042Z_10.1.2.3_40000_000003.report\n' ;;
    esac
}

# What completing LINE offers, sorted, on one line.
offered() {
    local line=$1
    read -ra COMP_WORDS <<<"$line"
    if [[ $line == *" " ]]; then
        COMP_WORDS+=("")
    fi
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    "_${COMP_WORDS[0]}"
    if ((${#COMPREPLY[@]} > 0)); then
        printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' '
    fi
}

failed=0
while IFS='|' read -r line expected; do
    got=$(cd "$work" && offered "$line")
    if [[ $got != "$expected" ]]; then
        echo "completion test: \"$line\" offers \"$got\", not \"$expected\"" >&2
        failed=1
    fi
done <<'ROWS'
crashReports |--help --rules --store --version fix groups ignore list merge page reindex reopen search show signature unmerge
crashReports gr|groups
crashReports --st|--store
crashReports --store st|stash store
crashReports groups --|--all --executable --host --json --since --state --unit --version
crashReports groups --state r|regressed
crashReports fix --|--in --note
crashReports fix f|fedcba9876543210
crashReports merge 0123456789abcdef --into f|fedcba9876543210
crashReports list --|--all --executable --group --host --json --limit --since --state --unit --version
crashReports list --group |0123456789abcdef fedcba9876543210
crashReports --store /srv/reports list --group f|fedcba9876543210
crashReports show 2026|20261208T115959.000042Z_10.1.2.3_40000_000003.report
crashReports signature ru|rules
crashReports page st|stash store
collectCrashReports --on|--on-new-group
collectCrashReports --me|--metrics
collectCrashReports --skip-rules ru|rules
collectCrashReports --page st|stash store
collectCrashReports --bind |
collectCrashReports --port 9699 st|stash store
ROWS
# The ids come from the store that the command line names.
grep -qx -- "--store /srv/reports groups --all" "$work/calls" \
    || { echo "completion test: the ids did not come from the store named: $(cat "$work/calls")" >&2; failed=1; }
((failed == 0)) && echo "completion test: every line completes as it should"
exit "$failed"
