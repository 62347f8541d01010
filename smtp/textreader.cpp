// The message-text reader and line encoder.  The reader keeps a window of up to 2048 bytes over the text and
// refills it whenever no more than one line's worth is left unread, so a whole line is always at hand.  The
// encoder cuts the text into lines: plain text wrapped after a blank once the line is long enough (or hard at the
// line length), HTML lines unbroken up to what the command buffer holds, and quoted-printable lines (RFC 2045 6.7)
// with an '=' soft break.  Lines that start with '.' are left alone here: the data writer stuffs them.
#include "smtp/textreader.h"

#include <cstring>

#include "frame/record.h"
#include "platform/platform.h"

namespace tev {

static_assert(kTextWindowBytes + 2 == static_cast<int32_t>(sizeof(SessionRecord::textWindow)),
              "the window's storage is what a refill fills and two bytes more");
static_assert(kLongestTextLine + 3 == static_cast<int32_t>(sizeof(SessionRecord::commandBuffer)),
              "a line, its CR LF and a NUL fill the command buffer");

namespace {

constexpr int32_t kShortestLine = 1;
// A quoted-printable line may pass the length by a three-character escape less one, plus the '=' of the soft
// break: length + 2 characters in all.
constexpr int32_t kLongestLineSetting = kLongestTextLine - 2;
// No line on the wire passes 998 characters (RFC 5321 4.5.3.1.6): plain and HTML lines end there, and a
// quoted-printable line, which may pass its length by two, ends two before.
constexpr int32_t kLongestWireLine = 998;
constexpr int32_t kLongestQuotedLength = kLongestWireLine - 2;
// A streamed quoted-printable line of a UTF-8 text stays within RFC 2045's 76 characters.
constexpr int32_t kQuotedStreamLength = 76 - 2;

bool printable(int32_t c) { return c >= 32 && c <= 126; }

const char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

int32_t usableLineLength() {
    int32_t length = settings.maxLineLength.get();
    if (length < kShortestLine) return kShortestLine;
    if (length > kLongestLineSetting) return kLongestLineSetting;
    return length;
}

void resetTextReader(SessionRecord &rec) {
    rec.textEnded = 0;
    rec.textWindowPos = 0;
    rec.textWindowFill = 0;
}

namespace {

// Reads up to `room` further bytes of the text to `into`; returns the count (0 at the end or on a read error).
int32_t readMoreText(SessionRecord &rec, char *into, int32_t room) {
    if (rec.textInMemory) {
        if (!rec.messageText) return 0;
        size_t count = strnlen(rec.messageText, static_cast<size_t>(room));
        std::memcpy(into, rec.messageText, count);
        rec.messageText += count;
        return static_cast<int32_t>(count);
    }
    int32_t count = platform::readFile(rec.fileHandle, into, room);
    return count > 0 ? count : 0;
}

}  // namespace

int32_t nextTextByte(SessionRecord &rec) {
    if (!rec.textEnded) {
        int32_t unread = rec.textWindowFill - rec.textWindowPos;
        if (unread <= usableLineLength()) {
            std::memmove(rec.textWindow, rec.textWindow + rec.textWindowPos, static_cast<size_t>(unread));
            rec.textWindowPos = 0;
            int32_t count = readMoreText(rec, rec.textWindow + unread, kTextWindowBytes - unread);
            if (count == 0) rec.textEnded = 1;
            // The statistic wraps at 32 bits like every transfer counter.
            rec.textBytesRead =
                static_cast<int32_t>(static_cast<uint32_t>(rec.textBytesRead) + static_cast<uint32_t>(count));
            rec.textWindowFill = unread + count;
        }
    }
    if (rec.textWindowPos >= rec.textWindowFill) return 0;
    return static_cast<unsigned char>(rec.textWindow[rec.textWindowPos++]);
}

int32_t encodeTextLine(SessionRecord &rec, char *buffer) {
    const int32_t mode = rec.bodyMode;
    const char transfer = rec.textTransfer;
    // Text encoded already passes as it is, like an HTML line.
    const bool encoded = transfer == kTextEncodedQuoted || transfer == kTextEncodedBase64;
    const bool plain = mode == 0 && transfer == kTextAsMode;
    const bool quoted = (mode != 0 && mode != 2 && !encoded) || transfer == kTextQuotedStream;
    const bool pass8Bit = settings.pass8Bit.get() != 0 || encoded;
    const int32_t lineLength = usableLineLength();
    const int32_t wireLimit = transfer == kTextQuotedStream ? kQuotedStreamLength
                              : quoted                       ? kLongestQuotedLength
                                                             : kLongestWireLine;
    const int32_t maxLength = lineLength < wireLimit ? lineLength : wireLimit;
    const int32_t softLength = settings.softLineLength.get();
    int32_t length = 0;
    bool consumed = false;
    for (;;) {
        int32_t c;
        if (rec.pendingChar != 0) {
            c = static_cast<unsigned char>(rec.pendingChar);
            rec.pendingChar = 0;
        } else {
            c = nextTextByte(rec);
        }
        if (c == 0) break;
        consumed = true;
        if (c == '\r') continue;
        if (c == '\n') break;
        if (!quoted) {
            char shown = (pass8Bit || printable(c)) ? static_cast<char>(c) : '~';
            buffer[length++] = shown;
            if (plain) {
                if ((length >= softLength && shown == ' ') || length >= maxLength) break;
            } else if (length >= kLongestWireLine) {
                // An HTML line is never wrapped; one longer than a line on the wire may be goes out in pieces.
                break;
            }
            continue;
        }
        if (printable(c) && c != '=') {
            buffer[length++] = static_cast<char>(c);
        } else {
            buffer[length++] = '=';
            buffer[length++] = kHexDigits[(c >> 4) & 0x0F];
            buffer[length++] = kHexDigits[c & 0x0F];
        }
        // Read one ahead: a line is not broken just before a '.', which would then start the next line.
        rec.pendingChar = static_cast<char>(nextTextByte(rec));
        if (length >= maxLength || (length == maxLength - 1 && rec.pendingChar != '.')) {
            buffer[length++] = '=';
            break;
        }
    }
    buffer[length] = '\0';
    if (!consumed && rec.pendingChar == 0 && rec.textEnded && rec.textWindowPos >= rec.textWindowFill) return -1;
    return length;
}

}  // namespace tev
