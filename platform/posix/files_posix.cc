// HostEnv's files on POSIX: station paths ("D:/x", "d:\\x", relative names) mapped under the
// station root, the current directory in Windows form, listings with Windows wildcard
// matching, copy / remove / make directory with Windows results, INI values, and named
// mappings as shared mmap'ed files under ROOT/.shm.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "platform/ini_parse.h"
#include "platform/posix/posix_env.h"
#include "platform/posix/window_bus_posix.h"

namespace vplat {

namespace {

constexpr size_t kMaxIniBytes = 4u << 20;  // larger INI files are read only this far

}  // namespace

const bool HostEnv::kFoldCase = false;

namespace hostos {

bool IsRegularFile(const std::string& szPath) {
    struct stat st {};
    return stat(szPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace hostos

std::string HostEnv::MapPath(const char* szWinPath) {
    const std::string s = hosttext::ToSlashes(szWinPath);
    const std::string szMapped = MapUnderRoot(s);
    return !szMapped.empty() ? szMapped : hosttext::NormalizePath(CurrentHostDir() + "/" + s);
}

size_t HostEnv::GetCurrentDir(char* szBuf, size_t nSize) {
    if (szBuf == nullptr || nSize == 0) return 0;
    std::string szWin = WinDirUnderRoot();
    if (szWin.empty()) {
        const std::string szHost = CurrentHostDir();
        szWin = "D:/" + (szHost.size() > 1 ? szHost.substr(1) : std::string());
    }
    return IniCopyResult(szWin, szBuf, nSize);
}

bool HostEnv::EnterHostDir(const std::string& szHost) {
    struct stat st {};
    if (stat(szHost.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        DebugFailure("SetCurrentDir", szHost, stat(szHost.c_str(), &st) != 0 ? errno : ENOTDIR);
        return false;
    }
    if (m_opts.bProcessDir && chdir(szHost.c_str()) != 0) {
        DebugFailure("chdir", szHost, errno);
        return false;
    }
    return true;
}

std::vector<std::string> HostEnv::ListHostDirectory(const std::string& szHostDir) {
    std::vector<std::string> names;
    DIR* pDir = opendir(szHostDir.c_str());
    if (pDir == nullptr) return names;
    while (const dirent* pEnt = readdir(pDir)) names.push_back(pEnt->d_name);
    closedir(pDir);
    return names;
}

bool HostEnv::CopyFileTo(const char* szFrom, const char* szTo, bool bFailIfExists) {
    const std::string szSrc = MapPath(szFrom);
    const std::string szDst = MapPath(szTo);
    const int nIn = open(szSrc.c_str(), O_RDONLY | O_CLOEXEC);
    if (nIn < 0) {
        DebugFailure("CopyFileTo open", szSrc, errno);
        return false;
    }
    const int nFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (bFailIfExists ? O_EXCL : 0);
    const int nOut = open(szDst.c_str(), nFlags, 0666);
    if (nOut < 0) {
        DebugFailure("CopyFileTo create", szDst, errno);
        close(nIn);
        return false;
    }
    bool bOk = true;
    char buf[65536];
    for (;;) {
        const ssize_t n = read(nIn, buf, sizeof(buf));
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            bOk = false;
            break;
        }
        ssize_t nDone = 0;
        while (nDone < n) {
            const ssize_t w = write(nOut, buf + nDone, static_cast<size_t>(n - nDone));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                bOk = false;
                break;
            }
            nDone += w;
        }
        if (!bOk) break;
    }
    if (close(nOut) != 0) bOk = false;
    close(nIn);
    if (!bOk) DebugFailure("CopyFileTo write", szDst, errno);
    return bOk;
}

bool HostEnv::RemoveFile(const char* szWinPath, std::string* pszWhy) {
    const std::string szHost = MapPath(szWinPath);
    if (unlink(szHost.c_str()) != 0) {
        const int nErr = errno;
        DebugFailure("RemoveFile", szHost, nErr);
        if (pszWhy != nullptr) *pszWhy = std::strerror(nErr);
        return false;
    }
    return true;
}

bool HostEnv::GetFileIdentity(const char* szWinPath, FileIdentity* pOut) {
    struct stat st {};
    if (pOut == nullptr || stat(MapPath(szWinPath).c_str(), &st) != 0) return false;
    pOut->nSize = static_cast<int64_t>(st.st_size);
    pOut->nWriteTimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL +
                         static_cast<int64_t>(st.st_mtim.tv_nsec);
    pOut->nVolume = static_cast<uint64_t>(st.st_dev);
    pOut->nIndex = static_cast<uint64_t>(st.st_ino);
    return true;
}

PathKind HostEnv::GetPathKind(const char* szWinPath) {
    struct stat st {};
    if (stat(MapPath(szWinPath).c_str(), &st) != 0) return PathKind::kMissing;
    if (S_ISDIR(st.st_mode)) return PathKind::kDirectory;
    return S_ISREG(st.st_mode) ? PathKind::kFile : PathKind::kOther;
}

int64_t HostEnv::FileAgeSeconds(const char* szWinPath) {
    struct stat st {};
    if (stat(MapPath(szWinPath).c_str(), &st) != 0) return -1;
    const int64_t nAge = static_cast<int64_t>(time(nullptr)) - static_cast<int64_t>(st.st_mtime);
    return nAge < 0 ? 0 : static_cast<int64_t>(static_cast<double>(nAge) * m_opts.dTimeScale);
}

bool HostEnv::MakeDirectory(const char* szWinPath) {
    const std::string szHost = MapPath(szWinPath);
    if (mkdir(szHost.c_str(), 0777) == 0) return true;
    if (errno != EEXIST) DebugFailure("MakeDirectory", szHost, errno);
    return false;
}

FILE* HostEnv::OpenFile(const char* szWinPath, const char* szMode) {
    if (szMode == nullptr) return nullptr;
    const std::string szHost = MapPath(szWinPath);
    FILE* pFile = std::fopen(szHost.c_str(), szMode);
    if (pFile == nullptr && errno != ENOENT) DebugFailure("OpenFile", szHost, errno);
    return pFile;
}

size_t HostEnv::ReadProfileString(const char* szSection, const char* szKey, const char* szDefault,
                                   char* szOut, size_t nSize, const char* szWinPath) {
    std::string szValue = IniDefault(szDefault);
    if (szSection != nullptr && szKey != nullptr) {
        FILE* pFile = std::fopen(MapPath(szWinPath).c_str(), "rb");
        if (pFile != nullptr) {
            std::string szText;
            char buf[8192];
            size_t n = 0;
            while (szText.size() < kMaxIniBytes &&
                   (n = std::fread(buf, 1, sizeof(buf), pFile)) > 0) {
                szText.append(buf, n);
            }
            std::fclose(pFile);
            std::string szFound;
            if (IniFindValue(szText, szSection, szKey, &szFound)) szValue = szFound;
        }
    }
    return IniCopyResult(szValue, szOut, nSize);
}

// ---- Named mappings ------------------------------------------------------------------------

namespace {

// Maps nSize bytes of the open file nFd shared, read and write, into *pOut; closes nFd.
// A failure goes to pEnv's debug output.
bool MapShared(HostEnv* pEnv, int nFd, size_t nSize, const std::string& szPath, MappedView* pOut) {
    void* p = mmap(nullptr, nSize, PROT_READ | PROT_WRITE, MAP_SHARED, nFd, 0);
    const int nErr = errno;
    close(nFd);
    if (p == MAP_FAILED) {
        pEnv->DebugFailure("mmap", szPath, nErr);
        return false;
    }
    pOut->pView = p;
    pOut->nSize = nSize;
    pOut->nHandle = 1;
    return true;
}

}  // namespace

bool HostEnv::OpenMapping(const char* szName, MappedView* pOut) {
    if (szName == nullptr || pOut == nullptr) return false;
    *pOut = MappedView{};
    const std::string szPath = m_opts.szRoot + "/.shm/" + EscapeWindowTitle(szName);
    const int nFd = open(szPath.c_str(), O_RDWR | O_CLOEXEC);
    if (nFd < 0) {
        DebugFailure("OpenMapping", szPath, errno);
        return false;
    }
    struct stat st {};
    if (fstat(nFd, &st) != 0 || st.st_size <= 0) {
        DebugFailure("OpenMapping size", szPath, errno != 0 ? errno : EINVAL);
        close(nFd);
        return false;
    }
    return MapShared(this, nFd, static_cast<size_t>(st.st_size), szPath, pOut);
}

bool HostEnv::CreateMapping(const char* szName, size_t nSize, MappedView* pOut, bool* pbCreated) {
    if (szName == nullptr || pOut == nullptr || nSize == 0) return false;
    *pOut = MappedView{};
    if (pbCreated != nullptr) *pbCreated = false;
    const std::string szDir = m_opts.szRoot + "/.shm";
    mkdir(szDir.c_str(), 0777);
    const std::string szPath = szDir + "/" + EscapeWindowTitle(szName);
    bool bCreated = true;
    int nFd = open(szPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (nFd < 0 && errno == EEXIST) {
        bCreated = false;
        nFd = open(szPath.c_str(), O_RDWR | O_CLOEXEC);
    }
    if (nFd < 0) {
        DebugFailure("CreateMapping", szPath, errno);
        return false;
    }
    struct stat st {};
    // A new file, or an existing shorter one, grows with zeros; bytes already there stay.
    if (fstat(nFd, &st) != 0 || (static_cast<size_t>(st.st_size) < nSize &&
                                 ftruncate(nFd, static_cast<off_t>(nSize)) != 0)) {
        DebugFailure("CreateMapping size", szPath, errno);
        close(nFd);
        return false;
    }
    if (!MapShared(this, nFd, nSize, szPath, pOut)) return false;
    if (pbCreated != nullptr) *pbCreated = bCreated;
    return true;
}

void HostEnv::CloseMapping(MappedView* pView) {
    if (pView == nullptr || pView->pView == nullptr) return;
    munmap(pView->pView, pView->nSize);
    *pView = MappedView{};
}

}  // namespace vplat
