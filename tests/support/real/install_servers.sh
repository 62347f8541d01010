#!/bin/sh
# Installs the mail servers the end-to-end tests run on loopback: aiosmtpd (SMTP) and Dovecot (POP3).
# Idempotent and silent when everything is present. Exit status: 0 ready, 1 could not install.
#   install_servers.sh          install what is missing
#   install_servers.sh --check  only report (exit 0 when everything is installed, 1 otherwise)
# Installing dovecot-core would start a system Dovecot on ports 110/143; a temporary policy-rc.d that exits 101
# keeps every service down during the install (an existing one is put back afterwards).

PACKAGES="python3-aiosmtpd dovecot-core dovecot-pop3d libpython3.11-testsuite"
POLICY=/usr/sbin/policy-rc.d

installed() {
    for pkg in $PACKAGES; do
        status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null) || return 1
        [ "$status" = "install ok installed" ] || return 1
    done
    # Debian's interpreter must import the module (another python3 may come first on PATH).
    /usr/bin/python3 -c 'import aiosmtpd' >/dev/null 2>&1 || return 1
    [ -x /usr/sbin/dovecot ] || return 1
    return 0
}

if installed; then
    exit 0
fi
if [ "${1:-}" = "--check" ]; then
    exit 1
fi

# Test programs may call this in parallel: one installs, the others wait and then find everything there.
if command -v flock >/dev/null 2>&1; then
    exec 9>>"/tmp/tev-install-servers.$(id -u).lock"
    flock -w 600 9 || { echo "install_servers.sh: another install holds the lock" >&2; exit 1; }
    if installed; then
        exit 0
    fi
fi

if [ "$(id -u)" = 0 ]; then
    SUDO=""
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    SUDO="sudo -n"
else
    echo "install_servers.sh: need root or password-less sudo to install: $PACKAGES" >&2
    exit 1
fi

LOG=$(mktemp /tmp/tev-install.XXXXXX) || exit 1
BACKUP=""

restore_policy() {
    if [ -n "$BACKUP" ]; then
        $SUDO mv -f "$BACKUP" "$POLICY"
    else
        $SUDO rm -f "$POLICY"
    fi
}

if [ -e "$POLICY" ]; then
    BACKUP="$POLICY.tev-saved.$$"
    $SUDO cp -p "$POLICY" "$BACKUP" || { echo "install_servers.sh: cannot save $POLICY" >&2; exit 1; }
fi
trap 'restore_policy; rm -f "$LOG"' EXIT
trap 'exit 1' INT TERM HUP
printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$POLICY" >/dev/null && $SUDO chmod 755 "$POLICY" || {
    echo "install_servers.sh: cannot write $POLICY" >&2; exit 1; }

apt_install() {
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        -o DPkg::Lock::Timeout=300 -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
        $PACKAGES >>"$LOG" 2>&1
}

# A stale or missing package list is the usual reason for a failed install: refresh once and retry.
if ! apt_install; then
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q >>"$LOG" 2>&1
    apt_install
fi

if installed; then
    exit 0
fi
echo "install_servers.sh: installing $PACKAGES failed:" >&2
tail -n 30 "$LOG" >&2
exit 1
