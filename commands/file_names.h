// Names of the files the portal commands open: bracket-escaped names from
// clients, names of downloads in answer files, the content type a name
// selects, and the logons that may name a user's rights list or event file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace commands {

// Capacity of a decoded file name, terminator included: at most 999 chars.
inline constexpr std::size_t kDecodedNameCapacity = 1000;

// Decodes bracket escapes: "[" + two hex digits + "]" stands for the byte the
// digits give ([5C] and [5c] are a backslash); any other "[" is an ordinary
// character. A decoded zero byte ends the name. The result is unbounded; the
// caller applies kDecodedNameCapacity.
std::string DecodeBracketEscapes(std::string_view escaped);

// True when an answer's first line names a file to download: it starts with
// two backslashes (a UNC path) or has a colon as second character (a drive
// path). Judged on the text as written, on every platform.
bool NamesAFile(std::string_view first_line);

// The name as this platform opens it: names are written with backslashes, and
// on POSIX each one is read as "/" (\\srv\docs\a.pdf opens //srv/docs/a.pdf).
std::string NativeFileName(std::string_view name);

// The content-type headers a file name selects, each a case-sensitive
// substring test anywhere in the name: ".qv", ".doc", ".pdf", in that order.
// Every row that matches adds its header, so a name may get none or several.
std::vector<std::string_view> ContentTypeHeaders(std::string_view name);

// True when `logon` can name a file of its own inside the rights or events
// directory: no "/", "\", ":" and no control byte below 0x20, not a Windows
// device name (CON, PRN, AUX, NUL, COM0-COM9, LPT0-LPT9, COM and LPT with a
// superscript 1-3, CONIN$, CONOUT$: any letter case, with or without an
// extension or blanks before it), and no dot or blank at its end. Other
// logons would reach files elsewhere, a device or a second name of one file
// on Windows, and are refused for rights lists and events on every system:
// the spool is shared with the back-end, which may run on Windows.
bool LogonNamesOneFile(std::string_view logon);

}  // namespace commands
