// What the MIME decoder's files share (internal to pop3/): encoded words and quoted-printable text
// (pop3/encoded_words.cpp), attachment files and their names (pop3/attachments.cpp).  The line logic that uses
// them is pop3/decoder.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "frame/record.h"

namespace tev::mime {

// The line buffers the decoder works in: replyBuffer and workBuffer.
constexpr size_t kLineRoom = kBigBufferSize;

// ---- Encoded words (RFC 2047, ISO-8859-1 only) ----

enum class WordEncoding { none, quoted, base64 };

// The encoding of the first ISO-8859-1 encoded word in text: a Q word when "=?iso-8859-1?q?" occurs, else a B
// word when "=?iso-8859-1?b?" occurs (letters in any case); none otherwise.
WordEncoding encodedWordIn(const char *text);

// Unwraps the encoded words of a NUL-terminated line held in a kLineRoom buffer, from its fifth character on, at
// most two of them.  Q: the markers ("=?iso-8859-1?x?" and "?=") are removed and the word text stays as it is.
// B: the first word is base64-decoded in place and the rest of the line becomes blanks, so the line keeps its
// length and ends in CR LF; nothing after it is looked at.
void unwrapEncodedWords(char *line, WordEncoding mode);

// Decodes a header line whose Q words have been unwrapped: quoted-printable escapes outside any encoded word
// that is left (one of another charset stays as received); a decoded CR, LF or NUL becomes a blank and the line
// keeps its line end.  Writes at most capacity bytes (NUL included) to out; returns the length.
int32_t decodeHeaderQuoted(const char *line, char *out, size_t capacity);

// ---- Attachment files ----

// Keeps only the last path component of a name (what follows the last '\', '/' or ':'); a name that is then
// empty, "." or ".." becomes "noname".  So a received name can never lead out of the attachment directory.
void keepFileNameOnly(char *name);

// Opens the attachment file for attachmentFileName in attachmentDirectory (numbered when asked), closing without a
// note a file still open.  A file that cannot be created leaves fileHandle 0; the part then goes on without one.
void openAttachment(SessionRecord &rec);

// Closes the attachment file without recording it (nothing saved: no note, no count).
void dropAttachment(SessionRecord &rec);

// UTF-8 mail: a file name taken from a part's header (already decoded to UTF-8) set as attachmentFileName:
// control characters become '_', only the last path component is kept ("noname" when that is empty, "." or
// ".."), cut to 128 bytes without splitting a UTF-8 sequence.
void setReceivedName(SessionRecord &rec, const std::string &name);

// ---- Text parts of UTF-8 mail (pop3/text_parts.cpp) ----

// Writes decoded bytes of a text part to the message file in UTF-8, converted from partCharset line by line;
// an unfinished line waits in textCarry.
void writePartText(SessionRecord &rec, const char *bytes, size_t length);

// Writes bytes to the message file through the decoder's writer.
void writeToMessage(SessionRecord &rec, const char *bytes, size_t length);

}  // namespace tev::mime
