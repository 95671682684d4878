#!/usr/bin/env bash
# What the program and install tests need beyond the base image: pkg-config
# for the consumer test (the Debian package is pkgconf).
set -euo pipefail
if ! command -v pkg-config >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pkgconf
fi
