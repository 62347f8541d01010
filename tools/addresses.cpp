// Address lists as tevmail's user writes them, turned into the form the library takes.

#include "addresses.h"

#include "text.h"

namespace tevmail {

std::string normaliseAddress(const std::string &text) {
    std::string address = trim(text);
    if (!address.empty() && address.find('<') == std::string::npos && address.find('>') == std::string::npos) {
        return "<" + address + ">";
    }
    return address;
}

std::string normaliseList(const std::string &list) {
    std::string result;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string element = normaliseAddress(list.substr(start, comma == std::string::npos ? std::string::npos
                                                                                              : comma - start));
        if (!element.empty()) {
            if (!result.empty()) result += ", ";
            result += element;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return result;
}

}  // namespace tevmail
