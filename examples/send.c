/* Sends one short message with TEV32, auto-call on (the default): every call runs its operation to the end
 * before it returns.
 *
 *     example_send SERVER PORT FROM TO [USER PASSWORD]
 *     example_send 127.0.0.1 25 "Me <me@example.org>" "You <you@example.org>"
 *
 * Addresses carry their own angle brackets; with USER and PASSWORD the library greets with EHLO and logs in
 * with the first of CRAM-MD5, LOGIN and PLAIN that the server offers. */
#include <tev32.h>

#include <stdio.h>
#include <stdlib.h>

static int fail(const char *what, int32_t code) {
    char text[512];
    tevErrorText(0, code, text, (int32_t)sizeof text); /* the server's reply is appended for -36, -49, -63 */
    fprintf(stderr, "%s failed: %s (%d)\n", what, text, (int)code);
    tevRelease();
    return 1;
}

int main(int argc, char **argv) {
    char *end = NULL;
    long port;
    int32_t rc;

    if (argc != 5 && argc != 7) {
        fprintf(stderr, "usage: %s SERVER PORT FROM TO [USER PASSWORD]\n", argv[0]);
        return 2;
    }
    port = strtol(argv[2], &end, 10);
    if (*end != '\0' || port < 1 || port > 65535) {
        fprintf(stderr, "bad port %s\n", argv[2]);
        return 2;
    }

    rc = tevAttach(1); /* one channel: number 0 */
    if (rc != 1) {
        fprintf(stderr, "tevAttach failed (%d)\n", (int)rc);
        return 1;
    }
    tevIntegerParam(0, TEV_SMTP_PORT, (int32_t)port);
    if (argc == 7) {
        tevIntegerParam(0, TEV_USE_EHLO, 1);
        tevStringParam(0, TEV_AUTH_USER, argv[5]);
        tevStringParam(0, TEV_AUTH_PASSWORD, argv[6]);
    }

    rc = tevSmtpConnect(0, argv[1], argv[3], NULL);
    if (rc < 0) return fail("connect", rc);

    rc = tevSendEmail(0, argv[4], NULL, NULL, "Hello from TEV32",
                      "This message was sent by examples/send.c.\nIt has two lines.", NULL);
    if (rc < 0) return fail("send", rc);

    tevClose(0); /* QUIT */
    tevRelease();
    printf("sent\n");
    return 0;
}
