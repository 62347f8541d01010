#!/usr/bin/python3
"""Loopback SMTP server for the end-to-end tests, built on aiosmtpd.

Serves two ports on 127.0.0.1 from one process: one offers AUTH PLAIN, LOGIN and CRAM-MD5 (RFC 4954, RFC 4616,
RFC 2195) over plain TCP for one user, the other offers no AUTH. Two more plain TCP ports offer only the newer
mechanisms: SCRAM-SHA-1 and SCRAM-SHA-256 (RFC 5802, RFC 7677) for the user and password, XOAUTH2 and
OAUTHBEARER (RFC 7628) for the user and the OAuth token given with --oauth-token (a wrong token gets the JSON
error challenge, then 535):
    sasl       those four mechanisms
    badsig     the same, but SCRAM's server signature is wrong (a client must refuse the 235 that follows) Every accepted message is stored exactly as
received (dot-stuffing removed, the end-of-data line not included):
    DIR/mail/Maildir/new/<unique>   for the POP3 server (uid/gid 65534, mode 0600 when run as root)
    DIR/received/<n>.eml            for the tests, n = 1, 2, ... in order of acceptance
    DIR/received/<n>.envelope       "MAIL FROM:<a>" then one "RCPT TO:<b>" line per recipient, then "AUTH user"
                                    when the session authenticated
The .eml file appears (by rename) only after the others are complete, and before the 250 reply is sent.
With --tls-dir CERTS (the directory make_test_ca.sh filled) it serves more ports, all with AUTH for the user:
    starttls   STARTTLS offered and required (530 to anything else first), AUTH offered only after it
    offer      STARTTLS offered but not required, AUTH offered in the clear too
    implicit   TLS from the first byte (as port 465), good certificate
    wronghost, expired, unknownca   implicit TLS with the certificate of that name (handshakes fail)
    tls12, tls11   implicit TLS, good certificate, only TLS 1.2 / only TLS 1.1
With --ipv6 the auth port (and with --tls-dir the starttls and implicit ports) are served on ::1 as well, as
auth6, starttls6 and implicit6.
Once every port listens it prints one line on stdout: "PORTS <auth> <noauth>", then " name=<port>" for each
further port. It stops on SIGTERM or SIGINT, and by itself when the process given with --owner-pid is gone, so
a crashed test leaves nothing behind.

Run with Debian's interpreter:
    /usr/bin/python3 smtp_server.py DIR USER PASSWORD [--owner-pid PID] [--tls-dir CERTS] [--ipv6]
                                     [--oauth-token TOKEN]
"""

import argparse
import asyncio
import base64
import hashlib
import hmac
import json
import os
import signal
import socket
import ssl
import sys
import time
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

# The mechanisms only the "sasl" and "badsig" ports offer, and the older ones those two leave out.
NEWER_MECHANISMS = ["SCRAM-SHA-1", "SCRAM-SHA-256", "XOAUTH2", "OAUTHBEARER"]
OLDER_MECHANISMS = ["CRAM-MD5", "LOGIN", "PLAIN"]

HOSTNAME = "mail.tev.test"
MAILBOX_UID = 65534
MAILBOX_GID = 65534


class TevSMTP(SMTP):
    # The prompts most servers send (aiosmtpd's own are "User Name\0" and "Password\0").
    AuthLoginUsernameChallenge = "Username:"
    AuthLoginPasswordChallenge = "Password:"
    # True on the port whose SCRAM server signature is deliberately wrong.
    bad_signature = False


def own_for_mailbox(path):
    """Hands a file or directory to the mail user when we are allowed to; Dovecot reads as that user."""
    if os.geteuid() == 0:
        os.chown(path, MAILBOX_UID, MAILBOX_GID)


def make_dirs(base):
    received = os.path.join(base, "received")
    os.makedirs(received, exist_ok=True)
    mail = os.path.join(base, "mail")
    os.makedirs(mail, exist_ok=True)
    os.chmod(mail, 0o755)  # the root of the POP3 server's chroot: its mail user must pass through
    maildir = os.path.join(mail, "Maildir")
    for sub in ("", "new", "cur", "tmp"):
        path = os.path.join(maildir, sub)
        os.makedirs(path, mode=0o700, exist_ok=True)
        own_for_mailbox(path)
    return received, maildir


class Handler:
    def __init__(self, base, user, password, token):
        self.received, self.maildir = make_dirs(base)
        self.user = user.encode()
        self.password = password.encode()
        self.token = token.encode()
        self.count = 0

    # ---- authentication ----

    def authenticator(self, server, session, envelope, mechanism, auth_data):
        """Checks PLAIN and LOGIN credentials; a failure must not be 'handled' or no reply is ever sent."""
        if isinstance(auth_data, LoginPassword) and auth_data.login == self.user \
                and auth_data.password == self.password:
            return AuthResult(success=True, auth_data=auth_data)
        return AuthResult(success=False, handled=False)

    async def auth_CRAM__MD5(self, server, args):
        """RFC 2195: challenge, then 'user <hex HMAC-MD5(password, challenge)>'."""
        if len(args) != 1:
            await server.push("501 5.5.2 CRAM-MD5 takes no initial response")
            return AuthResult(success=False, handled=True)
        challenge = "<{}.{}@{}>".format(os.getpid(), time.time_ns(), HOSTNAME).encode()
        response = await server.challenge_auth(challenge)
        if not isinstance(response, bytes):
            return AuthResult(success=False, handled=True)  # '*' or bad base64: already answered
        login, _, digest = response.partition(b" ")
        expected = hmac.new(self.password, challenge, hashlib.md5).hexdigest().encode()
        if login == self.user and hmac.compare_digest(digest, expected):
            return AuthResult(success=True, auth_data=LoginPassword(login, b""))
        return AuthResult(success=False, handled=False)

    async def auth_SCRAM__SHA__1(self, server, args):
        return await self.scram(server, args, "sha1")

    async def auth_SCRAM__SHA__256(self, server, args):
        return await self.scram(server, args, "sha256")

    async def scram(self, server, args, hash_name):
        """RFC 5802 server side: client-first as the initial response, server-first as a 334 challenge, the
        client-final's proof checked against the password, server-final ("v=") as a 334 challenge that the client
        answers with an empty line, then 235. A wrong proof gets 535 at once."""
        if len(args) != 2:
            await server.push("501 5.5.2 SCRAM wants the client-first message as initial response")
            return AuthResult(success=False, handled=True)
        try:
            client_first = base64.b64decode(args[1], validate=True).decode()
        except (ValueError, UnicodeDecodeError):
            await server.push("501 5.5.2 Bad client-first message")
            return AuthResult(success=False, handled=True)
        if not client_first.startswith("n,,"):
            await server.push("501 5.5.2 Channel binding is not supported")
            return AuthResult(success=False, handled=True)
        bare = client_first[3:]
        fields = scram_fields(bare)
        if "n" not in fields or "r" not in fields:
            await server.push("501 5.5.2 Bad client-first message")
            return AuthResult(success=False, handled=True)
        nonce = fields["r"] + base64.b64encode(os.urandom(18)).decode()
        salt = os.urandom(16)
        iterations = 4096
        server_first = "r={},s={},i={}".format(nonce, base64.b64encode(salt).decode(), iterations)
        response = await server.challenge_auth(server_first)
        if not isinstance(response, bytes):
            return AuthResult(success=False, handled=True)
        client_final = response.decode("utf-8", "replace")
        without_proof, _, proof = client_final.rpartition(",p=")
        final_fields = scram_fields(without_proof)
        if final_fields.get("c") != "biws" or final_fields.get("r") != nonce:
            return AuthResult(success=False, handled=False)
        salted = hashlib.pbkdf2_hmac(hash_name, self.password, salt, iterations)
        client_key = hmac.new(salted, b"Client Key", hash_name).digest()
        stored_key = hashlib.new(hash_name, client_key).digest()
        auth_message = ",".join((bare, server_first, without_proof)).encode()
        client_signature = hmac.new(stored_key, auth_message, hash_name).digest()
        expected = bytes(a ^ b for a, b in zip(client_key, client_signature))
        try:
            given = base64.b64decode(proof, validate=True)
        except ValueError:
            given = b""
        if fields["n"].encode() != self.user or not hmac.compare_digest(given, expected):
            return AuthResult(success=False, handled=False)
        server_key = hmac.new(salted, b"Server Key", hash_name).digest()
        signature = hmac.new(server_key, auth_message, hash_name).digest()
        if server.bad_signature:
            signature = bytes([signature[0] ^ 0x01]) + signature[1:]
        answer = await server.challenge_auth("v=" + base64.b64encode(signature).decode())
        if not isinstance(answer, bytes):
            return AuthResult(success=False, handled=True)
        return AuthResult(success=True, auth_data=LoginPassword(self.user, b""))

    async def auth_XOAUTH2(self, server, args):
        """"user=U^Aauth=Bearer T^A^A" as the initial response (or after an empty challenge)."""
        data = await self.oauth_initial(server, args)
        if data is None:
            return AuthResult(success=False, handled=True)
        fields = dict(part.split(b"=", 1) for part in data.split(b"\x01") if b"=" in part)
        return await self.oauth_check(server, data.endswith(b"\x01\x01") and fields.get(b"user") == self.user,
                                      fields.get(b"auth"), b"")

    async def auth_OAUTHBEARER(self, server, args):
        """"n,a=U,^Aauth=Bearer T^A^A" (RFC 7628) as the initial response (or after an empty challenge)."""
        data = await self.oauth_initial(server, args)
        if data is None:
            return AuthResult(success=False, handled=True)
        header, _, rest = data.partition(b"\x01")
        fields = dict(part.split(b"=", 1) for part in rest.split(b"\x01") if b"=" in part)
        well_formed = header == b"n,a=" + self.user + b"," and data.endswith(b"\x01\x01")
        return await self.oauth_check(server, well_formed, fields.get(b"auth"), b"\x01")

    async def oauth_initial(self, server, args):
        if len(args) == 2:
            try:
                return base64.b64decode(args[1], validate=True)
            except ValueError:
                await server.push("501 5.5.2 Can't decode base64")
                return None
        response = await server.challenge_auth("")
        return response if isinstance(response, bytes) else None

    async def oauth_check(self, server, well_formed, auth, dummy):
        """Success for the right token; otherwise the error challenge (base64 JSON, RFC 7628 3.2.2), answered
        with the dummy response (XOAUTH2: empty; OAUTHBEARER: a single 0x01 byte), then 535."""
        if well_formed and auth is not None and hmac.compare_digest(auth, b"Bearer " + self.token):
            return AuthResult(success=True, auth_data=LoginPassword(self.user, b""))
        error = json.dumps({"status": "invalid_token", "schemes": "bearer", "scope": "mail"})
        answer = await server.challenge_auth(error)
        if answer != dummy:
            if isinstance(answer, bytes):
                await server.push("501 5.5.2 Expected the dummy response")
            return AuthResult(success=False, handled=True)  # '*' and bad base64 are answered already
        return AuthResult(success=False, handled=False)

    # ---- delivery ----

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        n = self.count
        content = envelope.original_content

        unique = "{}.P{}Q{}.{}".format(int(time.time()), os.getpid(), n, HOSTNAME)
        tmp_path = os.path.join(self.maildir, "tmp", unique)
        fd = os.open(tmp_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "wb") as f:
            f.write(content)
        os.chmod(tmp_path, 0o600)
        own_for_mailbox(tmp_path)
        os.rename(tmp_path, os.path.join(self.maildir, "new", unique))

        lines = ["MAIL FROM:<{}>".format(envelope.mail_from)]
        lines += ["RCPT TO:<{}>".format(r) for r in envelope.rcpt_tos]
        login = getattr(session.auth_data, "login", None)
        if session.authenticated and isinstance(login, bytes):
            lines.append("AUTH " + login.decode("utf-8", "replace"))
        with open(os.path.join(self.received, "{}.envelope".format(n)), "w") as f:
            f.write("\n".join(lines) + "\n")

        eml = os.path.join(self.received, "{}.eml".format(n))
        with open(eml + ".part", "wb") as f:
            f.write(content)
        os.rename(eml + ".part", eml)
        return "250 2.0.0 Message accepted for delivery"


def scram_fields(text):
    """The "k=v" attributes of a SCRAM message; the first of each name counts."""
    fields = {}
    for part in text.split(","):
        name, equals, value = part.partition("=")
        if equals and len(name) == 1 and name not in fields:
            fields[name] = value
    return fields


def listening_socket(address="127.0.0.1"):
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if family == socket.AF_INET6:
        sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    sock.bind((address, 0))
    sock.listen(16)
    sock.setblocking(False)
    return sock


async def serve(args):
    loop = asyncio.get_running_loop()
    handler = Handler(args.dir, args.user, args.password, args.oauth_token)

    def with_auth():
        return TevSMTP(handler, hostname=HOSTNAME, ident="TEV test server", auth_require_tls=False,
                       authenticator=handler.authenticator, auth_exclude_mechanism=NEWER_MECHANISMS, loop=loop)

    def without_auth():
        # AUTH needs TLS here and TLS is never offered, so EHLO lists no AUTH at all.
        return TevSMTP(handler, hostname=HOSTNAME, ident="TEV test server", loop=loop)

    def with_newer_auth(bad_signature=False):
        def factory():
            smtp = TevSMTP(handler, hostname=HOSTNAME, ident="TEV test server", auth_require_tls=False,
                           authenticator=handler.authenticator, auth_exclude_mechanism=OLDER_MECHANISMS,
                           loop=loop)
            smtp.bad_signature = bad_signature
            return smtp
        return factory

    auth_sock = listening_socket()
    plain_sock = listening_socket()
    servers = [await loop.create_server(with_auth, sock=auth_sock),
               await loop.create_server(without_auth, sock=plain_sock)]
    extra = []  # (name, port)

    async def serve_port(name, factory, address="127.0.0.1", ssl_context=None):
        sock = listening_socket(address)
        servers.append(await loop.create_server(factory, sock=sock, ssl=ssl_context))
        extra.append((name, sock.getsockname()[1]))

    await serve_port("sasl", with_newer_auth())
    await serve_port("badsig", with_newer_auth(bad_signature=True))
    addresses = [("127.0.0.1", "")] + ([("::1", "6")] if args.ipv6 else [])
    if args.ipv6:
        await serve_port("auth6", with_auth, "::1")
    if args.tls_dir:
        good = server_context(args.tls_dir, "good")

        def requiring_starttls():
            return TevSMTP(handler, hostname=HOSTNAME, ident="TEV test server", tls_context=good,
                           require_starttls=True, auth_require_tls=True, authenticator=handler.authenticator,
                           auth_exclude_mechanism=NEWER_MECHANISMS, loop=loop)

        def offering_starttls():
            return TevSMTP(handler, hostname=HOSTNAME, ident="TEV test server", tls_context=good,
                           require_starttls=False, auth_require_tls=False, authenticator=handler.authenticator,
                           auth_exclude_mechanism=NEWER_MECHANISMS, loop=loop)

        for address, suffix in addresses:
            await serve_port("starttls" + suffix, requiring_starttls, address)
            await serve_port("implicit" + suffix, with_auth, address, good)
        await serve_port("offer", offering_starttls)
        for name in ("wronghost", "expired", "unknownca"):
            await serve_port(name, with_auth, ssl_context=server_context(args.tls_dir, name))
        await serve_port("tls12", with_auth, ssl_context=server_context(args.tls_dir, "good", "1.2"))
        await serve_port("tls11", with_auth, ssl_context=server_context(args.tls_dir, "good", "1.1"))

    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        loop.add_signal_handler(sig, stop.set)

    line = "PORTS {} {}".format(auth_sock.getsockname()[1], plain_sock.getsockname()[1])
    print(line + "".join(" {}={}".format(name, port) for name, port in extra), flush=True)

    while not stop.is_set():
        try:
            await asyncio.wait_for(stop.wait(), timeout=1.0)
        except asyncio.TimeoutError:
            pass
        if args.owner_pid and not process_exists(args.owner_pid):
            break

    for server in servers:
        server.close()


def server_context(certs, name, only=None):
    """A server-side TLS context with the certificate NAME.pem and key NAME.key from CERTS: TLS 1.2 or newer, or
    only the version ONLY ("1.2", or "1.1" with the security level lowered so that OpenSSL allows it)."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    if only == "1.2":
        context.maximum_version = ssl.TLSVersion.TLSv1_2
    elif only == "1.1":
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            context.minimum_version = ssl.TLSVersion.TLSv1_1
            context.maximum_version = ssl.TLSVersion.TLSv1_1
    context.load_cert_chain(os.path.join(certs, name + ".pem"), os.path.join(certs, name + ".key"))
    return context


def process_exists(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dir")
    parser.add_argument("user")
    parser.add_argument("password")
    parser.add_argument("--owner-pid", type=int, default=0)
    parser.add_argument("--tls-dir", default="")
    parser.add_argument("--ipv6", action="store_true")
    parser.add_argument("--oauth-token", default="tev-oauth-token")
    args = parser.parse_args()
    os.umask(0o077)
    asyncio.run(serve(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
