// The profile API: settings in INI files, Win32-shaped.
//
// An INI file is read fresh on every call (no cache), so a read always sees
// the last write, also one made by another process. Rules:
//   - section and key names compare without case (ASCII letters folded);
//   - names and values are trimmed of blanks and TABs; a value enclosed in
//     one matching pair of quotes (" or ') loses them;
//   - a line whose first non-blank character is ";" is a comment; "#" and ";"
//     inside a value are data;
//   - the first matching section and, inside it, the first matching key win;
//   - lines without "=" inside a section are no keys, but are kept;
//   - LF and CRLF lines are read; a new file gets CRLF, an existing file
//     keeps the line-ending style it has;
//   - bytes pass through unchanged (UTF-8 or anything else);
//   - a file name without a "/" (or "\") names a file in the Windows
//     directory (GetWindowsDirectoryA); other names are paths, "\" counting
//     as "/".
// A write rewrites the whole file through a temporary file in the same
// directory that is synced and renamed over the old one, keeping its mode,
// so readers never see half a file and a crash never leaves one. Writers in
// the same directory are serialised by a lock on the directory, so two
// processes updating one file do not lose each other's keys. A write keeps
// every line it does not change byte for byte: an existing key is updated in
// place, a new key follows the last key line of its section, a new section
// goes at the end of the file.
#pragma once

#include "platform/kernel/win32.h"

// Value of key in section, or def (nullptr = "") when the key is missing.
// With key == nullptr: the key names of the section, and with
// section == nullptr: the section names, each NUL-terminated, the list ending
// with a second NUL. Returns the bytes stored without the final NUL. A value
// that does not fit is cut and NUL-terminated, and the result is size - 1; a
// list that does not fit is cut and ends with two NULs, and the result is
// size - 2. A cut never splits a UTF-8 sequence: it moves back to the start
// of the sequence and the rest of the buffer is filled with NULs.
DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR def, LPSTR returned, DWORD size,
                               LPCSTR fileName);

// The "key=value" entries of the section (names and values as the lookup
// sees them), each NUL-terminated, the list ending with a second NUL; the
// truncation rule of the lists above (size - 2).
DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR returned, DWORD size, LPCSTR fileName);

// The value read as a number (optional sign, decimal or 0x hexadecimal, up
// to the first other character; no digits give 0), or def when the key is
// missing or empty.
UINT GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT def, LPCSTR fileName);

// Sets key in section to value. value == nullptr deletes the key, and
// key == nullptr deletes the section with all its lines. Deleting what does
// not exist succeeds without touching the file. Names and values that would
// break the file's structure (a line break anywhere, "=" in a key, a key
// starting with ";" or "[", an empty key) fail with ERROR_INVALID_PARAMETER.
BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName);

// Binary data as hex text: two upper-case hex digits per byte, followed by
// one byte of checksum (the sum of the bytes mod 256) in hex. Reading
// fails (ERROR_INVALID_DATA) when the stored text does not hold exactly size
// bytes or its checksum does not match, and (ERROR_FILE_NOT_FOUND) when the
// key is missing. Writing with data == nullptr deletes the key.
BOOL GetPrivateProfileStructA(LPCSTR section, LPCSTR key, LPVOID data, UINT size, LPCSTR fileName);
BOOL WritePrivateProfileStructA(LPCSTR section, LPCSTR key, LPVOID data, UINT size, LPCSTR fileName);
