#!/usr/bin/env bash
# Renders both windows of the client into docs/screenshots/ (login.png, caselist.png): the real
# windows, logged in as the demo physician against the reference servers on fresh demo data.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/demo-servers.sh

build=${HOSP_BUILD_DIR:-build}
out=docs/screenshots
email=anna.weber@hospital.example
password=demo

if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target hospd hosp_screenshots

work=$(mktemp -d)
server=""
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$build/server/hospd" --init-demo "$work/data" >/dev/null
start_hospd "$build/server/hospd" "$work/data" "$work/ports" "$work/hospd.log"

# The client reads Hosp.ini beside its own executable.
mkdir -p "$work/client" "$out"
cp "$build/src/app/hosp_screenshots" "$work/client/"
write_hosp_ini "$work/client"

QT_QPA_PLATFORM=offscreen "$work/client/hosp_screenshots" "$PWD/$out" "$email" "$password"
echo "Wrote $out/login.png and $out/caselist.png"
