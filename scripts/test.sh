#!/usr/bin/env bash
# Runs the whole test suite against the one abi3 wheel and the host library's
# wheel (each built first when missing or out of date) under Python 3.11, 3.12
# and 3.13. Extra arguments go to pytest.
#
# A version that is not installed is skipped with a warning, except in CI
# (CI set and not empty), where every one of them must run.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

WHEEL="$(build_wheel)"
SDK_WHEEL="$(build_sdk_wheel)"
echo "testing $WHEEL with $SDK_WHEEL"

status=0
missing=()
for version in 3.11 3.12 3.13; do
    py="$(find_python "$version")"
    if [ -z "$py" ]; then
        missing+=("$version")
        continue
    fi
    venv=".venvs/test-$version"
    install_wheel "$py" "$venv" "$WHEEL" test "$SDK_WHEEL"
    echo "=== Python $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')"
    (cd tests && "../$venv/bin/python" -m pytest -q "$@") || status=1
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ -n "${CI:-}" ]; then
        echo "error: Python ${missing[*]} not found; CI runs the suite under every supported version" >&2
        status=1
    else
        echo "warning: Python ${missing[*]} not found, so the suite did not run under it" >&2
        [ ${#missing[@]} -lt 3 ] || status=1
    fi
fi
exit $status
