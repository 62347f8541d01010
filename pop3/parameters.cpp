// MIME header parameters (RFC 2045 5.1) with RFC 2231 extended values and continuations, and RFC 2047 words in
// plain values, decoded to UTF-8 through the charset conversion of pop3/charsets.
#include "pop3/parameters.h"

#include <cstring>
#include <map>

#include "pop3/charsets.h"

namespace tev::mime {

namespace {

constexpr size_t kMaxSectionDigits = 9;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Where the header's value starts: after its ':' (the line's end when it has none).
const char *afterColon(const char *line) {
    const char *colon = std::strchr(line, ':');
    return colon ? colon + 1 : line + std::strlen(line);
}

std::string percentDecoded(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 && hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

void appendTo(void *context, const char *bytes, size_t length) {
    static_cast<std::string *>(context)->append(bytes, length);
}

std::string inUtf8(const std::string &charset, const std::string &bytes) {
    std::string out;
    convertTextToUtf8(charset.c_str(), bytes.data(), bytes.size(), true, appendTo, &out);
    return out;
}

// "charset'language'text": the charset, and the text after the second apostrophe.  Without two apostrophes
// the whole value is text of no declared charset.
void splitExtended(const std::string &value, std::string &charset, std::string &text) {
    const size_t first = value.find('\'');
    const size_t second = first == std::string::npos ? first : value.find('\'', first + 1);
    if (second == std::string::npos) {
        charset.clear();
        text = value;
        return;
    }
    charset = value.substr(0, first);
    text = value.substr(second + 1);
}

// A section mark after "name*": the section number and whether the section is %-encoded ("name*1*").
bool sectionOf(const std::string &mark, unsigned long &number, bool &encoded) {
    size_t digits = 0;
    number = 0;
    while (digits < mark.size() && mark[digits] >= '0' && mark[digits] <= '9') {
        if (digits == kMaxSectionDigits) return false;
        number = number * 10 + static_cast<unsigned long>(mark[digits] - '0');
        ++digits;
    }
    if (digits == 0) return false;
    if (digits == mark.size()) {
        encoded = false;
        return true;
    }
    encoded = digits + 1 == mark.size() && mark[digits] == '*';
    return encoded;
}

}  // namespace

std::string headerType(const char *line) {
    const char *p = afterColon(line);
    while (*p != '\0' && isBlank(*p)) ++p;
    std::string type;
    while (*p != '\0' && *p != ';' && !isBlank(*p)) type += lower(*p++);
    return type;
}

std::vector<Parameter> parseParameters(const char *line) {
    std::vector<Parameter> parameters;
    const char *p = afterColon(line);
    while (*p != '\0' && *p != ';') ++p;
    while (*p != '\0') {
        while (*p == ';' || isBlank(*p)) ++p;
        Parameter parameter;
        while (*p != '\0' && *p != '=' && *p != ';' && !isBlank(*p)) parameter.name += lower(*p++);
        while (isBlank(*p)) ++p;
        if (*p != '=') {
            while (*p != '\0' && *p != ';') ++p;
            continue;
        }
        ++p;
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == '"') {
            // A quoted string; one without its closing quote runs to the end of the line.
            for (++p; *p != '\0' && *p != '"' && *p != '\r' && *p != '\n'; ++p) {
                if (*p == '\\' && p[1] != '\0' && p[1] != '\r' && p[1] != '\n') ++p;
                parameter.value += *p;
            }
            if (*p == '"') ++p;
        } else {
            while (*p != '\0' && *p != ';' && !isBlank(*p)) parameter.value += *p++;
        }
        if (!parameter.name.empty()) parameters.push_back(std::move(parameter));
    }
    return parameters;
}

bool decodedParameter(const std::vector<Parameter> &parameters, const char *name, std::string &value) {
    const std::string plainName = name;
    const std::string starred = plainName + "*";
    const Parameter *plain = nullptr;
    const Parameter *extended = nullptr;
    std::map<unsigned long, std::pair<bool, const std::string *>> sections;
    for (const Parameter &parameter : parameters) {
        if (parameter.name == plainName) {
            if (!plain) plain = &parameter;
        } else if (parameter.name == starred) {
            if (!extended) extended = &parameter;
        } else if (parameter.name.compare(0, starred.size(), starred) == 0) {
            unsigned long number = 0;
            bool encoded = false;
            if (sectionOf(parameter.name.substr(starred.size()), number, encoded)) {
                sections.emplace(number, std::make_pair(encoded, &parameter.value));  // the first one counts
            }
        }
    }
    std::string charset, text;
    if (extended) {
        splitExtended(extended->value, charset, text);
        value = inUtf8(charset, percentDecoded(text));
        return true;
    }
    if (!sections.empty()) {
        std::string bytes;
        bool first = true;
        for (const auto &section : sections) {
            const bool encoded = section.second.first;
            text = *section.second.second;
            if (first && encoded) splitExtended(text, charset, text);
            first = false;
            bytes += encoded ? percentDecoded(text) : text;
        }
        value = inUtf8(charset, bytes);
        return true;
    }
    if (!plain) return false;
    value = decodeWordsToUtf8(plain->value.c_str());
    return true;
}

}  // namespace tev::mime
