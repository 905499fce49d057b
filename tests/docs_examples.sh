#!/usr/bin/env bash
# The testing page's C and Python programs, taken from the page as a user
# copies them, run from a folder that holds the build as build/: each writes
# D0 and reads the switches, and lptmon sees the write.
#   docs_examples.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
. "$(dirname "$0")/check.sh"
page=$1/docs/testing-your-program.md
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ln -s "$2" "$work/build"
export LPT_VIRTUAL_DIR=$work/state
block() { sed -n "/^\`\`\`$1\$/,/^\`\`\`\$/p" "$page" | sed '1d;$d'; }
block c >"$work/example.c"
block python >"$work/example.py"
cd "$work" || exit 1
check "the C program builds" cc -Wall -Wextra -Werror example.c -o example -ldl
check "the C program reads the switches" [ "$(./example 2>&1)" = "status 0x7F" ]
check "the Python program reads the switches" [ "$(python3 example.py 2>&1)" = "status 0x7F" ]
check "lptmon shows D0 high" grep -q "data 0x01" <(build/lptmon --once)
check "a bare name is not found" bash -c \
    "! python3 -c 'import ctypes; ctypes.CDLL(\"inpout32.dll\")' 2>/dev/null"
exit $((failures > 0))
