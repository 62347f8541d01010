// A RETR fetch without a socket: the reply comes from memory through a MemoryLineSource and every line takes
// the path a received line takes in state 312 (pop3/fetch_line.cpp).
#include "pop3/memory_fetch.h"

#include "frame/filewrite.h"
#include "frame/text.h"
#include "frame/tracelog.h"
#include "platform/platform.h"
#include "pop3/decoder.h"
#include "pop3/fetch_line.h"
#include "pop3/line_source.h"
#include "tev32.h"

namespace tev {

namespace {

constexpr int32_t kLineRoom = 1024;  // one read, as the fetch reads a line

int32_t endMemoryFetch(SessionRecord &rec, int32_t result) {
    logText(rec, "[CLOSE]\r\n");
    const int32_t closed = pop3::closeFetchFiles(rec);
    return result == 0 ? closed : result;
}

}  // namespace

int32_t decodeMessageFromMemory(SessionRecord &rec, const char *fileName, const char *emailDir,
                                const char *attachDir, const char *reply, size_t length,
                                const size_t *splitPoints, size_t splitCount) {
    pop3::closeFetchFiles(rec);
    copyText(rec.emailFileName, fileName ? fileName : "", kMaxNameChars);
    if (!fitsDirectory(emailDir ? emailDir : "")) return TEV_E_MISSING_EMAIL_PATH;
    if (!fitsDirectory(attachDir ? attachDir : "")) return TEV_E_MISSING_ATTACH_PATH;
    copyText(rec.emailDirectory, emailDir ? emailDir : "");
    copyText(rec.attachmentDirectory, attachDir ? attachDir : "");
    rec.userBuffer = nullptr;
    rec.userBufferSize = 0;
    rec.userBufferUsed = 0;
    rec.textBytesRead = 0;
    rec.attachmentBytesRead = 0;
    startMessageDecoding(rec);

    pop3::composeEmailPath(rec);
    logFormat(rec, "Saving email to '%s'\r\n", rec.emailPath);
    const int32_t handle = platform::createFile(rec.emailPath, false, true);
    if (handle <= 0) {
        rec.emailFile = 0;
        return TEV_E_CANNOT_CREATE_FILE;
    }
    rec.emailFile = handle;
    startWrites(rec.messageWrites);
    rec.replyCode = 0;
    rec.midLine = 0;

    if (rec.decodeState == kDecodeRaw) {
        size_t done = 0;
        while (done < length) {
            const size_t chunk = length - done < 2048 ? length - done : 2048;
            pop3::addCount(rec.textBytesRead, chunk);
            const int32_t written = platform::writeFile(rec.emailFile, reply + done, static_cast<int32_t>(chunk));
            if (written > 0) pop3::addCount(rec.textBytesSent, static_cast<size_t>(written));
            done += chunk;
        }
        return endMemoryFetch(rec, 0);
    }

    MemoryLineSource source(reply, length, splitPoints, splitCount);
    for (;;) {
        const int32_t n = source.nextLine(rec.replyBuffer, kLineRoom);
        if (n <= 0) return endMemoryFetch(rec, TEV_E_SOCKET_CLOSED);
        const int32_t rc = pop3::takeFetchedLine(rec, n, source);
        if (rc < 0) return endMemoryFetch(rec, rc);
        if (rc > 0) return endMemoryFetch(rec, 0);
    }
}

}  // namespace tev
