/* The web-server extension interface on Windows: the platform's own
 * httpext.h, under the name the module's sources include. It declares the
 * entry points and callbacks with the WINAPI calling convention. */
#ifndef DUDAROVUVADU_WIN32_HTTPEXT_H
#define DUDAROVUVADU_WIN32_HTTPEXT_H

#include <windows.h>
/* httpext.h needs the types of windows.h first. */
#include <httpext.h>

/* windows.h names these after its A/W functions; the module's own functions
 * of the same names live in their namespaces. */
#undef ReplaceFile

/* Total bytes of a body too large to be counted. */
#ifndef HSE_BODY_LENGTH_UNKNOWN
#define HSE_BODY_LENGTH_UNKNOWN 0xFFFFFFFFu
#endif

#endif /* DUDAROVUVADU_WIN32_HTTPEXT_H */
