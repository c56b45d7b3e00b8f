/*
 * replay_main.cpp - runs a fuzz harness over files, for builds without
 * libFuzzer: every argument is a file, or a folder whose files (not its
 * subfolders) are run in name order. Exits non-zero when an argument
 * cannot be read; a fault in the harness aborts as it would under the
 * fuzzer.
 */
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_check.h"

namespace fs = std::filesystem;

namespace {

bool run_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    /* An empty vector's data() may be null; the fuzzer always passes a
     * valid pointer. */
    static const uint8_t empty = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &empty : bytes.data(), bytes.size());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        std::error_code error;
        if (fs::is_directory(arg, error)) {
            std::vector<fs::path> entries;
            for (const auto &entry : fs::directory_iterator(arg, error))
                if (entry.is_regular_file())
                    entries.push_back(entry.path());
            std::sort(entries.begin(), entries.end());
            for (const auto &p : entries) {
                if (!run_file(p))
                    return 2;
                ++files;
            }
        } else {
            if (!run_file(arg))
                return 2;
            ++files;
        }
    }
    std::printf("%s: %d inputs run\n", argc > 0 ? argv[0] : "replay", files);
    return 0;
}
