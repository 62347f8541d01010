// MIME body and attachments (not built yet).
#include "engine/driver.h"

namespace tev {
StateStep smtpMimeStep(int32_t) { return nullptr; }
}  // namespace tev
