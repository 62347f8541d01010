// Parameters of Content-Type and Content-Disposition header lines (RFC 2045 5.1) for UTF-8 mail: the media or
// disposition type, quoted values, and RFC 2231 values ("charset'language'%xx", numbered sections) decoded to
// UTF-8.  Pure text functions on one unfolded header line; nothing is cut here, the caller bounds the results.
#pragma once

#include <string>
#include <vector>

namespace tev::mime {

struct Parameter {
    std::string name;   // lower case, RFC 2231 section marks kept: "filename*0*"
    std::string value;  // a quoted string's text without its quotes and backslashes
};

// The type after the header name's ':' (lower case, blanks trimmed: "text/plain", "attachment") and the
// parameters that follow it, in the order given.
std::string headerType(const char *line);
std::vector<Parameter> parseParameters(const char *line);

// The value of parameter `name` (lower case) in UTF-8: an RFC 2231 value ("name*", or the sections "name*0",
// "name*1*", ... joined in their order) when there is one, else the plain value with its RFC 2047 words decoded.
// Bytes of a charset iconv does not know are kept as they are.  False when the parameter is not there.
bool decodedParameter(const std::vector<Parameter> &parameters, const char *name, std::string &value);

}  // namespace tev::mime
