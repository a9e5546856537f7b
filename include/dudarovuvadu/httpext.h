/* The web-server extension interface, declared for POSIX hosts.
 *
 * This is the published ISAPI shape: a host loads the module, calls
 * GetExtensionVersion once, HttpExtensionProc once per request with an
 * EXTENSION_CONTROL_BLOCK whose callbacks reach back into the host, and
 * TerminateExtension before unloading. A host written against this header
 * alone can load the module. On Windows the platform's own httpext.h is used.
 */
#ifndef DUDAROVUVADU_HTTPEXT_H
#define DUDAROVUVADU_HTTPEXT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef void* HCONN;
typedef char* LPSTR;
typedef unsigned char* LPBYTE;
typedef void* LPVOID;
typedef void* PVOID;
typedef DWORD* LPDWORD;

/* The calling convention of the entry points and callbacks: the platform's
 * on Windows, the default one here. */
#ifndef WINAPI
#define WINAPI
#endif

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define HSE_VERSION_MAJOR 4
#define HSE_VERSION_MINOR 0
#define HSE_MAX_EXT_DLL_NAME_LEN 256
#define HSE_LOG_BUFFER_LEN 80

/* Results of HttpExtensionProc. */
#define HSE_STATUS_SUCCESS 1
#define HSE_STATUS_SUCCESS_AND_KEEP_CONN 2
#define HSE_STATUS_PENDING 3
#define HSE_STATUS_ERROR 4

/* ServerSupportFunction requests. For HSE_REQ_SEND_RESPONSE_HEADER the
 * buffer is the status line text ("200 OK"), the size is unused, and the
 * dataType argument carries a pointer to the header text (or is null). */
#define HSE_REQ_SEND_RESPONSE_HEADER 3
/* Ends a request whose HttpExtensionProc answered HSE_STATUS_PENDING: the
 * buffer points to a DWORD HSE_STATUS_SUCCESS or HSE_STATUS_ERROR (error: the
 * connection is dropped). Called exactly once; the control block is gone
 * afterwards. */
#define HSE_REQ_DONE_WITH_SESSION 4
#define HSE_REQ_END_RESERVED 1000
/* Registers the completion callback of asynchronous writes: the buffer is the
 * PFN_HSE_IO_COMPLETION, the dataType argument the context handed to it. A
 * server that cannot write asynchronously answers FALSE. */
#define HSE_REQ_IO_COMPLETION (HSE_REQ_END_RESERVED + 5)

/* WriteClient flags. HSE_IO_ASYNC starts the write and returns at once; the
 * buffer stays the caller's until the completion callback runs (maybe on
 * another thread, maybe before WriteClient has returned) with the bytes
 * written and an error code (0: success). One such write at a time. */
#define HSE_IO_SYNC 0x00000001
#define HSE_IO_ASYNC 0x00000002

typedef struct _HSE_VERSION_INFO {
  DWORD dwExtensionVersion;
  char lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN];
} HSE_VERSION_INFO, *LPHSE_VERSION_INFO;

/* GetServerVariable: on entry *size is the buffer's capacity. On success the
 * zero-terminated value is stored and *size is the bytes stored, terminator
 * included. A buffer that is too small fails and *size reports the bytes
 * needed; an unknown name fails. On POSIX a failed header send leaves its
 * cause in errno (ECONNRESET: the client has gone). */
typedef struct _EXTENSION_CONTROL_BLOCK {
  DWORD cbSize;
  DWORD dwVersion;
  HCONN ConnID;
  DWORD dwHttpStatusCode;
  char lpszLogData[HSE_LOG_BUFFER_LEN];
  LPSTR lpszMethod;
  LPSTR lpszQueryString;
  LPSTR lpszPathInfo;
  LPSTR lpszPathTranslated;
  DWORD cbTotalBytes;
  DWORD cbAvailable;
  LPBYTE lpbData;
  LPSTR lpszContentType;
  BOOL(WINAPI* GetServerVariable)
  (HCONN hConn, LPSTR lpszVariableName, LPVOID lpvBuffer, LPDWORD lpdwSize);
  BOOL(WINAPI* WriteClient)(HCONN ConnID, LPVOID Buffer, LPDWORD lpdwBytes, DWORD dwReserved);
  BOOL(WINAPI* ReadClient)(HCONN ConnID, LPVOID lpvBuffer, LPDWORD lpdwSize);
  BOOL(WINAPI* ServerSupportFunction)
  (HCONN hConn, DWORD dwHSERequest, LPVOID lpvBuffer, LPDWORD lpdwSize, LPDWORD lpdwDataType);
} EXTENSION_CONTROL_BLOCK, *LPEXTENSION_CONTROL_BLOCK;

/* The completion callback of asynchronous writes (HSE_REQ_IO_COMPLETION). */
typedef void(WINAPI* PFN_HSE_IO_COMPLETION)(EXTENSION_CONTROL_BLOCK* pECB, PVOID pContext,
                                            DWORD cbIO, DWORD dwError);

/* Total bytes of a body too large to be counted. */
#define HSE_BODY_LENGTH_UNKNOWN 0xFFFFFFFFu

BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO* pVer);
DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK* pECB);
BOOL WINAPI TerminateExtension(DWORD dwFlags);

typedef BOOL(WINAPI* PFN_GETEXTENSIONVERSION)(HSE_VERSION_INFO* pVer);
typedef DWORD(WINAPI* PFN_HTTPEXTENSIONPROC)(EXTENSION_CONTROL_BLOCK* pECB);
typedef BOOL(WINAPI* PFN_TERMINATEEXTENSION)(DWORD dwFlags);

#ifdef __cplusplus
}
#endif

#endif /* DUDAROVUVADU_HTTPEXT_H */
