// POSIX: a host's callbacks report failures through errno.
#include <cerrno>

#include "platform/last_error.h"

namespace platform {

int LastErrorCode() { return errno; }

bool IsConnectionReset(int code) { return code == ECONNRESET; }

}  // namespace platform
