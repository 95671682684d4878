#!/usr/bin/env bash
# The whole test suite under AddressSanitizer (with leak checks) and
# UndefinedBehaviorSanitizer; any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset asan
