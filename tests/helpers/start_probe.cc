// A program for the Windows back-end's tests of StartProgram: writes
// "<current directory>|<VELMORA_ROOT>|<argument count>|<first>|<second>\n" to started.txt in
// its current directory (through a rename, so that a reader never sees half of it).
#include <cstdlib>
#include <filesystem>
#include <fstream>

int main(int argc, char** argv) {
    const char* szRoot = std::getenv("VELMORA_ROOT");
    std::ofstream("s.tmp", std::ios::binary)
        << std::filesystem::current_path().string() << "|" << (szRoot != nullptr ? szRoot : "")
        << "|" << argc - 1 << "|" << (argc > 1 ? argv[1] : "") << "|" << (argc > 2 ? argv[2] : "")
        << "\n";
    std::error_code ec;
    std::filesystem::rename("s.tmp", "started.txt", ec);
    return ec ? 1 : 0;
}
