#!/usr/bin/env bash
# Makes client certificates for tests of certificate logins:
#   make_client_certs.sh DIR NSSDB
#   DIR/client-ca.pem   a CA, added to the server database NSSDB as "Client-CA"
#                       with trust for client authentication only ("T,,")
#   DIR/joe.{pem,key}   from that CA: CN=Joe Example, e-mail joe@example.com
#                       (subject alternative name), extended key usage
#                       clientAuth
#   DIR/ann.{pem,key}   from that CA: UID=ann, CN=Ann Example, e-mail
#                       joe@example.com (the UID decides)
#   DIR/rogue.{pem,key} like joe's, from a CA the server does not know
# EC P-256 keys, PEM, unencrypted; valid for 30 days.  NSSDB must have an
# empty password (make_nssdb.sh without a PIN file).
# Prints nothing on success; on failure, the tool's output and status 1.
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: make_client_certs.sh DIR NSSDB" >&2
  exit 2
fi
dir=$1
db=$2
for tool in openssl certutil; do
  command -v $tool >/dev/null || { echo "make_client_certs.sh: $tool not found" >&2; exit 1; }
done
mkdir -p "$dir"
log=$(mktemp)
trap 'rm -f "$log" "$dir"/*.csr "$dir"/ext.cnf' EXIT
run() {
  if ! "$@" </dev/null >"$log" 2>&1; then
    cat "$log" >&2
    echo "make_client_certs.sh: failed: $*" >&2
    exit 1
  fi
}
ca() {  # NAME SUBJECT
  run openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$dir/$1.key" -out "$dir/$1.pem" -days 30 -subj "$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
}
leaf() {  # NAME SUBJECT EMAIL CA
  run openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$dir/$1.key" -out "$dir/$1.csr" -subj "$2"
  printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=clientAuth" "subjectAltName=email:$3" >"$dir/ext.cnf"
  run openssl x509 -req -in "$dir/$1.csr" -CA "$dir/$4.pem" -CAkey "$dir/$4.key" \
    -set_serial "0x$(openssl rand -hex 8)" -days 30 -extfile "$dir/ext.cnf" -out "$dir/$1.pem"
}
ca client-ca "/O=Corvane Test/CN=Client CA"
ca rogue-ca "/O=Somebody Else/CN=Client CA"
leaf joe "/CN=Joe Example" joe@example.com client-ca
leaf ann "/UID=ann/CN=Ann Example" joe@example.com client-ca
leaf rogue "/CN=Joe Example" joe@example.com rogue-ca
run certutil -A -d "sql:$db" -n Client-CA -t "T,," -a -i "$dir/client-ca.pem"
