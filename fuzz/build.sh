#!/usr/bin/env bash
# Builds the libFuzzer target for the modifier parser (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and writes a small seed corpus next to it.
# Installs clang 14 and its fuzzer runtime with apt-get when they are missing.
#   bash fuzz/build.sh                  # builds build-fuzzer/parse_modifiers_fuzzer
#   OUT=/some/dir bash fuzz/build.sh    # another output folder
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="${OUT:-$ROOT/build-fuzzer}"
CXX="${FUZZ_CXX:-clang++-14}"

if ! command -v "$CXX" >/dev/null || ! "$CXX" -print-file-name=libclang_rt.fuzzer-x86_64.a | grep -q /; then
  echo "fuzz: installing clang-14 and libclang-rt-14-dev" >&2
  SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends clang-14 libclang-rt-14-dev >/dev/null
fi

mkdir -p "$OUT/corpus"
"$CXX" -std=c++20 -g -O1 -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I "$ROOT/src" \
  "$ROOT/fuzz/parse_modifiers_fuzzer.cpp" "$ROOT/src/modifiers/modifiers.cpp" \
  -o "$OUT/parse_modifiers_fuzzer"

# Seeds: a few lines that reach every branch of the grammar.
seeds="$OUT/seeds"
mkdir -p "$seeds"
i=0
while IFS= read -r line; do
  printf '%s' "$line" > "$seeds/seed$((i++))"
done <<'LINES'
recent:7 diverse limit:5
from: new york to: boston recent:-3 like:a,b,,c unlike:cats
unlike:cfrom: x to: y limit:3 detect_communities local_communities
recent:-9223372036854775808 limit:18446744073709551615 recent:+09
from:　a b  to: c limit:2
LINES
printf 'from:\xe2\x80\x83a\xc2\xa0b\xe2\x81\x9f to:\xe3\x80\x80\xe8\x80\x80\xe3\x80\x80limit:2' > "$seeds/seed$((i++))"
echo "built $OUT/parse_modifiers_fuzzer; seeds in $seeds" >&2
