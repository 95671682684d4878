#!/usr/bin/env bash
# Builds the libFuzzer target with clang and runs it for about a minute over
# the seed corpus and the BMP dictionary. Any crash, sanitizer report, broken
# promise, timeout or memory blow-up fails the run; the input that caused it
# is left in build/fuzz/findings/ (add it to fuzz/regressions/ once fixed).
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for pkg in clang libclang-rt-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi

build=build/fuzz
CC=clang CXX=clang++ cmake -S fuzz -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target tone_bmp_fuzzer make_bmp_seeds

rm -rf "$build/seeds" "$build/corpus" "$build/findings"
mkdir -p "$build/seeds" "$build/corpus" "$build/findings"
"$build/make_bmp_seeds" "$build/seeds"

# Earlier findings first: each must now pass.
if compgen -G "fuzz/regressions/*.bmp" >/dev/null; then
  "$build/tone_bmp_fuzzer" -runs=0 fuzz/regressions/*.bmp
fi

log="$build/fuzz.log"
status=0
"$build/tone_bmp_fuzzer" \
  -max_total_time="${FUZZ_SECONDS:-60}" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -dict=fuzz/bmp.dict -artifact_prefix="$build/findings/" -print_final_stats=1 \
  "$build/corpus" "$build/seeds" >"$log" 2>&1 || status=$?

grep -E '^stat::number_of_executed_units|^Done [0-9]+ runs' "$log" || true
if [ "$status" -ne 0 ] || compgen -G "$build/findings/*" >/dev/null; then
  tail -n 60 "$log"
  echo "fuzz: FAILED (exit $status); inputs kept in $build/findings/" >&2
  exit 1
fi
echo "fuzz: clean"
