#!/usr/bin/env bash
# Makes a server NSS database with self-signed certificates for tests:
#   make_nssdb.sh DIR [PINFILE]
#   DIR/nssdb   the database: certificates "Server-Cert" (EC P-256) and
#               "RSA-Cert" (RSA-2048), both for localhost and 127.0.0.1,
#               with their keys; protected by the password in PINFILE when
#               one is given, else by an empty password. The two have
#               different subjects: NSS looks a nickname's certificates up
#               by subject, so a shared one would mix them.
#   DIR/ca.pem  both certificates in PEM, the trust anchors for test clients
# Prints nothing on success; on failure, certutil's output and status 1.
set -euo pipefail
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: make_nssdb.sh DIR [PINFILE]" >&2
  exit 2
fi
dir=$1
db=$dir/nssdb
command -v certutil >/dev/null || { echo "make_nssdb.sh: certutil not found (package libnss3-tools)" >&2; exit 1; }
if [ -e "$db/cert9.db" ]; then
  echo "make_nssdb.sh: $db already holds a database" >&2
  exit 1
fi
mkdir -p "$db"
log=$(mktemp)
trap 'rm -f "$log" "$dir/noise"' EXIT
run() {  # certutil never prompts: stdin is empty
  if ! "$@" </dev/null >"$log" 2>&1; then
    cat "$log" >&2
    echo "make_nssdb.sh: failed: $*" >&2
    exit 1
  fi
}
if [ $# -eq 2 ]; then
  # certutil takes a missing password file for an empty password
  [ -r "$2" ] || { echo "make_nssdb.sh: cannot read $2" >&2; exit 1; }
  pw=(-f "$2")
  run certutil -N -d "sql:$db" -f "$2"
else
  pw=()
  run certutil -N -d "sql:$db" --empty-password
fi
head -c 1024 /dev/urandom >"$dir/noise"
run certutil -S -d "sql:$db" "${pw[@]}" -n Server-Cert -s "CN=localhost" -x -t "CTu,," \
  -k ec -q nistp256 -v 12 --extSAN dns:localhost,ip:127.0.0.1 \
  --keyUsage digitalSignature --extKeyUsage serverAuth -z "$dir/noise"
run certutil -S -d "sql:$db" "${pw[@]}" -n RSA-Cert -s "CN=localhost,OU=RSA" -x -t "CTu,," \
  -k rsa -g 2048 -v 12 --extSAN dns:localhost,ip:127.0.0.1 \
  --keyUsage digitalSignature,keyEncipherment --extKeyUsage serverAuth -z "$dir/noise"
: >"$dir/ca.pem"
for nick in Server-Cert RSA-Cert; do
  run certutil -L -d "sql:$db" -n "$nick" -a
  cat "$log" >>"$dir/ca.pem"
done
