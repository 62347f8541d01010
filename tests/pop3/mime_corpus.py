#!/usr/bin/python3
"""Messages the MIME decoder tests did not write, and what Python's email package finds in them.

    mime_corpus.py compose OUTDIR            writes messages composed with the email package (CR LF line ends)
    mime_corpus.py expect OUTDIR MSG...      for each MSG, OUTDIR/<index>/ receives the attachments Python
                                             extracts (file name cut to its last component; a later part of the
                                             same name replaces an earlier one) and OUTDIR/<index>.list one line
                                             "name<TAB>transfer-encoding" per file
Run with Debian's /usr/bin/python3 (standard library only).
"""
import email
import email.charset
import email.header
import email.message
import email.policy
import os
import random
import sys
from email.message import EmailMessage
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText


def write(outdir, name, msg, policy=email.policy.SMTP):
    with open(os.path.join(outdir, name), "wb") as f:
        f.write(msg.as_bytes(policy=policy))


def compose(outdir):
    rnd = random.Random(7)
    blob = bytes(rnd.getrandbits(8) for _ in range(1000))
    big = bytes(rnd.getrandbits(8) for _ in range(300000))
    png = bytes.fromhex("89504e470d0a1a0a0000000d4948445200000001000000010806000000") + bytes(
        rnd.getrandbits(8) for _ in range(200))

    # A text and a base64 attachment.
    m = EmailMessage()
    m["From"], m["To"], m["Subject"] = "ann@example.com", "bob@example.com", "random bytes"
    m.set_content("See the attachment.\n")
    m.add_attachment(blob, maintype="application", subtype="octet-stream", filename="random.bin")
    write(outdir, "01-base64.eml", m)

    # A quoted-printable text attachment and a 7bit one.
    m = EmailMessage()
    m["From"], m["To"], m["Subject"] = "ann@example.com", "bob@example.com", "texts"
    m.set_content("Two texts.\n")
    m.add_attachment("Caf\u00e9 cr\u00e8me = 1 \u20ac\n" + "long line " * 20 + "\nend\n", subtype="plain",
                     charset="utf-8", cte="quoted-printable", filename="notes.txt")
    m.add_attachment("plain ascii\nsecond line\n", subtype="plain", cte="7bit", filename="plain.txt")
    write(outdir, "02-quoted.eml", m)

    # Alternative text and HTML inside mixed, with a large attachment.
    m = EmailMessage()
    m["From"], m["To"], m["Subject"] = "ann@example.com", "bob@example.com", "alternative"
    m.set_content("plain body\n")
    m.add_alternative("<html><body><p>html body</p></body></html>\n", subtype="html")
    m.add_attachment(big, maintype="application", subtype="pdf", filename="report.pdf")
    write(outdir, "03-alternative.eml", m)

    # Related HTML with an inline image, and an attachment.
    m = EmailMessage()
    m["From"], m["To"], m["Subject"] = "ann@example.com", "bob@example.com", "related"
    m.set_content("plain body\n")
    m.add_alternative('<html><body><img src="cid:img1@example.com"></body></html>\n', subtype="html")
    m.get_payload()[1].add_related(png, "image", "png", cid="<img1@example.com>", filename="inline.png",
                                   disposition="inline")
    m.add_attachment(blob[:58], maintype="application", subtype="octet-stream", filename="small.bin")
    write(outdir, "04-related.eml", m)

    # An attached message that carries an attachment of its own.
    inner = EmailMessage()
    inner["From"], inner["To"], inner["Subject"] = "carl@example.com", "ann@example.com", "inner"
    inner.set_content("inner body\n")
    inner.add_attachment(blob[:100], maintype="application", subtype="octet-stream", filename="inner.bin")
    m = EmailMessage()
    m["From"], m["To"], m["Subject"] = "ann@example.com", "bob@example.com", "forward"
    m.set_content("Forwarded message attached.\n")
    m.add_attachment(inner)
    write(outdir, "05-rfc822.eml", m)

    # ISO-8859-1 subjects in Q and B encoding, written before the MIME-Version line as many mailers do.
    for name, encoding in (("06-subject-q.eml", email.charset.QP), ("07-subject-b.eml", email.charset.BASE64)):
        cs = email.charset.Charset("iso-8859-1")
        cs.header_encoding = encoding
        t = email.message.Message()
        t["From"], t["To"] = "ann@example.com", "bob@example.com"
        t["Subject"] = email.header.Header("Caf\u00e9 cr\u00e8me", cs).encode()
        t["MIME-Version"] = "1.0"
        t["Content-Type"] = "text/plain; charset=us-ascii"
        t.set_payload("Body text.\n")
        write(outdir, name, t, email.policy.compat32.clone(linesep="\r\n"))

    # The older classes: mixed with a base64 application part named in Content-Type only.
    outer = MIMEMultipart()
    outer["From"], outer["To"], outer["Subject"] = "ann@example.com", "bob@example.com", "old style"
    outer.attach(MIMEText("body\n"))
    part = MIMEApplication(blob[:300], Name="old.bin")
    outer.attach(part)
    write(outdir, "08-old-style.eml", outer, email.policy.compat32.clone(linesep="\r\n"))


def last_component(name):
    for sep in "\\/:":
        name = name.rsplit(sep, 1)[-1]
    return name


def expect(outdir, messages):
    for index, path in enumerate(messages, 1):
        with open(path, "rb") as f:
            msg = email.message_from_bytes(f.read(), policy=email.policy.compat32)
        target = os.path.join(outdir, str(index))
        os.makedirs(target, exist_ok=True)
        found = {}
        for part in msg.walk():
            if part.is_multipart():
                continue
            try:
                name = part.get_filename()
            except Exception:
                continue
            if not isinstance(name, str):
                continue
            name = last_component(name)
            if name in ("", ".", ".."):
                continue
            try:
                data = part.get_payload(decode=True)
            except Exception:
                continue
            if data is None:
                continue
            with open(os.path.join(target, name), "wb") as f:
                f.write(data)
            found[name] = str(part.get("Content-Transfer-Encoding", "")).strip().lower()
        with open(target + ".list", "w", encoding="utf-8", errors="surrogateescape") as f:
            for name, cte in found.items():
                f.write(name + "\t" + cte + "\n")


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "compose":
        compose(sys.argv[2])
    elif len(sys.argv) >= 3 and sys.argv[1] == "expect":
        expect(sys.argv[2], sys.argv[3:])
    else:
        sys.exit(__doc__)
