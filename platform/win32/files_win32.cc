// HostEnv's files on Win32: station paths on the real drives ("d:\\x" -> "D:/x"; relative names
// against the process's current directory), or, for a rooted instance, mapped under the
// root as <root>/<drive letter>/<rest> with a current directory of its own; listings with
// Windows wildcard matching, copy / delete / create directory with the Win32 A calls, INI
// values from GetPrivateProfileStringA (always given a full path: a bare name would be
// looked up in the Windows directory), and named file mappings backed by the paging file.
// The system keeps a mapping's size in whole pages; a mapping this process created
// reports the size it was created with, one created by another program its pages.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/ini_parse.h"
#include "platform/win32/win32_env.h"

namespace vplat {

namespace {

using hosttext::IsDriveSpec;
using hosttext::NormalizePath;
using hosttext::ToSlashes;

// The process's current directory in forward-slash form ("D:/QN64-ABRIX/Bin", "D:/").
std::string ProcessCurrentDir() {
    char szBuf[MAX_PATH + 1] = {};
    const DWORD n = GetCurrentDirectoryA(sizeof(szBuf), szBuf);
    if (n == 0 || n >= sizeof(szBuf)) return "C:/";
    return ToSlashes(szBuf);
}

// "X:" + the normalised rest ("X:/" for the root).
std::string DrivePath(char cDrive, const std::string& szRest) {
    const std::string szNorm = NormalizePath(szRest);
    return std::string(1, hosttext::UpperAscii(cDrive)) + ":" + (szNorm.empty() ? "/" : szNorm);
}

bool IsDirectory(const std::string& szPath) {
    const DWORD nAttr = GetFileAttributesA(ToBackslashes(szPath).c_str());
    return nAttr != INVALID_FILE_ATTRIBUTES && (nAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// FNV-1a of the root without regard to case: keeps the mappings of rooted instances apart.
uint32_t RootHash(const std::string& szRoot) {
    uint32_t h = 2166136261u;
    for (const char c : szRoot) {
        h ^= static_cast<uint8_t>(hosttext::LowerAscii(c));
        h *= 16777619u;
    }
    return h;
}

std::mutex g_sizeMutex;                        // guards g_createdSizes
std::map<std::string, size_t> g_createdSizes;  // object name -> size this process created

// The size of the section behind a mapping handle in whole pages; 0 when unknown.
size_t SectionSize(HANDLE hMapping) {
    struct SectionBasicInformation {
        PVOID pBase;                 // base address (images only)
        ULONG nAttributes;           // SEC_ flags
        LARGE_INTEGER nMaximumSize;  // size given at creation
    };
    using QueryFn = LONG(WINAPI*)(HANDLE, int, PVOID, SIZE_T, PSIZE_T);
    static const QueryFn s_pfnQuery = [] {
        HMODULE hNt = GetModuleHandleA("ntdll.dll");
        return hNt != nullptr ? reinterpret_cast<QueryFn>(
                                    reinterpret_cast<void*>(GetProcAddress(hNt, "NtQuerySection")))
                              : nullptr;
    }();
    if (s_pfnQuery == nullptr) return 0;
    SectionBasicInformation info{};
    SIZE_T nLength = 0;
    if (s_pfnQuery(hMapping, 0, &info, sizeof(info), &nLength) != 0) return 0;
    return info.nMaximumSize.QuadPart > 0 ? static_cast<size_t>(info.nMaximumSize.QuadPart) : 0;
}

// A file opened for appending. The C runtime's "a" moves to the end and then writes, two
// steps that two threads appending to one log (the dialog's and the link's) can
// interleave, and not every system makes a FILE_APPEND_DATA handle append in one step
// (Wine does not): so appenders take turns, each holding the file to itself for writing
// until it closes it (readers are let in). A turn is waited for at most kAppendWaitMs.
FILE* OpenForAppend(const std::string& szPath, const char* szMode) {
    constexpr int kAppendWaitMs = 2000;
    HANDLE h = INVALID_HANDLE_VALUE;
    const ULONGLONG nDeadline = GetTickCount64() + kAppendWaitMs;
    for (int nTry = 0;; ++nTry) {
        h = CreateFileA(szPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
            GetTickCount64() >= nDeadline) {
            break;
        }
        Sleep(nTry < 10 ? 0 : 1);
    }
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    const bool bText = std::strchr(szMode, 'b') == nullptr;
    const int nFd =
        _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND | (bText ? _O_TEXT : _O_BINARY));
    if (nFd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE* pFile = _fdopen(nFd, szMode);
    if (pFile == nullptr) _close(nFd);
    return pFile;
}

}  // namespace

const bool HostEnv::kFoldCase = true;

namespace hostos {

bool IsRegularFile(const std::string& szPath) {
    const DWORD nAttr = GetFileAttributesA(ToBackslashes(szPath).c_str());
    return nAttr != INVALID_FILE_ATTRIBUTES && (nAttr & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace hostos

// The process's instance: drive paths as they are, network paths untouched, the rest against
// the process's current directory. A rooted instance: under the root, or, while its current
// directory lies outside the root, against that directory.
std::string HostEnv::MapPath(const char* szWinPath) {
    const std::string s = ToSlashes(szWinPath);
    if (!m_opts.bProcessDir) {
        const std::string szMapped = MapUnderRoot(s);
        if (!szMapped.empty()) return szMapped;
    } else if (IsDriveSpec(s)) {
        return DrivePath(s[0], s.substr(2));
    } else if (s.size() >= 2 && s[0] == '/' && s[1] == '/') {
        return s;  // a network path
    }
    const std::string szCwd = m_opts.bProcessDir ? ProcessCurrentDir() : CurrentHostDir();
    if (!IsDriveSpec(szCwd)) return szCwd + "/" + s;
    if (m_opts.bProcessDir && !s.empty() && s[0] == '/') return DrivePath(szCwd[0], s);
    return DrivePath(szCwd[0], szCwd.substr(2) + "/" + s);
}

size_t HostEnv::GetCurrentDir(char* szBuf, size_t nSize) {
    if (szBuf == nullptr || nSize == 0) return 0;
    if (m_opts.bProcessDir) return IniCopyResult(ProcessCurrentDir(), szBuf, nSize);
    const std::string szWin = WinDirUnderRoot();
    return IniCopyResult(!szWin.empty() ? szWin : CurrentHostDir(), szBuf, nSize);
}

bool HostEnv::EnterHostDir(const std::string& szHost) {
    if (m_opts.bProcessDir && !SetCurrentDirectoryA(ToBackslashes(szHost).c_str())) {
        DebugFailure("SetCurrentDir", szHost, GetLastError());
        return false;
    }
    if (!m_opts.bProcessDir && !IsDirectory(szHost)) {
        DebugFailure("SetCurrentDir", szHost, ERROR_PATH_NOT_FOUND);
        return false;
    }
    return true;
}

std::vector<std::string> HostEnv::ListHostDirectory(const std::string& szHostDir) {
    std::vector<std::string> names;
    std::string szSearch = ToBackslashes(szHostDir);
    if (szSearch.empty() || szSearch.back() != '\\') szSearch += '\\';
    szSearch += '*';
    WIN32_FIND_DATAA fd{};
    HANDLE hFind = FindFirstFileA(szSearch.c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE) return names;
    do {
        names.emplace_back(fd.cFileName, strnlen(fd.cFileName, sizeof(fd.cFileName)));
    } while (FindNextFileA(hFind, &fd));
    FindClose(hFind);
    return names;
}

bool HostEnv::CopyFileTo(const char* szFrom, const char* szTo, bool bFailIfExists) {
    const std::string szSrc = MapPath(szFrom);
    const std::string szDst = MapPath(szTo);
    if (!CopyFileA(ToBackslashes(szSrc).c_str(), ToBackslashes(szDst).c_str(),
                   bFailIfExists ? TRUE : FALSE)) {
        DebugFailure("CopyFileTo", szSrc + " -> " + szDst, GetLastError());
        return false;
    }
    return true;
}

bool HostEnv::RemoveFile(const char* szWinPath, std::string* pszWhy) {
    const std::string szHost = MapPath(szWinPath);
    if (!DeleteFileA(ToBackslashes(szHost).c_str())) {
        const DWORD nErr = GetLastError();
        DebugFailure("RemoveFile", szHost, nErr);
        if (pszWhy != nullptr) {
            // Plain ASCII words for the record, whatever the language of the system's texts.
            switch (nErr) {
                case ERROR_ACCESS_DENIED: *pszWhy = "Permission denied"; break;
                case ERROR_SHARING_VIOLATION: *pszWhy = "File in use"; break;
                case ERROR_FILE_NOT_FOUND:
                case ERROR_PATH_NOT_FOUND: *pszWhy = "No such file or directory"; break;
                case ERROR_WRITE_PROTECT: *pszWhy = "Read-only file system"; break;
                default: *pszWhy = "Error " + std::to_string(nErr); break;
            }
        }
        return false;
    }
    return true;
}

bool HostEnv::GetFileIdentity(const char* szWinPath, FileIdentity* pOut) {
    if (pOut == nullptr) return false;
    const HANDLE h = CreateFileA(ToBackslashes(MapPath(szWinPath)).c_str(), 0,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL bOk = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!bOk) return false;
    pOut->nSize = static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) |
                                       info.nFileSizeLow);
    // FILETIME counts 100-ns steps.
    pOut->nWriteTimeNs =
        static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                             info.ftLastWriteTime.dwLowDateTime) * 100;
    pOut->nVolume = info.dwVolumeSerialNumber;
    pOut->nIndex = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

PathKind HostEnv::GetPathKind(const char* szWinPath) {
    const DWORD nAttr = GetFileAttributesA(ToBackslashes(MapPath(szWinPath)).c_str());
    if (nAttr == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
    if ((nAttr & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::kDirectory;
    return (nAttr & FILE_ATTRIBUTE_DEVICE) != 0 ? PathKind::kOther : PathKind::kFile;
}

int64_t HostEnv::FileAgeSeconds(const char* szWinPath) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(ToBackslashes(MapPath(szWinPath)).c_str(), GetFileExInfoStandard,
                              &data))
        return -1;
    FILETIME ftNow{};
    GetSystemTimeAsFileTime(&ftNow);
    auto Ticks = [](const FILETIME& ft) {  // 100-ns steps
        return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) |
                                    ft.dwLowDateTime);
    };
    const int64_t nAge = (Ticks(ftNow) - Ticks(data.ftLastWriteTime)) / 10000000;
    return nAge < 0 ? 0 : static_cast<int64_t>(static_cast<double>(nAge) * m_opts.dTimeScale);
}

bool HostEnv::MakeDirectory(const char* szWinPath) {
    const std::string szHost = MapPath(szWinPath);
    if (!CreateDirectoryA(ToBackslashes(szHost).c_str(), nullptr)) {
        const DWORD nErr = GetLastError();
        if (nErr != ERROR_ALREADY_EXISTS) DebugFailure("MakeDirectory", szHost, nErr);
        return false;
    }
    return true;
}

FILE* HostEnv::OpenFile(const char* szWinPath, const char* szMode) {
    if (szMode == nullptr) return nullptr;
    const std::string szHost = MapPath(szWinPath);
    if (szMode[0] == 'a' && std::strchr(szMode, '+') == nullptr) {
        return OpenForAppend(ToBackslashes(szHost), szMode);
    }
    FILE* pFile = std::fopen(ToBackslashes(szHost).c_str(), szMode);
    if (pFile == nullptr && errno != ENOENT) {
        DebugOutput(("OpenFile " + szHost + ": " + std::strerror(errno)).c_str());
    }
    return pFile;
}

size_t HostEnv::ReadProfileString(const char* szSection, const char* szKey, const char* szDefault,
                                   char* szOut, size_t nSize, const char* szWinPath) {
    if (szOut == nullptr || nSize == 0) return 0;
    if (szSection == nullptr || szKey == nullptr) {
        // The API would list sections or keys here; the station asks for values only.
        return IniCopyResult(IniDefault(szDefault), szOut, nSize);
    }
    const std::string szFile = ToBackslashes(MapPath(szWinPath));
    const DWORD nCapacity = nSize > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(nSize);
    const DWORD n = GetPrivateProfileStringA(
        szSection, szKey, szDefault != nullptr ? szDefault : "", szOut, nCapacity, szFile.c_str());
    const size_t nCopied = n < nCapacity ? n : nCapacity - 1;
    szOut[nCopied] = '\0';
    return nCopied;
}

// ---- Named mappings ------------------------------------------------------------------------

namespace {

// The kernel object name of a named mapping (rooted instances keep theirs apart).
std::string MappingObjectName(const HostOptions& opts, const char* szName) {
    if (opts.bProcessDir) return szName;
    char szPrefix[32];
    std::snprintf(szPrefix, sizeof(szPrefix), "velmora-%08x-",
                  static_cast<unsigned>(RootHash(opts.szRoot)));
    return szPrefix + std::string(szName);
}

}  // namespace

bool HostEnv::OpenMapping(const char* szName, MappedView* pOut) {
    if (szName == nullptr || pOut == nullptr) return false;
    *pOut = MappedView{};
    const std::string szObject = MappingObjectName(m_opts, szName);
    // Read and write access (FILE_MAP_WRITE), as the station opens the two areas: no more
    // than that is asked of a mapping another program created.
    HANDLE h = OpenFileMappingA(FILE_MAP_WRITE, FALSE, szObject.c_str());
    if (h == nullptr) {
        DebugFailure("OpenMapping", szObject, GetLastError());
        return false;
    }
    void* p = MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, 0);
    if (p == nullptr) {
        DebugFailure("MapViewOfFile", szObject, GetLastError());
        CloseHandle(h);
        return false;
    }
    size_t nSize = SectionSize(h);
    {
        std::lock_guard<std::mutex> lock(g_sizeMutex);
        auto it = g_createdSizes.find(szObject);
        if (it != g_createdSizes.end() && (nSize == 0 || it->second <= nSize)) nSize = it->second;
    }
    if (nSize == 0) {
        MEMORY_BASIC_INFORMATION mbi{};
        if (VirtualQuery(p, &mbi, sizeof(mbi)) != 0) nSize = mbi.RegionSize;
    }
    pOut->pView = p;
    pOut->nSize = nSize;
    pOut->nHandle = static_cast<int64_t>(reinterpret_cast<intptr_t>(h));
    return true;
}

bool HostEnv::CreateMapping(const char* szName, size_t nSize, MappedView* pOut, bool* pbCreated) {
    if (szName == nullptr || pOut == nullptr || nSize == 0) return false;
    *pOut = MappedView{};
    if (pbCreated != nullptr) *pbCreated = false;
    const std::string szObject = MappingObjectName(m_opts, szName);
    const uint64_t nSize64 = static_cast<uint64_t>(nSize);
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                  static_cast<DWORD>(nSize64 >> 32),
                                  static_cast<DWORD>(nSize64 & 0xFFFFFFFFu), szObject.c_str());
    const DWORD nErr = GetLastError();
    if (h == nullptr) {
        DebugFailure("CreateMapping", szObject, nErr);
        return false;
    }
    const bool bCreated = nErr != ERROR_ALREADY_EXISTS;
    // An existing, shorter mapping cannot grow: the view fails and so does the call.
    void* p = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, nSize);
    if (p == nullptr) {
        DebugFailure("MapViewOfFile", szObject, GetLastError());
        CloseHandle(h);
        return false;
    }
    pOut->pView = p;
    pOut->nSize = nSize;
    pOut->nHandle = static_cast<int64_t>(reinterpret_cast<intptr_t>(h));
    if (pbCreated != nullptr) *pbCreated = bCreated;
    if (bCreated) {
        std::lock_guard<std::mutex> lock(g_sizeMutex);
        g_createdSizes[szObject] = nSize;
    }
    return true;
}

void HostEnv::CloseMapping(MappedView* pView) {
    if (pView == nullptr || pView->pView == nullptr) return;
    UnmapViewOfFile(pView->pView);
    if (pView->nHandle != -1 && pView->nHandle != 0) {
        CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(pView->nHandle)));
    }
    *pView = MappedView{};
}

}  // namespace vplat
