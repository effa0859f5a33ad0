// A program for the Windows back-end's tests of StartProgram: writes
// "<current directory>|<VELMORA_ROOT>|<argument count>|<first>|<second>\n" to started.txt in
// its current directory (through a rename, so that a reader never sees half of it).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    char szCwd[MAX_PATH + 1] = {};
    GetCurrentDirectoryA(sizeof(szCwd), szCwd);
    const char* szRoot = std::getenv("VELMORA_ROOT");
    const std::string szLine = std::string(szCwd) + "|" + (szRoot != nullptr ? szRoot : "") + "|" +
                               std::to_string(argc - 1) + "|" + (argc > 1 ? argv[1] : "") + "|" +
                               (argc > 2 ? argv[2] : "") + "\n";
    FILE* pFile = std::fopen("s.tmp", "wb");
    if (pFile == nullptr) return 1;
    std::fwrite(szLine.data(), 1, szLine.size(), pFile);
    std::fclose(pFile);
    return MoveFileExA("s.tmp", "started.txt", MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
