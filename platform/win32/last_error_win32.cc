// Windows: a host's callbacks report failures through the thread's last
// error.
#include <windows.h>

#include "platform/last_error.h"

namespace platform {

// WSAECONNRESET, without pulling in the sockets header for one number.
const int kConnectionResetCode = 10054;

int LastErrorCode() { return static_cast<int>(GetLastError()); }

bool IsConnectionReset(int code) { return code == kConnectionResetCode; }

namespace testing {

void SetLastErrorCode(int code) { SetLastError(static_cast<DWORD>(code)); }

}  // namespace testing

}  // namespace platform
