// The Date header line (RFC 5322 date-time with the true UTC offset, minutes included).
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace tev {

// "Date: Mon, 7 Dec 2026 4:05:09 +0100" (no CR LF) into buffer; returns its length.
int buildDateLine(char *buffer, size_t capacity);
int formatDateLine(char *buffer, size_t capacity, const platform::LocalTime &t);

}  // namespace tev
