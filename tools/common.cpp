// common.cpp - shared pieces of the wsqtool commands.
#include "common.h"

#include "wsq.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace wsqtool {

// --- Texts ------------------------------------------------------------------

const char *const kMainUsage =
    "Usage: wsqtool COMMAND [OPTIONS] FILE...\n"
    "\n"
    "Commands:\n"
    "  info     show the header, comment and NIST fields of WSQ files\n"
    "  decode   decode WSQ files to PGM, BMP or PNG images\n"
    "  encode   encode gray images as WSQ files\n"
    "\n"
    "Options:\n"
    "  -h, --help      show this help; 'wsqtool COMMAND --help' for a command\n"
    "  -V, --version   show the program and codec library versions\n"
    "\n"
    "Exit status: 0 when every file succeeded, 1 when any failed,\n"
    "2 for a bad command line.\n";

const char *const kInfoUsage =
    "Usage: wsqtool info [--json] [--check] [--max-pixels N] FILE...\n"
    "\n"
    "Shows width, height, encoder, implementation, resolution (ppi),\n"
    "compression ratio, bits per pixel, the comment and the fields of the\n"
    "NIST comment of each WSQ file. FILE may be - for standard input.\n"
    "\n"
    "Options:\n"
    "  --json            one JSON object per line per file\n"
    "  --check           also decode each file and report those that fail\n"
    "  --max-pixels N    refuse files whose header claims more than N pixels\n"
    "                    (default 268435456; 0 for no limit)\n"
    "  -h, --help        show this help\n";

const char *const kDecodeUsage =
    "Usage: wsqtool decode [-f pgm|bmp|png] [-o OUT | -d DIR] [-j N]\n"
    "                      [--max-pixels N] FILE...\n"
    "\n"
    "Decodes WSQ files and writes them as PGM, BMP or PNG images. The format\n"
    "comes from -f, else from the extension of OUT, else PNG. Without -o or\n"
    "-d each image is written beside its input, with the extension changed.\n"
    "An input file is never overwritten.\n"
    "\n"
    "Options:\n"
    "  -f, --format FMT    pgm, bmp or png\n"
    "  -o, --output OUT    write the one input's image to OUT (- for standard\n"
    "                      output)\n"
    "  -d, --directory DIR write DIR/NAME.FMT for each input (DIR is created)\n"
    "  -j, --jobs N        decode N files at once (default: number of cores)\n"
    "  --max-pixels N      refuse files whose header claims more than N pixels\n"
    "                      (default 268435456; 0 for no limit)\n"
    "  -h, --help          show this help\n";

std::string stage_text(Stage stage, int status)
{
    if (status == WSQ_E_TOO_MANY_PIXELS)
        return "image is larger than the pixel limit (--max-pixels)";
    switch (stage) {
    case Stage::Load:
        switch (status) {
        case WSQ_E_OPEN_OR_COUNTS: return "cannot open the file";
        case WSQ_E_READ_OR_NOMEM: return "cannot read the whole file (read error or out of memory)";
        case WSQ_E_FILE_TOO_LARGE: return "file is too large (2 GiB or more)";
        default: break;
        }
        break;
    case Stage::Header:
    case Stage::Decode:
        switch (status) {
        case WSQ_E_NO_DATA: return "file is empty";
        case WSQ_E_IMAGE_ALLOC: return "not enough memory to decode the image";
        default: break;
        }
        break;
    case Stage::Write:
        switch (status) {
        case WSQ_E_WRITE: return "cannot write the output file";
        case WSQ_E_EMPTY_IMAGE: return "the image is empty";
        case WSQ_E_IMAGE_ALLOC: return "not enough memory to write the image";
        case WSQ_E_PNG: return "PNG encoding failed";
        default: break;
        }
        break;
    case Stage::Encode:
        break;
    }
    const char *text = wsq_status_text(status);
    return text != nullptr ? text : "unknown error";
}

// --- Error lines and the progress line ------------------------------------

namespace {

struct ProgressState {
    std::mutex mutex;
    bool active = false; // a progress line is being drawn
    bool shown = false;  // one is on the screen now
    const char *verb = "";
    size_t done = 0;
    size_t failed = 0;
    size_t total = 0;
};

ProgressState &progress_state()
{
    static ProgressState state;
    return state;
}

// Both with the mutex held.
void clear_line(ProgressState &s)
{
    if (s.shown) {
        std::fputs("\r\033[K", stderr);
        s.shown = false;
    }
}

void draw_line(ProgressState &s)
{
    if (!s.active)
        return;
    std::fprintf(stderr, "\r\033[K%s %zu/%zu", s.verb, s.done, s.total);
    if (s.failed > 0)
        std::fprintf(stderr, " (%zu failed)", s.failed);
    std::fflush(stderr);
    s.shown = true;
}

} // namespace

void print_error(const std::string &file, int status, const std::string &text)
{
    ProgressState &s = progress_state();
    std::lock_guard<std::mutex> lock(s.mutex);
    clear_line(s);
    std::fprintf(stderr, "%s: error %d: %s\n", file.c_str(), status, text.c_str());
    std::fflush(stderr);
    draw_line(s);
}

void report_failure(const std::string &file, Stage stage, int status)
{
    print_error(file, status, stage_text(stage, status));
}

Progress::Progress(const char *verb, size_t total)
{
    ProgressState &s = progress_state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.active = is_terminal(stderr) && total > 0;
    s.verb = verb;
    s.done = 0;
    s.failed = 0;
    s.total = total;
    draw_line(s);
}

Progress::~Progress()
{
    finish();
}

void Progress::step(bool failed)
{
    ProgressState &s = progress_state();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.done;
    if (failed)
        ++s.failed;
    draw_line(s);
}

void Progress::finish()
{
    ProgressState &s = progress_state();
    std::lock_guard<std::mutex> lock(s.mutex);
    clear_line(s);
    std::fflush(stderr);
    s.active = false;
}

// --- Command line -----------------------------------------------------------

bool ParsedArgs::has(const std::string &name) const
{
    for (const auto &option : options)
        if (option.first == name)
            return true;
    return false;
}

std::string ParsedArgs::value(const std::string &name, const std::string &fallback) const
{
    for (auto it = options.rbegin(); it != options.rend(); ++it)
        if (it->first == name)
            return it->second;
    return fallback;
}

bool parse_args(int argc, char **argv, const std::vector<OptionDef> &defs, ParsedArgs *out,
                std::string *error)
{
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_ended || arg == "-" || arg.empty() || arg[0] != '-') {
            out->operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            out->help = true;
            continue;
        }

        const OptionDef *def = nullptr;
        std::string value;
        bool has_inline_value = false;
        if (arg.compare(0, 2, "--") == 0) {
            const size_t equals = arg.find('=');
            const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            for (const auto &d : defs)
                if (name == d.long_name)
                    def = &d;
            if (def == nullptr) {
                *error = "unknown option '--" + name + "'";
                return false;
            }
            if (equals != std::string::npos) {
                if (!def->takes_value) {
                    *error = "option '--" + name + "' takes no value";
                    return false;
                }
                value = arg.substr(equals + 1);
                has_inline_value = true;
            }
        } else {
            for (const auto &d : defs)
                if (d.short_name != 0 && arg[1] == d.short_name)
                    def = &d;
            if (def == nullptr) {
                *error = std::string("unknown option '-") + arg[1] + "'";
                return false;
            }
            if (arg.size() > 2) {
                if (!def->takes_value) {
                    *error = "unknown option '" + arg + "'";
                    return false;
                }
                value = arg.substr(2);
                has_inline_value = true;
            }
        }

        if (def->takes_value && !has_inline_value) {
            if (i + 1 >= argc) {
                *error = "option '" + arg + "' needs a value";
                return false;
            }
            value = argv[++i];
        }
        out->options.emplace_back(def->long_name, value);
    }
    return true;
}

bool parse_integer(const std::string &text, long long min, long long max, long long *out)
{
    size_t at = 0;
    if (at < text.size() && text[at] == '+')
        ++at;
    if (at == text.size())
        return false;
    long long value = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c < '0' || c > '9')
            return false;
        if (value > (LLONG_MAX - (c - '0')) / 10)
            return false;
        value = value * 10 + (c - '0');
    }
    if (value < min || value > max)
        return false;
    *out = value;
    return true;
}

bool parse_max_pixels(const std::string &text, long long *out)
{
    return parse_integer(text, 0, LLONG_MAX, out);
}

int usage_error(const std::string &message, const char *usage)
{
    std::fprintf(stderr, "%s: %s\n\n%s", kProgram, message.c_str(), usage);
    return kExitUsage;
}

int print_help(const char *usage)
{
    std::fputs(usage, stdout);
    return kExitOk;
}

// --- Files --------------------------------------------------------------------

bool is_terminal(std::FILE *stream)
{
#ifdef _WIN32
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

void set_binary(std::FILE *stream)
{
#ifdef _WIN32
    _setmode(_fileno(stream), _O_BINARY);
#else
    (void)stream;
#endif
}

int read_input(const std::string &path, std::vector<unsigned char> *bytes)
{
    if (path == "-") {
        set_binary(stdin);
        std::vector<unsigned char> data;
        unsigned char chunk[65536];
        size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) {
            if (data.size() + got > static_cast<size_t>(INT_MAX))
                return WSQ_E_FILE_TOO_LARGE;
            data.insert(data.end(), chunk, chunk + got);
        }
        if (std::ferror(stdin))
            return WSQ_E_READ_OR_NOMEM;
        *bytes = std::move(data);
        return WSQ_OK;
    }

    unsigned char *buffer = nullptr;
    int length = 0;
    const int status = wsq_load_file(path.c_str(), &buffer, &length);
    if (status != WSQ_OK)
        return status;
    bytes->assign(buffer, buffer + length);
    std::free(buffer);
    return WSQ_OK;
}

int check_header(const std::vector<unsigned char> &bytes, long long max_pixels, int *width, int *height)
{
    int w = 0, h = 0, encoder = 0, implementation = 0;
    const int status = wsq_query_header(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &encoder,
                                        &implementation);
    if (status != WSQ_OK)
        return status;
    *width = w;
    *height = h;
    if (max_pixels > 0 && static_cast<long long>(w) * h > max_pixels)
        return WSQ_E_TOO_MANY_PIXELS;
    return WSQ_OK;
}

std::string pixel_limit_text(int width, int height, long long max_pixels)
{
    return "image of " + std::to_string(width) + " x " + std::to_string(height) + " pixels is larger than the limit of " +
           std::to_string(max_pixels) + " pixels (raise it with --max-pixels)";
}

} // namespace wsqtool
