#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the unit
# and end-to-end tests with the fuzz corpus replay, then the same again under
# AddressSanitizer and UndefinedBehaviorSanitizer in a second build folder.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=${QP_JOBS:-2}

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure --timeout 600 -j"$jobs")

# The applet's widgets add little to what the sanitizers can find in the
# service and take long to build instrumented; its logic runs in the first
# pass. QP_SKIP_SANITIZE=1 skips this pass (a quick local run).
if [ "${QP_SKIP_SANITIZE:-0}" != 1 ]; then
  QP_SANITIZE_CMAKE_ARGS="-DQP_BUILD_APPLET=OFF" scripts/sanitize.sh asan
fi
