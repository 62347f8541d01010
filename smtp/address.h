// Address texts and lists: the light check of the sending functions, the RCPT walk over a list, and the strict
// syntax check applications can call (tevVerifyFormat).
#pragma once

#include <cstdint>

namespace tev {

struct SessionRecord;

// Position of c in text, searching only up to the first address separator or the end; null when not found.
const char *findInElement(const char *text, char c);
// 0 when the text passes; -37, -41 (through the error exit), -43, or -32 when it holds a CR or LF.
int32_t checkAddressField(SessionRecord &rec, const char *text, bool listMode);
// Cuts the next address out of addressCursor into currentAddress (state 206); 0, or the error exit's code.
int32_t nextListAddress(SessionRecord &rec);
// True when an address between '<' and '>' anywhere in the text holds a byte of 128 or more (RFC 6531: it needs
// SMTPUTF8); display names do not count.  A null text has none.
bool hasUtf8Address(const char *text);
// Puts back the separator nextListAddress replaced by NUL.
void restoreListSeparator(SessionRecord &rec);

}  // namespace tev
