// The calling thread's last error code, as a host leaves it after a failed
// callback (errno on POSIX, GetLastError on Windows).
#pragma once

namespace platform {

int LastErrorCode();

// True when `code` means the client reset the connection (ECONNRESET on
// POSIX, WSAECONNRESET 10054 on Windows).
bool IsConnectionReset(int code);

// The code a host leaves when the client reset the connection.
extern const int kConnectionResetCode;

namespace testing {
// Leaves `code` as the calling thread's last error, as a failing host
// callback does. For tests that play the host.
void SetLastErrorCode(int code);
}  // namespace testing

}  // namespace platform
