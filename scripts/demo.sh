#!/usr/bin/env bash
# TEV32 in one command: installs what is missing, builds the library and tevmail, makes a test CA, starts a real
# SMTP server (aiosmtpd: STARTTLS required, then AUTH) and a real POP3 server (Dovecot: `ssl = required`, STLS on
# its POP3 port and implicit TLS on a pop3s port) on 127.0.0.1, sends a message with HTML, an alternative plain
# text, an inline image and a binary attachment (STARTTLS, AUTH CRAM-MD5), lists it (STLS, APOP), fetches it back
# over implicit TLS, decodes it, checks that both attachments arrived byte for byte, deletes it, shows the TLS
# protocol and cipher of each session, and stops the servers.
#
#   ./scripts/demo.sh [--out DIR] [--tevmail PATH]
#
#   --out DIR       where the results go (default build/demo/results)
#   --tevmail PATH  use this tevmail instead of building one (installs and builds nothing but the servers)
#
# Needs root (or password-less sudo) the first time, to install packages; Dovecot runs as root on loopback.
# Exit status 0 when every check passed; 77 when the mail servers cannot run here and --tevmail was given (the
# test suite then reports the demo as skipped; set TEV_REQUIRE_REAL_SERVERS=1 to fail instead).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
real=$top/tests/support/real
out=$top/build/demo/results
tevmail=""

usage() {
    sed -n '9,12p' "$0" | sed 's/^# \{0,1\}//'
}

while [ $# -gt 0 ]; do
    case $1 in
        --out) [ $# -ge 2 ] || { usage >&2; exit 2; }; out=$2; shift 2 ;;
        --tevmail) [ $# -ge 2 ] || { usage >&2; exit 2; }; tevmail=$2; shift 2 ;;
        -h|--help) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
done

step() { printf '==> %s\n' "$*"; }
die() {
    printf 'demo: FAILED: %s\n' "$*" >&2
    exit 1
}
# Without servers a test run skips the demo; run by hand, it fails.
cannot_run() {
    printf 'demo: %s\n' "$*" >&2
    if [ -n "$tevmail" ] && [ "${TEV_REQUIRE_REAL_SERVERS:-0}" != 1 ]; then
        exit 77
    fi
    exit 1
}

began=$SECONDS
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# ---- 1. Packages ----
if [ -z "$tevmail" ]; then
    need=()
    for tool in cmake:cmake g++:g++ ninja:ninja-build openssl:openssl; do
        command -v "${tool%%:*}" >/dev/null 2>&1 || need+=("${tool#*:}")
    done
    [ -f /usr/include/openssl/ssl.h ] || need+=(libssl-dev)
    if [ ${#need[@]} -gt 0 ]; then
        step "installing ${need[*]}"
        "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
        "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
    fi
fi
if ! "$real/install_servers.sh" --check; then
    step "installing the mail servers (aiosmtpd, Dovecot)"
    "$real/install_servers.sh" || cannot_run "the mail servers could not be installed"
fi
[ "$(id -u)" -eq 0 ] || cannot_run "Dovecot's private instance needs root (run the demo as root)"
command -v openssl >/dev/null 2>&1 || cannot_run "the openssl command is missing (apt-get install openssl)"

# ---- 2. Build ----
if [ -z "$tevmail" ]; then
    build=$top/build/demo
    step "building TEV32 and tevmail in build/demo"
    mkdir -p "$build"
    if ! { cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEV_SANITIZE=OFF \
               -DTEV_BUILD_TESTS=OFF && cmake --build "$build" -j "$(nproc)"; } >"$build/demo-build.log" 2>&1; then
        tail -n 40 "$build/demo-build.log" >&2
        die "the build failed (log: $build/demo-build.log)"
    fi
    tevmail=$build/tools/tevmail
fi
[ -x "$tevmail" ] || die "no tevmail at $tevmail"

# ---- 3. Servers on loopback, in a scratch directory; stopped whatever happens ----
work=$(mktemp -d /tmp/tevdemo.XXXXXX)
smtp_pid=""
stop_servers() {
    if [ -n "$smtp_pid" ]; then
        kill "$smtp_pid" 2>/dev/null || true
        wait "$smtp_pid" 2>/dev/null || true
        smtp_pid=""
    fi
    if [ -n "$work" ]; then
        "$real/dovecot.sh" stop "$work" || true
        rm -rf "$work"
        work=""
    fi
}
trap stop_servers EXIT
trap 'echo "demo: interrupted" >&2; exit 130' INT TERM HUP

user=demo
password="Demo-$RANDOM$RANDOM"

step "making a test CA and the servers' certificate (openssl)"
sh "$real/make_test_ca.sh" "$work/certs" || die "the test certificates could not be made"
ca=$work/certs/ca.pem

step "starting aiosmtpd (STARTTLS required) and Dovecot (STLS and pop3s) on 127.0.0.1"
/usr/bin/python3 "$real/smtp_server.py" "$work" "$user" "$password" --owner-pid $$ --tls-dir "$work/certs" \
    >"$work/smtp.ports" 2>"$work/smtp.log" </dev/null &
smtp_pid=$!
smtp_port=""
for _ in $(seq 150); do
    read -r word _ _ rest <"$work/smtp.ports" 2>/dev/null || true
    if [ "${word:-}" = PORTS ]; then
        for entry in $rest; do
            [ "${entry%%=*}" = starttls ] && smtp_port=${entry#*=}
        done
        break
    fi
    kill -0 "$smtp_pid" 2>/dev/null || break
    sleep 0.1
done
[ -n "$smtp_port" ] || { cat "$work/smtp.log" >&2; die "aiosmtpd did not start with STARTTLS"; }

free_port() {
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
pop3_port=""
pop3s_port=""
for _ in 1 2 3; do  # a free port may be taken by someone else before Dovecot binds it: try others
    port=$(free_port)
    tls_port=$(free_port)
    [ "$port" != "$tls_port" ] || continue
    if "$real/dovecot.sh" start --tls "$work/certs" "$tls_port" "$work" "$port" "$user" "$password" $$ \
        2>"$work/dovecot.err"; then
        pop3_port=$port
        pop3s_port=$tls_port
        break
    fi
done
[ -n "$pop3_port" ] || { cat "$work/dovecot.err" >&2; die "Dovecot did not start"; }

# ---- 4. What we send ----
sent=$out/sent
received=$out/received
mkdir -p "$out"
rm -rf "$sent" "$received" "$out/send.log" "$out/list.log" "$out/fetch.log" "$out/list.txt"
mkdir -p "$sent" "$received/attachments"

cat >"$sent/message.html" <<'HTML'
<html>
<body>
<h1>Hello from TEV32</h1>
<p>This message was composed and sent by <b>tevmail</b>, fetched back over POP3 and decoded by the same library.</p>
<p>The picture below is an inline image, carried in the message itself:</p>
<p><img src="cid:message-root.1" alt="TEV32 logo"></p>
<p>The file <i>data.bin</i> is attached.</p>
</body>
</html>
HTML
alt_text="Hello from TEV32. This is the plain-text alternative of an HTML message; it has an inline image \
and a binary attachment."

# A small GIF drawn here (uncompressed LZW: a clear code before the code table would grow).
/usr/bin/python3 - "$sent/logo.gif" <<'PY'
import struct, sys
w, h = 96, 32
palette = bytearray()
for i in range(256):
    palette += bytes((i, 96 + i * 159 // 255, 255 - i))
pixels = []
for y in range(h):
    for x in range(w):
        edge = x < 2 or y < 2 or x >= w - 2 or y >= h - 2
        pixels.append(0 if edge else (x * 255) // (w - 1))
codes, clear, end = [], 256, 257
for i, p in enumerate(pixels):
    if i % 250 == 0:
        codes.append(clear)
    codes.append(p)
codes.append(end)
bits, nbits, data = 0, 0, bytearray()
for c in codes:
    bits |= c << nbits
    nbits += 9
    while nbits >= 8:
        data.append(bits & 0xFF)
        bits >>= 8
        nbits -= 8
if nbits:
    data.append(bits & 0xFF)
blocks = bytearray()
for i in range(0, len(data), 255):
    chunk = data[i:i + 255]
    blocks += bytes((len(chunk),)) + chunk
gif = b"GIF89a" + struct.pack("<HHBBB", w, h, 0xF7, 0, 0) + palette
gif += b"," + struct.pack("<HHHHB", 0, 0, w, h, 0) + bytes((8,)) + blocks + b"\x00;"
open(sys.argv[1], "wb").write(gif)
PY
head -c 262144 /dev/urandom >"$sent/data.bin"

export TEVMAIL_PASSWORD=$password  # keeps the password out of the command lines below

# The line of a trace that names the session's TLS protocol and cipher ("TLS: TLSv1.3 TLS_AES_256_GCM_SHA384").
tls_of() {
    grep -m1 -E '^TLS: TLSv[0-9.]+ ' "$1" | sed 's/^TLS: //; s/\r$//'
}

# ---- 5. Send: EHLO, STARTTLS (the default with a password), EHLO again, AUTH CRAM-MD5, MIME ----
step "sending with tevmail (SMTP 127.0.0.1:$smtp_port, STARTTLS, AUTH)"
"$tevmail" send --server "127.0.0.1:$smtp_port" --cafile "$ca" --user "$user" \
    --from "TEV32 Demo <demo@tev.test>" --to "Demo Reader <reader@tev.test>" \
    --subject "TEV32 demo: HTML, inline image, attachment" --header "X-Demo: scripts/demo.sh" \
    --html --text-file "$sent/message.html" --alt-text "$alt_text" \
    --attach "$sent/logo.gif" --attach "$sent/data.bin" --trace "$out/send.log" \
    || die "tevmail send failed (trace: $out/send.log)"
grep -q "AUTH CRAM-MD5 ok" "$out/send.log" || die "the send did not authenticate with CRAM-MD5 (trace: $out/send.log)"
send_tls=$(tls_of "$out/send.log") || die "the send was not encrypted (trace: $out/send.log)"
/usr/bin/python3 - "$out/send.log" <<'PY' || die "the AUTH exchange did not follow the TLS handshake (trace: $out/send.log)"
import sys
log = open(sys.argv[1], encoding="latin-1").read()
tls, auth = log.find("\nTLS: TLSv"), log.find("\nS: AUTH ")
sys.exit(0 if 0 <= tls < auth else 1)
PY
echo "    STARTTLS: $send_tls"

# ---- 6. List (STLS, the default with a password) and fetch back over implicit TLS (pop3s), with APOP ----
step "listing the mailbox with tevmail (POP3 127.0.0.1:$pop3_port, STLS, APOP)"
"$tevmail" list --server "127.0.0.1:$pop3_port" --cafile "$ca" --user "$user" --apop --trace "$out/list.log" \
    >"$out/list.txt" || die "tevmail list failed (trace: $out/list.log)"
list_tls=$(tls_of "$out/list.log") || die "the list was not encrypted (trace: $out/list.log)"
echo "    STLS: $list_tls"
sed 's/^/    /' "$out/list.txt"
grep -q "TEV32 demo" "$out/list.txt" || die "the message is not in the mailbox"

step "fetching and decoding message 1 (POP3 127.0.0.1:$pop3s_port, implicit TLS, APOP)"
"$tevmail" fetch --server "127.0.0.1:$pop3s_port" --tls --cafile "$ca" --user "$user" --apop --number 1 \
    --out "$received" --attachments "$received/attachments" --trace "$out/fetch.log" >"$work/fetch.out" \
    || die "tevmail fetch failed (trace: $out/fetch.log)"
grep -q "^S: APOP " "$out/fetch.log" || die "the fetch did not log in with APOP (trace: $out/fetch.log)"
fetch_tls=$(tls_of "$out/fetch.log") || die "the fetch was not encrypted (trace: $out/fetch.log)"
echo "    implicit TLS: $fetch_tls"
"$tevmail" fetch --server "127.0.0.1:$pop3s_port" --tls --cafile "$ca" --user "$user" --apop --number 1 --raw \
    --out "$received" >/dev/null || die "tevmail fetch --raw failed"

# ---- 7. Checks ----
step "checking what came back"
for name in logo.gif data.bin; do
    [ -f "$received/attachments/$name" ] || die "$name was not saved (fetch said: $(cat "$work/fetch.out"))"
    cmp "$sent/$name" "$received/attachments/$name" || die "$name differs from what was sent"
done
grep -q "Hello from TEV32" "$received/message-1.txt" || die "the HTML text is not in message-1.txt"
grep -q "plain-text alternative" "$received/message-1.txt" || die "the alternative text is not in message-1.txt"
structure=$(/usr/bin/python3 - "$received/message-1.eml" <<'PY'
import email, email.policy, sys
msg = email.message_from_bytes(open(sys.argv[1], "rb").read(), policy=email.policy.default)
def walk(part, depth):
    name = part.get_filename()
    cid = part.get("Content-ID")
    extra = (" " + name if name else "") + (" " + cid if cid else "")
    print("    " + "  " * depth + part.get_content_type() + extra)
    if part.is_multipart():
        for sub in part.iter_parts():
            walk(sub, depth + 1)
walk(msg, 0)
PY
) || die "Python's email package cannot parse the message"
grep -q "image/gif logo.gif <message-root.1>" <<<"$structure" || die "the inline image is not a part of its own"

# ---- 8. Delete, so the mailbox is as we found it ----
step "deleting it"
"$tevmail" delete --server "127.0.0.1:$pop3_port" --cafile "$ca" --user "$user" --apop --all >/dev/null \
    || die "tevmail delete failed"
left=$("$tevmail" list --server "127.0.0.1:$pop3s_port" --tls --cafile "$ca" --user "$user" --apop) \
    || die "tevmail list failed"
[ "$left" = "no messages" ] || die "the mailbox still holds: $left"

stop_servers
size=$(wc -c <"$received/message-1.eml")
cat <<REPORT

TEV32 demo passed in $((SECONDS - began)) s.
  sent       SMTP, STARTTLS ($send_tls), AUTH CRAM-MD5: HTML with alternative text,
             inline image logo.gif ($(wc -c <"$sent/logo.gif") bytes), attachment data.bin ($(wc -c <"$sent/data.bin") bytes)
  listed     POP3, STLS ($list_tls), APOP
  fetched    POP3, implicit TLS ($fetch_tls), APOP: message 1, $size bytes,
             as Python's email package sees it:
$structure
  checked    logo.gif and data.bin came back byte for byte (cmp); then the message was deleted
  results    $out
               received/message-1.txt         the decoded message (HTML and alternative text)
               received/attachments/logo.gif  the inline image
               received/attachments/data.bin  the attachment
               received/message-1.eml         the message as the server held it (tevmail fetch --raw)
               sent/                          what was sent
               send.log, list.log, fetch.log  the library's trace logs (each names its TLS protocol and cipher)
  The servers have been stopped.
REPORT
