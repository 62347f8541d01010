// Text extraction (tevExtractText, tevExtractLine) has no internal interface of its own: its key search,
// findKeyword, is shared by several modules and lives in frame/text.h.
#pragma once

#include "frame/text.h"
