#!/usr/bin/env bash
# Runs tools/valgrind-smoke.py under memcheck and prints the "definitely lost"
# figures: the whole process's, and those of the loss records whose allocation
# stack passes through the vantrell module. Fails when the module loses memory.
# Usage: tools/valgrind-check.sh PYTHON
set -euo pipefail
PY=${1:?usage: valgrind-check.sh PYTHON}
cd "$(dirname "$0")/.."
log=build/valgrind.log
mkdir -p build
# PYTHONMALLOC=malloc: every Python object goes through malloc, so memcheck
# sees them all (the interpreter's own arenas would hide them).
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
  --num-callers=40 --log-file="$log" "$PY" tools/valgrind-smoke.py
grep "definitely lost:" "$log" | sed 's/^==[0-9]*== */valgrind: process /'
# Loss records (from "N bytes in M blocks are definitely lost" to the blank
# line), summed twice: those whose stack passes through the module at all
# (one-off interpreter objects made while the module imports or installs
# something also count here), and those allocated by the module's own code
# (the first frame after the allocator lies in the vantrell shared object).
awk '
  /are definitely lost in loss record/ {
    line = $0; sub(/\([^)]*\) /, "", line); split(line, f, " ")
    n = f[2]; gsub(",", "", n); b = f[5]; gsub(",", "", b)
    rec = 1; through = 0; frame = 0; own = 0; next }
  rec && /^==[0-9]+== *$/ {
    if (through) { tb += n; tk += b }
    if (own) { ob += n; ok += b }
    rec = 0; next }
  rec && /(at|by) 0x/ {
    if ($0 ~ /vantrell/) through = 1
    if ($0 ~ /(malloc|calloc|realloc|operator new|memalign)/ && frame == 0) next
    if (frame == 0 && $0 ~ /vantrell/) own = 1
    frame++ }
  END {
    printf "valgrind: definitely lost, stacks through the vantrell module: %d bytes in %d blocks\n", tb, tk
    printf "valgrind: definitely lost, allocated by the vantrell module itself: %d bytes in %d blocks\n", ob, ok
    exit ob > 0
  }' "$log"
errors=$(grep -c -E "Invalid (read|write|free)|uninitialised|Mismatched free|overlap" "$log" || true)
echo "valgrind: access errors (invalid reads/writes/frees, uninitialised values): $errors"
[ "$errors" = 0 ]
