// The help texts of tevmail and its commands.

#include "help.h"

namespace tevmail {

const char kToolHelp[] =
    "usage: tevmail COMMAND [OPTIONS]\n"
    "\n"
    "Send and read mail with the TEV32 library.\n"
    "\n"
    "Commands:\n"
    "  send     send a message over SMTP (text or HTML, alternative text, attachments, AUTH)\n"
    "  list     list the messages of a POP3 mailbox\n"
    "  fetch    fetch messages over POP3 and decode them into a text file plus attachment files\n"
    "  delete   delete messages from a POP3 mailbox\n"
    "  verify   check the syntax of e-mail addresses (no network)\n"
    "  config   'config check' prints the account the other commands would use (no secrets)\n"
    "\n"
    "Run 'tevmail COMMAND --help' for the options of a command; 'tevmail --version' shows the tool and library\n"
    "versions and whether TLS is built in; 'man tevmail' has more.\n"
    "Passwords may come from the environment variable TEVMAIL_PASSWORD instead of --password.\n"
    "TLS: --tls (implicit, the default on ports 465 and 995), --starttls (required; the default of a command that\n"
    "sends a password), --starttls-if-offered, --no-tls; --cafile FILE trusts the CAs in FILE instead of the\n"
    "system's, --insecure accepts any certificate.  A server written [::1]:PORT is an IPv6 address.\n"
    "Accounts: every network command takes --account NAME (else the file's default account) and --config FILE\n"
    "(else $XDG_CONFIG_HOME/tevmail/config or ~/.config/tevmail/config); options given win over the file, and a\n"
    "password still missing comes from ~/.netrc.\n"
    "Exit status: 0 done, 1 failed (the library's or the server's message is printed), 2 usage error,\n"
    "3 a local file could not be read or written, 130 interrupted.\n";

const char kSendHelp[] =
    "usage: tevmail send --server HOST[:PORT] --from ADDR --to LIST [--cc LIST] [--bcc LIST]\n"
    "                    [--subject S] (--text T | --text-file F) [--html] [--alt-text T]\n"
    "                    [--attach PATH[|NAME]]... [--user U [--password P]] [--header \"Name: value\"]...\n"
    "                    [--reply-to ADDR] [--trace FILE] [--timeout SECONDS] [--verbose] [--dry-run]\n"
    "\n"
    "Sends one message over SMTP (port 25 unless given).\n"
    "\n"
    "  --from ADDR          sender; 'Name <a@example.org>' or a bare a@example.org (tevmail adds the <>)\n"
    "  --to, --cc, --bcc    recipient lists as RFC 5322 writes them: addresses separated by ',', each a@x or\n"
    "                       'Name <a@x>'; quoted names may hold commas (\"Doe, John\" <j@x>), comments are\n"
    "                       allowed, groups are not\n"
    "  --text T             the message text; --text-file F reads it from a file ('-' reads standard input)\n"
    "  --html               the text is HTML (multipart/related); attachments named *.gif, *.jpg, *.bmp or\n"
    "                       *.tif become inline images, referenced in the HTML as cid:message-root.1,\n"
    "                       cid:message-root.2, ... in the order they are attached\n"
    "  --alt-text T         plain-text alternative shown by mail readers without HTML (needs --html)\n"
    "  --attach PATH[|NAME] attach a file, optionally under another name; repeat for more files\n"
    "  --user U             authenticate (EHLO, then AUTH CRAM-MD5, LOGIN or PLAIN, whichever the server\n"
    "                       offers first in that order); the password comes from --password or TEVMAIL_PASSWORD;\n"
    "                       when no mechanism can be used, tevmail stops (status 1) and names what was offered\n"
    "  --auth MECH[,MECH]   the mechanisms to use, in order: SCRAM-SHA-256 SCRAM-SHA-1 XOAUTH2 OAUTHBEARER\n"
    "                       CRAM-MD5 LOGIN PLAIN\n"
    "  --oauth-token-file F OAuth 2 access token for XOAUTH2 / OAUTHBEARER (or TEVMAIL_OAUTH_TOKEN)\n"
    "  --header \"N: v\"      add a header line (needs --subject); repeat for more\n"
    "  --reply-to ADDR      add a Reply-To header\n"
    "  --trace FILE         write the library's trace log (it holds the AUTH exchange: keep it private)\n"
    "  --timeout SECONDS    give up on a silent server after this long (default 25, connect 60)\n"
    "  --verbose            report each step on standard error\n"
    "  --tls                TLS from the first byte (the default on ports 465 and 995)\n"
    "  --starttls           STARTTLS required (needs --user); the default with --user, so the password never\n"
    "                       goes out in the clear\n"
    "  --starttls-if-offered  STARTTLS when the server offers it, else go on in the clear (needs --user)\n"
    "  --no-tls             no TLS at all, even with a password\n"
    "  --cafile FILE        trust the CA certificates in FILE (PEM) instead of the system's\n"
    "  --insecure           accept any server certificate (the trace says so)\n"
    "  --dry-run            send nothing: print the envelope (MAIL FROM and RCPT TO lines), a blank line and\n"
    "                       the complete message as a server would receive it (LF line ends); needs no\n"
    "                       --server, connects only to a listener of its own on 127.0.0.1\n";

const char kListHelp[] =
    "usage: tevmail list --server HOST[:PORT] --user U [--password P] [--apop] [--number N | --all]\n"
    "                    [--trace FILE] [--timeout SECONDS] [--verbose]\n"
    "\n"
    "Lists the messages of a POP3 mailbox (port 110 unless given): number, size in bytes, sender and subject.\n"
    "\n"
    "  --apop               log in with APOP instead of USER/PASS (the password never crosses the wire)\n"
    "  --number N           list message N only; --all (the default) lists every message\n"
    "  --tls                TLS from the first byte (the default on port 995)\n"
    "  --starttls           STLS required; the default on other ports than 995, so the\n"
    "                       password never goes out in the clear\n"
    "  --starttls-if-offered  STLS when the server offers it, else go on in the clear\n"
    "  --no-tls             no TLS at all, even with a password\n"
    "  --cafile FILE        trust the CA certificates in FILE (PEM) instead of the system's\n"
    "  --insecure           accept any server certificate (the trace says so)\n";

const char kFetchHelp[] =
    "usage: tevmail fetch --server HOST[:PORT] --user U [--password P] [--apop] (--number N | --all | --new)\n"
    "                     [--out DIR] [--attachments DIR] [--raw] [--number-files] [--delete-after]\n"
    "                     [--trace FILE] [--timeout SECONDS] [--verbose]\n"
    "\n"
    "Fetches messages over POP3 and decodes them: DIR/message-N.txt holds the readable text, each attachment\n"
    "is saved as a file of its own. Messages stay on the server (see 'tevmail delete').\n"
    "\n"
    "  --out DIR            where the message files go (default: the current directory; created if missing)\n"
    "  --attachments DIR    where attachment files go (default: the --out directory)\n"
    "  --raw                save each message undecoded, exactly as the server holds it, as DIR/message-N.eml\n"
    "  --number-files       prefix attachment file names with a running number (1-name, 2-name, ...)\n"
    "  --new                fetch only messages not fetched before (by their UIDL), saved as\n"
    "                       DIR/message-UIDL.txt; the record is kept per mailbox under\n"
    "                       $XDG_STATE_HOME/tevmail/uidl (else ~/.local/state/tevmail/uidl)\n"
    "  --delete-after       delete each message from the server once it is saved (and recorded)\n"
    "  --apop, --number N, --all, the TLS options: as for 'tevmail list'\n";

const char kDeleteHelp[] =
    "usage: tevmail delete --server HOST[:PORT] --user U [--password P] [--apop] (--number N | --all)\n"
    "                      [--trace FILE] [--timeout SECONDS] [--verbose]\n"
    "\n"
    "Deletes messages from a POP3 mailbox. The server removes them when the session ends normally.\n"
    "The TLS options are those of 'tevmail list'.\n";

const char kVerifyHelp[] =
    "usage: tevmail verify ADDRESS...\n"
    "\n"
    "Checks the syntax of each address ('Name <a@example.org>' or a bare a@example.org) without any network\n"
    "access: one '@', and only letters, digits and _ - / . $ & ' between the angle brackets.\n"
    "Exit status 0 when every address is well formed, 1 otherwise.\n";

}  // namespace tevmail
