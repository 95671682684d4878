#!/usr/bin/env bash
# The core library's ABI against the baseline in module/abi/: the exported
# symbols with their versions (nm -D), which the Debian symbols file must
# list too, and the calls' types as abidw (Debian: abigail-tools) reads them
# from the debugging information, restricted to bmpv.h. A removed, changed
# or new call fails; a deliberate change is recorded with --update.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! dpkg -s abigail-tools >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends abigail-tools
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
  install -m 644 "$symbols" "$baseline/libbmpvintage.symbols"
  install -m 644 "$abi" "$baseline/libbmpvintage.abi"
  exit 0
fi
fail=0
diff -u "$baseline/libbmpvintage.symbols" "$symbols" || fail=1
# The Debian symbols file: the same (the version node itself as NODE@NODE).
diff -u <(grep -o '^ [^ ]*@[^ ]*' cmake/debian/core-symbols.in | tr -d ' ' | sort) \
  <(awk '{ if (!sub("@@", "@")) $0 = $0 "@" $0; print }' "$symbols" | sort) || fail=1
# abidiff's status: 4 a change, 8 one it knows breaks callers. A changed
# parameter type is only 4, so any change fails.
abidiff "$baseline/libbmpvintage.abi" "$abi" || fail=1
if [ "$fail" = 1 ]; then
  echo "abi: libbmpvintage differs from $baseline or cmake/debian/core-symbols.in" \
    "(a break needs a new SONAME; a deliberate change: .ci/abi.sh --update)"
  exit 1
fi
echo "abi: $(wc -l <"$symbols") symbols and their types as in $baseline"
