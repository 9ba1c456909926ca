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
153cee19b480e62d17129a39db7ac298a9a3a9cd8fe4c2a3de1c534f413317e8
1722eea39bcbc177f3c478f9e7b44e0fca301b1517d50549a28f510a7bb37b62 -sinc
e269f9082228f542599ed843bdee0eb899bf7fbcf16bd34c0f18bb48771754f3 -voice hts
PINS
exit $status
