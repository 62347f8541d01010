#!/usr/bin/env python3
"""Writes the RETR replies of the decoder's regression corpus (tests/pop3/golden/<case>/reply.txt, before.txt,
options).  The expected output is written by the test itself (TEV_GOLDEN_UPDATE=1) and reviewed by hand."""
import os

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'golden')


def crlf(text):
    return text.replace('\r\n', '\n').replace('\n', '\r\n')


def stuffed(text):
    return ''.join(('.' + line if line.startswith('.') else line) for line in text.splitlines(keepends=True))


def reply(message, status='+OK message follows'):
    return status + '\r\n' + stuffed(crlf(message)) + '.\r\n'


MULTIPART = 'MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary="b"\n\n'
LONG_NAME = 'n' * 120 + '.txt'
HOSTILE = [('../../up.txt', 'one'), ('/etc/abs.txt', 'two'), ('..\\\\..\\\\back.txt', 'three'),
           ('C:drive.txt', 'four'), ('..', 'five')]

CASES = {
    # Later parts of an over-long line are data: never a boundary, a header or a blank line.
    'long-line-parts': reply(MULTIPART + '--b\nContent-Disposition: attachment; filename="long.txt"\n\n'
                             + 'a' * 1023 + '--b\n' + 'b' * 1022 + '\n' + 'c' * 1023
                             + 'Content-Type: text/plain; name="no.txt"\ntail\n--b--\n'),
    # Continuations are joined from whole lines only, unstuffed; the end line is never joined.
    'join-never-takes-end-line': reply('MIME-Version: 1.0\nContent-Type: multipart/mixed;\n boundary="j"\n\n--j\n'
                                       'Content-Type: text/plain;\n.name="dot.txt"\n\nin dot.txt\n--j\n'
                                       'Content-Disposition: attachment;\n'),
    # A join that does not fit the line buffer is cut, leaving room for CR LF and NUL.
    'join-cut-to-fit': reply(MULTIPART + '--b\nContent-Type: text/plain; a=' + 'a' * 900 + ';\n\tb=' + 'b' * 1000
                             + ';\n c=' + 'c' * 1010 + ';\nContent-Disposition: attachment; filename="after.txt"\n'
                             '\nafter\n--b--\n'),
    # A file opened for the top header is closed without a note when the header defines a boundary.
    'top-attachment-dropped-at-boundary': reply('MIME-Version: 1.0\nContent-Disposition: attachment; '
                                                'filename="top.txt"\nContent-Type: multipart/mixed; boundary="t"\n'
                                                '\npreamble\n--t\nContent-Disposition: attachment; '
                                                'filename="part.txt"\n\npart\n--t--\n'),
    # A numbered file name keeps the whole name after its number.
    'numbered-name-kept-whole': reply(MULTIPART + '--b\nContent-Disposition: attachment; filename="' + LONG_NAME
                                      + '"\n\nnumbered\n--b--\n'),
    # A fetch forgets the alternative boundary and inline state of the one before (before.txt).
    'new-fetch-resets-structure': reply('Subject: plain\n\n--ALT\nbody\n'),
    # Received names are cut at '\', '/' and ':'; "." and ".." become "noname".
    'hostile-names': reply(MULTIPART + ''.join('--b\nContent-Disposition: attachment; filename="%s"\n\n%s\n' % h
                                               for h in HOSTILE) + '--b--\n'),
    # Only the status line is kept out of the message file; a message line "+OK" is written.
    'ok-line-kept': reply('Subject: ok\n\n+OK this line is message text\nbye\n'),
    # Every line the server stuffed loses its first '.', whatever its length.
    'dot-unstuffing': reply('Subject: dots\n\n.\n..\n.hidden line\n...three\n. \n'),
}

BEFORE = {
    'new-fetch-resets-structure': reply('MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary="TOP"\n\n'
                                        '--TOP\nContent-Type: multipart/alternative; boundary="ALT"\n\n--ALT\n'
                                        'Content-Disposition: inline\n\nfirst\n', '+OK'),
}

OPTIONS = {'numbered-name-kept-whole': 'number\n'}


def write(path, text):
    with open(path, 'wb') as out:
        out.write(text.encode('latin-1'))


for name, text in CASES.items():
    folder = os.path.join(ROOT, name)
    os.makedirs(folder, exist_ok=True)
    write(os.path.join(folder, 'reply.txt'), text)
    if name in BEFORE:
        write(os.path.join(folder, 'before.txt'), BEFORE[name])
    if name in OPTIONS:
        write(os.path.join(folder, 'options'), OPTIONS[name])
