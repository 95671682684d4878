#!/usr/bin/env bash
# What `cpack -G DEB` and the package tests need beyond the base image:
# dpkg-shlibdeps (Debian: dpkg-dev) for the packages' library dependencies.
# dpkg-deb, which unpacks them in the tests, comes with every Debian system.
set -euo pipefail
if ! command -v dpkg-shlibdeps >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends dpkg-dev
fi
