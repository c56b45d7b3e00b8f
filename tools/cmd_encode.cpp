// cmd_encode.cpp - wsqtool encode: a gray image (PGM, BMP or PNG) to WSQ.
#include "commands.h"
#include "common.h"
#include "image_read.h"

#include "wsq.h"
#include "wsq_encoder.h"
#include "wsq_writers.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace wsqtool;

namespace {

const char *const kEncodeUsage =
    "Usage: wsqtool encode [-r BITRATE] [--ppi N] [-c COMMENT] [-q] IN OUT.wsq\n"
    "\n"
    "Encodes a gray image as a WSQ file. IN is a PGM (P5 or P2), BMP (1, 4, 8,\n"
    "24 or 32 bits) or PNG file; colour is converted to gray. IN may be - for\n"
    "standard input and OUT - for standard output. The input is never\n"
    "overwritten.\n"
    "\n"
    "Options:\n"
    "  -r, --bitrate R   target bits per pixel of the whole file, above 0 and\n"
    "                    at most 8 (default 0.75; 2.25 is usual at 1000 ppi)\n"
    "  --ppi N           resolution to record (default: the one the input\n"
    "                    file records, else unknown)\n"
    "  -c, --comment T   add a comment segment holding T\n"
    "  -q, --quiet       do not print the summary line\n"
    "  -h, --help        show this help\n";

bool same_file(const std::string &a, const std::string &b)
{
    if (a == "-" || b == "-")
        return false;
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

std::string encode_text(int status)
{
    switch (status) {
    case WSQ_E_ENCODE_SIZE: return "image is too large to encode (more than 2^30 pixels)";
    case WSQ_E_ENCODE_PARAMS: return "encoder parameters out of range";
    case WSQ_E_READ_OR_NOMEM: return "not enough memory to encode the image";
    default: return stage_text(Stage::Encode, status);
    }
}

} // namespace

int cmd_encode(int argc, char **argv)
{
    const std::vector<OptionDef> defs = {
        {'r', "bitrate", true}, {0, "ppi", true}, {'c', "comment", true}, {'q', "quiet", false}};
    ParsedArgs args;
    std::string error;
    if (!parse_args(argc, argv, defs, &args, &error))
        return usage_error(error, kEncodeUsage);
    if (args.help)
        return print_help(kEncodeUsage);
    if (args.operands.size() != 2)
        return usage_error(args.operands.size() < 2 ? "encode needs an input and an output file"
                                                    : "encode takes one input and one output file",
                           kEncodeUsage);
    const std::string in = args.operands[0], out = args.operands[1];

    WsqEncodeParams params;
    wsq_encode_default_params(&params);
    if (args.has("bitrate")) {
        const std::string text = args.value("bitrate");
        char *end = nullptr;
        const double rate = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(rate > 0.0) || rate > WSQ_ENCODE_MAX_BITRATE)
            return usage_error("bit rate '" + text + "' is not a number above 0 and at most 8", kEncodeUsage);
        params.bitrate = static_cast<float>(rate);
    }
    long long ppi = -1;
    if (args.has("ppi") && !parse_integer(args.value("ppi"), 1, 1000000, &ppi))
        return usage_error("--ppi needs a whole number from 1 to 1000000", kEncodeUsage);
    std::string comment;
    if (args.has("comment")) {
        comment = args.value("comment");
        if (comment.size() > 65533)
            return usage_error("the comment is longer than 65533 bytes", kEncodeUsage);
        params.comment = comment.c_str();
    }
    if (same_file(in, out)) {
        print_error(out, WSQ_E_WRITE, "output would overwrite the input file");
        return kExitFailed;
    }

    std::vector<unsigned char> bytes;
    int status = read_input(in, &bytes);
    if (status != 0) {
        report_failure(in, Stage::Load, status);
        return kExitFailed;
    }
    GrayPixels image;
    status = read_gray_image(bytes, &image, &error);
    if (status != 0) {
        print_error(in, status, error);
        return kExitFailed;
    }
    bytes.clear();
    params.ppi = args.has("ppi") ? static_cast<int>(ppi) : (image.ppi >= 1 && image.ppi <= 1000000 ? image.ppi : -1);

    unsigned char *stream = nullptr;
    int length = 0;
    float achieved = 0.0f;
    status = wsq_encode(image.pixels.data(), image.width, image.height, &params, &stream, &length, &achieved);
    if (status != 0) {
        print_error(in, status, encode_text(status));
        return kExitFailed;
    }
    if (out == "-") {
        set_binary(stdout);
        const bool ok = std::fwrite(stream, 1, static_cast<size_t>(length), stdout) == static_cast<size_t>(length) &&
                        std::fflush(stdout) == 0;
        std::free(stream);
        if (!ok) {
            report_failure(out, Stage::Write, WSQ_E_WRITE);
            return kExitFailed;
        }
        return kExitOk;
    }
    status = wsq_save_buffer(out.c_str(), stream, static_cast<size_t>(length));
    std::free(stream);
    if (status != 0) {
        report_failure(out, Stage::Write, status);
        return kExitFailed;
    }
    if (!args.has("quiet")) {
        std::printf("%s: %d x %d, %d bytes, %.4f bits per pixel (target %.2f), ppi %s\n", out.c_str(), image.width,
                    image.height, length, achieved, params.bitrate,
                    params.ppi > 0 ? std::to_string(params.ppi).c_str() : "unknown");
    }
    return kExitOk;
}
