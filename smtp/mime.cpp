// The MIME body of a sent message (RFC 2045, RFC 2046, RFC 2387): the message's multipart Content-Type line, the
// part header of the text, the optional multipart/alternative with a plain-text alternative, and one base64 part
// per attachment, read from its file 57 bytes per line while it is sent, so no file is ever held in memory whole.
// Image files become inline parts with the Content-IDs message-root.1, message-root.2, ... that an HTML text can
// refer to.  The closing delimiters are sent by the text and end-of-data states of smtp/compose.cpp.
#include <cstring>
#include <string>

#include "engine/codecs.h"
#include "engine/driver.h"
#include "engine/transport.h"
#include "frame/text.h"
#include "frame/tracelog.h"
#include "platform/platform.h"
#include "smtp/compose.h"
#include "smtp/datawriter.h"
#include "smtp/header_encoding.h"
#include "smtp/textreader.h"
#include "tev32.h"

namespace tev {

namespace {

using namespace sendstate;

// Bytes of an attachment per base64 line: 57 bytes give 76 characters (RFC 2045 6.8).
constexpr int32_t kBytesPerLine = 57;
// The attachment is read into the text window (free once the text has been sent) in whole lines' worth.
constexpr int32_t kAttachmentWindow = kTextWindowBytes / kBytesPerLine * kBytesPerLine;
static_assert(kAttachmentWindow >= kBytesPerLine, "the window holds at least one line's bytes");

constexpr char kQuote = '"';


// "--" B suffix CR LF: a delimiter line of the message's boundary.
std::string delimiter(const char *suffix) { return delimiterLine(boundaryBase, suffix); }

// The text after the last '\', '/' or ':' of a path (a separator as the first character does not count), or the
// whole path.
const char *fileNamePart(const char *path) {
    const char *name = path;
    if (path[0] == '\0') return name;
    for (const char *p = path + 1; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
    }
    return name;
}

// The name shown for an attachment entry: its file-name part, or what follows the name separator in it.
const char *shownName(const char *entry) {
    const char *name = fileNamePart(entry);
    const char separator = settings.nameSeparator.get();
    if (separator == '\0') return name;
    const char *cut = std::strchr(name, separator);
    return cut ? cut + 1 : name;
}

// The Content-Type of an image attachment by the name's last four characters; null for any other file.
const char *imageContentType(const char *name) {
    static const struct {
        const char *ending;
        const char *line;
    } kImages[] = {
        {".GIF", "Content-Type: Image/GIF"},
        {".BMP", "Content-Type: Image/BMP"},
        {".TIF", "Content-Type: Image/TIFF"},
        {".JPG", "Content-Type: Image/JPEG"},
    };
    size_t length = std::strlen(name);
    if (length <= 4) return nullptr;
    const char *ending = name + length - 4;
    for (const auto &image : kImages) {
        bool same = true;
        for (int i = 0; i < 4 && same; ++i) same = upperAscii(ending[i]) == image.ending[i];
        if (same) return image.line;
    }
    return nullptr;
}

// The transfer-encoding line of a UTF-8 text sent encoded (no line end).
const char *encodedTextTransfer(const SessionRecord &rec) {
    return rec.textTransfer == kTextEncodedBase64 ? "Content-Transfer-Encoding: base64"
                                                  : "Content-Transfer-Encoding: quoted-printable";
}

// 230: the message's Content-Type line.
int32_t sendTopContentType(SessionRecord &rec, uint32_t) {
    std::string line;
    if (!isMimeMessage(rec)) {
        // A UTF-8 plain text without attachments: the message is that one text part.
        line = "Content-Type: text/plain; charset=utf-8\r\n";
        line += encodedTextTransfer(rec);
        line += "\r\n";
        int32_t rc = sendPiece(rec, line);
        if (rc < 0) return rc;
        rec.nextState = kEndOfHeader;
        return 0;
    }
    if (rec.bodyMode == 2 && rec.alternateText) {
        line = "Content-Type: multipart/related;type=";
        line += kQuote;
        line += "multipart/alternative";
        line += kQuote;
        line += ";\r\n boundary=";
    } else if (rec.bodyMode == 2) {
        line = "Content-Type: multipart/related; boundary=";
    } else {
        line = "Content-Type: multipart/mixed; boundary=";
    }
    line += kQuote;
    line += boundaryBase;
    line += kQuote;
    line += "\r\n";
    int32_t rc = sendPiece(rec, line);
    if (rc < 0) return rc;
    rec.nextState = kEndOfHeader;
    return 0;
}

// 234: the first delimiter; with an alternative text, the multipart/alternative that holds it and the text.
int32_t openFirstPart(SessionRecord &rec, uint32_t) {
    int32_t rc = sendPiece(rec, delimiter(""));
    if (rc < 0) return rc;
    if (!rec.alternateText) {
        rec.nextState = kTextPartHeader;
        return 0;
    }
    std::string header("Content-Type: multipart/alternative; boundary=");
    header += kQuote;
    header += boundaryBase;
    header += "ALT===";
    header += kQuote;
    header += "\r\n\r\n";
    if ((rc = sendPiece(rec, header)) < 0) return rc;
    if ((rc = sendPiece(rec, delimiter("ALT==="))) < 0) return rc;
    rec.nextState = kAlternativeHeader;
    return 0;
}

// 400: the alternative's part header and its empty line.
int32_t sendAlternativeHeader(SessionRecord &rec, uint32_t) {
    if (rec.utf8) {
        // The UTF-8 alternative goes out encoded with the next state; its transfer encoding is chosen there.
        rec.nextState = kAlternativeText;
        return 0;
    }
    int32_t rc = sendPiece(rec, "Content-Type: text/plain\r\n\r\n");
    if (rc < 0) return rc;
    rec.nextState = kAlternativeText;
    return 0;
}

// 401: the alternative text, whole, with its own line breaks.
int32_t sendAlternativeText(SessionRecord &rec, uint32_t) {
    std::string text;
    if (rec.utf8) {
        bool base64 = false;
        const std::string encoded = shorterTextEncoding(rec.alternateText, base64);
        text = "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: ";
        text += base64 ? "base64\r\n\r\n" : "quoted-printable\r\n\r\n";
        text += encoded.empty() ? "\r\n" : encoded;
    } else {
        appendTextLines(text, rec.alternateText);
        splitLongLines(text);
        text += "\r\n";
    }
    int32_t rc = sendPiece(rec, text);
    if (rc < 0) return rc;
    rec.nextState = kAlternativeEnd;
    return 0;
}

// 402: the delimiter before the main text inside the alternative.
int32_t endAlternativeText(SessionRecord &rec, uint32_t) {
    int32_t rc = sendPiece(rec, delimiter("ALT==="));
    if (rc < 0) return rc;
    rec.nextState = kTextPartHeader;
    return 0;
}

// 236: the part header of the message text; the quoted-printable modes add a transfer-encoding line.
int32_t sendTextPartHeader(SessionRecord &rec, uint32_t) {
    std::string line;
    bool quoted = true;
    switch (rec.bodyMode) {
    case 1: line = "Content-Type: text/plain"; break;
    case 3: line = "Content-Type: text/enriched"; break;
    case 4: line = "Content-Type: text/plain; charset=iso-8859-1"; break;
    case 9: appendTextLines(line, customContentType); break;
    case 2:
        line = "Content-Type: text/html";
        quoted = false;
        break;
    default:
        line = "Content-Type: text/plain";
        quoted = false;
        break;
    }
    if (rec.utf8 && rec.bodyMode != 4 && rec.bodyMode != 9) line += "; charset=utf-8";
    if (rec.textTransfer != kTextAsMode) quoted = true;
    line += quoted ? "\r\n" : "\r\n\r\n";
    int32_t rc = sendPiece(rec, line);
    if (rc < 0) return rc;
    rec.nextState = quoted ? kTransferEncoding : kTextStart;
    return 0;
}

// 237: the transfer-encoding line and the empty line that ends the text's part header.
int32_t sendTransferEncoding(SessionRecord &rec, uint32_t) {
    std::string line;
    if (rec.textTransfer != kTextAsMode) {
        line = encodedTextTransfer(rec);
    } else if (customTransferEncodingLength != 0) {
        appendTextLines(line, customTransferEncoding);
    } else {
        line = "Content-Transfer-Encoding: quoted-printable";
    }
    line += "\r\n\r\n";
    int32_t rc = sendPiece(rec, line);
    if (rc < 0) return rc;
    rec.nextState = kTextStart;
    return 0;
}

// 260: the delimiter that opens the next attachment's part.
int32_t openAttachmentPart(SessionRecord &rec, uint32_t) {
    std::string line(rec.byteAfterRead == '\n' ? "\r\n" : "\r\n\r\n");
    line += delimiter("");
    int32_t rc = sendPiece(rec, line);
    if (rc < 0) return rc;
    rec.nextState = kAttachmentType;
    return 0;
}

// 261: cut the entry out of the list; its Content-Type (and, for an image, its Content-ID).
int32_t sendAttachmentType(SessionRecord &rec, uint32_t) {
    if (!rec.attachmentList) rec.attachmentList = emptyText;
    char *entry = rec.attachmentList;
    const char separator = settings.attachmentSeparator.get();
    char *cut = separator != '\0' ? std::strchr(entry, separator) : nullptr;
    if (cut) {
        *cut = '\0';
        rec.nextAttachment = cut + 1;
    } else {
        rec.nextAttachment = entry + std::strlen(entry);
    }
    const char *name = shownName(entry);
    const char *image = rec.imageTypes ? imageContentType(name) : nullptr;
    std::string line(image ? image : "Content-Type: application/octet-stream");
    if (rec.utf8 && hasNonAscii(name)) {
        line += encodedNameParameter(name, line.size());
    } else {
        line += "; name=";
        line += kQuote;
        appendHeaderValue(line, name);
        line += kQuote;
    }
    if (image) {
        rec.inlineAttachment = 1;
        ++rec.inlineImageCount;
        line += "\r\nContent-ID: <message-root.";
        line += std::to_string(rec.inlineImageCount);
        line += '>';
    } else {
        rec.inlineAttachment = 0;
    }
    foldLongLines(line);
    line += "\r\n";
    int32_t rc = sendPiece(rec, line);
    if (rc < 0) return rc;
    rec.nextState = kAttachmentEncoding;
    return 0;
}

// 262: the attachment's transfer encoding.
int32_t sendAttachmentEncoding(SessionRecord &rec, uint32_t) {
    int32_t rc = sendPiece(rec, "Content-Transfer-Encoding: base64\r\n");
    if (rc < 0) return rc;
    rec.nextState = kAttachmentDisposition;
    return 0;
}

// 263: the disposition with the file name, and the empty line that ends the part header.
int32_t sendAttachmentDisposition(SessionRecord &rec, uint32_t now) {
    std::string line(rec.inlineAttachment ? "Content-Disposition: inline; filename="
                                          : "Content-Disposition: attachment; filename=");
    const char *name = shownName(rec.attachmentList ? rec.attachmentList : emptyText);
    if (rec.utf8 && hasNonAscii(name)) {
        // RFC 2231: "attachment; filename*=utf-8''...", in place of the plain parameter.
        line.resize(line.size() - std::strlen("; filename="));
        line += extendedFileNameParameter(name, line.size());
    } else {
        line += kQuote;
        appendHeaderValue(line, name);
        line += kQuote;
    }
    foldLongLines(line);
    line += "\r\n\r\n";
    int32_t rc = sendPiece(rec, line);
    if (rc < 0) return rc;
    rec.waitUntil = timerAt(now, 0);
    rec.nextState = kAttachmentFile;
    return 0;
}

// 264: open the file: the entry up to the name separator.
int32_t openAttachmentFile(SessionRecord &rec, uint32_t) {
    const char *entry = rec.attachmentList ? rec.attachmentList : emptyText;
    const char separator = settings.nameSeparator.get();
    const char *cut = separator != '\0' ? std::strchr(entry, separator) : nullptr;
    std::string path = cut ? std::string(entry, static_cast<size_t>(cut - entry)) : std::string(entry);
    logFormat(rec, "Opening attachment [%s]\r\n", path.c_str());
    int32_t handle = platform::openForReading(path.c_str());
    if (handle < 1) return errorExit(rec, handle, TEV_E_CANNOT_OPEN_FILE);
    rec.fileHandle = handle;
    resetTextReader(rec);
    rec.waitWritable = 1;
    rec.nextState = kAttachmentLine;
    return 0;
}

// The next bytes of the attachment for one line (up to 57; fewer only at its end), read ahead into the text
// window; returns their count, 0 at the end of the file or after a read error.
int32_t nextAttachmentBytes(SessionRecord &rec, const unsigned char *&bytes) {
    int32_t unread = rec.textWindowFill - rec.textWindowPos;
    if (unread < kBytesPerLine && !rec.textEnded) {
        std::memmove(rec.textWindow, rec.textWindow + rec.textWindowPos, static_cast<size_t>(unread));
        rec.textWindowPos = 0;
        rec.textWindowFill = unread;
        while (rec.textWindowFill < kBytesPerLine) {
            int32_t count = platform::readFile(rec.fileHandle, rec.textWindow + rec.textWindowFill,
                                               kAttachmentWindow - rec.textWindowFill);
            if (count <= 0) {
                rec.textEnded = 1;
                break;
            }
            rec.textWindowFill += count;
        }
        unread = rec.textWindowFill;
    }
    int32_t take = unread < kBytesPerLine ? unread : kBytesPerLine;
    bytes = reinterpret_cast<const unsigned char *>(rec.textWindow + rec.textWindowPos);
    rec.textWindowPos += take;
    return take;
}

// 265: one base64 line per step; at the end of the file the next attachment or the end of the data.
int32_t sendAttachmentLine(SessionRecord &rec, uint32_t now) {
    const unsigned char *bytes = nullptr;
    int32_t count = nextAttachmentBytes(rec, bytes);
    if (count > 0) {
        addToCounter(rec.attachmentBytesRead, count);
        int32_t length = encodeBase64Line(bytes, count, rec.commandBuffer);
        addToCounter(rec.attachmentBytesSent, length + 2);
        int32_t rc = sendData(rec, rec.commandBuffer, static_cast<size_t>(length) + 2);
        if (rc < 0) return failedSend(rec, rc);
        // The line waits in the send queue: no readiness test before the next one.
        rec.waitUntil = timerAt(now, settings.lineDelay.get());
        rec.deadline = timerAt(now, settings.sendTimeout.get());
        return 0;
    }
    platform::closeFile(rec.fileHandle);
    rec.fileHandle = 0;
    if (rec.nextAttachment && rec.nextAttachment[0] != '\0') {
        rec.attachmentList = rec.nextAttachment;
        rec.nextState = kAttachmentPart;
    } else {
        rec.nextState = kEndOfData;
    }
    return 0;
}

}  // namespace

StateStep smtpMimeStep(int32_t state) {
    switch (state) {
    case kTopContentType: return sendTopContentType;
    case kFirstPart: return openFirstPart;
    case kTextPartHeader: return sendTextPartHeader;
    case kTransferEncoding: return sendTransferEncoding;
    case kAlternativeHeader: return sendAlternativeHeader;
    case kAlternativeText: return sendAlternativeText;
    case kAlternativeEnd: return endAlternativeText;
    case kAttachmentPart: return openAttachmentPart;
    case kAttachmentType: return sendAttachmentType;
    case kAttachmentEncoding: return sendAttachmentEncoding;
    case kAttachmentDisposition: return sendAttachmentDisposition;
    case kAttachmentFile: return openAttachmentFile;
    case kAttachmentLine: return sendAttachmentLine;
    default: return nullptr;
    }
}

}  // namespace tev
