// wsqtool end to end: runs the built binary on real WSQ files and checks
// exit codes, error lines, outputs against the library, and --json.
#include "wsq.h"
#include "wsq_encoder.h"
#include "wsq_writers.h"

#include "test_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

using testutil::read_bytes;
using testutil::TestDir;
using testutil::write_bytes;
using testutil::write_text;
namespace fs = std::filesystem;

namespace {

struct ToolRun {
    int exit_code = -1;
    std::string out;
    std::string err;
};

std::string quote(const std::string &arg)
{
    std::string q = "'";
    for (char c : arg) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

// Runs wsqtool with args; stdin from stdin_path when given, else empty.
ToolRun run_tool(const std::vector<std::string> &args, const std::string &stdin_path = "/dev/null")
{
    TestDir io;
    std::string command = quote(WSQTOOL_PATH);
    for (const auto &arg : args)
        command.append(" ").append(quote(arg));
    command.append(" <").append(quote(stdin_path)).append(" >").append(quote(io.file("out")));
    command.append(" 2>").append(quote(io.file("err")));
    const int status = std::system(command.c_str());
    ToolRun run;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const auto out = read_bytes(io.file("out"));
    const auto err = read_bytes(io.file("err"));
    run.out.assign(out.begin(), out.end());
    run.err.assign(err.begin(), err.end());
    return run;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The real WSQ files of other encoders, and our bundled samples.
std::vector<std::string> wsq_files_in(const fs::path &dir)
{
    std::vector<std::string> files;
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        return files;
    for (const auto &entry : fs::directory_iterator(dir, ec))
        if (entry.path().extension() == ".wsq")
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::string> shared_files()
{
    return wsq_files_in(VELLUMO_SHARED_DATA_DIR);
}

#define REQUIRE_SHARED_DATA(files)                                                                                 \
    const std::vector<std::string> files = shared_files();                                                        \
    if (files.empty())                                                                                              \
    GTEST_SKIP() << "no WSQ files in " VELLUMO_SHARED_DATA_DIR

// What the library itself makes of a file in the given format.
std::vector<unsigned char> library_image(const std::string &path, const std::string &format)
{
    const auto bytes = read_bytes(path);
    GrayImage image{};
    EXPECT_EQ(wsq_decode_image(bytes.data(), static_cast<int>(bytes.size()), &image), 0) << path;
    unsigned char *block = nullptr;
    size_t length = 0;
    int status = -1;
    if (format == "pgm")
        status = wsq_encode_pgm(&image, &block, &length);
    else if (format == "bmp")
        status = wsq_encode_bmp(&image, &block, &length);
    else
        status = wsq_encode_png(&image, &block, &length);
    EXPECT_EQ(status, 0);
    std::vector<unsigned char> out(block, block + length);
    std::free(block);
    wsq_free_image(&image);
    return out;
}

// --- A small JSON reader, enough for wsqtool's output ----------------------

struct Json {
    enum Type { Null, Number, String, Object, Bool } type = Null;
    double number = 0;
    std::string text;
    std::vector<std::string> keys; // of an object, in order
    std::vector<Json> values;      // keys[i] -> values[i]

    const Json *get(const std::string &key) const
    {
        for (size_t i = 0; i < keys.size(); ++i)
            if (keys[i] == key)
                return &values[i];
        return nullptr;
    }
};

class JsonReader {
public:
    explicit JsonReader(const std::string &text) : s_(text) {}

    // Parses one complete value; false on any syntax error or trailing text.
    bool parse(Json *out)
    {
        if (!value(out))
            return false;
        skip();
        return at_ == s_.size();
    }

private:
    void skip()
    {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r'))
            ++at_;
    }
    bool literal(const char *word)
    {
        const size_t n = std::strlen(word);
        if (s_.compare(at_, n, word) != 0)
            return false;
        at_ += n;
        return true;
    }
    bool string(std::string *out)
    {
        if (at_ >= s_.size() || s_[at_] != '"')
            return false;
        ++at_;
        while (at_ < s_.size() && s_[at_] != '"') {
            const unsigned char c = static_cast<unsigned char>(s_[at_]);
            if (c < 0x20)
                return false; // control characters must be escaped
            if (c != '\\') {
                *out += static_cast<char>(c);
                ++at_;
                continue;
            }
            if (++at_ >= s_.size())
                return false;
            const char e = s_[at_++];
            switch (e) {
            case '"': *out += '"'; break;
            case '\\': *out += '\\'; break;
            case '/': *out += '/'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'u': {
                if (at_ + 4 > s_.size())
                    return false;
                const unsigned long code = std::stoul(s_.substr(at_, 4), nullptr, 16);
                at_ += 4;
                if (code >= 0x80)
                    return false; // not produced by wsqtool; keep the reader small
                *out += static_cast<char>(code);
                break;
            }
            default: return false;
            }
        }
        if (at_ >= s_.size())
            return false;
        ++at_;
        return true;
    }
    bool value(Json *out)
    {
        skip();
        if (at_ >= s_.size())
            return false;
        const char c = s_[at_];
        if (c == '{') {
            out->type = Json::Object;
            ++at_;
            skip();
            if (at_ < s_.size() && s_[at_] == '}') {
                ++at_;
                return true;
            }
            for (;;) {
                skip();
                std::string key;
                if (!string(&key))
                    return false;
                skip();
                if (at_ >= s_.size() || s_[at_++] != ':')
                    return false;
                Json member;
                if (!value(&member))
                    return false;
                out->keys.push_back(std::move(key));
                out->values.push_back(std::move(member));
                skip();
                if (at_ < s_.size() && s_[at_] == ',') {
                    ++at_;
                    continue;
                }
                if (at_ < s_.size() && s_[at_] == '}') {
                    ++at_;
                    return true;
                }
                return false;
            }
        }
        if (c == '"') {
            out->type = Json::String;
            return string(&out->text);
        }
        if (literal("null")) {
            out->type = Json::Null;
            return true;
        }
        if (literal("true") || literal("false")) {
            out->type = Json::Bool;
            return true;
        }
        size_t used = 0;
        try {
            out->number = std::stod(s_.substr(at_), &used);
        } catch (...) {
            return false;
        }
        out->type = Json::Number;
        at_ += used;
        return used > 0;
    }

    const std::string &s_;
    size_t at_ = 0;
};

} // namespace

// --- Command line and exit codes ----------------------------------------------

TEST(WsqtoolCommandLine, HelpVersionAndUsageErrors)
{
    ToolRun version = run_tool({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_NE(version.out.find(wsq_version_string()), std::string::npos) << version.out;
    EXPECT_NE(version.out.find("3.0.0.1"), std::string::npos) << version.out;

    ToolRun help = run_tool({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("Usage: wsqtool"), std::string::npos);
    EXPECT_EQ(run_tool({"decode", "--help"}).exit_code, 0);
    EXPECT_EQ(run_tool({"info", "-h"}).exit_code, 0);

    // Each of these is a usage error: status 2 and the usage text on stderr.
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate", "x.wsq"},
        {"info"},
        {"info", "--bogus", "x.wsq"},
        {"decode"},
        {"decode", "-o", "a.png", "-d", "dir", "x.wsq"},
        {"decode", "-o", "a.png", "x.wsq", "y.wsq"},
        {"decode", "-f", "jpeg", "x.wsq"},
        {"decode", "-o", "a.tiff", "x.wsq"},
        {"decode", "-j", "0", "x.wsq"},
        {"decode", "-j", "many", "x.wsq"},
        {"decode", "-f"},
        {"decode", "--max-pixels", "-5", "x.wsq"},
        {"decode", "-"},
    };
    for (const auto &args : bad) {
        std::string shown;
        for (const auto &a : args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        const ToolRun run = run_tool(args);
        EXPECT_EQ(run.exit_code, 2);
        EXPECT_NE(run.err.find("Usage: wsqtool"), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty());
    }
}

// --- decode ---------------------------------------------------------------------

TEST(WsqtoolDecode, WritesWhatTheLibraryWritesInEveryFormat)
{
    REQUIRE_SHARED_DATA(files);
    TestDir dir;
    for (const auto &file : files) {
        SCOPED_TRACE(file);
        const auto pgm = library_image(file, "pgm");
        const ToolRun run = run_tool({"decode", "-f", "pgm", "-o", dir.file("out.pgm"), file});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(lines_of(run.err), std::vector<std::string>{"1 decoded, 0 failed"});
        EXPECT_TRUE(read_bytes(dir.file("out.pgm")) == pgm) << "PGM differs";
    }
    // The format follows the extension of -o.
    const std::string file = files.front();
    for (const std::string format : {"bmp", "png"}) {
        const std::string out = dir.file("out." + format);
        ASSERT_EQ(run_tool({"decode", "-o", out, file}).exit_code, 0);
        EXPECT_TRUE(read_bytes(out) == library_image(file, format)) << format;
    }
    // The upper-case extension works too, and -f wins over it.
    ASSERT_EQ(run_tool({"decode", "-o", dir.file("x.BMP"), file}).exit_code, 0);
    EXPECT_TRUE(read_bytes(dir.file("x.BMP")) == library_image(file, "bmp"));
    ASSERT_EQ(run_tool({"decode", "-f", "pgm", "-o", dir.file("y.png"), file}).exit_code, 0);
    EXPECT_TRUE(read_bytes(dir.file("y.png")) == library_image(file, "pgm"));
}

TEST(WsqtoolDecode, BatchWithBadFilesDecodesTheRestAndReportsEachFailure)
{
    REQUIRE_SHARED_DATA(files);
    TestDir dir;
    std::vector<std::string> inputs;
    for (size_t i = 0; i < files.size() && i < 3; ++i) {
        const std::string copy = dir.file("good" + std::to_string(i) + ".wsq");
        fs::copy_file(files[i], copy);
        inputs.push_back(copy);
    }
    write_text(dir.file("text.wsq"), "this is not a WSQ file\n");
    auto truncated = read_bytes(files.front());
    truncated.resize(truncated.size() / 2);
    write_bytes(dir.file("half.wsq"), truncated);
    // Bad files first, in the middle and last: none may stop the others.
    inputs.insert(inputs.begin(), dir.file("text.wsq"));
    inputs.insert(inputs.begin() + 2, dir.file("missing.wsq"));
    inputs.push_back(dir.file("half.wsq"));

    std::vector<std::string> args = {"decode", "-j", "2", "-d", dir.file("out")};
    args.insert(args.end(), inputs.begin(), inputs.end());
    const ToolRun run = run_tool(args);
    EXPECT_EQ(run.exit_code, 1);

    const size_t good = inputs.size() - 3;
    const auto err = lines_of(run.err);
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.back(), std::to_string(good) + " decoded, 3 failed");
    const std::regex error_line("(.+): error (-[0-9]+): (.+)");
    std::map<std::string, int> codes;
    for (size_t i = 0; i + 1 < err.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(err[i], m, error_line)) << err[i];
        codes[m[1]] = std::stoi(m[2]);
    }
    EXPECT_EQ(codes.size(), 3u);
    EXPECT_EQ(codes[dir.file("missing.wsq")], -4);
    EXPECT_LT(codes[dir.file("text.wsq")], 0);
    EXPECT_LT(codes[dir.file("half.wsq")], 0);

    std::vector<std::string> expected;
    for (size_t i = 0; i < good; ++i)
        expected.push_back("good" + std::to_string(i) + ".png");
    std::vector<std::string> written;
    for (const auto &entry : fs::directory_iterator(dir.file("out")))
        written.push_back(entry.path().filename().string());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, expected) << "outputs only for the good files, no temporary files";
    EXPECT_TRUE(read_bytes(dir.file("out/good0.png")) == library_image(files[0], "png"));
}

TEST(WsqtoolDecode, NeverOverwritesAnInput)
{
    REQUIRE_SHARED_DATA(files);
    TestDir dir;
    const std::string input = dir.file("print.wsq");
    fs::copy_file(files.front(), input);
    const auto original = read_bytes(input);

    ToolRun run = run_tool({"decode", "-f", "png", "-o", input, input});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find(input + ": error -6: "), std::string::npos) << run.err;
    // The same file under another spelling, and through a link.
    run = run_tool({"decode", "-f", "bmp", "-o", dir.file("./sub/../print.wsq"), input});
    EXPECT_EQ(run.exit_code, 1);
    fs::create_symlink(input, dir.file("alias.png"));
    run = run_tool({"decode", "-o", dir.file("alias.png"), input});
    EXPECT_EQ(run.exit_code, 1);
    // A WSQ file named like the image decoding it would produce.
    const std::string odd = dir.file("odd.png");
    fs::copy_file(files.front(), odd);
    run = run_tool({"decode", odd});
    EXPECT_EQ(run.exit_code, 1);

    EXPECT_TRUE(read_bytes(input) == original);
    EXPECT_TRUE(read_bytes(odd) == original);

    // Without -o or -d the image goes beside its input.
    run = run_tool({"decode", "-f", "pgm", input});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(read_bytes(dir.file("print.pgm")) == library_image(input, "pgm"));
}

TEST(WsqtoolDecode, StandardOutputAndStandardInput)
{
    REQUIRE_SHARED_DATA(files);
    const std::string file = files.front();
    ToolRun run = run_tool({"decode", "-o", "-", file});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const auto png = library_image(file, "png");
    EXPECT_TRUE(std::vector<unsigned char>(run.out.begin(), run.out.end()) == png) << "-o - writes PNG by default";
    EXPECT_EQ(lines_of(run.err), std::vector<std::string>{"1 decoded, 0 failed"});

    run = run_tool({"decode", "-f", "pgm", "-o", "-", "-"}, file);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const auto pgm = library_image(file, "pgm");
    EXPECT_TRUE(std::vector<unsigned char>(run.out.begin(), run.out.end()) == pgm);

    run = run_tool({"decode", "-o", "-", "/dev/null"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(run.out.empty()) << "nothing on standard output when the decode fails";
}

TEST(WsqtoolDecode, PixelLimitRefusesLargeImagesBeforeDecoding)
{
    REQUIRE_SHARED_DATA(files);
    TestDir dir;
    const std::string file = files.front();
    int w = 0, h = 0, encoder = 0, implementation = 0;
    const auto bytes = read_bytes(file);
    ASSERT_EQ(wsq_query_header(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &encoder, &implementation), 0);
    const long long pixels = static_cast<long long>(w) * h;

    ToolRun run = run_tool({"decode", "--max-pixels", std::to_string(pixels - 1), "-o", dir.file("a.png"), file});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find(file + ": error -123: "), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir.file("a.png")));

    run = run_tool({"decode", "--max-pixels=" + std::to_string(pixels), "-o", dir.file("a.png"), file});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    run = run_tool({"decode", "--max-pixels", "0", "-o", dir.file("b.png"), file});
    EXPECT_EQ(run.exit_code, 0) << run.err;

    run = run_tool({"info", "--json", "--max-pixels", "1", file});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.out.find("\"status\":-123"), std::string::npos) << run.out;
}

// A codestream whose frame header claims width x height pixels, with one
// block header and zeros after it: enough for the header query, never
// decodable.
std::vector<unsigned char> header_only(int width, int height)
{
    std::vector<unsigned char> b = {0xFF, 0xA0, 0xFF, 0xA2, 0x00, 0x11, 0x00, 0xFF};
    const auto put16 = [&b](int v) {
        b.push_back(static_cast<unsigned char>(v >> 8));
        b.push_back(static_cast<unsigned char>(v & 0xFF));
    };
    put16(height);
    put16(width);
    const unsigned char rest[] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                                  0xFF, 0xA3, 0x00, 0x03, 0x00};
    b.insert(b.end(), std::begin(rest), std::end(rest));
    b.resize(300, 0);
    return b;
}

// A real codestream of a synthetic print made by our encoder.
std::vector<unsigned char> encoded_print(int width, int height, int seed)
{
    std::vector<unsigned char> pixels(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixels[static_cast<size_t>(y) * width + x] =
                static_cast<unsigned char>(128 + 100 * ((x * 7 + y * 3 + seed) % 23 < 11 ? 1 : -1) / (1 + (x + y) % 5));
    WsqEncodeParams params;
    wsq_encode_default_params(&params);
    unsigned char *out = nullptr;
    int length = 0;
    EXPECT_EQ(wsq_encode(pixels.data(), width, height, &params, &out, &length, nullptr), 0);
    std::vector<unsigned char> bytes(out, out + length);
    std::free(out);
    return bytes;
}

TEST(WsqtoolDecode, DefaultPixelLimitRefusesHugeHeadersAtOnce)
{
    // 16385 x 16384 is just above 2^28: without the limit the decoder
    // would set out to allocate gigabytes for a file of 300 bytes.
    TestDir dir;
    write_bytes(dir.file("huge.wsq"), header_only(16385, 16384));
    write_bytes(dir.file("edge.wsq"), header_only(16384, 16384)); // exactly 2^28: allowed, fails to decode
    const std::string limit_line = dir.file("huge.wsq") +
                                   ": error -123: image of 16385 x 16384 pixels is larger than the limit of "
                                   "268435456 pixels (raise it with --max-pixels)";

    const auto start = std::chrono::steady_clock::now();
    ToolRun run = run_tool({"decode", "-o", dir.file("huge.png"), dir.file("huge.wsq")});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(lines_of(run.err), (std::vector<std::string>{limit_line, "0 decoded, 1 failed"}));
    EXPECT_FALSE(fs::exists(dir.file("huge.png")));

    run = run_tool({"decode", "-d", dir.file("out"), dir.file("huge.wsq"), dir.file("edge.wsq")});
    EXPECT_EQ(run.exit_code, 1);
    const auto lines = lines_of(run.err);
    EXPECT_NE(std::find(lines.begin(), lines.end(), limit_line), lines.end()) << run.err;
    EXPECT_EQ(run.err.find("edge.wsq: error -123"), std::string::npos) << "2^28 pixels are within the limit";

    run = run_tool({"info", "--check", dir.file("huge.wsq")});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find(limit_line), std::string::npos) << run.err << run.out;
    run = run_tool({"info", "--check", "--json", dir.file("huge.wsq")});
    EXPECT_NE(run.out.find("\"status\":-123"), std::string::npos) << run.out;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(WsqtoolDecode, OneFileOrManyGiveTheSameBytes)
{
    // One file decodes on every core, several decode side by side on one
    // core each: the images are the same either way.
    TestDir dir;
    std::vector<std::string> inputs;
    for (int i = 0; i < 3; ++i) {
        inputs.push_back(dir.file("print" + std::to_string(i) + ".wsq"));
        write_bytes(inputs.back(), encoded_print(600 + 8 * i, 500 + 16 * i, i));
    }
    std::vector<std::string> many = {"decode", "-f", "pgm", "-j", "3", "-d", dir.file("many")};
    many.insert(many.end(), inputs.begin(), inputs.end());
    ToolRun run = run_tool(many);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    for (size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE(inputs[i]);
        const std::string alone = dir.file("alone" + std::to_string(i) + ".pgm");
        run = run_tool({"decode", "-o", alone, inputs[i]});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        const auto bytes = read_bytes(alone);
        EXPECT_TRUE(bytes == read_bytes(dir.file("many/print" + std::to_string(i) + ".pgm")));
        EXPECT_TRUE(bytes == library_image(inputs[i], "pgm"));
    }
}

TEST(WsqtoolDecode, BundledSamplesDecode)
{
    const auto samples = wsq_files_in(fs::path(VELLUMO_SOURCE_DIR) / "samples");
    if (samples.empty())
        GTEST_SKIP() << "no samples/*.wsq yet";
    TestDir dir;
    std::vector<std::string> args = {"decode", "-f", "pgm", "-d", dir.path().string()};
    args.insert(args.end(), samples.begin(), samples.end());
    const ToolRun run = run_tool(args);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    for (const auto &sample : samples) {
        const std::string out = dir.file(fs::path(sample).stem().string() + ".pgm");
        EXPECT_TRUE(read_bytes(out) == library_image(sample, "pgm")) << sample;
    }
}

// --- info ---------------------------------------------------------------------------

TEST(WsqtoolInfo, JsonLinesReportTheStatusBarValues)
{
    REQUIRE_SHARED_DATA(files);
    TestDir dir;
    write_text(dir.file("bad.wsq"), "nope");
    std::vector<std::string> args = {"info", "--json"};
    args.insert(args.end(), files.begin(), files.end());
    args.push_back(dir.file("bad.wsq"));
    const ToolRun run = run_tool(args);
    EXPECT_EQ(run.exit_code, 1);

    const auto lines = lines_of(run.out);
    ASSERT_EQ(lines.size(), files.size() + 1);
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i]);
        Json json;
        ASSERT_TRUE(JsonReader(lines[i]).parse(&json)) << lines[i];
        ASSERT_EQ(json.type, Json::Object);
        for (const char *key : {"file", "status", "width", "height", "encoder", "implementation", "ppi", "ratio",
                                "comment", "nist"})
            ASSERT_NE(json.get(key), nullptr) << key;

        const auto bytes = read_bytes(files[i]);
        const int length = static_cast<int>(bytes.size());
        int w = 0, h = 0, encoder = 0, implementation = 0, ppi = 0;
        ASSERT_EQ(wsq_query_header(bytes.data(), length, &w, &h, &encoder, &implementation), 0);
        ASSERT_EQ(wsq_ppi_from_comment(bytes.data(), length, &ppi), 0);
        char comment[4096] = "";
        int size = sizeof comment;
        ASSERT_EQ(wsq_query_comment(bytes.data(), length, comment, &size), 0);

        EXPECT_EQ(json.get("file")->text, files[i]);
        EXPECT_EQ(json.get("status")->number, 0);
        EXPECT_EQ(json.get("width")->number, w);
        EXPECT_EQ(json.get("height")->number, h);
        EXPECT_EQ(json.get("encoder")->number, encoder);
        EXPECT_EQ(json.get("implementation")->number, implementation);
        EXPECT_EQ(json.get("ppi")->number, ppi);
        EXPECT_EQ(json.get("ratio")->number, (w * h) / length);
        EXPECT_EQ(json.get("comment")->text, std::string(comment));

        const Json *nist = json.get("nist");
        ASSERT_EQ(nist->type, Json::Object);
        ASSERT_NE(nist->get("PPI"), nullptr);
        EXPECT_EQ(std::atoi(nist->get("PPI")->text.c_str()), ppi);
        ASSERT_NE(nist->get("PIX_WIDTH"), nullptr);
        EXPECT_EQ(std::atoi(nist->get("PIX_WIDTH")->text.c_str()), w);
    }
    Json bad;
    ASSERT_TRUE(JsonReader(lines.back()).parse(&bad)) << lines.back();
    EXPECT_LT(bad.get("status")->number, 0);
    EXPECT_EQ(bad.get("width")->type, Json::Null);
    const std::regex error_line(".+: error -[0-9]+: .+\n");
    EXPECT_TRUE(std::regex_match(run.err, error_line)) << run.err;
}

TEST(WsqtoolInfo, JsonEscapesEveryStringIntoValidJson)
{
    REQUIRE_SHARED_DATA(files);
    TestDir dir;
    // A file name with quotes, a backslash and a Latin-1 byte that is not UTF-8.
    const std::string name = dir.file("we\"ird\\ \xE9.wsq");
    fs::copy_file(files.front(), name);
    const ToolRun run = run_tool({"info", "--json", name});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out.find('\xE9'), std::string::npos) << "raw invalid UTF-8 in the output";
    EXPECT_NE(run.out.find("\xC3\xA9"), std::string::npos) << "the byte comes out as its Latin-1 character";
    Json json;
    ASSERT_TRUE(JsonReader(lines_of(run.out).front()).parse(&json)) << run.out;
    EXPECT_NE(json.get("file")->text.find("we\"ird\\ "), std::string::npos);
}

TEST(WsqtoolInfo, TextOutputShowsTheFieldsAndCheckDecodes)
{
    REQUIRE_SHARED_DATA(files);
    TestDir dir;
    ToolRun run = run_tool({"info", files.front()});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    for (const char *label : {"Width:", "Height:", "Encoder:", "Implementation:", "PPI:", "Ratio:", "Bits per pixel:",
                              "Comment:", "NIST comment:"})
        EXPECT_NE(run.out.find(label), std::string::npos) << label;

    // A file cut after its header still answers the header queries; only
    // --check, which decodes, finds the fault.
    auto cut = read_bytes(files.front());
    cut.resize(cut.size() - 100);
    write_bytes(dir.file("cut.wsq"), cut);
    run = run_tool({"info", dir.file("cut.wsq")});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    run = run_tool({"info", "--check", dir.file("cut.wsq"), files.front()});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find(dir.file("cut.wsq") + ": error "), std::string::npos) << run.err;
    EXPECT_EQ(lines_of(run.err).size(), 1u) << run.err;
}
