#!/usr/bin/env bash
# ImageMagick reads the converted files back in the test suite's independent
# check (the ImageMagickReadsTonedBMPs test skips itself without it).
set -euo pipefail
if ! dpkg -s imagemagick >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends imagemagick
fi
