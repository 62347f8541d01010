#!/usr/bin/python3
"""Independent judge of a prepared message: compares what was piped into 'tevmail sendmail' with what the server
delivered, both parsed by Python's email package, and prints one verdict a line:

    HEADERS SAME | HEADERS DIFFER <JSON of both lists>   every field but Bcc, in order, values unchanged
    BCC GONE | BCC KEPT                                  the delivered message has no Bcc field
    BODY SAME | BODY DIFFERS <JSON>                      the body bytes, line ends as LF on both sides
    SUBJECT <JSON>                                       the Subject as a reader decodes it
    DEFECTS <n>                                          what the parser found wrong in the delivery

Run with Debian's interpreter: /usr/bin/python3 judge_prepared.py ORIGINAL DELIVERED
"""

import email
import email.policy
import json
import sys


def lf(data):
    return data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")


def fields(message):
    # The values as written, folding included, their line ends as LF.
    return [(name, value.replace("\r\n", "\n")) for name, value in message.raw_items()]


def main():
    if len(sys.argv) != 3:
        sys.stderr.write("usage: judge_prepared.py ORIGINAL DELIVERED\n")
        return 2
    with open(sys.argv[1], "rb") as f:
        original_bytes = f.read()
    with open(sys.argv[2], "rb") as f:
        delivered_bytes = f.read()
    original = email.message_from_bytes(lf(original_bytes), policy=email.policy.compat32)
    delivered = email.message_from_bytes(delivered_bytes, policy=email.policy.compat32)

    expected = [(n, v) for n, v in fields(original) if n.lower() != "bcc"]
    got = fields(delivered)
    out = []
    out.append("HEADERS SAME" if expected == got else "HEADERS DIFFER " + json.dumps([expected, got]))
    out.append("BCC GONE" if delivered.get_all("Bcc") is None else "BCC KEPT")
    want_body = lf(original.get_payload(decode=True) or b"")
    got_body = lf(delivered.get_payload(decode=True) or b"")
    if want_body == got_body:
        out.append("BODY SAME")
    else:
        out.append("BODY DIFFERS " + json.dumps([want_body.decode("latin-1"), got_body.decode("latin-1")]))
    reader = email.message_from_bytes(delivered_bytes, policy=email.policy.default)
    out.append("SUBJECT " + json.dumps(str(reader["Subject"]), ensure_ascii=False))
    out.append("DEFECTS %d" % len(delivered.defects))
    sys.stdout.write("\n".join(out) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
