// cmd_encode.cpp - placeholder until the encoder command is built.
#include "commands.h"

#include <cstdio>

int cmd_encode(int, char **)
{
    std::fputs("wsqtool: encode is not available in this build\n", stderr);
    return 2;
}
