/* Fetches the first message of a POP3 mailbox with TEV32, driving the library itself: with auto-call off a call
 * only prepares its operation, and the application runs it with tevDriver, one short step per call, free to do
 * other work between the steps (here it only counts them).
 *
 *     example_fetch SERVER PORT USER PASSWORD DIR
 *
 * The readable text goes to DIR/message-1.txt, every attachment to a file of its own in DIR. */
#define _POSIX_C_SOURCE 200809L
#include <tev32.h>

#include <stdio.h>
#include <stdlib.h>
#include <poll.h>

static long steps;

/* Sleeps until channel 0 has something to do: in poll() on its socket for what the library says it waits for
 * (1 readable, 2 writable), at most TEV_STAT_WAIT_MS ms; events 0 with ms 0 mean "call tevDriver again now". */
static void waitForChannel(void) {
    int32_t events = tevStatistics(0, TEV_STAT_WAIT_EVENTS);
    int32_t ms = tevStatistics(0, TEV_STAT_WAIT_MS);
    struct pollfd entry;
    if (events == 0 && ms == 0) return;
    entry.fd = tevStatistics(0, TEV_STAT_SOCKET);
    entry.events = events == 1 ? POLLIN : POLLOUT;
    entry.revents = 0;
    poll(events != 0 ? &entry : NULL, events != 0 ? 1 : 0, ms != 0 ? (int)ms : -1);
}

/* Runs the prepared operation to its end: 0 when done, a negative TEV_E_* code when it failed. */
static int32_t run(int32_t started) {
    int32_t rc = started, previous = 0;
    if (rc != 0) return rc; /* the call's own argument checks failed */
    while ((rc = tevDriver(0)) > 0) {
        ++steps;
        /* 9999: waiting for a timer or the socket; the same state again: maybe waiting for the reply */
        if (rc == 9999 || rc == previous) waitForChannel();
        previous = rc;
    }
    return rc;
}

static int fail(const char *what, int32_t code) {
    char text[512];
    tevErrorText(0, code, text, (int32_t)sizeof text);
    fprintf(stderr, "%s failed: %s (%d)\n", what, text, (int)code);
    tevRelease();
    return 1;
}

int main(int argc, char **argv) {
    char *end = NULL;
    char saved[1100];
    long port;
    int32_t rc, count;

    if (argc != 6) {
        fprintf(stderr, "usage: %s SERVER PORT USER PASSWORD DIR\n", argv[0]);
        return 2;
    }
    port = strtol(argv[2], &end, 10);
    if (*end != '\0' || port < 1 || port > 65535) {
        fprintf(stderr, "bad port %s\n", argv[2]);
        return 2;
    }

    rc = tevAttach(1);
    if (rc != 1) {
        fprintf(stderr, "tevAttach failed (%d)\n", (int)rc);
        return 1;
    }
    tevIntegerParam(0, TEV_AUTO_CALL, 0);
    tevIntegerParam(0, TEV_POP3_PORT, (int32_t)port);

    rc = run(tevPop3Connect(0, argv[1], argv[3], argv[4]));
    if (rc < 0) return fail("login", rc);

    rc = run(tevGetEmailCount(0));
    if (rc < 0) return fail("STAT", rc);
    count = tevStatistics(0, TEV_STAT_MESSAGE_COUNT); /* with auto-call off, results are statistics */
    printf("%d message(s)\n", (int)count);

    if (count > 0) {
        rc = run(tevGetEmailFile(0, 1, "message-1.txt", argv[5], argv[5]));
        if (rc < 0) return fail("fetch", rc);
        tevDebug(0, TEV_DEBUG_SAVED_FILES, saved, (int32_t)sizeof saved);
        printf("fetched message 1 (%d bytes) in %ld steps; attachments: %s\n",
               (int)tevStatistics(0, TEV_STAT_TOTAL_READ), steps, saved[0] != '\0' ? saved : "none");
    }

    run(tevClose(0)); /* QUIT */
    tevRelease();
    return 0;
}
