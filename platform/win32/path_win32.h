// Path text helpers of the Win32 back-end: forward and back slashes, drive letters,
// "." and ".." folded without climbing above a drive's root, and the Windows wildcard
// match that listings apply themselves (FindFirstFileA's own matching also matches the
// short 8.3 names, which would let "*.ABCDE" find "x.ABCDEF"). Plain string work, no
// Windows calls.
#pragma once

#include <string>

namespace vplat {
namespace win32path {

inline char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

inline bool IsDriveSpec(const std::string& s) {
    return s.size() >= 2 && ((s[0] >= 'a' && s[0] <= 'z') || (s[0] >= 'A' && s[0] <= 'Z')) &&
           s[1] == ':';
}

inline std::string ToSlashes(const char* szPath) {
    std::string s = szPath != nullptr ? szPath : "";
    for (char& c : s) {
        if (c == '\\') c = '/';
    }
    return s;
}

inline std::string ToSlashes(const std::string& szPath) { return ToSlashes(szPath.c_str()); }

inline std::string ToBackslashes(std::string s) {
    for (char& c : s) {
        if (c == '/') c = '\\';
    }
    return s;
}

// "/a/./b/../c" -> "/a/c" (always with a leading '/', "" for the root itself); never
// climbs above the start ("/.." -> "").
std::string Normalize(const std::string& szPath);

// Windows wildcard match of a whole name: '*' any run, '?' one character, case ignored.
bool WildcardMatch(const std::string& szPattern, const std::string& szName);

// The drive letter (lower case) when szHost lies in szRoot/<letter> or below it, with the
// rest of the path ("" or "/a/b") in *pRest; 0 when it lies elsewhere. Letter case of the
// root is ignored, as the file system ignores it.
char DriveOf(const std::string& szRoot, const std::string& szHost, std::string* pRest);

}  // namespace win32path
}  // namespace vplat
