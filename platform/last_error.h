// The calling thread's last error code, as a host leaves it after a failed
// callback (errno on POSIX, GetLastError on Windows).
#pragma once

namespace platform {

int LastErrorCode();

// True when `code` means the client reset the connection (ECONNRESET on
// POSIX, WSAECONNRESET 10054 on Windows).
bool IsConnectionReset(int code);

}  // namespace platform
