// POSIX: a host's callbacks report failures through errno.
#include <cerrno>

#include "platform/last_error.h"

namespace platform {

int LastErrorCode() { return errno; }

const int kConnectionResetCode = ECONNRESET;

bool IsConnectionReset(int code) { return code == kConnectionResetCode; }

namespace testing {

void SetLastErrorCode(int code) { errno = code; }

}  // namespace testing

}  // namespace platform
