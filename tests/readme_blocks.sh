#!/usr/bin/env bash
# Runs the command blocks of README.md that are fenced as ```sh, in order,
# each from the clone's root in a fresh environment, and stops at the first
# that fails. Blocks fenced otherwise (```text and the like) need root, a
# device, systemd or a person, and are not run.
#
#   tests/readme_blocks.sh          run them
#   tests/readme_blocks.sh --list   print them, numbered, without running
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
readme=$root/README.md

mode=run
case "${1-}" in
  "") ;;
  --list) mode=list ;;
  *) echo "usage: $0 [--list]" >&2; exit 2 ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One file per runnable block, named by its first line in README.md.
awk -v dir="$work" '
  /^```/ {
    if (inside) { inside = 0; if (out != "") close(out); out = ""; next }
    inside = 1
    if ($0 ~ /^```sh[ \t]*$/) { out = sprintf("%s/%06d", dir, NR + 1); printf "" > out }
    next
  }
  inside && out != "" { print > out }
  END { if (inside) { print "README.md: a fenced block is not closed" > "/dev/stderr"; exit 1 } }
' "$readme"

blocks=("$work"/[0-9]*)
if [ ! -e "${blocks[0]}" ]; then
  echo "README.md holds no runnable (sh) block" >&2
  exit 1
fi

n=0
for block in "${blocks[@]}"; do
  n=$((n + 1))
  line=$((10#$(basename "$block")))
  echo "=== README.md block $n, line $line"
  cat "$block"
  [ "$mode" = list ] && continue
  home=$(mktemp -d "$work/home.XXXXXX")
  # A session of its own, so that whatever the block leaves running in the
  # background is ended with it. -e: a failing command fails the block, as
  # a reader would notice it failing.
  (cd "$root" && exec env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      HOME="$home" LANG=C.UTF-8 setsid bash -e "$block") &
  pid=$!
  status=0
  wait "$pid" || status=$?
  kill -TERM -- "-$pid" 2>/dev/null || true
  if [ "$status" -ne 0 ]; then
    echo "=== README.md block $n, line $line: FAILED with status $status" >&2
    exit 1
  fi
  echo "=== README.md block $n, line $line: ok"
done
