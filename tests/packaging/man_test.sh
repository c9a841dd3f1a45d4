#!/bin/sh
# The man pages render cleanly and document every option the programs accept.
# Usage: man_test.sh SOURCE_DIR
src=$1
fail=0
say() { echo "$*"; fail=1; }

for page in "$src/packaging/man/tessal.8" "$src/packaging/man/tessal-client.1"; do
    out=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$out" ] || say "groff warns about $page: $out"
    if command -v man >/dev/null 2>&1; then
        out=$(MANWIDTH=80 man -l -Tutf8 "$page" 2>&1 >/dev/null)
        [ -z "$out" ] || say "man -l warns about $page: $out"
        MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q '^NAME' || say "man -l shows no NAME in $page"
    fi
done

# Options are read from the getopt strings and long-option tables of the programs themselves.
# In roff every hyphen of an option is written \-.
check_options() {  # PROGRAM_SOURCE PAGE
    short=$(sed -n 's/.*getopt_long(argc, argv, "\([^"]*\)".*/\1/p' "$1" | tr -d '+:')
    [ -n "$short" ] || say "no getopt string found in $1"
    for letter in $(echo "$short" | sed 's/./& /g'); do
        grep -qE -- "\\\\-$letter([^A-Za-z]|\$)" "$2" || say "$2 does not document -$letter"
    done
    longs=$(sed -n 's/^ *{"\([a-z-]*\)", *\(no\|required\|optional\)_argument.*/\1/p' "$1")
    [ -n "$longs" ] || say "no long options found in $1"
    for name in $longs; do
        escaped=$(echo "$name" | sed 's/-/\\-/g')
        grep -qF -- "\\-\\-$escaped" "$2" || say "$2 does not document --$name"
    done
}
check_options "$src/service/main.cc" "$src/packaging/man/tessal.8"
check_options "$src/client/cli.cc" "$src/packaging/man/tessal-client.1"

exit $fail
