#!/usr/bin/env bash
# The Python package: Debian's packages, the README's install into a venv,
# then its tests (the calls against the native program, mypy, and the Dask
# cluster runs with a worker killed) with pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
pkgs=(python3-venv python3-pip python3-dev python3-setuptools python3-pybind11 python3-numpy
  python3-pil python3-dask python3-distributed python3-fsspec python3-pytest python3-mypy openssl)
need=()
for pkg in "${pkgs[@]}"; do dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg"); done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
source .ci/native-program.sh
venv=$(mktemp -d)
trap 'rm -rf "$venv"' EXIT
# Debian's interpreter, whatever else is first on the PATH.
/usr/bin/python3 -m venv --system-site-packages "$venv/.venv"
"$venv/.venv/bin/pip" install --no-build-isolation ./python
# From another folder, so the tests import the installed package.
cd python/tests
status=0
"$venv/.venv/bin/python" -m pytest -p no:cacheprovider -q -rs . || status=$?
# 5: no test ran, which must not pass for a run of them.
[ "$status" -eq 0 ] || { echo "pytest exited with $status"; exit 1; }
