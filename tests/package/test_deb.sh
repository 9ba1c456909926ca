#!/usr/bin/env bash
# Builds the Debian package from a configured build folder, installs it (or,
# without root, extracts it), runs the installed program in an empty folder,
# then removes the package and checks that nothing of it is left.
#   tests/package/test_deb.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
fail() { echo "package test: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/morivox_*_amd64.deb)
echo "built $(basename "$deb")"
dpkg-deb -c "$deb"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for need in espeak-ng-data libespeak-ng1 libhtsengine1 libc6; do
  case "$depends" in *"$need"*) ;; *) fail "Depends lacks $need" ;; esac
done
case "$depends" in *hts-voice*) fail "the voice (contrib) must not be a dependency" ;; esac
[ "$(dpkg-deb -f "$deb" Suggests)" = "hts-voice-nitech-jp-atr503-m001" ] || fail "Suggests lacks the HTS voice"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ "$(id -u)" -eq 0 ] && ! dpkg -s morivox >/dev/null 2>&1; then
  dpkg -i "$deb" >/dev/null
  installed=1
  program=/usr/bin/morivox
  manual=$(man -w morivox)
else
  echo "not root or already installed: extracting into a temporary root instead"
  installed=0
  dpkg-deb -x "$deb" "$work/root"
  program=$work/root/usr/bin/morivox
  manual=$work/root/usr/share/man/man1/morivox.1.gz
fi

mkdir "$work/out"
(cd "$work/out" && "$program" >"$work/stdout")
count=$(find "$work/out" -name '*.wav' | wc -l)
[ "$count" -eq 142 ] || fail "expected 142 files, found $count"
[ -f "$work/out/あ.wav" ] && [ -f "$work/out/ん.wav" ] || fail "file names are not the syllables"
[ "$(tail -n 1 "$work/stdout")" = "done." ] || fail "no closing line"
man -l "$manual" 2>"$work/man.err" | grep -q "EXIT STATUS" || fail "the manual page does not render"
[ ! -s "$work/man.err" ] || fail "man -l warned: $(cat "$work/man.err")"

if [ "$installed" -eq 1 ]; then
  mapfile -t files < <(dpkg -L morivox)
  dpkg -r morivox >/dev/null
  dpkg -s morivox >/dev/null 2>&1 && fail "still installed after dpkg -r"
  for f in "${files[@]}"; do
    if [ -f "$f" ] || [ -L "$f" ]; then fail "left behind: $f"; fi
  done
  echo "installed, ran and removed cleanly"
fi
echo "package test passed"
