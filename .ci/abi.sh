#!/usr/bin/env bash
# The core library's ABI against the baseline stored in module/abi/:
#  - libbmpvintage.symbols: the exported symbols with their versions
#    (nm -D), exactly; the Debian symbols file must list the same;
#  - libbmpvintage.abi: the calls' types as abidw (Debian: abigail-tools)
#    reads them from the debugging information, restricted to bmpv.h;
#    abidiff fails on a removed or changed call, or any other change.
# The library is built with debugging information in build/abi.
#   .ci/abi.sh            check
#   .ci/abi.sh --update   write a new baseline (after a deliberate change)
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
for pkg in abigail-tools binutils; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

build=build/abi
baseline=module/abi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target bmpvintage_shared -j2 >/dev/null
lib=$(readlink -f "$build/libbmpvintage.so.1")

symbols=$(mktemp)
abi=$(mktemp)
trap 'rm -f "$symbols" "$abi"' EXIT
nm -D --defined-only --with-symbol-versions "$lib" | awk '{print $3}' | sort >"$symbols"
abidw --no-corpus-path --no-comp-dir-path --headers-dir module --header-file module/bmpv.h \
  --drop-private-types --exported-interfaces-only --out-file "$abi" "$lib"

if [ "${1:-}" = --update ]; then
  mkdir -p "$baseline"
  install -m 644 "$symbols" "$baseline/libbmpvintage.symbols"
  install -m 644 "$abi" "$baseline/libbmpvintage.abi"
  echo "abi: baseline written to $baseline"
  exit 0
fi

fail=0
if ! diff -u "$baseline/libbmpvintage.symbols" "$symbols"; then
  echo "abi: the exported symbols differ from $baseline/libbmpvintage.symbols" \
    "(a deliberate change: .ci/abi.sh --update, and cmake/debian/core-symbols.in)"
  fail=1
fi
# The Debian symbols file: the same names and versions (the version node
# itself as NODE@NODE).
if ! diff -u <(grep -o '^ [^ ]*@[^ ]*' cmake/debian/core-symbols.in | tr -d ' ' | sort) \
  <(awk '{ if (!sub("@@", "@")) $0 = $0 "@" $0; print }' "$symbols" | sort); then
  echo "abi: cmake/debian/core-symbols.in lists other symbols than the library exports"
  fail=1
fi
set +e
abidiff "$baseline/libbmpvintage.abi" "$abi"
status=$?
set -e
# abidiff's status is a bit field: 4 a change, 8 one it knows breaks
# callers. A changed parameter type is only 4, so any change fails: a new
# call goes into the baseline with --update, deliberately.
if [ "$status" -ne 0 ]; then
  echo "abi: abidiff found changes (status $status): a break needs a new SONAME"
  fail=1
fi
if [ "$fail" = 0 ]; then
  echo "abi: $(wc -l <"$symbols") symbols and their types as in $baseline"
fi
exit "$fail"
