#!/bin/bash
# TEV32 next to its peers, in one sitting, against the same loopback servers: aiosmtpd (SMTP, no AUTH port) and
# Dovecot (POP3, USER/PASS), started from tests/support/real.  Builds the Release tree first, then measures
#   1. a 10 MiB attachment: whole operation (connect, send, close) and the send on an open session;
#   2. fetch + decode + save of that message;
#   3. 200 messages of 2 KiB on one session;
#   4. one small message, process start to exit (tevmail against curl and Python);
#   5. peak resident memory with a 1 MiB and a 10 MiB attachment (send and fetch).
# TEV32 runs as the library (bench/compare_client) and as tevmail; the peers are curl (smtp:// upload with its own
# MIME composer, pop3:// fetch), Python's smtplib/poplib with the email package, and curl + ripmime / munpack.
# Each time is the best of ROUNDS runs; each TEV32 figure is followed by its ratio to the best peer (how many
# times faster; below 1 is slower).  Needs root (Dovecot), the servers installed (tests/support/real/
# install_servers.sh), curl, ripmime, munpack and /usr/bin/time.
#
#     bench/compare.sh [ROUNDS (3)] [BIG_MIB (10)]
set -u

ROUNDS=${1:-3}
BIG_MIB=${2:-10}
SRC=$(cd "$(dirname "$0")/.." && pwd)
SCRIPTS=$SRC/tests/support/real
BUILD=${TEV_BENCH_BUILD:-$SRC/build/rel}
PY=/usr/bin/python3
USER_NAME=tevuser
PASSWORD=tevpass
FROM=bench@example.com
RCPT=bench@tev.test

die() { echo "compare.sh: $*" >&2; exit 1; }

[ "$(id -u)" = 0 ] || die "needs root (the Dovecot instance runs its logins as nobody)"
"$SCRIPTS/install_servers.sh" --check || die "servers missing: run $SCRIPTS/install_servers.sh"
for tool in curl ripmime munpack /usr/bin/time; do
    command -v "$tool" >/dev/null || die "$tool is not installed"
done

echo "== building (Release) in $BUILD"
cmake -S "$SRC" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null || die "configure failed"
nice cmake --build "$BUILD" -j2 --target compare_client tevmail >/dev/null || die "build failed"
CLIENT=$BUILD/bench/compare_client
TEVMAIL=$BUILD/tools/tevmail

WORK=$(mktemp -d /tmp/tevcompare.XXXXXX) || die "no temporary directory"
chmod 755 "$WORK"
SMTP_PID=""
cleanup() {
    [ -n "$SMTP_PID" ] && kill "$SMTP_PID" 2>/dev/null
    /bin/bash "$SCRIPTS/dovecot.sh" stop "$WORK/srv" >/dev/null 2>&1
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------- servers

mkdir -p "$WORK/srv" "$WORK/files" "$WORK/out"
"$PY" "$SCRIPTS/smtp_server.py" "$WORK/srv" "$USER_NAME" "$PASSWORD" --owner-pid $$ >"$WORK/smtp.ports" 2>"$WORK/smtp.log" &
SMTP_PID=$!
for _ in $(seq 100); do
    grep -q '^PORTS ' "$WORK/smtp.ports" 2>/dev/null && break
    sleep 0.1
done
read -r _ _ SMTP_PORT _ <"$WORK/smtp.ports" || die "aiosmtpd did not start: $(tail -3 "$WORK/smtp.log")"
[ -n "${SMTP_PORT:-}" ] || die "aiosmtpd did not start: $(tail -3 "$WORK/smtp.log")"
POP3_PORT=$("$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
/bin/bash "$SCRIPTS/dovecot.sh" start "$WORK/srv" "$POP3_PORT" "$USER_NAME" "$PASSWORD" $$ || die "Dovecot did not start"
MAILDIR=$WORK/srv/mail/Maildir
echo "== aiosmtpd on 127.0.0.1:$SMTP_PORT, Dovecot on 127.0.0.1:$POP3_PORT; best of $ROUNDS"

# Empties the mailbox and the copies the SMTP server keeps (so many large sends do not fill the disk).
empty_mailbox() {
    find "$MAILDIR/new" "$MAILDIR/cur" "$WORK/srv/received" -type f -delete 2>/dev/null
    rm -f "$MAILDIR"/dovecot* 2>/dev/null
}

# ---------------------------------------------------------------- inputs

make_file() {  # PATH MIB: pseudo-random bytes
    head -c "$(( $2 * 1024 * 1024 ))" /dev/urandom >"$1"
}
BIG=$WORK/files/big.bin
SMALL=$WORK/files/small.bin
make_file "$BIG" "$BIG_MIB"
make_file "$SMALL" 1
TEXT2K=$WORK/files/text2k.txt
"$PY" -c 'import sys; line = "The quick brown fox jumps over the lazy dog, line after line of it.\r\n"
sys.stdout.write((line * 40)[:2048])' >"$TEXT2K"
SMALL_EML=$WORK/files/small.eml
{
    printf 'From: Bench <%s>\r\nTo: <%s>\r\nSubject: small\r\n\r\n' "$FROM" "$RCPT"
    cat "$TEXT2K"
} >"$SMALL_EML"

cat >"$WORK/py_send.py" <<'EOF'
# Python peer: compose with the email package (base64 attachment) and send with smtplib.
#   py_send.py whole|open PORT FILE    ms of connect+send+quit, or of the send alone
#   py_send.py many PORT COUNT TEXTFILE
import smtplib, sys, time
from email.message import EmailMessage
mode, port = sys.argv[1], int(sys.argv[2])
def message(text, attachment=None):
    m = EmailMessage()
    m["From"], m["To"], m["Subject"] = "Bench <bench@example.com>", "<bench@tev.test>", "compare"
    m.set_content(text)
    if attachment:
        with open(attachment, "rb") as f:
            m.add_attachment(f.read(), maintype="application", subtype="octet-stream", filename="big.bin")
    return m
start = time.monotonic()
s = smtplib.SMTP("127.0.0.1", port)
if mode == "many":
    text = open(sys.argv[4]).read()
    for _ in range(int(sys.argv[3])):
        s.send_message(message(text))
else:
    if mode == "open":
        start = time.monotonic()
    s.send_message(message("One attachment.", sys.argv[3]))
    if mode == "open":
        print("%.1f" % ((time.monotonic() - start) * 1000)); s.quit(); sys.exit(0)
s.quit()
print("%.1f" % ((time.monotonic() - start) * 1000))
EOF
cat >"$WORK/py_fetch.py" <<'EOF'
# Python peer: fetch message N with poplib, parse it with the email package, save text and attachments.
#   py_fetch.py PORT USER PASSWORD N DIR
import email, email.policy, os, poplib, sys, time
port, user, password, number, out = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]
start = time.monotonic()
p = poplib.POP3("127.0.0.1", port)
p.user(user); p.pass_(password)
_, lines, _ = p.retr(number)
p.quit()
m = email.message_from_bytes(b"\r\n".join(lines), policy=email.policy.default)
for part in m.walk():
    if part.is_multipart():
        continue
    name = part.get_filename()
    data = part.get_payload(decode=True) or b""
    with open(os.path.join(out, os.path.basename(name) if name else "message.txt"), "wb") as f:
        f.write(data)
print("%.1f" % ((time.monotonic() - start) * 1000))
EOF

# ---------------------------------------------------------------- timing

LOG=$WORK/errors.log
# Runs a command; prints its wall-clock milliseconds (process start to exit).
wall_ms() {
    local t0 t1
    t0=$(date +%s%N)
    "$@" >/dev/null 2>>"$LOG" || { echo "FAIL"; return 1; }
    t1=$(date +%s%N)
    awk -v d=$(( t1 - t0 )) 'BEGIN { printf "%.1f", d / 1e6 }'
}
# Runs a command that prints its own milliseconds as the last word of its output.
own_ms() {
    local out
    out=$("$@" 2>>"$LOG") || { echo "FAIL"; return 1; }
    echo "$out" | tail -1 | awk '{ print $NF }'
}
# best HOW [AFTER] -- COMMAND...: the smallest of ROUNDS figures (HOW is wall_ms or own_ms; AFTER runs after
# each round).
best() {
    local how=$1 after=$2 value best="" i
    shift 3
    for i in $(seq "$ROUNDS"); do
        value=$("$how" "$@")
        [ -n "$after" ] && $after
        [ "$value" = "FAIL" ] && { echo "FAIL"; return; }
        best=$(awk -v a="$value" -v b="$best" 'BEGIN { print (b == "" || a + 0 < b + 0) ? a : b }')
    done
    echo "$best"
}

# report TITLE UNIT ENTRY...; an ENTRY is "tev|NAME|VALUE" or "peer|NAME|VALUE".  Smaller is better; each TEV32
# figure gets best-peer / value.
report() {
    local title=$1 unit=$2
    shift 2
    echo
    echo "$title"
    printf '%s\n' "$@" | awk -F'|' -v unit="$unit" '
        { kind[NR] = $1; name[NR] = $2; value[NR] = $3
          if ($1 == "peer" && $3 != "FAIL" && (best == "" || $3 + 0 < best + 0)) { best = $3; bestName = $2 } }
        END {
          for (i = 1; i <= NR; ++i) {
            line = sprintf("  %-28s %10s %s", name[i], value[i], unit)
            if (kind[i] == "tev" && value[i] != "FAIL" && best != "" && value[i] + 0 > 0)
              line = line sprintf("   %.2fx the best peer (%s)", best / value[i], bestName)
            print line
          }
        }'
}

CURL_SEND=(curl -sS --url "smtp://127.0.0.1:$SMTP_PORT" --mail-from "$FROM" --mail-rcpt "$RCPT")
# curl composes the message itself: a text part and the file as a base64 part.
curl_attach() {  # FILE [more curl options]
    "${CURL_SEND[@]}" -H "Subject: compare" -F "=One attachment.;type=text/plain" -F "=@$1;encoder=base64" "${@:2}"
}
# The DATA phase alone: total minus the time until the transfer began (connect, EHLO, MAIL, RCPT done).
curl_attach_open() {
    curl_attach "$1" -w '%{time_pretransfer} %{time_total}\n' -o /dev/null |
        awk '{ printf "%.1f\n", ($2 - $1) * 1000 }'
}

# ---------------------------------------------------------------- 1. sending the large attachment

E=()
E+=("tev|TEV32 library|$(best own_ms empty_mailbox -- "$CLIENT" send-whole "$SMTP_PORT" "$BIG")")
E+=("tev|tevmail|$(best wall_ms empty_mailbox -- "$TEVMAIL" send --server "127.0.0.1:$SMTP_PORT" --from "$FROM" \
    --to "$RCPT" --subject compare --text "One attachment." --attach "$BIG" --no-tls)")
E+=("peer|curl|$(best wall_ms empty_mailbox -- curl_attach "$BIG")")
E+=("peer|Python smtplib|$(best own_ms empty_mailbox -- "$PY" "$WORK/py_send.py" whole "$SMTP_PORT" "$BIG")")
report "$BIG_MIB MiB attachment, whole operation (connect, compose, send, close)" ms "${E[@]}"

E=()
E+=("tev|TEV32 library|$(best own_ms empty_mailbox -- "$CLIENT" send-open "$SMTP_PORT" "$BIG")")
E+=("peer|curl (DATA phase)|$(best own_ms empty_mailbox -- curl_attach_open "$BIG")")
E+=("peer|Python smtplib|$(best own_ms empty_mailbox -- "$PY" "$WORK/py_send.py" open "$SMTP_PORT" "$BIG")")
report "$BIG_MIB MiB attachment on an open session (the send alone)" ms "${E[@]}"

# ---------------------------------------------------------------- 2. fetch, decode, save

empty_mailbox
"$CLIENT" send-whole "$SMTP_PORT" "$BIG" >/dev/null || die "could not store the large message"
"$CLIENT" send-whole "$SMTP_PORT" "$SMALL" >/dev/null || die "could not store the 1 MiB message"
fresh_out() { rm -rf "$WORK/out"; mkdir -p "$WORK/out"; }
curl_fetch() {  # N DECODER
    curl -sS "pop3://127.0.0.1:$POP3_PORT/$1" -u "$USER_NAME:$PASSWORD" -o "$WORK/out/msg.eml" || return 1
    case $2 in
        ripmime) ripmime -i "$WORK/out/msg.eml" -d "$WORK/out" ;;
        munpack) (cd "$WORK/out" && munpack -q -f msg.eml >/dev/null) ;;
    esac
}
fresh_out
E=()
E+=("tev|TEV32 library|$(best own_ms fresh_out -- "$CLIENT" fetch "$POP3_PORT" "$USER_NAME" "$PASSWORD" 1 "$WORK/out")")
E+=("tev|tevmail|$(best wall_ms fresh_out -- "$TEVMAIL" fetch --server "127.0.0.1:$POP3_PORT" --user "$USER_NAME" \
    --password "$PASSWORD" --no-tls --number 1 --out "$WORK/out" --attachments "$WORK/out")")
E+=("peer|curl + ripmime|$(best wall_ms fresh_out -- curl_fetch 1 ripmime)")
E+=("peer|curl + munpack|$(best wall_ms fresh_out -- curl_fetch 1 munpack)")
E+=("peer|Python poplib + email|$(best own_ms fresh_out -- "$PY" "$WORK/py_fetch.py" "$POP3_PORT" "$USER_NAME" \
    "$PASSWORD" 1 "$WORK/out")")
report "Fetch + decode + save of the $BIG_MIB MiB attachment (connect to close)" ms "${E[@]}"
echo "  (TEV32 library, the fetch alone on an open session: $(best own_ms fresh_out -- "$CLIENT" fetch-open \
    "$POP3_PORT" "$USER_NAME" "$PASSWORD" 1 "$WORK/out") ms)"

# ---------------------------------------------------------------- 5a. peak memory while fetching

# Peak resident KiB of a command (/usr/bin/time %M).
peak_kib() {
    /usr/bin/time -f '%M' -o "$WORK/rss" "$@" >/dev/null 2>>"$LOG" || { echo "FAIL"; return; }
    tail -1 "$WORK/rss"
}
memory_row() {  # NAME COMMAND-FOR-1-MIB -- COMMAND-FOR-BIG (each a function name and its arguments)
    local name=$1 small big
    small=$(eval "peak_kib $2")
    big=$(eval "peak_kib $3")
    printf '  %-28s %8s KiB with 1 MiB, %8s KiB with %s MiB\n' "$name" "$small" "$big" "$BIG_MIB"
}
echo
echo "Peak resident memory, fetch + decode + save (1 MiB message 2, $BIG_MIB MiB message 1)"
memory_row "TEV32 library" "'$CLIENT' fetch $POP3_PORT $USER_NAME $PASSWORD 2 '$WORK/out'" \
    "'$CLIENT' fetch $POP3_PORT $USER_NAME $PASSWORD 1 '$WORK/out'"
memory_row "curl (fetch)" "curl -sS pop3://127.0.0.1:$POP3_PORT/2 -u $USER_NAME:$PASSWORD -o '$WORK/out/m2.eml'" \
    "curl -sS pop3://127.0.0.1:$POP3_PORT/1 -u $USER_NAME:$PASSWORD -o '$WORK/out/m1.eml'"
memory_row "ripmime (decode)" "ripmime -i '$WORK/out/m2.eml' -d '$WORK/out'" "ripmime -i '$WORK/out/m1.eml' -d '$WORK/out'"
memory_row "Python poplib + email" "'$PY' '$WORK/py_fetch.py' $POP3_PORT $USER_NAME $PASSWORD 2 '$WORK/out'" \
    "'$PY' '$WORK/py_fetch.py' $POP3_PORT $USER_NAME $PASSWORD 1 '$WORK/out'"
fresh_out
empty_mailbox

# ---------------------------------------------------------------- 5b. peak memory while sending

echo
echo "Peak resident memory, send with a 1 MiB and a $BIG_MIB MiB attachment"
memory_row "TEV32 library" "'$CLIENT' send-whole $SMTP_PORT '$SMALL'" "'$CLIENT' send-whole $SMTP_PORT '$BIG'"
CURL_MIME="${CURL_SEND[*]} -H 'Subject: compare' -F '=One attachment.;type=text/plain'"
memory_row "curl" "$CURL_MIME -F '=@$SMALL;encoder=base64'" "$CURL_MIME -F '=@$BIG;encoder=base64'"
memory_row "Python smtplib" "'$PY' '$WORK/py_send.py' whole $SMTP_PORT '$SMALL'" \
    "'$PY' '$WORK/py_send.py' whole $SMTP_PORT '$BIG'"
empty_mailbox

# ---------------------------------------------------------------- 3. many small messages on one session

CURL_MANY=$WORK/files/many.curlrc
: >"$CURL_MANY"
for i in $(seq 200); do
    [ "$i" -gt 1 ] && echo "next" >>"$CURL_MANY"
    printf 'url = "smtp://127.0.0.1:%s"\nmail-from = "%s"\nmail-rcpt = "%s"\nupload-file = "%s"\nsilent\nshow-error\n' \
        "$SMTP_PORT" "$FROM" "$RCPT" "$SMALL_EML" >>"$CURL_MANY"
done
E=()
E+=("tev|TEV32 library|$(best own_ms empty_mailbox -- "$CLIENT" send-many "$SMTP_PORT" 200 2048)")
E+=("peer|curl (one process, reused connection)|$(best wall_ms empty_mailbox -- curl -K "$CURL_MANY")")
E+=("peer|Python smtplib|$(best own_ms empty_mailbox -- "$PY" "$WORK/py_send.py" many "$SMTP_PORT" 200 "$TEXT2K")")
report "200 messages of 2 KiB on one session" ms "${E[@]}"

# ---------------------------------------------------------------- 4. one small message, process start to exit

SAVED_ROUNDS=$ROUNDS
ROUNDS=$(( ROUNDS * 3 ))
E=()
E+=("tev|tevmail|$(best wall_ms empty_mailbox -- "$TEVMAIL" send --server "127.0.0.1:$SMTP_PORT" --from "$FROM" \
    --to "$RCPT" --subject small --text-file "$TEXT2K" --no-tls)")
E+=("peer|curl|$(best wall_ms empty_mailbox -- "${CURL_SEND[@]}" -T "$SMALL_EML")")
E+=("peer|Python smtplib (interpreter included)|$(best wall_ms empty_mailbox -- "$PY" "$WORK/py_send.py" many \
    "$SMTP_PORT" 1 "$TEXT2K")")
report "One 2 KiB message, process start to exit (best of $ROUNDS)" ms "${E[@]}"
ROUNDS=$SAVED_ROUNDS

if [ -s "$LOG" ]; then
    echo
    echo "Messages of failed runs:"
    sed 's/^/  /' "$LOG" | tail -20
fi
