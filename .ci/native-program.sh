# Sourced by the web stages: sets and exports BMPVINTAGE, the native program
# the web edition is compared with (the test build's where .ci/web.sh or the
# test workflow configured it, else the demo build's), unless already set.
if [ -z "${BMPVINTAGE:-}" ]; then
  if [ -f build/test/CMakeCache.txt ]; then
    build=build/test
  else
    build=build/demo
    cmake --preset demo >/dev/null
  fi
  cmake --build "$build" -j2 --target bmpvintage
  BMPVINTAGE=$PWD/$build/bmpvintage
fi
export BMPVINTAGE
