#!/usr/bin/env bash
# The recordings are pinned: each run below, in an empty folder, must give
# exactly these bytes (the digest of the sorted digests of its *.wav files).
# A change here is a change of the sound, never a side effect. At speed 300
# the vowels are short, and their release is a quarter of them: the HTS
# voice, whose bytes do not depend on how the workers share the table.
# The sampler files of -oto runs are pinned the same way: every file that
# is not a recording (sample.wav included), in every folder of the run.
# The VCV sets' runs are long, so they are a test of their own:
#   tests/program/pinned_recordings.sh PROGRAM        every set but the VCV sets
#   tests/program/pinned_recordings.sh PROGRAM vcv    the VCV sets
set -euo pipefail
program=$(readlink -f "$1")
sets=${2:-cv}
status=0
checked=0

# Prints the digest of the files `find` selects in the current folder.
digest() {
  find . -type f "$@" -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum | sha256sum | cut -c1-64
}

check() {
  local what=$1 want=$2 options=$3 got dir
  dir=$(mktemp -d)
  (cd "$dir" && "$program" $options >/dev/null) || { echo "run failed: [$options]"; status=1; }
  if [ "$what" = recordings ]; then
    got=$(cd "$dir" && LC_ALL=C sha256sum -- *.wav | LC_ALL=C sort | sha256sum | cut -c1-64)
  else
    got=$(cd "$dir" && digest \( ! -name '*.wav' -o -name sample.wav \))
  fi
  rm -rf "$dir"
  if [ "$got" != "$want" ]; then
    echo "$what of [$options]: $got, pinned $want"
    status=1
  fi
}

while read -r what want options; do
  case " $options " in
    *" -vcv "*) [ "$sets" = vcv ] || continue ;;
    *) [ "$sets" = cv ] || continue ;;
  esac
  check "$what" "$want" "$options"
  checked=$((checked + 1))
done <<'PINS'
recordings 2db03d19d0c9937e8a873dc871bfd7d4f75af45cd846f7b10cc61a57e9919d60
recordings fd6fd8096d322333f15be77ae8cb829225d7777c7ba4274c7772ca1140ca4e41 -sinc
recordings 89db7d00b919ac765b8ba2ab0f3ae359b91b9d8a601f03b6fae4a2d0a29b69eb -voice hts
recordings c99f20a8e6882f75bd26bc700f8f2cc84a7a5faad4d2ac6bf4c5ce3c443bc9d9 -voice hts -speed 300
recordings 492f5f0141ad471ad0b50deccf9dc6b47d16e5fcc5f207ed5cb8925bf73bd45a -vcv
recordings 126e63569d95ccbe92b57a47f6da186832c8228a69a9769837c1771e2f34b0f5 -voice hts -vcv
sampler fd41e48cd6ab59898809a24461cca494739deca38fd7fd285a1afa31d6b3eff5 -oto
sampler d0429093e9c22ff6040950cfa7f86761d02c015e4d97bdebbd93e64ea37a3b4c -voice hts -oto
sampler 0c2e54471b7c4a8a145d1400d8e1d3862c44747b3a2d541ac4e9367dc9d1b4d7 -voice hts -pitch A2,A3 -oto
sampler e562d62f72df505aa0aea6218102a6de3c496a60e1f311c5c8ee50a784b09064 -vcv -oto
sampler 8203eed2ade2ac4222964e4b13fd014299394b2529e2c842b7fe05096e782f4e -voice hts -vcv -oto
PINS
if [ "$checked" = 0 ]; then
  echo "no pins for [$sets]"
  status=1
fi
exit $status
