// The MIME decoder's line logic (RFC 2045, 2046, 2047): follows a fetched message's structure from its header and
// boundary lines, one received line at a time, and decides for each line whether the fetch writes it to the
// message file, whether it is decoded into the message file (inline parts) or into an attachment file, or dropped.
// Header lines continued on the next line are joined by reading ahead on the connection (RFC 1939 dot-stuffing
// undone, the end line never taken).
#include "pop3/decoder.h"

#include <cstring>
#include <string>
#include <vector>

#include "engine/codecs.h"
#include "frame/filewrite.h"
#include "frame/record.h"
#include "frame/text.h"
#include "frame/tracelog.h"
#include "platform/platform.h"
#include "pop3/charsets.h"
#include "pop3/extract.h"
#include "pop3/line_source.h"
#include "pop3/mime_internal.h"
#include "pop3/parameters.h"

namespace tev {

namespace {

using mime::kLineRoom;
using mime::WordEncoding;

constexpr int32_t kReceivedLineRoom = 1024;  // one read, as the fetch reads a line
constexpr size_t kMaxBoundaryChars = 126;
constexpr size_t kPeekLength = 5;

size_t lineLength(const SessionRecord &rec) { return boundedLength(rec.replyBuffer, kLineRoom); }

bool isBlankLine(const char *line) { return line[0] == '\r'; }

// Searches key from offset `from`; a start beyond the end of the line finds nothing.
const char *searchFrom(const char *line, size_t from, const char *key) {
    if (from > std::strlen(line)) return nullptr;
    return findKeyword(line + from, key);
}

// Offset of the first c at or after offset `from`, or -1; a start beyond the end of the line finds nothing.
long findCharFrom(const char *line, size_t from, char c) {
    const size_t length = std::strlen(line);
    if (from >= length) return -1;
    const void *hit = std::memchr(line + from, c, length - from);
    return hit ? static_cast<long>(static_cast<const char *>(hit) - line) : -1;
}

void addCount(int32_t &counter, size_t amount) {
    counter = static_cast<int32_t>(static_cast<uint32_t>(counter) + static_cast<uint32_t>(amount));
}

void writeToMessageFile(SessionRecord &rec, const void *bytes, int32_t length) {
    if (rec.emailFile != 0 && length > 0) writeGathered(rec.emailFile, rec.messageWrites, bytes, length);
}

// ---------------------------------------------------------------- reading ahead

// True when the line in replyBuffer is a whole received line, so what is read next starts a new one.  A part of
// an over-long line is followed by the rest of that line, which no look-ahead may take for a line of its own.
bool nextReadStartsLine(const SessionRecord &rec) {
    const size_t length = lineLength(rec);
    return length > 0 && rec.replyBuffer[length - 1] == '\n';
}

// Up to kPeekLength received bytes, not consumed.
int32_t peekAhead(LineSource &source, char (&ahead)[kPeekLength + 1]) {
    const int32_t n = source.peek(ahead, static_cast<int32_t>(kPeekLength));
    return n > 0 ? n : 0;
}

// The next line starts with a space (at least two bytes there); with secondNotSpace the second must not be one.
bool nextLineStartsWithSpace(SessionRecord &rec, LineSource &source, bool secondNotSpace) {
    if (!nextReadStartsLine(rec)) return false;
    char ahead[kPeekLength + 1];
    const int32_t n = peekAhead(source, ahead);
    if (n < 2 || ahead[0] != ' ') return false;
    return !secondNotSpace || ahead[1] != ' ';
}

// The next line continues a header line (RFC 5322 2.2.3: it starts with a space or a tab).
bool nextLineContinues(SessionRecord &rec, LineSource &source) {
    if (!nextReadStartsLine(rec)) return false;
    char ahead[kPeekLength + 1];
    const int32_t n = peekAhead(source, ahead);
    return n >= 2 && (ahead[0] == ' ' || ahead[0] == '\t');
}

// The POP3 end line: at most four bytes, '.' not followed by a second '.'.  When too few bytes have come to
// tell, it is taken for the end line: a missed join is harmless, a swallowed end line is not.
bool isEndLineAhead(const char *ahead, int32_t n) {
    if (n < 1 || ahead[0] != '.') return false;
    if (n >= 2 && ahead[1] == '.') return false;
    for (int32_t i = 1; i < n && i < 4; ++i) {
        if (ahead[i] == '\n') return true;
    }
    return n < static_cast<int32_t>(kPeekLength);
}

// Reads and drops the rest of a line that did not fit where it was being joined, so the fetch's next read starts
// a line again.
void dropRestOfLine(LineSource &source) {
    char rest[kReceivedLineRoom];
    for (;;) {
        const int32_t n = source.nextLine(rest, kReceivedLineRoom);
        if (n <= 0 || rest[n - 1] == '\n') return;
    }
}

// Continuation join.  The line loses its trailing blanks and line end and gets CR LF back; then, when it is at
// least 3 characters long and (with an end character) ends in that character, the next received line is read
// into its place, without its leading blanks.  Joins stop when the line buffer is full; the end line of the
// message is never joined, and a part of an over-long line is left alone (its rest is the fetch's next read).
// True when a line was joined.
bool joinContinuation(SessionRecord &rec, LineSource &source, char endChar) {
    if (!nextReadStartsLine(rec)) return false;
    char *line = rec.replyBuffer;
    size_t kept = lineLength(rec);
    while (kept > 2 && (line[kept - 1] == ' ' || line[kept - 1] == '\t' || line[kept - 1] == '\r' ||
                        line[kept - 1] == '\n')) {
        --kept;
    }
    if (kept + 3 > kLineRoom) return false;  // no room for CR LF and NUL: the buffer is full
    line[kept] = '\r';
    line[kept + 1] = '\n';
    line[kept + 2] = '\0';
    if (kept + 2 < 3) return false;
    if (endChar != '\0' && line[kept - 1] != endChar) return false;

    const size_t room = kLineRoom - kept;
    const int32_t capacity = room < static_cast<size_t>(kReceivedLineRoom) ? static_cast<int32_t>(room)
                                                                            : kReceivedLineRoom;
    if (capacity < 4) return false;
    char ahead[kPeekLength + 1];
    const int32_t peeked = peekAhead(source, ahead);
    if (peeked == 0 || isEndLineAhead(ahead, peeked)) return false;

    char *added = line + kept;
    int32_t n = source.nextLine(added, capacity);
    if (n <= 0) {
        std::memcpy(added, "\r\n", 3);
        return false;
    }
    if (added[n - 1] != '\n') {
        // Longer than the room left: the joined line keeps what fits and ends there.
        dropRestOfLine(source);
        n = n < capacity - 3 ? n : capacity - 3;
        added[n++] = '\r';
        added[n++] = '\n';
    }
    added[n] = '\0';
    if (n >= 2 && added[0] == '.' && added[1] == '.') {
        std::memmove(added, added + 1, static_cast<size_t>(n));
        --n;
    }
    int32_t blanks = 0;
    while (blanks < n && (added[blanks] == ' ' || added[blanks] == '\t')) ++blanks;
    if (blanks > 0) std::memmove(added, added + blanks, static_cast<size_t>(n - blanks) + 1);
    return true;
}

// ---------------------------------------------------------------- header rules

// The text between a double quote at or after `from` and the next double quote, searched from the second
// character after the opening one.  False when either quote is missing.
bool quotedValue(const char *line, size_t from, size_t &start, size_t &length) {
    const long open = findCharFrom(line, from, '"');
    if (open < 0) return false;
    const long close = findCharFrom(line, static_cast<size_t>(open) + 2, '"');
    if (close < 0) return false;
    start = static_cast<size_t>(open) + 1;
    length = static_cast<size_t>(close) - start;
    return true;
}

// A boundary parameter's value after "boundary=" at `from`: quoted when a double quote follows anywhere on the
// line (quotedRequired: only then), else the text up to the first CR, which must exist and not be empty.
bool boundaryValue(const char *line, size_t from, bool quotedRequired, size_t &start, size_t &length) {
    if (findCharFrom(line, from, '"') >= 0 || quotedRequired) return quotedValue(line, from, start, length);
    const long cr = findCharFrom(line, from, '\r');
    if (cr < 0 || static_cast<size_t>(cr) == from) return false;
    start = from;
    length = static_cast<size_t>(cr) - from;
    return true;
}

// Stores "--" and the boundary (at most 126 characters) into a boundary field; returns its length.
int32_t storeBoundary(char (&field)[kBoundarySize], const char *value, size_t length) {
    if (length > kMaxBoundaryChars) length = kMaxBoundaryChars;
    field[0] = '-';
    field[1] = '-';
    std::memcpy(field + 2, value, length);
    field[length + 2] = '\0';
    return static_cast<int32_t>(length + 2);
}

// Content-Type line with a boundary parameter: defines the message's main boundary.
bool boundaryRule(SessionRecord &rec, LineSource &source) {
    if (!headerNameMatches(rec.replyBuffer, "Content-Type:")) return false;
    joinContinuation(rec, source, ';');
    joinContinuation(rec, source, ';');
    const char *line = rec.replyBuffer;
    const char *param = searchFrom(line, 13, "Boundary=");
    if (!param) return false;
    size_t start = 0, length = 0;
    if (!boundaryValue(line, static_cast<size_t>(param - line) + 9, false, start, length)) return false;
    rec.mimeBoundaryLength = storeBoundary(rec.mimeBoundary, line + start, length);
    rec.altBoundaryLength = 0;
    rec.decodeState = kDecodePreamble;
    // Whatever was opened for the top header is no part of the parts that follow.
    mime::dropAttachment(rec);
    logFormat(rec, "[MIME boundary defined %d (%s)]\r\n", static_cast<int>(rec.mimeBoundaryLength), rec.mimeBoundary);
    return true;
}

// A nested multipart/alternative or multipart/mixed with a quoted boundary: the one alternate boundary.
bool alternativeRule(SessionRecord &rec, LineSource &source) {
    if (!headerNameMatches(rec.replyBuffer, "Content-Type: multipart/alternative") &&
        !headerNameMatches(rec.replyBuffer, "Content-Type: multipart/mixed")) {
        return false;
    }
    joinContinuation(rec, source, ';');
    joinContinuation(rec, source, ';');
    const char *line = rec.replyBuffer;
    const char *param = searchFrom(line, 29, "Boundary=");
    if (!param) return false;
    size_t start = 0, length = 0;
    if (!boundaryValue(line, static_cast<size_t>(param - line) + 9, true, start, length)) return false;
    rec.altBoundaryLength = storeBoundary(rec.altBoundary, line + start, length);
    logFormat(rec, "[Alternate MIME boundary defined %d (%s)]\r\n", static_cast<int>(rec.mimeBoundaryLength),
              rec.altBoundary);
    return true;
}

// Content-Transfer-Encoding: base64, quoted-printable or 7bit; any other leaves partEncoding as it is.
bool encodingRule(SessionRecord &rec) {
    const char *line = rec.replyBuffer;
    if (!headerNameMatches(line, "Content-Transfer-Encoding:")) return false;
    if (searchFrom(line, 26, "base64")) {
        rec.partEncoding = kEncodingBase64;
        logText(rec, "[Encoding is BASE64]\r\n");
    } else if (searchFrom(line, 26, "quoted-printable")) {
        rec.partEncoding = kEncodingQuoted;
        logText(rec, "[Encoding is QUOTED]\r\n");
    } else if (searchFrom(line, 26, "7bit")) {
        rec.partEncoding = kEncoding7Bit;
        logText(rec, "[Encoding is 7-bit]\r\n");
    } else {
        return false;
    }
    return true;
}

// Content-Disposition (any): "inline" without a parameter after it puts the part into the message file.
bool dispositionRule(SessionRecord &rec) {
    const char *line = rec.replyBuffer;
    if (!headerNameMatches(line, "Content-Disposition:")) return false;
    const char *word = searchFrom(line, 20, "inline");
    if (word && word[6] != ';') {
        rec.inlinePart = 1;
        logText(rec, "[inline]\r\n");
    }
    return true;
}

// The value of a name= or filename= parameter, copied into `name` (kLineRoom bytes).  False when there is none.
bool extractName(const char *line, char *name) {
    const char *param = searchFrom(line, 13, "name=");
    if (!param) return false;
    const size_t after = static_cast<size_t>(param - line) + 5;
    size_t start = 0, length = 0;
    if (findCharFrom(line, after, '"') >= 0) {
        if (!quotedValue(line, after, start, length)) return false;
    } else {
        const long cr = findCharFrom(line, after + 1, '\r');
        if (cr < 0) return false;
        start = after;
        length = static_cast<size_t>(cr) - after;
    }
    std::memcpy(name, line + start, length);
    name[length] = '\0';
    return true;
}

// Content-Type or Content-Disposition line: the file name for the part, possibly an encoded word, set as
// attachmentFileName.  True when the line gave a name.
bool nameRule(SessionRecord &rec, LineSource &source) {
    if (!joinContinuation(rec, source, ';') && nextLineStartsWithSpace(rec, source, true)) {
        joinContinuation(rec, source, '\0');
    }
    const WordEncoding encoding =
        lineLength(rec) >= 13 ? mime::encodedWordIn(rec.replyBuffer + 13) : WordEncoding::none;
    if (encoding != WordEncoding::none) {
        logText(rec, "[iso-8859]\r\n");
        joinContinuation(rec, source, '=');
        logFormat(rec, "[r:%s]\r\n", rec.replyBuffer);
        mime::unwrapEncodedWords(rec.replyBuffer, WordEncoding::quoted);
    }
    char name[kLineRoom];
    if (!extractName(rec.replyBuffer, name)) return false;
    mime::keepFileNameOnly(name);

    if (encoding == WordEncoding::quoted) {
        char decoded[kLineRoom];
        decodeQuotedPrintable(name, decoded);
        copyText(rec.attachmentFileName, decoded, kMaxNameChars);
    } else if (encoding == WordEncoding::base64) {
        unsigned char decoded[kLineRoom];
        const int32_t n = decodeBase64Text(name, static_cast<int32_t>(std::strlen(name)), decoded);
        decoded[n > 0 ? n : 0] = '\0';
        copyText(rec.attachmentFileName, reinterpret_cast<const char *>(decoded), kMaxNameChars);
    } else {
        copyText(rec.attachmentFileName, name, kMaxNameChars);
    }
    // The decoded name may hold separators of its own.
    mime::keepFileNameOnly(rec.attachmentFileName);
    logFormat(rec, "[Filename='%s']\r\n", rec.attachmentFileName);
    return true;
}

// A base64 part without a file of its own is saved when the application asks for unnamed parts.
void unnamedPartRule(SessionRecord &rec) {
    if (rec.partEncoding != kEncodingBase64 || rec.fileHandle != 0 || !rec.saveUnnamedParts) return;
    if (rec.attachmentFileName[0] == '\0') copyText(rec.attachmentFileName, "noname");
    mime::openAttachment(rec);
}

// A main or alternate boundary line (closing ones included): a new part header starts.
bool boundaryTest(SessionRecord &rec) {
    const char *line = rec.replyBuffer;
    const bool main = rec.mimeBoundaryLength > 0 &&
                      std::strncmp(line, rec.mimeBoundary, static_cast<size_t>(rec.mimeBoundaryLength)) == 0;
    const bool alternate = !main && rec.altBoundaryLength > 0 &&
                           std::strncmp(line, rec.altBoundary, static_cast<size_t>(rec.altBoundaryLength)) == 0;
    if (!main && !alternate) return false;
    flushPartText(rec);
    rec.textPart = 1;  // a part without Content-Type is text/plain in US-ASCII
    rec.partCharset[0] = '\0';
    rec.partNamed = 0;
    addCount(rec.boundaryCount, 1);
    rec.decodeState = kDecodePartHeader;
    rec.partEncoding = kEncodingNone;
    rec.inlinePart = 0;
    copyText(rec.attachmentFileName, "incoming.mai");
    logText(rec, "[Boundary line found]\r\n");
    return true;
}

// Subject or From line with an ISO-8859-1 encoded word: decoded in place for the message file.
void decodeHeaderWords(SessionRecord &rec, LineSource &source) {
    const WordEncoding encoding = mime::encodedWordIn(rec.replyBuffer);
    if (encoding == WordEncoding::none) return;
    logText(rec, "[ISO8859]\r\n");
    if (nextLineStartsWithSpace(rec, source, false)) joinContinuation(rec, source, '=');
    if (encoding == WordEncoding::quoted) {
        mime::unwrapEncodedWords(rec.replyBuffer, WordEncoding::quoted);
        const int32_t n = mime::decodeHeaderQuoted(rec.replyBuffer, rec.workBuffer, kLineRoom);
        std::memcpy(rec.replyBuffer, rec.workBuffer, static_cast<size_t>(n) + 1);
    } else {
        mime::unwrapEncodedWords(rec.replyBuffer, WordEncoding::base64);
    }
}

// Joins the continuation lines of the header line in replyBuffer, each after one blank, as far as the line
// buffer holds.
void unfoldHeaderLine(SessionRecord &rec, LineSource &source) {
    char *line = rec.replyBuffer;
    while (nextLineContinues(rec, source)) {
        size_t kept = lineLength(rec);
        while (kept > 0 && (line[kept - 1] == ' ' || line[kept - 1] == '\t' || line[kept - 1] == '\r' ||
                            line[kept - 1] == '\n')) {
            --kept;
        }
        if (!joinContinuation(rec, source, '\0')) break;
        const size_t length = lineLength(rec);
        if (length + 2 > kLineRoom || kept >= length) continue;
        std::memmove(line + kept + 1, line + kept, length - kept + 1);
        line[kept] = ' ';
    }
}

// UTF-8 mail: a kept header line with encoded words is unfolded and every word of a charset iconv knows is
// decoded to UTF-8.
void decodeHeaderToUtf8(SessionRecord &rec, LineSource &source) {
    char *line = rec.replyBuffer;
    if (!std::strstr(line, "=?")) return;
    unfoldHeaderLine(rec, source);
    const std::string decoded = mime::decodeWordsToUtf8(line);
    // A word's text in UTF-8 is shorter than the word but for charsets whose characters take more bytes in UTF-8:
    // the text is cut to the buffer, and the line end (none for the first part of an over-long line) is kept.
    size_t end = decoded.size();
    while (end > 0 && (decoded[end - 1] == '\r' || decoded[end - 1] == '\n')) --end;
    const size_t tail = decoded.size() - end;
    const size_t keep = end < kLineRoom - 1 - tail ? end : kLineRoom - 1 - tail;
    std::memcpy(line, decoded.data(), keep);
    std::memcpy(line + keep, decoded.data() + end, tail);
    line[keep + tail] = '\0';
}

// UTF-8 mail: a Content-Type or Content-Disposition line, unfolded; the part's type and charset, and its file
// name (RFC 2231 and RFC 2047 decoded; a Content-Disposition filename wins over a Content-Type name), are kept
// for the blank line that ends the header, where the attachment file is opened.
void noteContentLine(SessionRecord &rec, LineSource &source) {
    const bool disposition = headerNameMatches(rec.replyBuffer, "Content-Disposition:");
    if (!disposition && !headerNameMatches(rec.replyBuffer, "Content-Type:")) return;
    unfoldHeaderLine(rec, source);
    const std::vector<mime::Parameter> parameters = mime::parseParameters(rec.replyBuffer);
    if (!disposition) {
        const std::string type = mime::headerType(rec.replyBuffer);
        rec.textPart = type.compare(0, 5, "text/") == 0 ? 1 : 0;
        std::string charset;
        for (const mime::Parameter &parameter : parameters) {
            if (parameter.name == "charset") {
                charset = parameter.value;
                break;
            }
        }
        // A name too long for any charset is no charset: the text is taken as it is.
        copyText(rec.partCharset, charset.size() < kCharsetSize ? charset.c_str() : "");
    }
    std::string name;
    if (rec.partNamed == 2 || !mime::decodedParameter(parameters, disposition ? "filename" : "name", name)) return;
    mime::setReceivedName(rec, name);
    rec.partNamed = disposition ? 2 : 1;
    logFormat(rec, "[Filename='%s']\r\n", rec.attachmentFileName);
}

// UTF-8 mail: a text part goes to the message file decoded and converted when its transfer encoding or its
// charset asks for it (otherwise the line is written as received, quoted-printable decoded as always).
bool convertsText(const SessionRecord &rec) {
    return rec.utf8 && rec.textPart &&
           (rec.partEncoding == kEncodingBase64 || !mime::isTakenAsItIs(rec.partCharset));
}

// ---------------------------------------------------------------- states

// 2: the top header before any MIME-Version line; every line is written.
int32_t topHeaderLine(SessionRecord &rec, LineSource &source, bool lineStart) {
    if (!lineStart) return 1;
    const char *line = rec.replyBuffer;
    if (isBlankLine(line)) {
        rec.decodeState = kDecodeNotMime;
        logText(rec, "[Not doing MIME/2]\r\n");
    } else if (headerNameMatches(line, "MIME-Version: 1.0")) {
        rec.decodeState = kDecodeMimeTopHeader;
        logText(rec, "[MIME version found]\r\n");
    } else if (rec.utf8 && line[0] != ' ' && line[0] != '\t' && !headerNameMatches(line, "Content-")) {
        decodeHeaderToUtf8(rec, source);
    } else if (headerNameMatches(line, "Subject:") || headerNameMatches(line, "From")) {
        decodeHeaderWords(rec, source);
    }
    if (boundaryRule(rec, source)) {
        logText(rec, "[Assuming MIME]\r\n");
    } else if (rec.utf8 && !encodingRule(rec)) {
        // Python's email package and others put Content-Type and Content-Transfer-Encoding before
        // MIME-Version: what they say of the body counts wherever the top header says it.
        noteContentLine(rec, source);
    }
    return 1;
}

// 3: the top header of a MIME message; only Subject, To and From lines are written.
int32_t mimeTopHeaderLine(SessionRecord &rec, LineSource &source, bool lineStart) {
    if (!lineStart) return 0;
    const char *line = rec.replyBuffer;
    if (isBlankLine(line)) {
        if (rec.utf8 && rec.partNamed) {
            rec.decodeState = kDecodePartBody;
            logText(rec, "[MIME w/o boundary]\r\n");
            mime::openAttachment(rec);
        } else if (rec.partEncoding != kEncodingNone) {
            rec.decodeState = kDecodePartBody;
            logText(rec, "[MIME w/o boundary]\r\n");
            unnamedPartRule(rec);
        } else if (convertsText(rec)) {
            rec.decodeState = kDecodePartBody;
            logText(rec, "[MIME w/o boundary]\r\n");
        } else {
            rec.decodeState = kDecodeNotMime;
            logText(rec, "[Not doing MIME]\r\n");
        }
        return 1;
    }
    if (headerNameMatches(line, "Subject:") || headerNameMatches(line, "To:") || headerNameMatches(line, "From:")) {
        if (rec.utf8) decodeHeaderToUtf8(rec, source);
        return 1;
    }
    if (boundaryRule(rec, source) || encodingRule(rec)) return 0;
    if (rec.utf8) {
        dispositionRule(rec);
        noteContentLine(rec, source);
        return 0;
    }
    if (dispositionRule(rec) && nameRule(rec, source)) mime::openAttachment(rec);
    if (headerNameMatches(rec.replyBuffer, "Content-Type:") && nameRule(rec, source)) mime::openAttachment(rec);
    return 0;
}

// 4: the preamble before the first boundary line; only the blank line that ends the top header is written.
int32_t preambleLine(SessionRecord &rec, bool lineStart) {
    if (!lineStart) return 0;
    boundaryTest(rec);
    const char *line = rec.replyBuffer;
    if (!rec.blankLineSeen && line[0] == '\r' && line[1] == '\n') {
        rec.blankLineSeen = 1;
        return 1;
    }
    return 0;
}

// 5: a part header; its lines are not written, but for the blank line of an attached message's header.
int32_t partHeaderLine(SessionRecord &rec, LineSource &source, bool lineStart) {
    logText(rec, "[Looking for encoding]\r\n");
    if (!lineStart) return 0;
    const char *line = rec.replyBuffer;
    if (isBlankLine(line)) {
        if (rec.skipBlankLine) {
            // An attached message: its own header follows and is read as more part header.
            rec.inlinePart = 0;
            rec.skipBlankLine = 0;
            logText(rec, "[Ignoring blank line]\r\n");
            return 1;
        }
        rec.decodeState = kDecodePartBody;
        if (rec.utf8 && rec.partNamed) mime::openAttachment(rec);
        if (!rec.inlinePart) unnamedPartRule(rec);
        return 0;
    }
    if (encodingRule(rec) || alternativeRule(rec, source)) return 0;
    if (headerNameMatches(line, "Content-Type: message/rfc822")) {
        rec.inlinePart = 1;
        rec.skipBlankLine = 1;
        return 0;
    }
    if (rec.utf8) {
        dispositionRule(rec);
        noteContentLine(rec, source);
        return 0;
    }
    if ((dispositionRule(rec) || headerNameMatches(rec.replyBuffer, "Content-Type:")) && nameRule(rec, source)) {
        mime::openAttachment(rec);
    }
    return 0;
}

// Decodes the line into workBuffer by the part's transfer encoding; returns the bytes produced.
int32_t decodePartLine(SessionRecord &rec, size_t length) {
    switch (rec.partEncoding) {
    case kEncodingBase64:
        return decodeBase64Text(rec.replyBuffer, static_cast<int32_t>(length),
                                reinterpret_cast<unsigned char *>(rec.workBuffer));
    case kEncodingQuoted:
        return decodeQuotedPrintable(rec.replyBuffer, rec.workBuffer);
    default:
        std::memcpy(rec.workBuffer, rec.replyBuffer, length + 1);
        return static_cast<int32_t>(length);
    }
}

// 6: a part body (or the body of a single-part MIME message).
int32_t partBodyLine(SessionRecord &rec, bool lineStart) {
    if (lineStart && boundaryTest(rec)) {
        closeAttachment(rec);
        return 0;
    }
    logFormat(rec, "[InlineFlag=%d MimeEncoding=%d FileHandle=%d]\r\n", static_cast<int>(rec.inlinePart),
              static_cast<int>(rec.partEncoding), static_cast<int>(rec.fileHandle));
    const bool textToMessage = convertsText(rec);
    if (!rec.inlinePart && rec.fileHandle == 0 && !textToMessage) return 1;
    const size_t length = lineLength(rec);
    addCount(rec.attachmentBytesRead, length);
    const int32_t produced = decodePartLine(rec, length);
    if (produced > 0) {
        // A file that cannot be written is given up, never reported saved: the rest of the part goes to the
        // message file as for a file that could not be created.
        if (rec.fileHandle != 0 &&
            writeGathered(rec.fileHandle, rec.attachmentWrites, rec.workBuffer, produced) != produced) {
            logFormat(rec, "[Cannot write '%s']\r\n", rec.attachmentPath);
            mime::dropAttachment(rec);
        }
        if (rec.utf8 && rec.textPart && (rec.inlinePart || rec.fileHandle == 0)) {
            mime::writePartText(rec, rec.workBuffer, static_cast<size_t>(produced));
        } else if (rec.inlinePart) {
            writeToMessageFile(rec, rec.workBuffer, produced);
        }
    }
    if (rec.fileHandle == 0 && !rec.inlinePart) {
        logText(rec, "[...decode text...]\r\n");
    } else {
        logText(rec, rec.inlinePart ? "[...decode inline...]\r\n" : "[...decode to file...]\r\n");
    }
    return 0;
}

}  // namespace

int32_t decodeMimeLine(SessionRecord &rec, LineSource &source) {
    rec.replyBuffer[kLineRoom - 1] = '\0';
    // Header names, blank lines and boundaries are recognised only where a received line starts; the later
    // parts of an over-long line are data.
    const bool lineStart = rec.midLine == 0;
    switch (rec.decodeState) {
    case kDecodeTopHeader: return topHeaderLine(rec, source, lineStart);
    case kDecodeMimeTopHeader: return mimeTopHeaderLine(rec, source, lineStart);
    case kDecodePreamble: return preambleLine(rec, lineStart);
    case kDecodePartHeader: return partHeaderLine(rec, source, lineStart);
    case kDecodePartBody: return partBodyLine(rec, lineStart);
    default: return 1;
    }
}

int32_t decodeMimeLine(SessionRecord &rec) {
    RingLineSource source(rec);
    return decodeMimeLine(rec, source);
}

void mime::writeToMessage(SessionRecord &rec, const char *bytes, size_t length) {
    while (length > 0) {
        const int32_t chunk =
            length < kBigBufferSize ? static_cast<int32_t>(length) : static_cast<int32_t>(kBigBufferSize);
        writeToMessageFile(rec, bytes, chunk);
        bytes += chunk;
        length -= static_cast<size_t>(chunk);
    }
}

void startMessageDecoding(SessionRecord &rec) {
    std::memset(rec.savedAttachments, 0, sizeof rec.savedAttachments);
    // An unnamed part of this message must never reuse (and overwrite) the file of an earlier fetch.
    rec.attachmentFileName[0] = '\0';
    rec.mimeBoundaryLength = 0;
    rec.boundaryCount = 0;
    rec.attachmentsSaved = 0;
    rec.partEncoding = kEncodingNone;
    rec.blankLineSeen = 0;
    // Nothing of the previous message's structure may steer this one (an old alternative boundary could match).
    rec.altBoundaryLength = 0;
    rec.inlinePart = 0;
    rec.skipBlankLine = 0;
    rec.textPart = 1;
    rec.partNamed = 0;
    rec.partCharset[0] = '\0';
    rec.textCarryLength = 0;
    rec.usedNameCount = 0;
    if (rec.decodeState != kDecodeRaw) rec.decodeState = kDecodeTopHeader;
}

}  // namespace tev
