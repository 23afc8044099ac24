#!/usr/bin/env bash
# The Python test suite on CPython 3.14, built and run inside a Debian sid
# chroot (Debian's own python3.14, NumPy, pytest, hypothesis, g++ and cmake).
#
#   tools/py314-leg.sh        the extension built from the working tree, the
#                             suite run against the build directory
#   tools/py314-leg.sh dist   the sdist that `make dist` left in dist/ built
#                             into a wheel (Debian's scikit-build-core, no
#                             index), repaired by auditwheel where a policy
#                             fits, installed into a
#                             fresh virtual environment, and the suite run
#                             against that install from a copy of tests/
#
# The chroot is cached outside the repository and rebuilt when it is missing
# or broken. Needs root (debootstrap, chroot, mount). Environment:
#   VANTRELL_SID_CHROOT  where the chroot lives (/var/cache/vantrell/sid-chroot)
#   DEBIAN_MIRROR        mirror for debootstrap (http://deb.debian.org/debian)
set -euo pipefail

ROOT=${VANTRELL_SID_CHROOT:-/var/cache/vantrell/sid-chroot}
MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
PACKAGES=python3.14,python3.14-dev,python3.14-venv,python3-numpy,python3-pytest,python3-hypothesis,python3-pip,python3-scikit-build-core,python3-auditwheel,patchelf,g++,cmake,make
REPO=$(cd "$(dirname "$0")/.." && pwd)
WORK=/tmp/vantrell-314   # inside the chroot
MODE=${1:-tests}
case "$MODE" in
  tests) ;;
  dist)
    SDISTS=("$REPO"/dist/vantrell-*.tar.gz)
    if [ "${#SDISTS[@]}" != 1 ] || [ ! -f "${SDISTS[0]}" ]; then
      echo "py314-leg: dist needs exactly one sdist in dist/ (make dist)" >&2
      exit 1
    fi ;;
  *) echo "usage: $0 [tests|dist]" >&2; exit 2 ;;
esac

if [ "$(id -u)" != 0 ]; then
  echo "py314-leg: needs root (debootstrap, chroot, mount)" >&2
  exit 1
fi

# Unmounts everything mounted at or below $1, deepest first.
unmount_below() {
  local dir m
  dir=$(readlink -f "$1" 2>/dev/null || echo "$1")
  awk -v d="$dir" '$2 == d || index($2, d "/") == 1 { print $2 }' /proc/mounts |
    sort -r | while read -r m; do umount "$m" 2>/dev/null || umount -l "$m"; done
}

healthy() {
  [ -f "$ROOT/.vantrell-complete" ] || return 1
  [ "$(cat "$ROOT/.vantrell-complete")" = "$PACKAGES" ] || return 1
  chroot "$ROOT" /usr/bin/env -i PATH=/usr/bin:/bin /bin/sh -c \
    'python3.14 -c "import numpy, pytest, hypothesis, pip, scikit_build_core, ensurepip" &&
     auditwheel --version && patchelf --version && cmake --version && g++ --version && make --version' \
    >/dev/null 2>&1
}

if [ -d "$ROOT" ]; then unmount_below "$ROOT"; fi
if ! healthy; then
  command -v debootstrap >/dev/null || {
    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap; }
  echo "py314-leg: building the sid chroot in $ROOT (about a minute, 0.9 GB)"
  unmount_below "$ROOT.new" 2>/dev/null || true
  rm -rf --one-file-system "$ROOT.new"
  mkdir -p "$(dirname "$ROOT")"
  debootstrap --variant=minbase --include="$PACKAGES" sid "$ROOT.new" "$MIRROR" \
    >"$(dirname "$ROOT")/debootstrap.log" 2>&1 || {
      echo "py314-leg: debootstrap failed; the end of its log:" >&2
      tail -n 30 "$(dirname "$ROOT")/debootstrap.log" >&2
      exit 1; }
  echo "$PACKAGES" >"$ROOT.new/.vantrell-complete"
  rm -rf --one-file-system "$ROOT"
  mv "$ROOT.new" "$ROOT"
  healthy || { echo "py314-leg: the new chroot does not work" >&2; exit 1; }
fi

rm -rf --one-file-system "$ROOT$WORK"
if [ "$MODE" = tests ]; then
  # The working tree (not only what git tracks: uncommitted work is tested
  # too), without build products and environments.
  mkdir -p "$ROOT$WORK/src"
  tar -C "$REPO" --exclude=./.git --exclude='./.venv*' --exclude=./build --exclude=./dist \
      --exclude='*.so' --exclude=__pycache__ --exclude=.pytest_cache --exclude=.hypothesis \
      -cf - . | tar -C "$ROOT$WORK/src" -xf -
else
  # The sdist, and the tests with what they read, in a directory of their own.
  mkdir -p "$ROOT$WORK/run/tools"
  cp "${SDISTS[0]}" "$ROOT$WORK/"
  cp -r "$REPO/tests" "$ROOT$WORK/run/tests"
  cp -r "$REPO/demo" "$ROOT$WORK/run/demo"
  cp "$REPO/tools/stubtest-allowlist.txt" "$ROOT$WORK/run/tools/"
fi

cleanup() {
  unmount_below "$ROOT/proc"
  rm -rf --one-file-system "$ROOT$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mount -t proc proc "$ROOT/proc"

if [ "$MODE" = dist ]; then
  chroot "$ROOT" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    PYTHONDONTWRITEBYTECODE=1 PIP_DISABLE_PIP_VERSION_CHECK=1 /bin/sh -euc "
      python3.14 -m venv --system-site-packages $WORK/env
      $WORK/env/bin/python -m pip wheel -q --no-deps --no-build-isolation --no-index \
        -w $WORK/raw $WORK/$(basename "${SDISTS[0]}") >$WORK/build.log 2>&1 ||
        { tail -n 60 $WORK/build.log; echo 'py314-leg: the wheel did not build from the sdist'; exit 1; }
      # sid's toolchain may be newer than the manylinux policies Debian's
      # auditwheel knows: this wheel is only tested, never shipped, so the
      # unrepaired one stands in when no policy fits.
      if auditwheel repair -w $WORK/wheel $WORK/raw/*.whl >$WORK/repair.log 2>&1; then
        grep 'Fixed-up wheel' $WORK/repair.log || true
      else
        tail -n 5 $WORK/repair.log
        echo 'py314-leg: auditwheel found no manylinux policy here; testing the unrepaired wheel'
        mkdir -p $WORK/wheel && cp $WORK/raw/*.whl $WORK/wheel/
      fi
      $WORK/env/bin/python -m pip install -q --no-deps --no-index $WORK/wheel/*.whl
      cd $WORK/run
      $WORK/env/bin/python -c 'import sys, numpy, pytest, vantrell
print(\"py314-leg: CPython\", sys.version.split()[0], \"| NumPy\", numpy.__version__, \"| pytest\", pytest.__version__)
print(\"py314-leg: vantrell from\", vantrell.__file__)
sys.exit(not vantrell.__file__.startswith(\"$WORK/env/\"))'
      $WORK/env/bin/python -m pytest -q -p no:cacheprovider --rootdir . tests
    "
  exit
fi

chroot "$ROOT" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
  PYTHONDONTWRITEBYTECODE=1 /bin/sh -euc "
    cd $WORK/src
    python3.14 -c 'import sys, numpy, pytest
print(\"py314-leg: CPython\", sys.version.split()[0], \"| NumPy\", numpy.__version__, \"| pytest\", pytest.__version__)'
    { cmake -S . -B $WORK/build -DVANTRELL_PYTHON=ON -DVANTRELL_TESTS=OFF \
        -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=/usr/bin/python3.14 &&
      cmake --build $WORK/build -j 2; } >$WORK/build.log 2>&1 ||
      { tail -n 60 $WORK/build.log; echo 'py314-leg: the build failed'; exit 1; }
    PYTHONPATH=$WORK/build python3.14 -m pytest -q -p no:cacheprovider tests
  "
