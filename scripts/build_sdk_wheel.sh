#!/usr/bin/env bash
# Builds the host library's wheel (orvu-sdk, pure Python: py3-none-any) from
# sdk/ into dist/, beside the module's, and prints its path. As for the
# module's wheel, a digest of the build inputs is kept beside it: while no input
# has changed, the wheel already in dist/ is reused.
#
# The library pins the exact orvu_sdk_core version it is built with: the build
# stops when sdk/pyproject.toml pins another version than pyproject.toml holds.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# The module's pyproject.toml is an input: it holds the version the library pins.
INPUTS=(sdk pyproject.toml constraints.txt scripts/build_sdk_wheel.sh)
inputs="$(find "${INPUTS[@]}" -type f ! -name '*.pyc' ! -path '*/__pycache__/*' -print0 | LC_ALL=C sort -z | xargs -0 sha256sum | digest)"

wheel="$(ls dist/orvu_sdk-*-py3-none-any.whl 2>/dev/null | head -n 1 || true)"
if [ -n "$wheel" ] && [ "$(cat dist/.sdk-build-inputs 2>/dev/null)" = "$inputs" ]; then
    echo "reusing $wheel: no build input changed" >&2
    echo "$wheel"
    exit 0
fi

"$(first_python)" - <<'PY' >&2
import sys, tomllib
with open("pyproject.toml", "rb") as f:
    core = tomllib.load(f)["project"]["version"]
with open("sdk/pyproject.toml", "rb") as f:
    requirements = tomllib.load(f)["project"]["dependencies"]
pins = [r.replace(" ", "") for r in requirements if r.replace("-", "_").lower().startswith("orvu_sdk_core")]
if pins != [f"orvu_sdk_core=={core}"]:
    sys.exit(f"sdk/pyproject.toml must pin orvu_sdk_core=={core} (the module's version), not {pins}")
PY

make_group_venv "$(first_python)" .venvs/sdk-build sdk-build
rm -f dist/orvu_sdk-*.whl dist/.sdk-build-inputs
rm -rf build/sdk-wheel
mkdir -p dist
.venvs/sdk-build/bin/python -m build --no-isolation --wheel --outdir build/sdk-wheel sdk >&2
mv build/sdk-wheel/orvu_sdk-*-py3-none-any.whl dist/
rm -rf build/sdk-wheel
echo "$inputs" > dist/.sdk-build-inputs
ls dist/orvu_sdk-*-py3-none-any.whl
