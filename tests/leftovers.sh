#!/bin/sh
# Fails when a test run left files behind: in /tmp (every test's scratch names start "tessal-" or
# "tessal_") or untracked in the source tree, made since MARKER was touched; and when a port lock
# in /run/lock that the run used is open to others than its owner (it must be 0600).
# Usage: tests/leftovers.sh MARKER
# Other runs on the same machine may still be using their own scratch files, so what is found
# gets a few seconds to go away before it counts.
mark=$1
cd "$(dirname "$0")/.." || exit 1
found() {
    find /tmp -maxdepth 1 -name 'tessal[-_]*' -newer "$mark" 2>/dev/null
    find /run/lock -maxdepth 1 -name 'tessal-*.lock' -newer "$mark" ! -perm 0600 2>/dev/null
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files --others --exclude-standard | while read -r f; do
            [ "$f" -nt "$mark" ] && echo "$f"
        done
    fi
}
for _ in 1 2 3 4 5 6 7 8 9 10; do
    left=$(found)
    [ -z "$left" ] && { echo "leftovers: the tests left no files behind"; exit 0; }
    sleep 1
done
echo "leftovers: the tests left these files behind:"
echo "$left"
exit 1
