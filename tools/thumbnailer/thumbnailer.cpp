// vellumo-thumbnailer - writes a PNG preview of a WSQ file.
//
//   vellumo-thumbnailer [-s SIZE] INPUT OUTPUT
//
// INPUT is a path or a file:// URI; the preview fits SIZE x SIZE (default
// 128) with the image's aspect ratio and is never larger than the image.
#include "thumbnail.h"

#include "vellumo_version.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kMaxSize = 4096;
// Refuse files whose header claims more pixels than any fingerprint has.
constexpr long long kMaxPixels = 268435456;

const char *const kUsage =
    "Usage: vellumo-thumbnailer [-s SIZE] INPUT OUTPUT\n"
    "Writes a PNG preview of the WSQ file INPUT (a path or a file:// URI)\n"
    "to OUTPUT, fitting SIZE x SIZE pixels (default 128, at most 4096).\n";

int usage(const char *problem)
{
    std::fprintf(stderr, "vellumo-thumbnailer: %s\n%s", problem, kUsage);
    return kExitUsage;
}

bool parseSize(const char *text, int *size)
{
    errno = 0;
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > kMaxSize)
        return false;
    *size = int(value);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int size = 128;
    std::string positional[2];
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (arg == "-V" || arg == "--version") {
            std::printf("vellumo-thumbnailer (Vellumo) %s\n", VELLUMO_VERSION_TEXT);
            return kExitOk;
        }
        if (arg == "-s" || arg == "--size") {
            if (i + 1 >= argc || !parseSize(argv[i + 1], &size))
                return usage("-s needs a size from 1 to 4096");
            ++i;
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-')
            return usage(("unknown option '" + arg + "'").c_str());
        if (count == 2)
            return usage("too many arguments");
        positional[count++] = arg;
    }
    if (count != 2)
        return usage("INPUT and OUTPUT are needed");

    const std::string input = thumbnailer::PathFromArgument(positional[0]);
    if (input.empty()) {
        std::fprintf(stderr, "vellumo-thumbnailer: %s: not a local file\n", positional[0].c_str());
        return kExitFailed;
    }
    const char *stage = "";
    const int status = thumbnailer::MakeThumbnail(input, positional[1], size, kMaxPixels, &stage);
    if (status < 0) {
        std::fprintf(stderr, "vellumo-thumbnailer: %s: %s failed: %s (%d)\n", input.c_str(), stage,
                     wsq_status_text(status), status);
        return kExitFailed;
    }
    return kExitOk;
}
