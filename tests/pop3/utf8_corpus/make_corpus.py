#!/usr/bin/python3
"""Messages in several charsets and transfer encodings as Python's email package writes them, and what Python
reads back from them: the test of UTF-8 fetching compares the decoder's output with these files.

    make_corpus.py [DIR]     (default: the directory of this script)

For each message NN-name.eml (CR LF line ends) it writes
    NN-name.text<K>   the K-th text part that is no attachment, as get_content() gives it (LF line ends)
    NN-name.names     the attachment file names as get_filename() gives them, one a line, cut to their last path
                      component (after the last '\\', '/' or ':'; "noname" when that leaves nothing, "." or "..")
                      and to 128 bytes, a name given before in the same message numbered "name (2).ext"
    NN-name.header    the Subject and From lines with their texts as Python decodes them
The outputs are committed; run again only to change the corpus.  Debian's /usr/bin/python3, standard library.
"""
import email
import email.policy
import os
import sys
from email.message import EmailMessage


def base(subject, sender="Jürgen Groß <j@x.test>"):
    m = EmailMessage()
    m["From"] = sender
    m["To"] = "Zoë <zoe@x.test>"
    m["Subject"] = subject
    return m


def messages():
    out = []
    long_text = "".join("Zeile %d: Grüße aus Köln, 日本語のテキスト, €%d\n" % (i, i) for i in range(40))

    m = base("Grüße 8bit")
    m.set_content("Grüße aus Köln\nÄrger über Öl\n", charset="utf-8", cte="8bit")
    out.append(("01-utf8-8bit", m))

    m = base("日本語 base64")
    m.set_content(long_text, charset="utf-8", cte="base64")
    out.append(("02-utf8-base64", m))

    m = base("quoted UTF-8")
    m.set_content(long_text + "x" * 150 + "é\n", charset="utf-8", cte="quoted-printable")
    out.append(("03-utf8-qp", m))

    m = base("Latin-1 quoted", sender="René <r@x.test>")
    m.set_content("Café crème, garçon!\nÀ bientôt.\n" + "très long " * 12 + "\n", charset="iso-8859-1",
                  cte="quoted-printable")
    out.append(("04-latin1-qp", m))

    m = base("Latin-1 8bit")
    m.set_content("Smørrebrød og æbleskiver\nÜber Straße\n", charset="iso-8859-1", cte="8bit")
    out.append(("05-latin1-8bit", m))

    m = base("ISO-2022-JP 7bit")
    m.set_content("日本語のテキストです。\n二行目、カタカナ。\nlast ascii line\n", charset="iso-2022-jp")
    out.append(("06-iso2022jp-7bit", m))

    m = base("ISO-2022-JP base64")
    m.set_content("".join("%d 行目: 東京と大阪と京都。\n" % i for i in range(30)), charset="iso-2022-jp",
                  cte="base64")
    out.append(("07-iso2022jp-base64", m))

    m = base("KOI8-R", sender="Иван Петров <ivan@x.test>")
    m.set_content("Привет, мир!\nЭто текст в KOI8-R.\n", charset="koi8-r", cte="8bit")
    out.append(("08-koi8r-8bit", m))

    m = base("KOI8-R base64")
    m.set_content("Съешь же ещё этих мягких французских булок, да выпей чаю.\n" * 6, charset="koi8-r",
                  cte="base64")
    out.append(("09-koi8r-base64", m))

    # An alternative text and HTML, and attachments with RFC 2231 names.
    m = base("Résumé attached")
    m.set_content("Hier ist mein Lebenslauf.\nGrüße\n", charset="utf-8", cte="quoted-printable")
    m.add_alternative("<p>Hier ist mein <b>Lebenslauf</b>. Grüße</p>\n", subtype="html", charset="utf-8",
                      cte="base64")
    m.add_attachment(b"%PDF-1.4 resume", maintype="application", subtype="pdf", filename="résumé 2026.pdf")
    m.add_attachment(b"long name", maintype="application", subtype="octet-stream",
                     filename="Überlange Dateinamen werden in mehreren Abschnitten übertragen "
                              "und müssen wieder zusammengesetzt werden – 2026.txt")
    m.add_attachment(b"japanese", maintype="application", subtype="octet-stream", filename="請求書 2026年.xlsx")
    m.add_attachment(b"path", maintype="application", subtype="octet-stream", filename="../../etc/pässwd")
    m.add_attachment("Text als Anhang: Grüße\n", subtype="plain", charset="utf-8", filename="notiz.txt")
    out.append(("10-alternative-rfc2231", m))

    # Two attachments of one name, and a name longer than 128 bytes.
    m = base("same names")
    m.set_content("Zwei Berichte.\n")
    m.add_attachment(b"first", maintype="application", subtype="pdf", filename="Bericht März.pdf")
    m.add_attachment(b"second", maintype="application", subtype="pdf", filename="Bericht März.pdf")
    m.add_attachment(b"third", maintype="application", subtype="pdf", filename="Bericht März.pdf")
    m.add_attachment(b"long", maintype="application", subtype="octet-stream", filename="ä" * 80 + ".bin")
    out.append(("11-same-names", m))

    # A Latin-1 text after a KOI8-R one in one message: each part its own charset.
    m = base("two charsets")
    m.make_mixed()
    a = EmailMessage()
    a.set_content("Erster Teil: Größe\n", charset="iso-8859-1", cte="8bit")
    b = EmailMessage()
    b.set_content("Второй раздел\n", charset="koi8-r", cte="quoted-printable")
    m.attach(a)
    m.attach(b)
    out.append(("12-two-charsets", m))
    return out


def cut_name(name):
    for sep in "\\/:":
        name = name.rsplit(sep, 1)[-1]
    if name in ("", ".", ".."):
        name = "noname"
    raw = name.encode("utf-8")[:128]
    return raw.decode("utf-8", errors="ignore")


def number_name(name, used):
    if name not in used:
        return name
    stem, dot, ext = name.rpartition(".")
    if not dot or not stem:
        stem, ext = name, ""
    else:
        ext = "." + ext
    copy = 2
    while "%s (%d)%s" % (stem, copy, ext) in used:
        copy += 1
    return "%s (%d)%s" % (stem, copy, ext)


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, msg in messages():
        data = msg.as_bytes(policy=email.policy.SMTP)
        with open(os.path.join(outdir, name + ".eml"), "wb") as f:
            f.write(data)
        parsed = email.message_from_bytes(data, policy=email.policy.default)
        texts, names, used = [], [], set()
        for part in parsed.walk():
            if part.is_multipart():
                continue
            filename = part.get_filename()
            if filename is not None:
                n = number_name(cut_name(filename), used)
                used.add(n)
                names.append(n)
            elif part.get_content_maintype() == "text":
                texts.append(part.get_content().replace("\r\n", "\n"))
        for k, text in enumerate(texts, 1):
            with open(os.path.join(outdir, "%s.text%d" % (name, k)), "wb") as f:
                f.write(text.encode("utf-8"))
        with open(os.path.join(outdir, name + ".header"), "wb") as f:
            f.write(("Subject: %s\nFrom: %s\n" % (parsed["Subject"], parsed["From"])).encode("utf-8"))
        with open(os.path.join(outdir, name + ".names"), "wb") as f:
            f.write("".join(n + "\n" for n in names).encode("utf-8"))


if __name__ == "__main__":
    main()
