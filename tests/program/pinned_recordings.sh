#!/usr/bin/env bash
# The recordings are pinned: each run below, in an empty folder, must give
# exactly these bytes (the digest of the sorted digests of its *.wav files).
# A change here is a change of the sound, never a side effect.
#   tests/program/pinned_recordings.sh PROGRAM
set -euo pipefail
program=$(readlink -f "$1")
status=0
while read -r want options; do
  dir=$(mktemp -d)
  (cd "$dir" && "$program" $options >/dev/null) || { echo "run failed: [$options]"; status=1; }
  got=$(cd "$dir" && LC_ALL=C sha256sum -- *.wav | LC_ALL=C sort | sha256sum | cut -c1-64)
  rm -rf "$dir"
  if [ "$got" != "$want" ]; then
    echo "[$options] gives $got, pinned $want"
    status=1
  fi
done <<'PINS'
2db03d19d0c9937e8a873dc871bfd7d4f75af45cd846f7b10cc61a57e9919d60
fd6fd8096d322333f15be77ae8cb829225d7777c7ba4274c7772ca1140ca4e41 -sinc
89db7d00b919ac765b8ba2ab0f3ae359b91b9d8a601f03b6fae4a2d0a29b69eb -voice hts
PINS
exit $status
