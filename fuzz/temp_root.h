// A fresh station root for a fuzz target that drives the dialog: an empty directory under
// the machine's temporary directory (TMPDIR or /tmp, the user's temporary folder on
// Windows), named after the target. Left behind when the run ends, as a fuzzer's crash
// would leave it anyway.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

inline std::string NewFuzzRoot(const char* szPrefix) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) return "";
    std::random_device rd;
    for (int nTry = 0; nTry < 100; ++nTry) {
        const fs::path dir = base / (std::string(szPrefix) + std::to_string(rd()));
        if (fs::create_directory(dir, ec)) return dir.generic_string();
    }
    return "";
}
