#!/usr/bin/env bash
# Checks the child-lifecycle model exhaustively with spin for one manager
# style (0 Windows, 1 Wine): every state is explored and no assertion may fail.
# Prints the states explored. Runs in a folder of its own.
set -euo pipefail
model="$1"
style="$2"
command -v spin >/dev/null || { echo "spin is not installed (apt-get install spin)" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$model" "$work/model.pml"
cd "$work"
spin -DSTYLE="$style" -a model.pml >spin.log 2>&1 || { cat spin.log >&2; exit 1; }
# pan's own generated code draws warnings from a modern compiler; they are not ours.
cc -O2 -DSAFETY -w -o pan pan.c
./pan -m100000 >pan.log 2>&1 || true
grep -E "errors:|states, stored|depth reached" pan.log
if ! grep -q "errors: 0" pan.log || grep -q "max search depth too small" pan.log; then
  cat pan.log >&2
  exit 1
fi
