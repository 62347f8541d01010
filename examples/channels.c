/* Drives many SMTP channels at once from one thread: every channel connects, sends a few messages and closes,
 * with auto-call off, and a single poll() over the channels' sockets sleeps until one of them has something to
 * do. What each channel waits for comes from the library itself: TEV_STAT_WAIT_EVENTS (1 readable, 2 writable,
 * 0 a timer or nothing), TEV_STAT_WAIT_MS (how long at most; with events 0 and ms 0 the driver can run at once)
 * and TEV_STAT_SOCKET (the descriptor to poll).
 *
 *     example_channels SERVER PORT FROM TO [CHANNELS [MESSAGES]]
 *     example_channels 127.0.0.1 2525 "<me@example.org>" "<you@example.org>" 128 20
 *
 * It prints how long the connects, the sends and the closes took and exits 0 when every channel succeeded. */
#define _POSIX_C_SOURCE 200809L
#include <tev32.h>

#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum { kMaxChannels = TEV_MAX_CHANNELS };
enum Phase { kConnecting, kSending, kClosing, kDone, kFailed };

struct Channel {
    enum Phase phase;
    int32_t sent;
    int ready; /* its socket was reported ready by the last poll() */
};

static struct Channel channels[kMaxChannels];
static const char *recipient;
static int32_t messagesPerChannel;

static double seconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

/* Starts the channel's next operation after the last one finished; returns what the starting call returned. */
static int32_t startNext(int32_t ch) {
    struct Channel *c = &channels[ch];
    if (c->phase == kConnecting) c->phase = kSending;
    else if (c->phase == kSending) ++c->sent;
    else if (c->phase == kClosing) {
        c->phase = kDone;
        return 0;
    }
    if (c->sent < messagesPerChannel) {
        char subject[64];
        snprintf(subject, sizeof subject, "Channel %d message %d", (int)ch, (int)c->sent + 1);
        return tevSendEmail(ch, recipient, NULL, NULL, subject, "Sent by examples/channels.c.\nTwo lines.", NULL);
    }
    c->phase = kClosing;
    return tevClose(ch);
}

/* One driver step of a channel, and the next operation when one has finished. */
static void step(int32_t ch) {
    int32_t rc = tevDriver(ch);
    if (rc == 0) rc = startNext(ch);
    if (rc < 0) {
        char text[256];
        tevErrorText(ch, rc, text, (int32_t)sizeof text);
        fprintf(stderr, "channel %d failed in phase %d: %s (%d)\n", (int)ch, (int)channels[ch].phase, text, (int)rc);
        channels[ch].phase = kFailed;
    }
}

/* True when the library says the channel can run a step now (nothing to wait for, or its timer is due). */
static int runnable(int32_t ch) {
    return tevStatistics(ch, TEV_STAT_WAIT_EVENTS) == 0 && tevStatistics(ch, TEV_STAT_WAIT_MS) == 0;
}

/* Runs every channel that is in `phase` until none is left in it. */
static void runPhase(int32_t count, enum Phase phase) {
    static struct pollfd fds[kMaxChannels];
    static int32_t owner[kMaxChannels];
    for (;;) {
        int nfds = 0, timeout = 1000, active = 0;
        int32_t ch;
        for (ch = 0; ch < count; ++ch) {
            int32_t events, ms;
            if (channels[ch].phase != phase) continue;
            ++active;
            events = tevStatistics(ch, TEV_STAT_WAIT_EVENTS);
            ms = tevStatistics(ch, TEV_STAT_WAIT_MS);
            if (events == 0 && ms == 0) {
                timeout = 0;
                continue;
            }
            if (events != 0) {
                fds[nfds].fd = tevStatistics(ch, TEV_STAT_SOCKET);
                fds[nfds].events = events == 1 ? POLLIN : POLLOUT;
                fds[nfds].revents = 0;
                owner[nfds++] = ch;
            }
            if (ms > 0 && ms < timeout) timeout = ms;
        }
        if (active == 0) return;
        if (timeout != 0 || nfds > 0) {
            int i;
            poll(fds, (nfds_t)nfds, timeout);
            for (i = 0; i < nfds; ++i) channels[owner[i]].ready = fds[i].revents != 0;
        }
        for (ch = 0; ch < count; ++ch) {
            if (channels[ch].phase != phase) continue;
            if (channels[ch].ready || runnable(ch)) {
                channels[ch].ready = 0;
                step(ch);
            }
        }
    }
}

int main(int argc, char **argv) {
    char *end = NULL;
    long port, count = 128, messages = 20;
    int32_t ch, failed = 0;
    double t0, t1, t2, t3;

    if (argc < 5 || argc > 7) {
        fprintf(stderr, "usage: %s SERVER PORT FROM TO [CHANNELS [MESSAGES]]\n", argv[0]);
        return 2;
    }
    port = strtol(argv[2], &end, 10);
    if (*end != '\0' || port < 1 || port > 65535) {
        fprintf(stderr, "bad port %s\n", argv[2]);
        return 2;
    }
    if (argc > 5) count = strtol(argv[5], &end, 10);
    if (argc > 6) messages = strtol(argv[6], &end, 10);
    if (count < 1 || count > kMaxChannels || messages < 0 || messages > 100000) {
        fprintf(stderr, "channels must be 1..%d, messages 0..100000\n", kMaxChannels);
        return 2;
    }
    recipient = argv[4];
    messagesPerChannel = (int32_t)messages;

    if (tevAttach((int32_t)count) != 1) {
        fprintf(stderr, "tevAttach failed\n");
        return 1;
    }
    /* Replies are read as soon as they are there instead of after the fixed pauses. */
    tevIntegerParam(0, TEV_EARLY_REPLY, 1);

    t0 = seconds();
    for (ch = 0; ch < (int32_t)count; ++ch) {
        int32_t rc;
        tevIntegerParam(ch, TEV_AUTO_CALL, 0);
        tevIntegerParam(ch, TEV_SMTP_PORT, (int32_t)port);
        channels[ch].phase = kConnecting;
        rc = tevSmtpConnect(ch, argv[1], argv[3], NULL);
        if (rc < 0) {
            fprintf(stderr, "channel %d: connect refused (%d)\n", (int)ch, (int)rc);
            channels[ch].phase = kFailed;
        }
    }
    runPhase((int32_t)count, kConnecting);
    t1 = seconds();
    runPhase((int32_t)count, kSending);
    t2 = seconds();
    runPhase((int32_t)count, kClosing);
    t3 = seconds();

    for (ch = 0; ch < (int32_t)count; ++ch) failed += channels[ch].phase != kDone;
    printf("%ld channels, %ld messages each: connect %.3f s, send %.3f s (%.0f messages/s), close %.3f s; %d failed\n",
           count, messages, t1 - t0, t2 - t1, t2 > t1 ? (double)(count * messages) / (t2 - t1) : 0.0, t3 - t2,
           (int)failed);
    tevRelease();
    return failed == 0 ? 0 : 1;
}
