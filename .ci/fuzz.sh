#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs them for about a minute
# together over the seed corpus and the BMP dictionary: the file conversion
# (tone_bmp_fuzzer) and the core's stream against its memory call
# (stream_chunks_fuzzer). Any crash, sanitizer report, broken
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
cmake --build "$build" -j2 --target tone_bmp_fuzzer stream_chunks_fuzzer make_bmp_seeds

rm -rf "$build/seeds" "$build/corpus" "$build/stream-corpus" "$build/findings"
mkdir -p "$build/seeds" "$build/corpus" "$build/stream-corpus" "$build/findings"
"$build/make_bmp_seeds" "$build/seeds"

# Earlier findings first: each must now pass.
if compgen -G "fuzz/regressions/*.bmp" >/dev/null; then
  "$build/tone_bmp_fuzzer" -runs=0 fuzz/regressions/*.bmp
  "$build/stream_chunks_fuzzer" -runs=0 fuzz/regressions/*.bmp
fi

# Two thirds of the time to the file conversion, a third to the stream.
seconds=${FUZZ_SECONDS:-60}
run() {
  local fuzzer=$1 time=$2 corpus=$3 log="$build/$1.log" status=0
  "$build/$fuzzer" \
    -max_total_time="$time" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -dict=fuzz/bmp.dict -artifact_prefix="$build/findings/" -print_final_stats=1 \
    "$corpus" "$build/seeds" >"$log" 2>&1 || status=$?
  grep -E '^stat::number_of_executed_units|^Done [0-9]+ runs' "$log" || true
  if [ "$status" -ne 0 ] || compgen -G "$build/findings/*" >/dev/null; then
    tail -n 60 "$log"
    echo "fuzz: $fuzzer FAILED (exit $status); inputs kept in $build/findings/" >&2
    exit 1
  fi
}
run tone_bmp_fuzzer $((seconds * 2 / 3)) "$build/corpus"
run stream_chunks_fuzzer $((seconds / 3)) "$build/stream-corpus"
echo "fuzz: clean"
