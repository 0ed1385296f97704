#!/usr/bin/env bash
# The main job: builds everything, starts the reference servers on their demo data
# and runs the client against them; the servers stop when the client exits.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build

hospd=build/server/hospd
client=build/src/app/Pellomarquin.exe
data=${HOSP_DATA:-$PWD/demo-data}

if [ ! -x "$hospd" ]; then
  echo "The reference servers are not built yet; nothing more to run." >&2
  exit 0
fi
[ -f "$data/hosp.db" ] || "$hospd" --init-demo "$data"

ports=$(mktemp)
"$hospd" --data "$data" --data-port 0 --function-port 0 --ports-file "$ports" &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -f "$ports"' EXIT
for _ in $(seq 100); do [ -s "$ports" ] && break; sleep 0.1; done
# shellcheck disable=SC1090
. "$ports"   # data_port=..., function_port=...
echo "Servers: data (TLS) on 127.0.0.1:$data_port, function on 127.0.0.1:$function_port"

if [ ! -x "$client" ]; then
  echo "The client is not built yet; the servers ran and stop now." >&2
  exit 0
fi

# The client reads Hosp.ini beside itself and may replace itself on update:
# run a copy in a folder of its own.
run=$PWD/build/run
mkdir -p "$run"
cp -f "$client" "$run/Pellomarquin.exe"
cat > "$run/Hosp.ini" <<INI
[DataServer]
IP=127.0.0.1
Port=$data_port

[FunctionServer]
IP=127.0.0.1
Port=$function_port
INI

xvfb=""
if [ -z "${DISPLAY:-}" ]; then
  # Our own X server (not xvfb-run), so that it outlives a client that restarts itself.
  for n in $(seq 99 120); do [ -e "/tmp/.X11-unix/X$n" ] || break; done
  echo "No display: running the client unseen on Xvfb :$n." >&2
  Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp 2>/dev/null &
  xvfb=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
fi
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null; rm -f "$ports"' EXIT

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
