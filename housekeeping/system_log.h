// WriteSystemLog: the one call for lines that go on record (debug output always; the
// day's file under "d:/System_Log" once the shared memory is open), and the debug-line
// helper for lines that go only to the debug output.
#pragma once

// The message is UTF-8 and goes to the file in the Korean code page. A line is at most
// 255 bytes, its " \r\n" end included: a longer message is cut, never inside a character.
// Any thread.
void WriteSystemLog(const char* szMessage);
// Formats the message (printf rules) and passes it to WriteSystemLog.
void WriteSystemLogF(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));
// OutputDebugStringA of a formatted line.
void DebugF(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));
