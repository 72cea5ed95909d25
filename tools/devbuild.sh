#!/usr/bin/env bash
# Developer build without pip: configures and builds into build/dev-NAME and lays out an importable
# package in build/dev-NAME/stage (the pure-Python files are symlinked, so edits show at once).
#   tools/devbuild.sh NAME [extra cmake args...]
#   PYTHONPATH=build/dev-NAME/stage python -m pytest tests
set -euo pipefail
name=${1:?usage: tools/devbuild.sh NAME [cmake args...]}
shift
top=$(cd "$(dirname "$0")/.." && pwd)
bdir="$top/build/dev-$name"
cmake -S "$top" -B "$bdir" -G Ninja -DSIMSIEVE_WERROR=ON -DSIMSIEVE_TESTING_MODULE=ON "$@" >/dev/null
cmake --build "$bdir"
stage="$bdir/stage/simsieve"
mkdir -p "$stage"
for f in "$top"/src/simsieve/*; do ln -sf "$f" "$stage/"; done
for so in "$bdir"/_simsieve*.so "$bdir"/_testing*.so; do
  [ -e "$so" ] && cp -f "$so" "$stage/"
done
echo "staged: PYTHONPATH=$bdir/stage"
