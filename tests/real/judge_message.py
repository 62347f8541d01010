#!/usr/bin/python3
"""Independent judge of a message the library sent: parses it with Python's email package and prints what a
mail reader would see, one fact per line, in a form a test can compare exactly:

    HEADER <name> <value as JSON>         every top-level header, in order, unfolded by the parser (for Date
                                          only "parsed" or "unparsed": its value differs per run)
    NODE <path> <type> [disposition=<d>] [filename=<JSON>] [cid=<id>]
                                          every part, depth first; paths 1, 1.1, 1.2, 1.2.1 ...
    TEXT <path> <decoded text as JSON>    a text part that is not an attachment: transfer encoding and charset
                                          undone, line ends as they arrived
    FILE <path> <size>                    any other leaf part: its decoded bytes go to OUT_DIR/<path>.bin
    DEFECT <path> <defect class>          anything the parser found wrong

Run with Debian's interpreter: /usr/bin/python3 judge_message.py MESSAGE_FILE OUT_DIR
"""

import email
import email.policy
import json
import os
import sys


def describe(part, path, out, outdir):
    line = "NODE %s %s" % (path, part.get_content_type())
    disposition = part.get_content_disposition()
    if disposition:
        line += " disposition=" + disposition
    filename = part.get_filename()
    if filename is not None:
        line += " filename=" + json.dumps(filename)
    cid = part.get("Content-ID")
    if cid is not None:
        line += " cid=" + str(cid)
    out.append(line)
    for defect in part.defects:
        out.append("DEFECT %s %s" % (path, type(defect).__name__))
    if part.is_multipart():
        for index, sub in enumerate(part.iter_parts(), 1):
            describe(sub, "%s.%d" % (path, index), out, outdir)
    elif part.get_content_maintype() == "text" and disposition != "attachment" and filename is None:
        out.append("TEXT %s %s" % (path, json.dumps(part.get_content())))
    else:
        payload = part.get_payload(decode=True) or b""
        with open(os.path.join(outdir, path + ".bin"), "wb") as f:
            f.write(payload)
        out.append("FILE %s %d" % (path, len(payload)))


def main():
    if len(sys.argv) != 3:
        sys.stderr.write("usage: judge_message.py MESSAGE_FILE OUT_DIR\n")
        return 2
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    message = email.message_from_bytes(data, policy=email.policy.default)
    out = []
    for name, value in message.items():
        if name.lower() == "date":
            # The date differs per run: only whether it parses is compared.
            out.append("HEADER %s %s" % (name, "parsed" if value.datetime is not None else "unparsed"))
            continue
        out.append("HEADER %s %s" % (name, json.dumps(str(value))))
    describe(message, "1", out, sys.argv[2])
    sys.stdout.write("\n".join(out) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
