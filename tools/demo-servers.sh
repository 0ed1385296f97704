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

# certificate_fingerprint CERT: the SHA-256 fingerprint of a PEM certificate, as the key
# "Fingerprint" of Hosp.ini takes it.
certificate_fingerprint() {
  openssl x509 -noout -fingerprint -sha256 -in "$1" | cut -d= -f2
}

# write_hosp_ini DIR [FINGERPRINT [PUBLIC_KEY]]: the client's configuration, beside its
# executable in DIR; with a fingerprint the data server is pinned, with a public key (a file
# name in DIR) only signed builds are installed.
write_hosp_ini() {
  {
    printf '[DataServer]\nIP=127.0.0.1\nPort=%s\n' "$data_port"
    [ -n "${2:-}" ] && printf 'Fingerprint=%s\n' "$2"
    printf '\n[FunctionServer]\nIP=127.0.0.1\nPort=%s\n' "$function_port"
    [ -n "${3:-}" ] && printf '\n[Update]\nPublicKey=%s\n' "$3"
    true
  } > "$1/Hosp.ini"
}
