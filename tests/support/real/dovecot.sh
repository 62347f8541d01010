#!/bin/bash
# A private Dovecot POP3 server on loopback for the end-to-end tests, serving DIR/mail/Maildir (the Maildir the
# test SMTP server delivers into). Nothing is read from /etc/dovecot and no system service is touched.
#   dovecot.sh start [--tls CERTS POP3S_PORT] [--ipv6] DIR PORT USER PASSWORD [OWNER_PID]
#       Writes DIR/dovecot/dovecot.conf, starts the master in the foreground mode as a background process, waits
#       (at most about 15 s) until 127.0.0.1:PORT sends Dovecot's greeting, prints nothing and exits 0; on failure
#       prints the log tail and exits 1 (a port another program holds is such a failure). POP3 logins: USER/PASS and APOP
#       (RFC 1939), and AUTH PLAIN, LOGIN, CRAM-MD5, SCRAM-SHA-1 and SCRAM-SHA-256 (RFC 5034), with the given user
#       and password.
#       With OWNER_PID, a watcher stops the server once that process is gone (a crashed test leaves nothing).
#       --tls: `ssl = required` with CERTS/good.pem and good.key (from make_test_ca.sh), STLS on PORT, implicit
#       TLS (pop3s) on POP3S_PORT. Dovecot counts loopback as secure, so plaintext logins still work on PORT.
#       --ipv6: both ports are served on ::1 as well as on 127.0.0.1.
#   dovecot.sh stop DIR
#       Stops the master and every process it started (pop3 processes outlive the master while a client is
#       connected), waits at most 5 s, then kills what is left. Safe to call twice.
# Runs as root: login processes run as nobody, mail processes as uid/gid 65534 inside a chroot at DIR/mail.

set -u

usage() {
    echo "usage: $0 start [--tls CERTS POP3S_PORT] [--ipv6] DIR PORT USER PASSWORD [OWNER_PID] | stop DIR" >&2
    exit 2
}

DOVECOT=/usr/sbin/dovecot
SELF=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")

# Every process below PID (children, grandchildren ...), one per line.
descendants() {
    local child
    for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do
        echo "$child"
        descendants "$child"
    done
}

alive() {
    kill -0 "$1" 2>/dev/null
}

# True when 127.0.0.1:PORT answers with a Dovecot POP3 greeting within a second.
greets() {
    (
        exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
        line=""
        read -r -t 1 line <&3
        case $line in "+OK Dovecot"*) exit 0;; esac
        exit 1
    ) 2>/dev/null
}

# True when something accepts connections on 127.0.0.1:PORT.
listens() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

stop_server() {
    local dir=$1 state=$1/dovecot master pids pid i
    [ -f "$state/master.pid" ] || return 0
    master=$(cat "$state/master.pid")
    # The watcher goes first, so it does not call us again while we work.
    if [ -f "$state/watcher.pid" ]; then
        pid=$(cat "$state/watcher.pid")
        [ "$pid" != "$$" ] && kill "$pid" 2>/dev/null
        rm -f "$state/watcher.pid"
    fi
    # Only a process that is still our master (not a recycled PID) is stopped.
    if alive "$master" && grep -qF "$state/dovecot.conf" "/proc/$master/cmdline" 2>/dev/null; then
        pids="$master $(descendants "$master")"
        echo $pids >"$state/stopped.pids"
        kill -TERM $pids 2>/dev/null
        # The master lingers for about two seconds after its children are gone; there is nothing of this
        # throw-away instance left to save by then, so it gets no more than a short grace.
        for i in $(seq 50); do
            local left=""
            for pid in $pids; do alive "$pid" && left="$left $pid"; done
            [ -z "$left" ] && break
            [ "$left" = " $master" ] && [ "$i" -ge 3 ] && break
            sleep 0.1
        done
        for pid in $pids; do alive "$pid" && kill -KILL "$pid" 2>/dev/null; done
    fi
    rm -f "$state/master.pid"
    if [ -f "$state/base_dir" ]; then
        local base
        base=$(cat "$state/base_dir")
        case $base in /tmp/tevdc.?*) rm -rf "$base";; esac
        rm -f "$state/base_dir"
    fi
    return 0
}

start_server() {
    local dir port user password owner state base conf i certs="" tls_port=0 addresses=127.0.0.1
    while :; do
        case ${1:-} in
            --tls)
                [ $# -ge 3 ] || usage
                certs=$(cd "$2" 2>/dev/null && pwd) || { echo "dovecot.sh: no directory $2" >&2; return 1; }
                tls_port=$3
                shift 3
                ;;
            --ipv6) addresses="127.0.0.1, ::1"; shift;;
            *) break;;
        esac
    done
    [ $# -ge 4 ] && [ $# -le 5 ] || usage
    dir=$(cd "$1" 2>/dev/null && pwd) || { echo "dovecot.sh: no directory $1" >&2; return 1; }
    port=$2 user=$3 password=$4 owner=${5:-}
    state=$dir/dovecot

    [ -x "$DOVECOT" ] || { echo "dovecot.sh: $DOVECOT is not installed" >&2; return 1; }
    case $port:$tls_port in *[!0-9:]*|:*|*:) echo "dovecot.sh: bad port $port $tls_port" >&2; return 1;; esac
    local ssl_settings="ssl = no" pop3s_ssl=""
    if [ -n "$certs" ]; then
        [ -f "$certs/good.pem" ] && [ -f "$certs/good.key" ] || { echo "dovecot.sh: no good.pem/good.key in $certs" >&2; return 1; }
        ssl_settings="ssl = required
ssl_cert = <$certs/good.pem
ssl_key = <$certs/good.key
ssl_min_protocol = TLSv1.2"
        pop3s_ssl="
    ssl = yes"
    fi
    case $user$password in *:*|*$'\n'*) echo "dovecot.sh: ':' or a line break in user or password" >&2; return 1;; esac

    stop_server "$dir"
    mkdir -p "$state" "$dir/mail/Maildir/new" "$dir/mail/Maildir/cur" "$dir/mail/Maildir/tmp" || return 1
    chmod 755 "$dir/mail"
    # Mail processes run as 65534 and refuse anything else; the chroot keeps DIR's parents out of the question.
    chown 65534:65534 "$dir/mail/Maildir" "$dir/mail/Maildir/new" "$dir/mail/Maildir/cur" "$dir/mail/Maildir/tmp"
    chmod 700 "$dir/mail/Maildir" "$dir/mail/Maildir/new" "$dir/mail/Maildir/cur" "$dir/mail/Maildir/tmp"

    # Its unix sockets must fit in 107 bytes, so the runtime directory is short and lives in /tmp.
    base=$(mktemp -d /tmp/tevdc.XXXXXX) || return 1
    chmod 755 "$base"
    echo "$base" >"$state/base_dir"

    (umask 077; printf '%s:{PLAIN}%s::::::nodelay=yes\n' "$user" "$password" >"$state/passwd")
    conf=$state/dovecot.conf
    cat >"$conf" <<EOF
# Private POP3 instance for tests (generated by dovecot.sh).
instance_name = tev-$(basename "$base")
base_dir = $base
state_dir = $state/state
log_path = $state/dovecot.log
info_log_path = $state/dovecot.log
debug_log_path = $state/dovecot.log

protocols = pop3
listen = $addresses
$ssl_settings
disable_plaintext_auth = no
# apop puts the <timestamp> into the greeting; plain is what USER/PASS uses; the others are POP3 AUTH
# mechanisms (RFC 5034) offered in CAPA's SASL line, computed from the {PLAIN} password.
auth_mechanisms = plain login apop cram-md5 scram-sha-1 scram-sha-256
auth_failure_delay = 0

default_internal_user = root
default_internal_group = root
default_login_user = nobody
first_valid_uid = 1
first_valid_gid = 1
mail_uid = 65534
mail_gid = 65534
mail_chroot = $dir/mail
mail_home = /
mail_location = maildir:/Maildir

passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $state/passwd
}
userdb {
  driver = static
  args = uid=65534 gid=65534 home=/
}

service pop3-login {
  inet_listener pop3 {
    address = $addresses
    port = $port
  }
  inet_listener pop3s {
    address = $addresses
    port = $tls_port$pop3s_ssl
  }
}
# Without this every failed login delays the next logins from 127.0.0.1 by a growing penalty.
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
EOF
    mkdir -p "$state/state"
    : >"$state/dovecot.log"

    setsid "$DOVECOT" -F -c "$conf" </dev/null >>"$state/dovecot.log" 2>&1 &
    local master=$!
    echo "$master" >"$state/master.pid"

    # Ready when the port greets as this Dovecot does; a connect alone could reach another program that holds
    # the port (then Dovecot fails to bind and exits, which is caught here as well).
    local ready=""
    for i in $(seq 150); do
        if ! alive "$master"; then
            break
        fi
        if greets "$port" && { [ "$tls_port" = 0 ] || listens "$tls_port"; }; then
            ready=yes
            break
        fi
        sleep 0.1
    done
    if [ -z "$ready" ]; then
        echo "dovecot.sh: no Dovecot greeting on 127.0.0.1:$port:" >&2
        tail -n 20 "$state/dovecot.log" >&2
        stop_server "$dir"
        return 1
    fi

    if [ -n "$owner" ]; then
        setsid bash -c '
            while kill -0 "$1" 2>/dev/null && kill -0 "$2" 2>/dev/null; do sleep 1; done
            exec "$3" stop "$4"' watcher "$owner" "$master" "$SELF" "$dir" </dev/null >/dev/null 2>&1 &
        echo $! >"$state/watcher.pid"
    fi
    return 0
}

case ${1:-} in
    start)
        shift
        start_server "$@"
        ;;
    stop)
        [ $# -eq 2 ] || usage
        stop_server "$2"
        ;;
    *)
        usage
        ;;
esac
