// Text parts of UTF-8 mail written to the message file: the part's bytes (transfer encoding already undone) are
// held until their line ends and then converted from the part's charset to UTF-8, so a character split over
// two base64 or quoted-printable lines, or a charset's shift sequences (ISO-2022-JP), are converted whole.
#include <cstring>

#include "frame/record.h"
#include "pop3/charsets.h"
#include "pop3/decoder.h"
#include "pop3/mime_internal.h"

namespace tev {

namespace mime {

namespace {

void toMessageFile(void *context, const char *bytes, size_t length) {
    writeToMessage(*static_cast<SessionRecord *>(context), bytes, length);
}

// Converts the first `length` held bytes and keeps the rest; returns the bytes converted.
size_t convertHeld(SessionRecord &rec, size_t length, bool final) {
    const size_t done = convertTextToUtf8(rec.partCharset, rec.textCarry, length, final, toMessageFile, &rec);
    const size_t held = static_cast<size_t>(rec.textCarryLength);
    std::memmove(rec.textCarry, rec.textCarry + done, held - done);
    rec.textCarryLength = static_cast<int32_t>(held - done);
    return done;
}

}  // namespace

void writePartText(SessionRecord &rec, const char *bytes, size_t length) {
    while (length > 0) {
        size_t held = static_cast<size_t>(rec.textCarryLength);
        const size_t take = length < kTextCarrySize - held ? length : kTextCarrySize - held;
        std::memcpy(rec.textCarry + held, bytes, take);
        held += take;
        rec.textCarryLength = static_cast<int32_t>(held);
        bytes += take;
        length -= take;
        size_t lineEnd = held;
        while (lineEnd > 0 && rec.textCarry[lineEnd - 1] != '\n') --lineEnd;
        if (lineEnd > 0) {
            convertHeld(rec, lineEnd, true);
        } else if (held == kTextCarrySize) {
            // A line longer than the room: converted as far as it goes, an unfinished character kept.
            if (convertHeld(rec, held, false) == 0) convertHeld(rec, held, true);
        }
    }
}

}  // namespace mime

void flushPartText(SessionRecord &rec) {
    if (rec.textCarryLength <= 0) {
        rec.textCarryLength = 0;
        return;
    }
    mime::convertHeld(rec, static_cast<size_t>(rec.textCarryLength), true);
    rec.textCarryLength = 0;
}

}  // namespace tev
