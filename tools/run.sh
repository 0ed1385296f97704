#!/usr/bin/env bash
# The main job: builds the servers and the client, starts the reference servers on their demo data
# and runs the client against them; the servers stop when the client exits. The client
# runs with both trust features on: the demo server is pinned by its fingerprint, and only
# builds signed with the demo key are installed.
#
#   tools/run.sh            # the demo
#   tools/run.sh --update   # first publish the fresh build, signed, as a newer version: the
#                           # client verifies and installs it, restarts, and shows the login
set -euo pipefail
cd "$(dirname "$0")/.."
update=no
case "${1:-}" in
  "") ;;
  --update) update=yes ;;
  *) echo "usage: tools/run.sh [--update]" >&2; exit 2 ;;
esac
tools/deps.sh
. tools/demo-servers.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Only the demo's programs: the tests and benchmarks are tools/test.sh's to build.
cmake --build build --target hospd hospctl Pellomarquin

data=${HOSP_DATA:-$PWD/demo-data}
[ -f "$data/hosp.db" ] || build/server/hospd --init-demo "$data"
# The demo's signing key pair, beside (never inside) the data folder the server offers.
keys=${HOSP_KEYS:-$PWD/demo-keys}
if [ ! -f "$keys/publisher.key" ]; then
  mkdir -p "$keys"
  rm -f "$keys/publisher.pem"
  build/tools/hospctl/hospctl keygen "$keys/publisher.key" "$keys/publisher.pem"
fi

ports=$(mktemp)
server=""
xvfb=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -f "$ports"
}
trap cleanup EXIT
start_hospd build/server/hospd "$data" "$ports"
echo "Servers: data (TLS) on 127.0.0.1:$data_port, function on 127.0.0.1:$function_port"

# The client reads Hosp.ini beside itself and may replace itself on update:
# run a copy in a folder of its own.
run=$PWD/build/run
mkdir -p "$run"
cp -f build/src/app/Pellomarquin.exe "$run/Pellomarquin.exe"
cp -f "$keys/publisher.pem" "$run/publisher.pem"
write_hosp_ini "$run" "$(certificate_fingerprint "$data/server.crt")" publisher.pem

if [ "$update" = yes ]; then
  # Dates travel with two seconds' resolution: the running copy is made a minute older,
  # so that the build published now is the newer one.
  touch -d "@$(( $(date +%s) - 60 ))" "$run/Pellomarquin.exe"
  build/server/hospd publish build/src/app/Pellomarquin.exe --key "$keys/publisher.key" --data "$data"
fi

if [ -z "${DISPLAY:-}" ]; then
  # Our own X server (not xvfb-run), so that it outlives a client that restarts itself.
  for n in $(seq 99 120); do [ -e "/tmp/.X11-unix/X$n" ] || break; done
  echo "No display: running the client unseen on Xvfb :$n." >&2
  Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp 2>/dev/null &
  xvfb=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
fi

# Processes running the client from the run folder: the one we start, and after a
# self-update the new build it started in its place.
clients_running() {
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/exe" 2>/dev/null)" = "$run/Pellomarquin.exe" ] && return 0
  done
  return 1
}

"$run/Pellomarquin.exe" || true
sleep 1
while clients_running; do sleep 1; done
