// The modem's lines as the station understands them, as pure functions over untrusted
// bytes: telling the new-SMS notice from an SMS answer, cutting an SMS answer into its
// fields (time, sender, hex text) and decoding the hex text. Nothing here touches the
// port, the clock or the dialog, so a fuzz target can drive it directly.
#pragma once

#include <cstddef>

// Largest single read from the modem port.
constexpr int kModemReadMax = 512;
// An SMS answer must be longer than this to be looked at.
constexpr int kSmsAnswerMin = 30;
// The AT command that asks the modem for the waiting SMS ("AT$SMSMT=1?" CR LF).
constexpr const char kSmsReadCommand[] = "AT$SMSMT=1?\r\n";
constexpr int kSmsReadCommandLen = 13;
// Size of the buffer that receives the decoded message text (at most 63 bytes and a NUL).
constexpr int kSmsTextBufSize = 64;

// The fields the station uses out of one SMS answer line. Each is NUL-terminated and
// empty when the field was missing or not ended by a comma, CR or LF.
struct SmsFields {
    char szTime[16];      // field 0: YYYYMMDDhhmmss, local time (at most 15 characters)
    char szSender[16];    // field 1: call-back number (at most 15 characters)
    char szHexText[256];  // field 5: message text as hex digit pairs (at most 255 characters)
};

// Kind of one read from the modem.
enum class ModemLineKind {
    kIgnored,    // too short to be an answer, or empty
    kSmsNotice,  // "$008:0..." : a new SMS is waiting
    kSmsAnswer,  // more than 30 bytes, not a notice: the answer to the AT command
};

// True when the first six bytes, taken as a text, are "$008:0" (letter case ignored).
// pBytes need not be NUL-terminated; a NUL among the first six ends the text.
bool IsSmsNotice(const char* pBytes, int nLength);

// Sorts one read of nLength bytes (1 to 512 are meaningful; anything else is ignored).
ModemLineKind ClassifyModemRead(const char* pBytes, int nLength);

// Cuts an SMS answer (the read without its first two bytes) into fields. Walks at most
// nLength bytes; a comma, CR or LF ends the current field, and fields 0, 1 and 5 are
// kept (cut to their buffers) only when their ending character is reached; the walk
// stops after the first CR or LF. Every field of *pOut is cleared first.
void SplitSmsLine(const char* pLine, int nLength, SmsFields* pOut);

// Decodes a text of hex digit pairs into pOut (kSmsTextBufSize bytes, cleared first):
// length / 2 bytes, at most 63, a trailing odd digit ignored. A digit's value is its
// character code less '0', less 7 more when that is above 9; each byte is kept to 8 bits,
// so characters that are not hex digits decode to some byte rather than failing.
// Returns the number of bytes decoded. szHex must be NUL-terminated.
int DecodeSmsHex(const char* szHex, char* pOut);

// ASCII comparison without regard to letter case of two NUL-terminated texts, at most
// nMax characters of each. True when equal.
bool EqualsNoCase(const char* szA, const char* szB, size_t nMax);
