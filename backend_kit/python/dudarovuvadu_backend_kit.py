"""The back-end kit for Python: the spool's other side over the kit's C
interface (libdudarovuvadu-backend-kit.so.1), through ctypes only.

    with Spool("/var/lib/dudarovuvadu") as spool:
        while True:
            work = spool.next(timeout=1.0)
            if isinstance(work, Request):
                work.answer("<p>Hello %s</p>\\n" % html.escape(work.logon))

Text crosses as bytes decoded and encoded as ISO-8859-1, the spool's
encoding, with LF line ends (the kit writes CR LF). A failed call raises
KitError with the kit's result code and reason.
"""

import ctypes
import os

__all__ = ["Spool", "Request", "Posted", "Event", "KitError", "escape_file_name"]

# The library: $DUDAROVUVADU_BACKEND_KIT_LIBRARY (a path, for a build tree),
# else the installed one by its SONAME.
_lib = ctypes.CDLL(os.environ.get("DUDAROVUVADU_BACKEND_KIT_LIBRARY",
                                  "libdudarovuvadu-backend-kit.so.1"))

OK, TIMEOUT = 0, 1
GONE = -4
_REQUEST, _POSTED, _EVENT = 1, 2, 3
_FIELDS = ["script_name", "logon", "command", "ticket", "p2", "p3",
           "scheme", "server_name", "server_port"]
_ENCODING = "latin-1"


class _Options(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("instance", ctypes.c_char_p),
                ("claim_timeout_s", ctypes.c_uint32), ("rescan_ms", ctypes.c_uint32),
                ("poll_ms", ctypes.c_uint32), ("ticket_lifetime_s", ctypes.c_uint32),
                ("incomplete_grace_ms", ctypes.c_uint32), ("force_polling", ctypes.c_int32)]


def _declare(name, result, *arguments):
    function = getattr(_lib, name)
    function.restype = result
    function.argtypes = list(arguments)
    return function


_P, _I, _SZ = ctypes.c_void_p, ctypes.c_int, ctypes.c_size_t
_STR, _PSTR = ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p)
_options_init = _declare("dbk_options_init", None, ctypes.POINTER(_Options))
_open = _declare("dbk_spool_open", _I, _STR, ctypes.POINTER(_Options), ctypes.POINTER(_P))
_close = _declare("dbk_spool_close", None, _P)
_last_error = _declare("dbk_spool_last_error", _STR, _P)
_result_text = _declare("dbk_result_text", _STR, _I)
_next = _declare("dbk_next", _I, _P, ctypes.c_int32, ctypes.POINTER(_P))
_kind = _declare("dbk_work_kind", _I, _P)
_name = _declare("dbk_work_name", _STR, _P)
_free = _declare("dbk_work_free", None, _P)
_release = _declare("dbk_work_release", _I, _P)
_problem = _declare("dbk_request_problem", _STR, _P)
_field = _declare("dbk_request_field", _I, _P, _I, ctypes.POINTER(ctypes.c_void_p),
                  ctypes.POINTER(_SZ))
_url = _declare("dbk_request_url", _I, _P, _PSTR)
_answer = _declare("dbk_answer", _I, _P, _STR, _SZ)
_answer_download = _declare("dbk_answer_download", _I, _P, _STR)
_posted_length = _declare("dbk_posted_length", _I, _P, ctypes.POINTER(ctypes.c_uint64))
_posted_path = _declare("dbk_posted_path", _STR, _P)
_posted_done = _declare("dbk_posted_done", _I, _P)
_event_line = _declare("dbk_event_line", _I, _P, ctypes.POINTER(ctypes.c_void_p),
                       ctypes.POINTER(_SZ))
_grant = _declare("dbk_rights_grant", _I, _P, _STR, _STR)
_revoke = _declare("dbk_rights_revoke", _I, _P, _STR, _STR)
_escape = _declare("dbk_escape", _I, _I, _STR, _SZ, ctypes.POINTER(ctypes.c_void_p),
                   ctypes.POINTER(_SZ))
_dbk_free = _declare("dbk_free", None, ctypes.c_void_p)


class KitError(Exception):
    """A call of the kit failed: `result` is its dbk_result code."""

    def __init__(self, result, reason=""):
        text = _result_text(result).decode()
        super().__init__("%s: %s" % (text, reason) if reason else text)
        self.result = result


def _bytes(text):
    return text if isinstance(text, bytes) else text.encode(_ENCODING)


def _check(result, spool_handle=None):
    if result != OK:
        reason = _last_error(spool_handle).decode(_ENCODING) if spool_handle else ""
        raise KitError(result, reason)


def escape_file_name(path):
    """A path as P1 and rights lists carry it (bracket escapes)."""
    data, out, length = _bytes(path), ctypes.c_void_p(), _SZ()
    _check(_escape(2, data, len(data), ctypes.byref(out), ctypes.byref(length)))
    try:
        return ctypes.string_at(out, length.value).decode(_ENCODING)
    finally:
        _dbk_free(out)


class Spool:
    """An open install root. Options as in dbk_options (seconds, milliseconds)."""

    def __init__(self, root, instance=None, claim_timeout=None, rescan_ms=None,
                 ticket_lifetime=None, force_polling=False):
        options = _Options()
        _options_init(ctypes.byref(options))
        instance_bytes = _bytes(instance) if instance else None
        options.instance = instance_bytes
        for name, value in (("claim_timeout_s", claim_timeout), ("rescan_ms", rescan_ms),
                            ("ticket_lifetime_s", ticket_lifetime)):
            if value is not None:
                setattr(options, name, value)
        options.force_polling = 1 if force_polling else 0
        handle = _P()
        result = _open(_bytes(root), ctypes.byref(options), ctypes.byref(handle))
        if result != OK:
            reason = _last_error(handle).decode(_ENCODING) if handle else ""
            _close(handle)
            raise KitError(result, reason)
        self._handle = handle

    def close(self):
        if self._handle:
            _close(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def next(self, timeout=None):
        """The next Request, Posted or Event (claimed), or None after `timeout` seconds."""
        work = _P()
        milliseconds = -1 if timeout is None else int(timeout * 1000)
        result = _next(self._handle, milliseconds, ctypes.byref(work))
        if result == TIMEOUT:
            return None
        _check(result, self._handle)
        kind = {_REQUEST: Request, _POSTED: Posted, _EVENT: Event}[_kind(work)]
        return kind(self, work)

    def grant(self, logon, entry):
        """Adds `entry` (P1 form, see escape_file_name) to the rights list of `logon`."""
        _check(_grant(self._handle, _bytes(logon), _bytes(entry)), self._handle)

    def revoke(self, logon, entry):
        _check(_revoke(self._handle, _bytes(logon), _bytes(entry)), self._handle)


class _Work:
    def __init__(self, spool, handle):
        self._spool, self._handle = spool, handle
        self.name = _name(handle).decode(_ENCODING)

    def __del__(self):
        if getattr(self, "_handle", None):
            _free(self._handle)
            self._handle = None

    def _live(self):
        # A work of a closed spool, or one released, has nothing to act on.
        if not self._handle or not self._spool._handle:
            raise KitError(-7, "the work was released or its spool closed")
        return self._handle

    def release(self):
        """Gives the claim up: another instance (or this one, later) takes the work."""
        handle, self._handle = self._live(), None
        _check(_release(handle), self._spool._handle)


class Request(_Work):
    """in/N.req: its fields as attributes (None when malformed), `problem`, `url`."""

    def __init__(self, spool, handle):
        super().__init__(spool, handle)
        problem = _problem(handle)
        self.problem = problem.decode(_ENCODING) if problem is not None else None
        for index, field in enumerate(_FIELDS):
            value, length = ctypes.c_void_p(), _SZ()
            found = _field(handle, index, ctypes.byref(value), ctypes.byref(length)) == OK
            text = ctypes.string_at(value, length.value).decode(_ENCODING) if found else None
            setattr(self, field, text)
        url = ctypes.c_char_p()
        found = _url(handle, ctypes.byref(url)) == OK
        self.url = url.value.decode(_ENCODING) if found else None

    def answer(self, text):
        """Answers with a page or phone text; False when the request is gone."""
        data = _bytes(text)
        result = _answer(self._live(), data, len(data))
        if result == GONE:
            return False
        _check(result, self._spool._handle)
        return True

    def answer_download(self, absolute_path):
        """Answers with a download of the file; False when the request is gone."""
        result = _answer_download(self._live(), _bytes(absolute_path))
        if result == GONE:
            return False
        _check(result, self._spool._handle)
        return True


class Posted(_Work):
    """post/N.txt: `received` (bytes the module got), `path` of the stored data."""

    def __init__(self, spool, handle):
        super().__init__(spool, handle)
        received = ctypes.c_uint64()
        _check(_posted_length(handle, ctypes.byref(received)))
        self.received = received.value
        self.path = _posted_path(handle).decode(_ENCODING)

    def done(self):
        """Removes the consumed data."""
        _check(_posted_done(self._live()), self._spool._handle)


class Event(_Work):
    """One line of events/logon.evt: `logon` and `line` ("P1;P2;P3")."""

    def __init__(self, spool, handle):
        super().__init__(spool, handle)
        value, length = ctypes.c_void_p(), _SZ()
        _check(_event_line(handle, ctypes.byref(value), ctypes.byref(length)))
        self.logon = self.name
        self.line = ctypes.string_at(value, length.value).decode(_ENCODING)
