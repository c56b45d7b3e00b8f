// cmd_decode.cpp - wsqtool decode: WSQ files to PGM, BMP or PNG, many at
// once, each through the re-entrant decoder on a worker thread.
#include "commands.h"
#include "common.h"

#include "wsq.h"
#include "wsq_writers.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace wsqtool;
namespace fs = std::filesystem;

namespace {

enum class Format { Pgm, Bmp, Png };

const char *extension_of(Format format)
{
    switch (format) {
    case Format::Pgm: return "pgm";
    case Format::Bmp: return "bmp";
    case Format::Png: return "png";
    }
    return "png";
}

std::string lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool format_from_name(const std::string &name, Format *format)
{
    const std::string n = lower(name);
    if (n == "pgm") *format = Format::Pgm;
    else if (n == "bmp") *format = Format::Bmp;
    else if (n == "png") *format = Format::Png;
    else return false;
    return true;
}

struct Job {
    std::string input;
    std::string output;        // "-" for standard output
    bool refused = false;      // decided before decoding: not to be done
    std::string refusal;
};

// A key that names the same file for two spellings of a path (./a and a,
// a/../b and b), also for files that do not exist yet.
std::string path_key(const std::string &path)
{
    std::error_code ec;
    fs::path canonical = fs::weakly_canonical(fs::absolute(fs::path(path), ec), ec);
    if (ec)
        return fs::path(path).lexically_normal().string();
    return canonical.string();
}

bool same_file(const std::string &a, const std::string &b)
{
    std::error_code ec;
    if (fs::equivalent(a, b, ec) && !ec)
        return true; // also hard links and links to each other
    return path_key(a) == path_key(b);
}

int write_image(const GrayImage &image, Format format, const std::string &output)
{
    if (output == "-") {
        unsigned char *block = nullptr;
        size_t length = 0;
        int status = WSQ_OK;
        switch (format) {
        case Format::Pgm: status = wsq_encode_pgm(&image, &block, &length); break;
        case Format::Bmp: status = wsq_encode_bmp(&image, &block, &length); break;
        case Format::Png: status = wsq_encode_png(&image, &block, &length); break;
        }
        if (status != WSQ_OK)
            return status;
        set_binary(stdout);
        const bool written = std::fwrite(block, 1, length, stdout) == length && std::fflush(stdout) == 0;
        std::free(block);
        return written ? WSQ_OK : WSQ_E_WRITE;
    }
    switch (format) {
    case Format::Pgm: return wsq_save_pgm(&image, output.c_str());
    case Format::Bmp: return wsq_save_bmp(&image, output.c_str());
    case Format::Png: return wsq_save_png(&image, output.c_str());
    }
    return WSQ_E_WRITE;
}

// Decodes one file and writes its image; reports its own failure.
bool run_job(const Job &job, Format format, long long max_pixels)
{
    if (job.refused) {
        print_error(job.input, WSQ_E_WRITE, job.refusal);
        return false;
    }
    std::vector<unsigned char> bytes;
    int status = read_input(job.input, &bytes);
    if (status != WSQ_OK) {
        report_failure(job.input, Stage::Load, status);
        return false;
    }
    int width = 0, height = 0;
    status = check_header(bytes, max_pixels, &width, &height);
    if (status == WSQ_E_TOO_MANY_PIXELS) {
        print_error(job.input, status, pixel_limit_text(width, height, max_pixels));
        return false;
    }
    if (status != WSQ_OK) {
        report_failure(job.input, Stage::Header, status);
        return false;
    }

    GrayImage image{};
    status = wsq_decode_image(bytes.data(), static_cast<int>(bytes.size()), &image);
    std::vector<unsigned char>().swap(bytes); // the codestream is no longer needed
    if (status != WSQ_OK) {
        report_failure(job.input, Stage::Decode, status);
        return false;
    }
    status = write_image(image, format, job.output);
    wsq_free_image(&image);
    if (status == WSQ_E_WRITE) {
        print_error(job.input, status,
                    "cannot write " + (job.output == "-" ? std::string("to standard output") : job.output));
        return false;
    }
    if (status != WSQ_OK) {
        report_failure(job.input, Stage::Write, status);
        return false;
    }
    return true;
}

// The output name for input in dir: the input's file name with its
// extension replaced.
std::string output_in(const fs::path &dir, const std::string &input, Format format)
{
    fs::path name = fs::path(input).filename();
    name.replace_extension(extension_of(format));
    return (dir / name).string();
}

} // namespace

int cmd_decode(int argc, char **argv)
{
    const std::vector<OptionDef> defs = {
        {'f', "format", true},
        {'o', "output", true},
        {'d', "directory", true},
        {'j', "jobs", true},
        {0, "max-pixels", true},
    };
    ParsedArgs args;
    std::string error;
    if (!parse_args(argc, argv, defs, &args, &error))
        return usage_error(error, kDecodeUsage);
    if (args.help)
        return print_help(kDecodeUsage);
    if (args.operands.empty())
        return usage_error("no input file given", kDecodeUsage);

    const bool to_file = args.has("output");
    const bool to_dir = args.has("directory");
    const std::string output = args.value("output");
    const std::string directory = args.value("directory");
    if (to_file && to_dir)
        return usage_error("-o and -d cannot be used together", kDecodeUsage);
    if (to_file && output.empty())
        return usage_error("-o needs a file name (or - for standard output)", kDecodeUsage);
    if (to_dir && directory.empty())
        return usage_error("-d needs a folder name", kDecodeUsage);
    if (to_file && args.operands.size() > 1)
        return usage_error("-o takes exactly one input file; use -d DIR for several", kDecodeUsage);

    Format format = Format::Png;
    if (args.has("format")) {
        if (!format_from_name(args.value("format"), &format))
            return usage_error("unknown format '" + args.value("format") + "' (use pgm, bmp or png)",
                               kDecodeUsage);
    } else if (to_file && output != "-") {
        std::string ext = fs::path(output).extension().string();
        if (!ext.empty())
            ext.erase(0, 1);
        if (!format_from_name(ext, &format))
            return usage_error("cannot tell the image format from '" + output + "'; add -f pgm, bmp or png",
                               kDecodeUsage);
    }

    long long jobs_wanted = std::max(1u, std::thread::hardware_concurrency());
    if (args.has("jobs") && !parse_integer(args.value("jobs"), 1, 1024, &jobs_wanted))
        return usage_error("-j needs a number of jobs from 1 to 1024, not '" + args.value("jobs") + "'",
                           kDecodeUsage);
    long long max_pixels = kDefaultMaxPixels;
    if (args.has("max-pixels") && !parse_max_pixels(args.value("max-pixels"), &max_pixels))
        return usage_error("--max-pixels needs a whole number of pixels (0 for no limit), not '" +
                               args.value("max-pixels") + "'",
                           kDecodeUsage);

    int stdin_count = 0;
    for (const auto &file : args.operands)
        stdin_count += file == "-";
    if (stdin_count > 1)
        return usage_error("standard input (-) can be read only once", kDecodeUsage);
    if (stdin_count == 1 && !to_file)
        return usage_error("decoding standard input (-) needs -o OUT", kDecodeUsage);
    if (to_file && output == "-" && is_terminal(stdout))
        return usage_error("not writing image data to a terminal; redirect standard output or use -o FILE",
                           kDecodeUsage);

    if (to_dir) {
        std::error_code ec;
        fs::create_directories(directory, ec);
        if (!fs::is_directory(directory, ec)) {
            print_error(directory, WSQ_E_WRITE, "cannot create the output folder");
            std::fprintf(stderr, "0 decoded, %zu failed\n", args.operands.size());
            return kExitFailed;
        }
    }

    // Plan every output first, so that no job writes over an input file or
    // over another job's output, whatever order the threads run in.
    std::vector<Job> jobs;
    jobs.reserve(args.operands.size());
    std::map<std::string, std::string> claimed; // output key -> input that writes it
    for (const auto &input : args.operands) {
        Job job;
        job.input = input;
        if (to_file)
            job.output = output;
        else if (to_dir)
            job.output = output_in(directory, input, format);
        else
            job.output = output_in(fs::path(input).parent_path(), input, format);

        if (job.output != "-") {
            for (const auto &other : args.operands) {
                if (other != "-" && same_file(job.output, other)) {
                    job.refused = true;
                    job.refusal = "output " + job.output + " would overwrite an input file";
                    break;
                }
            }
            if (!job.refused) {
                const std::string key = path_key(job.output);
                auto [it, fresh] = claimed.emplace(key, input);
                if (!fresh) {
                    job.refused = true;
                    job.refusal = "output " + job.output + " is already written for " + it->second;
                }
            }
        }
        jobs.push_back(std::move(job));
    }

    const size_t thread_count = std::min(static_cast<size_t>(jobs_wanted), jobs.size());
    // One decode at a time uses every core; several at once use one each,
    // so that the jobs do not fight over the cores.
    wsq_set_decode_threads(thread_count == 1 ? 0 : 1);
    std::atomic<size_t> next{0};
    std::atomic<size_t> decoded{0};
    std::atomic<size_t> failed{0};
    {
        Progress progress("decoding", jobs.size());
        auto worker = [&] {
            for (size_t i = next.fetch_add(1); i < jobs.size(); i = next.fetch_add(1)) {
                bool ok = false;
                try {
                    ok = run_job(jobs[i], format, max_pixels);
                } catch (const std::exception &e) { // out of memory in our own buffers
                    print_error(jobs[i].input, WSQ_E_READ_OR_NOMEM, std::string("out of memory (") + e.what() + ")");
                }
                (ok ? decoded : failed).fetch_add(1);
                progress.step(!ok);
            }
        };
        std::vector<std::thread> threads;
        for (size_t t = 1; t < thread_count; ++t)
            threads.emplace_back(worker);
        worker();
        for (auto &thread : threads)
            thread.join();
    }

    std::fprintf(stderr, "%zu decoded, %zu failed\n", decoded.load(), failed.load());
    return failed.load() == 0 ? kExitOk : kExitFailed;
}
