// cmd_info.cpp - wsqtool info: what the viewer's status bar shows, and more.
#include "commands.h"
#include "common.h"

#include "wsq.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace wsqtool;

namespace {

struct FileInfo {
    std::string file;
    int status = 0;           // first failure, 0 when every query succeeded
    std::string error;        // its text
    bool have_header = false; // width .. implementation are valid
    int width = 0;
    int height = 0;
    int encoder = 0;
    int implementation = 0;
    size_t length = 0;        // file length in bytes
    std::optional<int> ppi;   // -1 unknown; empty when the query failed
    bool have_comment = false;
    std::string comment;
    bool have_nist = false;
    std::vector<std::pair<std::string, std::optional<std::string>>> nist;

    void fail(int code, std::string text)
    {
        if (status == 0) {
            status = code;
            error = std::move(text);
        }
    }

    // (width x height) / file length, truncated; 0 without data.
    long long ratio() const
    {
        if (!have_header || length == 0)
            return 0;
        return static_cast<long long>(width) * height / static_cast<long long>(length);
    }

    // Bits of the file per pixel of the image.
    double bits_per_pixel() const
    {
        const double pixels = static_cast<double>(width) * height;
        return pixels > 0 ? static_cast<double>(length) * 8.0 / pixels : 0.0;
    }
};

FileInfo inspect(const std::string &path, long long max_pixels, bool check)
{
    FileInfo info;
    info.file = path;
    std::vector<unsigned char> bytes;
    int status = read_input(path, &bytes);
    if (status != WSQ_OK) {
        info.fail(status, stage_text(Stage::Load, status));
        return info;
    }
    info.length = bytes.size();
    const unsigned char *data = bytes.data();
    const int length = static_cast<int>(bytes.size());

    status = wsq_query_header(data, length, &info.width, &info.height, &info.encoder, &info.implementation);
    if (status != WSQ_OK) {
        info.fail(status, stage_text(Stage::Header, status));
        return info;
    }
    info.have_header = true;

    int ppi = -1;
    status = wsq_ppi_from_comment(data, length, &ppi);
    if (status == WSQ_OK)
        info.ppi = ppi;
    else
        info.fail(status, stage_text(Stage::Header, status));

    int size = 0;
    status = wsq_query_comment(data, length, nullptr, &size);
    if (status == WSQ_OK && size > 0) {
        std::vector<char> text(static_cast<size_t>(size));
        status = wsq_query_comment(data, length, text.data(), &size);
        if (status == WSQ_OK) {
            info.comment.assign(text.data());
            info.have_comment = true;
        }
    } else if (status == WSQ_OK) {
        info.have_comment = true; // no comment: empty, as the status bar shows it
    }
    if (status != WSQ_OK)
        info.fail(status, stage_text(Stage::Header, status));

    WsqNameValueList *list = nullptr;
    status = wsq_find_nist_comment(data, length, &list);
    if (status == WSQ_OK) {
        info.have_nist = true;
        if (list != nullptr) {
            for (int i = 0; i < list->count; ++i) {
                std::optional<std::string> value;
                if (list->values[i] != nullptr)
                    value = list->values[i];
                info.nist.emplace_back(list->names[i], std::move(value));
            }
            wsq_nv_free(list);
        }
    } else {
        info.fail(status, stage_text(Stage::Header, status));
    }

    if (max_pixels > 0 && static_cast<long long>(info.width) * info.height > max_pixels) {
        info.fail(WSQ_E_TOO_MANY_PIXELS, pixel_limit_text(info.width, info.height, max_pixels));
    } else if (check && info.status == 0) {
        GrayImage image{};
        status = wsq_decode_image(data, length, &image);
        if (status == WSQ_OK)
            wsq_free_image(&image);
        else
            info.fail(status, stage_text(Stage::Decode, status));
    }
    return info;
}

// --- JSON -------------------------------------------------------------------

// Appends text as a JSON string. Valid UTF-8 passes through; a byte that
// is not part of a valid sequence is taken as Latin-1 so nothing is lost
// and the output stays valid UTF-8.
void append_json_string(std::string &out, const std::string &text)
{
    out += '"';
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            switch (c) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            }
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else {
            size_t extra = 0;
            unsigned int min = 0;
            if ((c & 0xE0) == 0xC0) { extra = 1; min = 0x80; }
            else if ((c & 0xF0) == 0xE0) { extra = 2; min = 0x800; }
            else if ((c & 0xF8) == 0xF0) { extra = 3; min = 0x10000; }
            bool valid = extra > 0;
            unsigned int code = c & (0x3F >> extra);
            for (size_t k = 1; valid && k <= extra; ++k) {
                if (i + k >= n || (s[i + k] & 0xC0) != 0x80)
                    valid = false;
                else
                    code = (code << 6) | (s[i + k] & 0x3F);
            }
            if (valid && (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)))
                valid = false;
            if (valid) {
                out.append(text, i, extra + 1);
                i += extra + 1;
            } else {
                out += static_cast<char>(0xC0 | (c >> 6));
                out += static_cast<char>(0x80 | (c & 0x3F));
                ++i;
            }
        }
    }
    out += '"';
}

std::string to_json(const FileInfo &info)
{
    std::string out = "{\"file\":";
    append_json_string(out, info.file);
    out += ",\"status\":" + std::to_string(info.status);
    if (info.status != 0) {
        out += ",\"error\":";
        append_json_string(out, info.error);
    }
    auto number = [&](const char *key, bool present, long long value) {
        out += ",\"";
        out += key;
        out += "\":";
        out += present ? std::to_string(value) : "null";
    };
    number("width", info.have_header, info.width);
    number("height", info.have_header, info.height);
    number("encoder", info.have_header, info.encoder);
    number("implementation", info.have_header, info.implementation);
    number("ppi", info.ppi.has_value(), info.ppi.value_or(0));
    number("ratio", info.have_header, info.ratio());
    out += ",\"bpp\":";
    if (info.have_header && info.width > 0 && info.height > 0) {
        char bpp[32];
        std::snprintf(bpp, sizeof bpp, "%.4f", info.bits_per_pixel());
        out += bpp;
    } else {
        out += "null";
    }
    out += ",\"comment\":";
    if (info.have_comment)
        append_json_string(out, info.comment);
    else
        out += "null";
    out += ",\"nist\":";
    if (info.have_nist) {
        out += '{';
        bool first = true;
        for (const auto &[name, value] : info.nist) {
            if (!first)
                out += ',';
            first = false;
            append_json_string(out, name);
            out += ':';
            if (value)
                append_json_string(out, *value);
            else
                out += "null";
        }
        out += '}';
    } else {
        out += "null";
    }
    out += '}';
    return out;
}

// --- Text ---------------------------------------------------------------------

// Multi-line text with continuation lines indented, carriage returns and
// other control characters left out.
std::string indented(const std::string &text, const char *indent)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += std::string("\n") + indent;
        else if (static_cast<unsigned char>(c) >= 0x20 || c == '\t')
            out += c;
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == '\n'))
        out.pop_back();
    return out;
}

void print_text(const FileInfo &info)
{
    std::printf("%s\n", info.file.c_str());
    if (info.have_header) {
        std::printf("  Width:            %d\n", info.width);
        std::printf("  Height:           %d\n", info.height);
        std::printf("  Encoder:          %d\n", info.encoder);
        std::printf("  Implementation:   %d\n", info.implementation);
        if (info.ppi)
            std::printf("  PPI:              %s\n", *info.ppi < 0 ? "unknown" : std::to_string(*info.ppi).c_str());
        std::printf("  Ratio:            %lld:1\n", info.ratio());
        std::printf("  Bits per pixel:   %.2f\n", info.bits_per_pixel());
        std::printf("  File size:        %zu bytes\n", info.length);
    }
    if (info.have_comment)
        std::printf("  Comment:          %s\n", indented(info.comment, "                    ").c_str());
    if (!info.nist.empty()) {
        std::printf("  NIST comment:\n");
        for (const auto &[name, value] : info.nist)
            std::printf("    %-16s %s\n", name.c_str(), value ? indented(*value, "").c_str() : "");
    }
    if (info.status != 0)
        std::printf("  Error:            %d: %s\n", info.status, info.error.c_str());
}

} // namespace

int cmd_info(int argc, char **argv)
{
    const std::vector<OptionDef> defs = {
        {0, "json", false},
        {0, "check", false},
        {0, "max-pixels", true},
    };
    ParsedArgs args;
    std::string error;
    if (!parse_args(argc, argv, defs, &args, &error))
        return usage_error(error, kInfoUsage);
    if (args.help)
        return print_help(kInfoUsage);
    if (args.operands.empty())
        return usage_error("no input file given", kInfoUsage);

    long long max_pixels = kDefaultMaxPixels;
    if (args.has("max-pixels") && !parse_max_pixels(args.value("max-pixels"), &max_pixels))
        return usage_error("--max-pixels needs a whole number of pixels (0 for no limit), not '" +
                               args.value("max-pixels") + "'",
                           kInfoUsage);
    int stdin_count = 0;
    for (const auto &file : args.operands)
        stdin_count += file == "-";
    if (stdin_count > 1)
        return usage_error("standard input (-) can be read only once", kInfoUsage);

    const bool json = args.has("json");
    const bool check = args.has("check");
    // Files are checked one after another: each decode may use every core.
    if (check)
        wsq_set_decode_threads(0);
    int failed = 0;
    bool first = true;
    for (const auto &file : args.operands) {
        const FileInfo info = inspect(file, max_pixels, check);
        if (json) {
            std::printf("%s\n", to_json(info).c_str());
        } else {
            if (!first)
                std::printf("\n");
            print_text(info);
        }
        std::fflush(stdout);
        first = false;
        if (info.status != 0) {
            ++failed;
            print_error(info.file, info.status, info.error);
        }
    }
    return failed == 0 ? kExitOk : kExitFailed;
}
