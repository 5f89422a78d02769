#!/bin/sh
# Builds busyumount and its tests, and runs every test. Installs what it lacks.
# Tests that may send a signal run in private PID namespaces of their own.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake make g++ libgtest-dev util-linux
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUSYUMOUNT_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build -j2 --output-on-failure
