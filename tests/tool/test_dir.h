// test_dir.h - a scratch folder per test and small file helpers.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testutil {

namespace fs = std::filesystem;

// A fresh empty folder under the system temporary folder, removed again
// when the object goes out of scope.
class TestDir {
public:
    TestDir()
    {
        std::string pattern = (fs::temp_directory_path() / "vellumo-tool-XXXXXX").string();
        if (char *made = mkdtemp(pattern.data()))
            path_ = made;
    }
    ~TestDir()
    {
        std::error_code ec;
        if (!path_.empty())
            fs::remove_all(path_, ec);
    }
    TestDir(const TestDir &) = delete;
    TestDir &operator=(const TestDir &) = delete;

    const fs::path &path() const { return path_; }
    std::string file(const std::string &name) const { return (path_ / name).string(); }

    // Names of every entry in the folder, sorted.
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(path_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    fs::path path_;
};

inline std::vector<unsigned char> read_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string &path, const std::vector<unsigned char> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void write_text(const std::string &path, const std::string &text)
{
    write_bytes(path, std::vector<unsigned char>(text.begin(), text.end()));
}

} // namespace testutil
