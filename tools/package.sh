#!/usr/bin/env bash
# Builds the programs (Release) and writes the Debian packages hosp-client and hospd into
# build/packages/, for administrators to install with apt-get install ./FILE.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DHOSP_BUILD_BENCH=OFF
cmake --build build-release --target package_files
rm -rf build/packages
cpack --config build-release/CPackConfig.cmake -B build/packages
rm -rf build/packages/_CPack_Packages
ls -l build/packages/*.deb
