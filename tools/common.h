// common.h - what every wsqtool command shares: exit codes, argument
// parsing, error lines, reading inputs and the pixel limit.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace wsqtool {

constexpr const char *kProgram = "wsqtool";

// Process exit status of every command.
enum ExitCode {
    kExitOk = 0,     // every file succeeded
    kExitFailed = 1, // at least one file failed
    kExitUsage = 2,  // bad command line; the usage text was printed
};

// Largest image (width x height from the frame header) a command decodes
// unless --max-pixels says otherwise; 0 means no limit.
constexpr long long kDefaultMaxPixels = 1LL << 28;

// Where in a file's handling a status code arose; the same number means
// different things at different stages.
enum class Stage {
    Load,   // reading the input file
    Header, // frame header, comment and NIST comment queries
    Decode, // the full decode
    Write,  // writing an output image
    Encode, // encoding a WSQ codestream
};

// A short plain-English meaning of status at stage (no trailing period).
std::string stage_text(Stage stage, int status);

// Prints "FILE: error CODE: TEXT" on stderr as one line. Safe to call from
// several threads; clears a progress line first and redraws it after.
void print_error(const std::string &file, int status, const std::string &text);
void report_failure(const std::string &file, Stage stage, int status);

// A progress line on stderr, drawn only when stderr is a terminal.
class Progress {
public:
    Progress(const char *verb, size_t total);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    // One more file is done (thread-safe).
    void step(bool failed);
    // Removes the line (also done by the destructor).
    void finish();
};

// --- Command line -------------------------------------------------------

struct OptionDef {
    char short_name;       // e.g. 'f', or 0 when there is none
    const char *long_name; // e.g. "format" (without the dashes), never null
    bool takes_value;
};

struct ParsedArgs {
    // (long name, value) in command-line order; value empty for flags.
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> operands; // the FILE arguments ("-" included)
    bool help = false;                 // -h or --help was given

    bool has(const std::string &name) const;
    // The last value given for name, or fallback.
    std::string value(const std::string &name, const std::string &fallback = std::string()) const;
};

// Parses argv[1..argc-1] (argv[0] is the command name). Options and files
// may be mixed; "--" ends the options; "-" is a file. Short options take
// their value attached (-fpng) or as the next word; long options as
// --name=value or --name value. -h and --help are always understood.
// On failure returns false with a message in *error.
bool parse_args(int argc, char **argv, const std::vector<OptionDef> &defs, ParsedArgs *out,
                std::string *error);

// Reads a decimal integer within [min, max]; the whole text must be digits
// (an optional leading '+' aside).
bool parse_integer(const std::string &text, long long min, long long max, long long *out);

// --max-pixels N: a positive number of pixels, or 0 for no limit.
bool parse_max_pixels(const std::string &text, long long *out);

// Prints "wsqtool: MESSAGE" and the usage text on stderr; returns kExitUsage.
int usage_error(const std::string &message, const char *usage);
// Prints the usage text on stdout (for --help); returns kExitOk.
int print_help(const char *usage);

extern const char *const kMainUsage;
extern const char *const kInfoUsage;
extern const char *const kDecodeUsage;

// --- Files ----------------------------------------------------------------

// True when the stream is a terminal.
bool is_terminal(std::FILE *stream);
// Switches a standard stream to binary (no newline translation).
void set_binary(std::FILE *stream);

// Reads a whole input file, or standard input for "-". 0 or a negative
// status of the Load stage.
int read_input(const std::string &path, std::vector<unsigned char> *bytes);

// Reads the frame header and checks width x height against max_pixels
// (0: no limit). Returns 0, a status of the Header stage, or
// WSQ_E_TOO_MANY_PIXELS; width and height are set whenever the header
// could be read.
int check_header(const std::vector<unsigned char> &bytes, long long max_pixels, int *width, int *height);
// The message for WSQ_E_TOO_MANY_PIXELS.
std::string pixel_limit_text(int width, int height, long long max_pixels);

} // namespace wsqtool
