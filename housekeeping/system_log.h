// WriteSystemLog: the one call for lines that go on record (debug output always; the
// day's file under "d:/System_Log" once the shared memory is open), LogBytes for the
// bytes from outside that a line carries as they are, and the debug-line helper for
// lines that go only to the debug output.
#pragma once

#include <cstddef>
#include <string>

// The message is the program's own UTF-8 text and goes to the file in the Korean code
// page; the parts made with LogBytes go to the file byte for byte, unconverted. A line is
// at most 255 bytes, its " \r\n" end included: a longer message is cut, never inside a
// character. The debug copy carries the own text as given and the LogBytes parts raw.
// Any thread.
void WriteSystemLog(const char* szMessage);
// Formats the message (printf rules) and passes it to WriteSystemLog.
void WriteSystemLogF(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));
// OutputDebugStringA of a formatted line.
void DebugF(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));

// Bytes that came from outside (station, center, modem, file names, INI values) for a
// message of WriteSystemLog / WriteSystemLogF ("%s"): the bytes of p up to its first NUL,
// at most nMax of them, wrapped so that the log copies them as they are instead of taking
// them for UTF-8 text of the program. Any byte value but NUL passes. The result is only
// meaningful inside a message given to WriteSystemLog.
std::string LogBytes(const char* p, size_t nMax);
// A fixed-size text field, bounded by its size even without a NUL. (A bare pointer has no
// one-argument form on purpose: its bound must be given.)
template <size_t N>
std::string LogBytes(const char (&szField)[N]) {
    return LogBytes(szField, N);
}
