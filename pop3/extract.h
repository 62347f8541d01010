// Key search shared by the SMTP session, the MIME decoder and text extraction.
#pragma once

namespace tev {

// First position of keyword in text (ASCII letters without regard to case, the keyword's last character not
// compared), or null.  A one-character keyword never matches; an empty keyword matches at the start.
const char *findKeyword(const char *text, const char *keyword);

}  // namespace tev
