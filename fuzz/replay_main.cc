// Replays fuzz inputs through a target's LLVMFuzzerTestOneInput without a fuzzing engine,
// for builds where libFuzzer is not at hand (the Windows build, run under Wine). Each
// argument is a file or a directory of files (its entries in name order); every input is
// handed over in an exactly sized heap copy. A fault in the target ends the program as it
// would end a fuzzer; otherwise the count of inputs run is printed and the status is 0
// (1 when an argument cannot be read).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize);

namespace {

bool RunFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so that a read past its end leaves the block.
    std::unique_ptr<uint8_t[]> pCopy(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
    if (!bytes.empty()) std::memcpy(pCopy.get(), bytes.data(), bytes.size());
    LLVMFuzzerTestOneInput(pCopy.get(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    size_t nRun = 0;
    int nStatus = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        std::error_code ec;
        std::vector<fs::path> files;
        if (fs::is_directory(arg, ec)) {
            for (const auto& entry : fs::directory_iterator(arg, ec)) {
                if (entry.is_regular_file(ec)) files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(arg);
        }
        for (const fs::path& file : files) {
            if (!RunFile(file)) {
                std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
                nStatus = 1;
                continue;
            }
            ++nRun;
        }
    }
    std::printf("%zu inputs replayed\n", nRun);
    return nStatus;
}
