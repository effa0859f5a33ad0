// Fuzz target for the modem lines: one read from the modem port as the serial thread
// sees it (up to 512 bytes in a cleared buffer), sorted into notice or SMS answer, the
// answer cut into its fields, the time field converted and the hex text decoded. The
// input is also walked from an exactly sized copy, so any read past the given length
// is caught, and the results are checked for the bounds the station relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "modem/sms_parse.h"
#include "status/time_format.h"

namespace {

void CheckTerminated(const char* pField, size_t nSize) {
    if (strnlen(pField, nSize) >= nSize) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    // Exactly sized copy: no terminating NUL to lean on.
    std::unique_ptr<char[]> pExact(new char[nSize > 0 ? nSize : 1]);
    if (nSize > 0) std::memcpy(pExact.get(), pData, nSize);
    const int nLength = nSize > 100000 ? 100000 : static_cast<int>(nSize);
    (void)IsSmsNotice(pExact.get(), nLength);
    SmsFields exact;
    SplitSmsLine(pExact.get(), nLength, &exact);
    CheckTerminated(exact.szTime, sizeof exact.szTime);
    CheckTerminated(exact.szSender, sizeof exact.szSender);
    CheckTerminated(exact.szHexText, sizeof exact.szHexText);

    // As the serial thread reads it.
    char szBuf[kModemReadMax + 1];
    std::memset(szBuf, 0, sizeof szBuf);
    const int nRead =
        nSize > static_cast<size_t>(kModemReadMax) ? kModemReadMax : static_cast<int>(nSize);
    if (nRead > 0) std::memcpy(szBuf, pData, static_cast<size_t>(nRead));
    if (ClassifyModemRead(szBuf, nRead) != ModemLineKind::kSmsAnswer) return 0;

    SmsFields fields;
    SplitSmsLine(szBuf + 2, nRead - 2, &fields);
    CheckTerminated(fields.szTime, sizeof fields.szTime);
    CheckTerminated(fields.szSender, sizeof fields.szSender);
    CheckTerminated(fields.szHexText, sizeof fields.szHexText);
    (void)ParseTimeDigits(fields.szTime, sizeof fields.szTime);
    (void)EqualsNoCase(fields.szSender, "01012345678", sizeof fields.szSender);

    char szText[kSmsTextBufSize];
    const int nBytes = DecodeSmsHex(fields.szHexText, szText);
    if (nBytes < 0 || nBytes > kSmsTextBufSize - 1 || szText[kSmsTextBufSize - 1] != '\0') {
        std::abort();
    }
    (void)EqualsNoCase(szText, "CONNECT", sizeof szText);
    return 0;
}
