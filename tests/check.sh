# The shell tests' checks: each says "ok: WHAT" or "FAIL: WHAT" and counts
# the failures in $failures.
failures=0
check() { # description, condition...
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAIL: $what"
        failures=$((failures + 1))
    fi
}
