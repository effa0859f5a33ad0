// SplitFields: the '.' splitter of file names, copying each piece into a bounded buffer.
#include "transfer/split_fields.h"

#include <cstdarg>
#include <cstring>

namespace {
constexpr size_t kWorkSize = 1024;  // the text is looked at through a buffer of this size
}  // namespace

int SplitFields(const char* szText, ...) {
    va_list ap;
    va_start(ap, szText);
    int nCopied = 0;
    if (szText == nullptr) {
        va_end(ap);
        return 0;
    }
    char szWork[kWorkSize] = {};
    std::strncpy(szWork, szText, kWorkSize - 1);

    const char* p = szWork;
    for (;;) {
        while (*p == '.') ++p;  // leading dots and runs of dots
        if (*p == '\0') break;
        const char* pEnd = std::strchr(p, '.');
        size_t nPiece = pEnd ? static_cast<size_t>(pEnd - p) : std::strlen(p);

        char* szOut = va_arg(ap, char*);
        if (szOut == nullptr) break;
        size_t nOutSize = va_arg(ap, size_t);
        if (nOutSize > 0) {
            size_t nCopy = nPiece < nOutSize - 1 ? nPiece : nOutSize - 1;
            std::memcpy(szOut, p, nCopy);
            szOut[nCopy] = '\0';
            ++nCopied;
        }
        p += nPiece;
    }
    va_end(ap);
    return nCopied;
}
