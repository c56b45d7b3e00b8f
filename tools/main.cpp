// main.cpp - wsqtool: the codec library on the command line.
#include "commands.h"
#include "common.h"

#include "vellumo_version.h"
#include "wsq.h"

#include <cstdio>
#include <exception>
#include <string>

using namespace wsqtool;

namespace {

int dispatch(int argc, char **argv)
{
    if (argc < 2)
        return usage_error("no command given", kMainUsage);
    const std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        if (command == "help" && argc > 2) {
            const std::string topic = argv[2];
            if (topic == "info") return print_help(kInfoUsage);
            if (topic == "decode") return print_help(kDecodeUsage);
            if (topic == "encode") {
                char help[] = "--help";
                char *sub[] = {argv[2], help, nullptr};
                return cmd_encode(2, sub);
            }
            return usage_error("unknown command '" + topic + "'", kMainUsage);
        }
        return print_help(kMainUsage);
    }
    if (command == "-V" || command == "--version") {
        std::printf("%s (Vellumo) %s\n%s\n", kProgram, VELLUMO_VERSION_TEXT, wsq_version_string());
        return kExitOk;
    }
    if (command == "info")
        return cmd_info(argc - 1, argv + 1);
    if (command == "decode")
        return cmd_decode(argc - 1, argv + 1);
    if (command == "encode")
        return cmd_encode(argc - 1, argv + 1);
    if (!command.empty() && command[0] == '-')
        return usage_error("unknown option '" + command + "'", kMainUsage);
    return usage_error("unknown command '" + command + "'", kMainUsage);
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return dispatch(argc, argv);
    } catch (const std::exception &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return kExitFailed;
    }
}
