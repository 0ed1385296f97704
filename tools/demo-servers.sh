# Shell functions shared by the scripts that run the client against the reference servers.
# Source it; it defines functions only.

# start_hospd HOSPD DATA_DIR PORTS_FILE [LOG]: starts hospd on ports the system chooses and
# waits for them; sets `server` (its PID), `data_port` and `function_port`.
start_hospd() {
  local hospd=$1 data=$2 ports=$3 log=${4:-/dev/stderr}
  "$hospd" --data "$data" --data-port 0 --function-port 0 --ports-file "$ports" 2>>"$log" &
  server=$!
  for _ in $(seq 100); do [ -s "$ports" ] && break; sleep 0.1; done
  # shellcheck disable=SC1090
  . "$ports"   # data_port=..., function_port=...
}

# write_hosp_ini DIR: the client's configuration, beside its executable in DIR.
write_hosp_ini() {
  cat > "$1/Hosp.ini" <<INI
[DataServer]
IP=127.0.0.1
Port=$data_port

[FunctionServer]
IP=127.0.0.1
Port=$function_port
INI
}
