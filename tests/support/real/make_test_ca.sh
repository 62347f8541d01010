#!/bin/sh
# Makes the certificates of the TLS tests with the openssl command (P-256 keys: fast to make):
#   make_test_ca.sh DIR
#     DIR/ca.pem                     the test CA (trust this one: the library's CA file parameter)
#     DIR/good.pem, good.key         signed by the CA for IP:127.0.0.1, IP:::1, DNS:localhost
#     DIR/wronghost.pem, .key        signed by the CA, for DNS:other.tev.test only
#     DIR/expired.pem, .key          signed by the CA, valid 2020-01-01 to 2020-02-01 only, for the good names
#     DIR/unknownca.pem, .key        for the good names, signed by another CA (DIR/other-ca.pem) nobody trusts
# Every .pem holds the server certificate; the keys are unencrypted. Exits non-zero on any failure.
set -eu

[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
dir=$1
mkdir -p "$dir"
cd "$dir"
umask 077

good_names="subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost"

# A self-signed CA: make_ca NAME SUBJECT
make_ca() {
    openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -sha256 -days 3650 \
        -subj "$2" -keyout "$1.key" -out "$1.pem" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

# A key and a signing request: make_request NAME SUBJECT
make_request() {
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -sha256 \
        -subj "$2" -keyout "$1.key" -out "$1.csr" 2>/dev/null
}

# A server certificate from a request: sign NAME CA SUBJECT_ALT_NAMES
sign() {
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n%s\n' \
        "$3" >"$1.ext"
    openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -sha256 -days 3650 \
        -extfile "$1.ext" -out "$1.pem" 2>/dev/null
}

make_ca ca "/CN=TEV Test CA"
make_ca other-ca "/CN=TEV Unknown CA"

make_request good "/CN=localhost"
sign good ca "$good_names"

make_request wronghost "/CN=other.tev.test"
sign wronghost ca "subjectAltName=DNS:other.tev.test"

make_request unknownca "/CN=localhost"
sign unknownca other-ca "$good_names"

# The expired certificate needs a start date in the past, which only `openssl ca` can set.
make_request expired "/CN=localhost"
mkdir -p ca-db
: >ca-db/index.txt
echo 1000 >ca-db/serial
cat >ca-db/ca.cnf <<EOF
[ ca ]
default_ca = test_ca
[ test_ca ]
database = ca-db/index.txt
serial = ca-db/serial
new_certs_dir = ca-db
certificate = ca.pem
private_key = ca.key
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
x509_extensions = server
[ any ]
commonName = supplied
[ server ]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
$good_names
EOF
openssl ca -batch -notext -config ca-db/ca.cnf -startdate 20200101000000Z -enddate 20200201000000Z \
    -in expired.csr -out expired.pem 2>/dev/null

rm -f ./*.csr ./*.ext ./*.srl
# The servers read the keys as root or as the user that made them; the certificates are public.
chmod 644 ./*.pem
