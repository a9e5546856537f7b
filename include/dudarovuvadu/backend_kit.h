/* The back-end kit: the spool's other side for back-end authors, as a C
 * interface (libdudarovuvadu-backend-kit.so.1). A back-end opens the install
 * root, takes each request, posted body and event line as it arrives
 * (claimed for this instance when several share the spool), reads its
 * fields, and answers it; the kit writes every file as the module expects
 * it (CR LF text, the answer whole before its ready flag) and removes
 * abandoned tickets. docs/backend-kit.md has a first back-end and the files
 * each call reads and writes.
 *
 * Conventions of every call:
 * - A call returns a dbk_result; DBK_OK (0) is success, a negative value an
 *   error, and nothing else is changed on an error unless the call says so.
 *   No call throws, aborts or exits on bad input.
 * - Handles are opaque. A dbk_spool is used by one thread at a time; a
 *   dbk_work belongs to its spool and must be freed before it.
 * - const char* results point into the handle they came from and stay valid
 *   until that handle is freed, unless said otherwise; the caller never
 *   frees them. Buffers the kit allocates for the caller (char** out) are
 *   freed with dbk_free.
 * - Text is bytes (ISO-8859-1 as the module writes it) with LF line ends;
 *   the kit stores each LF as CR LF and reads CR LF back as LF.
 */
#ifndef DUDAROVUVADU_BACKEND_KIT_H
#define DUDAROVUVADU_BACKEND_KIT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define DBK_API __attribute__((visibility("default")))
#else
#define DBK_API
#endif

/* The interface version: the major number is the library's SONAME version
 * and changes only when a call changes incompatibly. */
#define DBK_VERSION_MAJOR 1
#define DBK_VERSION_MINOR 0

typedef enum dbk_result {
  DBK_OK = 0,
  DBK_TIMEOUT = 1,            /* nothing arrived in the time given */
  DBK_ERROR_ARGUMENT = -1,    /* a null handle or pointer, a bad option or field */
  DBK_ERROR_NO_SPOOL = -2,    /* a spool folder is missing or is no folder */
  DBK_ERROR_IO = -3,          /* a file could not be read or written (a full disk, ...);
                                 nothing partial is left under a final name */
  DBK_ERROR_GONE = -4,        /* the request was picked up, withdrawn or its number taken
                                 by a new request: nothing was written */
  DBK_ERROR_NOT_ALLOWED = -5, /* a value the module could not use (a logon that names no
                                 file, a rights entry or download path too long, ...) */
  DBK_ERROR_MALFORMED = -6,   /* the request or server file is not as the module writes it:
                                 see dbk_request_problem */
  DBK_ERROR_STATE = -7,       /* the call does not fit this work (answering a posted body,
                                 answering twice, ...) */
  DBK_ERROR_MEMORY = -8       /* out of memory */
} dbk_result;

/* A short English name of a result ("io error", ...); static, never NULL. */
DBK_API const char* dbk_result_text(dbk_result result);

/* Frees a buffer the kit allocated for the caller; NULL is ignored. */
DBK_API void dbk_free(void* buffer);

/* --- The spool ----------------------------------------------------------- */

typedef struct dbk_spool dbk_spool;

typedef struct dbk_options {
  uint32_t struct_size;         /* sizeof(dbk_options), set by dbk_options_init */
  const char* instance;         /* written into this instance's claims for a person
                                   looking at them; NULL: host name and process id */
  uint32_t claim_timeout_s;     /* a claim this old is taken over (its holder died); 30 */
  uint32_t rescan_ms;           /* with inotify, the folders are listed again this often
                                   (other machines' writes); 250 */
  uint32_t poll_ms;             /* without inotify, they are listed this often; 50 */
  uint32_t ticket_lifetime_s;   /* a ticket none of whose files changed for this long is
                                   removed; 0: never; 3600 */
  uint32_t incomplete_grace_ms; /* a request file still short of its six lines after this
                                   long is handed over as malformed; 2000 */
  int32_t force_polling;        /* nonzero: list the folders on a timer, no inotify; 0 */
} dbk_options;

/* Fills `options` with the defaults above. */
DBK_API void dbk_options_init(dbk_options* options);

/* Opens the install root `root` (holding in, out, post, rights, events) and
 * makes its claims folder when missing. `options` may be NULL (defaults).
 * On success *spool is a new handle for dbk_spool_close. On an error *spool
 * is NULL, except for DBK_ERROR_NO_SPOOL and DBK_ERROR_IO, where it is a
 * handle whose dbk_spool_last_error says why and which only dbk_spool_close
 * accepts. */
DBK_API dbk_result dbk_spool_open(const char* root, const dbk_options* options, dbk_spool** spool);
/* Closes the spool; NULL is ignored. Work not yet freed must not be used. */
DBK_API void dbk_spool_close(dbk_spool* spool);
/* Why the last call on this spool (or its work) failed, in words; "" when
 * it did not. Valid until the next call on the spool. */
DBK_API const char* dbk_spool_last_error(const dbk_spool* spool);
/* 1 when changes are watched with inotify, 0 when the folders are listed on
 * a timer only. */
DBK_API int dbk_spool_uses_inotify(const dbk_spool* spool);
/* How many abandoned tickets this spool has removed since it was opened
 * (see ticket_lifetime_s). */
DBK_API uint64_t dbk_spool_expired_tickets(const dbk_spool* spool);

/* --- Work: requests, posted bodies, event lines --------------------------- */

typedef struct dbk_work dbk_work;

typedef enum dbk_kind {
  DBK_REQUEST = 1, /* in/N.req: answer it */
  DBK_POSTED = 2,  /* post/N.txt with post/N.rdy: consume it */
  DBK_EVENT = 3    /* one whole new line of events/logon.evt */
} dbk_kind;

/* Waits at most `timeout_ms` (0: does not wait; negative: no bound) for the
 * next work and claims it for this instance. DBK_OK with *work set (free it
 * with dbk_work_free), or DBK_TIMEOUT with *work NULL. A request or posted
 * body is handed out once; event lines once each, in order. */
DBK_API dbk_result dbk_next(dbk_spool* spool, int32_t timeout_ms, dbk_work** work);

/* For a loop of one's own, and for tests: lists the folders once as at
 * `now_ms` (milliseconds of the monotonic clock, see dbk_now_ms), without
 * waiting, and queues what is due; dbk_take then takes it. */
DBK_API dbk_result dbk_step(dbk_spool* spool, uint64_t now_ms);
/* Takes queued work without looking at the folders: DBK_OK with *work set,
 * or DBK_TIMEOUT with *work NULL when nothing is queued. */
DBK_API dbk_result dbk_take(dbk_spool* spool, dbk_work** work);
/* The monotonic clock dbk_step and the timeouts use, in milliseconds. */
DBK_API uint64_t dbk_now_ms(void);

DBK_API dbk_kind dbk_work_kind(const dbk_work* work);
/* The ticket (request), post number (posted body) or logon (event line). */
DBK_API const char* dbk_work_name(const dbk_work* work);
/* Frees the work; NULL is ignored. A claim stays in place: the work counts
 * as done by this instance (see dbk_work_release). */
DBK_API void dbk_work_free(dbk_work* work);
/* Gives the claim up and frees the work: another instance, or this one at
 * its next listing, takes the work again. */
DBK_API dbk_result dbk_work_release(dbk_work* work);

/* --- A request ----------------------------------------------------------- */

typedef enum dbk_field {
  DBK_SCRIPT_NAME = 0, /* the URL path of the module */
  DBK_LOGON = 1,
  DBK_COMMAND = 2,
  DBK_TICKET = 3, /* as written in the request file */
  DBK_P2 = 4,
  DBK_P3 = 5,     /* may hold LF (a posted form's field) */
  DBK_SCHEME = 6, /* from in/N.srv: "http" or "https" */
  DBK_SERVER_NAME = 7,
  DBK_SERVER_PORT = 8
} dbk_field;

/* Why the request cannot be read as the module writes it (cut short, too
 * large, not a request file), or NULL when it can. A malformed request is
 * still answered, usually with an error page. */
DBK_API const char* dbk_request_problem(const dbk_work* work);
/* One field: *value (not NUL-terminated when it holds NUL bytes; *length
 * counts its bytes) owned by the work. DBK_ERROR_MALFORMED when the request
 * file (or, for the last three, the server file) is unusable. */
DBK_API dbk_result dbk_request_field(const dbk_work* work, dbk_field field, const char** value,
                                     size_t* length);
/* "scheme://name:port/script": the module's URL as the client reached it,
 * for links in an answer; owned by the work. */
DBK_API dbk_result dbk_request_url(const dbk_work* work, const char** url);

/* Answers the request with `text` (a page or a phone text; LF line ends,
 * `length` bytes): out/N.htm is written whole under a temporary name and
 * renamed, then out/N.rdy is created. DBK_ERROR_IO leaves neither (nor a
 * temporary file); DBK_ERROR_GONE when the request file is no longer the
 * one handed out. Once answered, a request cannot be answered again. */
DBK_API dbk_result dbk_answer(dbk_work* work, const char* text, size_t length);
/* Answers with a download of the file at `absolute_path`, which the module
 * sends byte for byte. DBK_ERROR_NOT_ALLOWED when the path cannot be handed
 * to the module (not absolute, a backslash or control byte, over 254
 * characters). */
DBK_API dbk_result dbk_answer_download(dbk_work* work, const char* absolute_path);

/* --- A posted body ------------------------------------------------------- */

/* The number of bytes the module received (from post/N.rdy). */
DBK_API dbk_result dbk_posted_length(const dbk_work* work, uint64_t* received);
/* The path of post/N.txt, owned by the work: the data as stored (each LF as
 * CR LF, NUL as '|'). */
DBK_API const char* dbk_posted_path(const dbk_work* work);
/* Removes the consumed data (the ready file, then the data file), so the
 * module's numbers do not walk past it. */
DBK_API dbk_result dbk_posted_done(dbk_work* work);

/* --- An event line ------------------------------------------------------- */

/* The line "P1;P2;P3" without its line end, owned by the work. */
DBK_API dbk_result dbk_event_line(const dbk_work* work, const char** line, size_t* length);

/* --- Rights lists -------------------------------------------------------- */

/* Entries are file names as clients send them in P1 (dbk_escape with
 * DBK_ESCAPE_FILE_NAME makes one from a path). The list rights/~logon.lst
 * is replaced whole, never written in place. DBK_ERROR_NOT_ALLOWED for a
 * logon that cannot name a file or an entry over 1022 characters or holding
 * a line end; DBK_ERROR_IO when it cannot be written (the old list stays). */
DBK_API dbk_result dbk_rights_grant(dbk_spool* spool, const char* logon, const char* entry);
DBK_API dbk_result dbk_rights_revoke(dbk_spool* spool, const char* logon, const char* entry);
/* Replaces the list with `count` entries. */
DBK_API dbk_result dbk_rights_set(dbk_spool* spool, const char* logon, const char* const* entries,
                                  size_t count);

/* --- Text helpers -------------------------------------------------------- */

typedef enum dbk_escape_kind {
  DBK_ESCAPE_HTML = 0,       /* & < > " ' as entities */
  DBK_ESCAPE_URL = 1,        /* a query value the module decodes back exactly */
  DBK_ESCAPE_FILE_NAME = 2,  /* a path as P1 and rights lists carry it ("[2f]" escapes) */
  DBK_UNESCAPE_FILE_NAME = 3 /* the reverse */
} dbk_escape_kind;

/* Escapes `length` bytes of `text`. *out (NUL-terminated, *out_length bytes
 * without the NUL; out_length may be NULL) is freed with dbk_free. */
DBK_API dbk_result dbk_escape(dbk_escape_kind kind, const char* text, size_t length, char** out,
                              size_t* out_length);
/* The first line of an answer that makes the module send `absolute_path` as
 * a download ("\\" and the path with backslashes), freed with dbk_free. */
DBK_API dbk_result dbk_download_line(const char* absolute_path, char** out);

#ifdef __cplusplus
}
#endif

#endif /* DUDAROVUVADU_BACKEND_KIT_H */
