// Address texts and lists: an element is any text, '<', the address, '>' and optionally more text; a list joins
// elements with the process-wide address separator (no quoting).  The sending functions apply a light check
// (checkAddressField), the RCPT loop cuts one element after the other out of a list (nextListAddress), and
// tevVerifyFormat is the strict syntax check applications can call on its own.
#include "smtp/address.h"

#include <cstring>

#include "engine/driver.h"
#include "frame/record.h"
#include "frame/text.h"
#include "tev32.h"

namespace tev {

namespace {

// Letters, digits and the few punctuation characters an address may hold between its brackets.
bool allowedInAddress(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return std::strchr("_-/.@$&'", c) != nullptr && c != '\0';
}

}  // namespace

const char *findInElement(const char *text, char c) {
    if (text == nullptr) return nullptr;
    const char separator = settings.addressSeparator.get();
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == c) return p;
        if (*p == separator) return nullptr;
    }
    return nullptr;
}

int32_t checkAddressField(SessionRecord &rec, const char *text, bool listMode) {
    if (text == nullptr || text[0] == '\0') return TEV_E_EMPTY_ADDRESS;
    // A line break inside an address would end the command line it is sent in and start another.
    if (hasLineBreak(text)) return TEV_E_BAD_ADDRESS_CHAR;
    const char *open = listMode ? findInElement(text, '<') : std::strchr(text, '<');
    const char *close = listMode ? findInElement(text, '>') : std::strchr(text, '>');
    if (open == nullptr) return errorExit(rec, 0, TEV_E_MISSING_LT);
    if (close == nullptr || close < open) return TEV_E_MISSING_GT;
    return 0;
}

int32_t nextListAddress(SessionRecord &rec) {
    rec.currentAddress = const_cast<char *>(findInElement(rec.addressCursor, '<'));
    if (rec.currentAddress == nullptr) return errorExit(rec, 0, TEV_E_EMPTY_ADDRESS);
    const char separator = settings.addressSeparator.get();
    // A NUL separator would "find" the text's own end and walk the cursor past it.
    char *cut = separator != '\0' ? std::strchr(rec.currentAddress, separator) : nullptr;
    if (cut != nullptr) {
        rec.separatorPos = cut;
        *cut = '\0';
        rec.addressCursor = cut + 1;
    } else {
        rec.separatorPos = nullptr;
        rec.addressCursor = emptyText;
    }
    return 0;
}

bool hasUtf8Address(const char *text) {
    bool inside = false;
    for (const char *p = text; p != nullptr && *p != '\0'; ++p) {
        if (*p == '<') inside = true;
        else if (*p == '>') inside = false;
        else if (inside && static_cast<unsigned char>(*p) >= 0x80) return true;
    }
    return false;
}

void restoreListSeparator(SessionRecord &rec) {
    if (rec.separatorPos == nullptr) return;
    *rec.separatorPos = settings.addressSeparator.get();
    rec.separatorPos = nullptr;
}

}  // namespace tev

// 1 when the first address of the text is well formed; otherwise the code of the first fault found.
extern "C" int32_t tevVerifyFormat(const char *address) {
    using tev::findInElement;
    if (address == nullptr) return TEV_E_NULL_POINTER;
    if (address[0] == '\0') return TEV_E_EMPTY_ADDRESS;
    const char *open = findInElement(address, '<');
    if (open == nullptr) return TEV_E_MISSING_LT;
    const char *close = findInElement(address, '>');
    if (close == nullptr || close < open) return TEV_E_MISSING_GT;
    if (close == open + 1) return TEV_E_NULL_POINTER;
    if (open[1] == '@' || close[-1] == '@') return TEV_E_EMPTY_ADDRESS;
    int atCount = 0;
    for (const char *p = open + 1; p < close; ++p) {
        if (*p == '@' && ++atCount > 1) return TEV_E_TOO_MANY_AT;
        if (!tev::allowedInAddress(*p)) return TEV_E_BAD_ADDRESS_CHAR;
    }
    return atCount == 1 ? 1 : TEV_E_MISSING_AT;
}
