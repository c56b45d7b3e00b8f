// bench_codec - decoding speed of our WSQ decoder beside TurboJPEG and
// OpenJPEG on the same pictures at the same file sizes, our encoder's speed,
// and the decoders' peak heap use.
//
//   bench_codec [Google Benchmark flags]
//
// Pictures are synthetic prints (512 x 512, 1608 x 1000, 900 x 2500 and
// 4000 x 4000) encoded by our encoder at 0.75 and 2.25 bits per pixel. Each
// WSQ file is matched by a gray baseline JPEG and a JPEG 2000 codestream of
// (nearly) the same size. Before anything is timed, every decoder's output
// is checked once. Timings are wall-clock (counter MP/s, megapixels per
// second) beside the CPU time of the whole process. After the runs a
// markdown summary is printed.
//
// Defaults unless given on the command line: --benchmark_min_time=0.05,
// --benchmark_repetitions=30 (the summary takes the best: on a shared
// machine, more and shorter repetitions give every decoder a better chance
// of a quiet one, and a decode on two threads needs both cores quiet at
// once; a repetition is still some hundreds of decodes),
// --benchmark_enable_random_interleaving=true (so a burst of other load on
// the machine is spread over all decoders instead of hitting one) and
// --benchmark_display_aggregates_only=true. One case only, quickly:
//   bench_codec --benchmark_filter=/512x512/0.75bpp --benchmark_min_time=0.01 --benchmark_repetitions=1
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include "alloc_count.h"
#include "memory.h"
#include "peers.h"
#include "synthprint.h"
#include "wsq.h"
#include "wsq_encoder.h"

namespace {

using vellumo::bench::J2kAvailable;
using vellumo::bench::JpegAvailable;
using vellumo::bench::PeerFile;
using vellumo::synth::Pattern;

struct PictureDef {
    int width;
    int height;
    Pattern pattern;
    uint32_t seed;
};

constexpr PictureDef kPictures[] = {
    {512, 512, Pattern::Loop, 11},
    {1608, 1000, Pattern::Whorl, 22},
    {900, 2500, Pattern::Arch, 33},
    {4000, 4000, Pattern::Loop, 44},
};
constexpr int kPictureCount = int(sizeof kPictures / sizeof kPictures[0]);
constexpr double kRates[] = {0.75, 2.25};
constexpr int kRateCount = int(sizeof kRates / sizeof kRates[0]);

// Counted as failures: the process exits with 1 when any happened.
int g_failures = 0;

std::string PictureName(int p)
{
    return std::to_string(kPictures[p].width) + "x" + std::to_string(kPictures[p].height);
}

std::string RateName(int r)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2fbpp", kRates[r]);
    return text;
}

double Pixels(int p) { return double(kPictures[p].width) * double(kPictures[p].height); }

double Psnr(const uint8_t *a, const uint8_t *b, size_t count)
{
    double sum = 0;
    for (size_t i = 0; i < count; ++i) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    if (sum == 0) {
        return INFINITY;
    }
    return 10.0 * std::log10(255.0 * 255.0 / (sum / double(count)));
}

// Below this a decode is taken to be wrong: every file here is at least
// 0.75 bit per pixel of a clean synthetic print, which all three codecs
// bring back well above 30 dB.
constexpr double kMinPsnr = 25.0;

// Heap bytes above the baseline at the peak of `run`, per pixel; -1 without
// the counting allocator.
template <typename Run>
double PeakPerPixel(int p, Run &&run)
{
    if (!alloc_count_enabled()) {
        run();
        return -1;
    }
    const long long base = alloc_count_reset_peak();
    run();
    return double(alloc_count_peak() - base) / Pixels(p);
}

// ---------------------------------------------------------------------------
// Inputs, made once per process and only for the cases that run.

const std::vector<uint8_t> &Picture(int p)
{
    static std::map<int, std::vector<uint8_t>> cache;
    auto found = cache.find(p);
    if (found == cache.end()) {
        const PictureDef &s = kPictures[p];
        found = cache.emplace(p, vellumo::synth::MakeFingerprint(s.width, s.height, s.seed, s.pattern))
                    .first;
    }
    return found->second;
}

struct Case {
    bool prepared = false;
    std::string error;  // set when the WSQ side cannot be used at all

    std::vector<uint8_t> wsq;
    double psnr_wsq = 0;
    double peak_one = -1;  // bytes per pixel, our decoder on one thread
    double peak_all = -1;  // ... on all cores

    PeerFile jpeg;
    std::string jpeg_error;
    double psnr_jpeg = 0;
    double peak_jpeg = -1;

    PeerFile j2k;
    std::string j2k_error;
    double psnr_j2k = 0;
    double peak_j2k = -1;
};

Case g_cases[kPictureCount][kRateCount];

void Note(int p, int r, const std::string &text)
{
    std::fprintf(stderr, "bench_codec: %s %s: %s\n", PictureName(p).c_str(), RateName(r).c_str(),
                 text.c_str());
}

// Our side: encode, decode on one thread and on all cores, check both.
void PrepareOurs(int p, int r, Case &c)
{
    const PictureDef &s = kPictures[p];
    const std::vector<uint8_t> &pixels = Picture(p);
    WsqEncodeParams params;
    wsq_encode_default_params(&params);
    params.bitrate = float(kRates[r]);
    params.ppi = 500;
    unsigned char *out = nullptr;
    int length = 0;
    int rc = wsq_encode(pixels.data(), s.width, s.height, &params, &out, &length, nullptr);
    if (rc < 0) {
        c.error = std::string("encoding failed: ") + wsq_status_text(rc);
        return;
    }
    c.wsq.assign(out, out + length);
    std::free(out);

    GrayImage one{};
    // Each peak is that of a decode that finds no float image kept from an
    // earlier one: the most it can ever take.
    wsq_set_decode_threads(1);
    wsq_release_kept_buffers();
    c.peak_one = PeakPerPixel(p, [&] { rc = wsq_decode_image(c.wsq.data(), length, &one); });
    if (rc < 0 || one.width != s.width || one.height != s.height || one.pixels == nullptr) {
        c.error = rc < 0 ? std::string("decoding failed: ") + wsq_status_text(rc)
                         : "decoded size " + std::to_string(one.width) + "x" +
                               std::to_string(one.height);
        wsq_free_image(&one);
        return;
    }
    c.psnr_wsq = Psnr(one.pixels, pixels.data(), pixels.size());
    if (c.psnr_wsq < kMinPsnr) {
        c.error = "decoded picture is too far from the original (" + std::to_string(c.psnr_wsq) + " dB)";
    } else if (alloc_count_enabled() && c.peak_one < 1.0) {
        // The decoder's own output is a byte per pixel: less means the
        // counting allocator is not seeing its allocations.
        c.error = "the allocation counter missed the decoder's allocations";
    }
    if (!c.error.empty()) {
        wsq_free_image(&one);
        return;
    }

    GrayImage all{};
    wsq_set_decode_threads(0);
    wsq_release_kept_buffers();
    c.peak_all = PeakPerPixel(p, [&] { rc = wsq_decode_image(c.wsq.data(), length, &all); });
    wsq_set_decode_threads(1);
    if (rc < 0 || all.width != s.width || all.height != s.height || all.pixels == nullptr ||
        std::memcmp(all.pixels, one.pixels, pixels.size()) != 0) {
        c.error = rc < 0 ? std::string("decoding on all cores failed: ") + wsq_status_text(rc)
                         : "decoding on all cores gives other pixels than on one thread";
    }
    wsq_free_image(&one);
    wsq_free_image(&all);
}

void PrepareJpeg(int p, int r, Case &c)
{
    const PictureDef &s = kPictures[p];
    const std::vector<uint8_t> &pixels = Picture(p);
    if (!vellumo::bench::JpegEncodeNear(pixels.data(), s.width, s.height, c.wsq.size(), &c.jpeg,
                                        &c.jpeg_error)) {
        return;
    }
    if (std::fabs(c.jpeg.deviation) > 0.05) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "no JPEG quality lands within 5%% of the WSQ size; closest is quality %d at %+.1f%%",
                      c.jpeg.quality, 100 * c.jpeg.deviation);
        Note(p, r, text);
    }
    vellumo::bench::JpegDecoder decoder;
    bool ok = false;
    std::unique_ptr<uint8_t[]> out;
    // The output buffer counts, as our decoder's own output does.
    c.peak_jpeg = PeakPerPixel(p, [&] {
        out.reset(new uint8_t[pixels.size()]);
        ok = decoder.Decode(c.jpeg.bytes, out.get(), s.width, s.height, &c.jpeg_error);
    });
    if (ok) {
        c.psnr_jpeg = Psnr(out.get(), pixels.data(), pixels.size());
        if (c.psnr_jpeg < kMinPsnr) {
            c.jpeg_error = "TurboJPEG's picture is too far from the original";
            ok = false;
        }
    }
    if (!ok) {
        c.jpeg.bytes.clear();
    }
}

void PrepareJ2k(int p, int r, Case &c)
{
    const PictureDef &s = kPictures[p];
    const std::vector<uint8_t> &pixels = Picture(p);
    if (!vellumo::bench::J2kEncodeNear(pixels.data(), s.width, s.height, c.wsq.size(), &c.j2k,
                                       &c.j2k_error)) {
        return;
    }
    if (std::fabs(c.j2k.deviation) > 0.05) {
        char text[120];
        std::snprintf(text, sizeof text, "the JPEG 2000 codestream is %+.1f%% off the WSQ size",
                      100 * c.j2k.deviation);
        Note(p, r, text);
    }
    std::vector<uint8_t> out(pixels.size());
    bool ok = false;
    // The library's own (32-bit) image counts; the 8-bit copy is ours.
    c.peak_j2k = PeakPerPixel(
        p, [&] { ok = vellumo::bench::J2kDecode(c.j2k.bytes, out.data(), s.width, s.height, &c.j2k_error); });
    if (ok) {
        c.psnr_j2k = Psnr(out.data(), pixels.data(), pixels.size());
        if (c.psnr_j2k < kMinPsnr) {
            c.j2k_error = "OpenJPEG's picture is too far from the original";
            ok = false;
        }
    }
    if (!ok) {
        c.j2k.bytes.clear();
    }
}

Case &Prepared(int p, int r)
{
    Case &c = g_cases[p][r];
    if (!c.prepared) {
        c.prepared = true;
        PrepareOurs(p, r, c);
        if (c.error.empty() && JpegAvailable()) {
            PrepareJpeg(p, r, c);
        }
        if (c.error.empty() && J2kAvailable()) {
            PrepareJ2k(p, r, c);
        }
        for (const std::string *e : {&c.error, &c.jpeg_error, &c.j2k_error}) {
            if (!e->empty()) {
                Note(p, r, *e);
            }
        }
    }
    return c;
}

// ---------------------------------------------------------------------------
// The timed runs.

void Fail(benchmark::State &state, const std::string &why)
{
    ++g_failures;
    state.SkipWithError(why.c_str());
}

void SetRate(benchmark::State &state, int p)
{
    state.counters["MP/s"] =
        benchmark::Counter(double(state.iterations()) * Pixels(p) / 1e6, benchmark::Counter::kIsRate);
}

void Encode(benchmark::State &state, int p, int r)
{
    const PictureDef &s = kPictures[p];
    const std::vector<uint8_t> &pixels = Picture(p);
    WsqEncodeParams params;
    wsq_encode_default_params(&params);
    params.bitrate = float(kRates[r]);
    params.ppi = 500;
    for (auto _ : state) {
        unsigned char *out = nullptr;
        int length = 0;
        const int rc = wsq_encode(pixels.data(), s.width, s.height, &params, &out, &length, nullptr);
        if (rc < 0) {
            Fail(state, std::string("encoding failed: ") + wsq_status_text(rc));
            break;
        }
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    SetRate(state, p);
}

void DecodeOurs(benchmark::State &state, int p, int r, int threads)
{
    const Case &c = Prepared(p, r);
    if (!c.error.empty()) {
        Fail(state, c.error);
        return;
    }
    wsq_set_decode_threads(threads);
    state.counters["threads"] = wsq_decode_threads();
    for (auto _ : state) {
        GrayImage image{};
        const int rc = wsq_decode_image(c.wsq.data(), int(c.wsq.size()), &image);
        if (rc < 0) {
            Fail(state, std::string("decoding failed: ") + wsq_status_text(rc));
            break;
        }
        benchmark::DoNotOptimize(image.pixels);
        wsq_free_image(&image);
    }
    wsq_set_decode_threads(1);
    SetRate(state, p);
}

void DecodeJpeg(benchmark::State &state, int p, int r)
{
    const Case &c = Prepared(p, r);
    if (c.jpeg.bytes.empty()) {
        Fail(state, c.error.empty() ? c.jpeg_error : c.error);
        return;
    }
    vellumo::bench::JpegDecoder decoder;
    std::vector<uint8_t> out(size_t(Pixels(p)));
    for (auto _ : state) {
        if (!decoder.Decode(c.jpeg.bytes, out.data(), kPictures[p].width, kPictures[p].height)) {
            Fail(state, "TurboJPEG decoding failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    SetRate(state, p);
}

void DecodeJ2k(benchmark::State &state, int p, int r)
{
    const Case &c = Prepared(p, r);
    if (c.j2k.bytes.empty()) {
        Fail(state, c.error.empty() ? c.j2k_error : c.error);
        return;
    }
    std::vector<uint8_t> out(size_t(Pixels(p)));
    for (auto _ : state) {
        if (!vellumo::bench::J2kDecode(c.j2k.bytes, out.data(), kPictures[p].width,
                                       kPictures[p].height)) {
            Fail(state, "OpenJPEG decoding failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    SetRate(state, p);
}

std::string Name(const char *what, int p, int r)
{
    return std::string(what) + "/" + PictureName(p) + "/" + RateName(r);
}

double Smallest(const std::vector<double> &values)
{
    return values.empty() ? NAN : *std::min_element(values.begin(), values.end());
}

// Megapixels per benchmark name, for the summary.
std::map<std::string, double> g_megapixels;

void Register()
{
    for (int p = 0; p < kPictureCount; ++p) {
        for (int r = 0; r < kRateCount; ++r) {
            auto add = [p, r](const char *what, auto run) {
                const std::string name = Name(what, p, r);
                g_megapixels[name] = Pixels(p) / 1e6;
                // Wall-clock rates (what a caller waits); the CPU column is
                // the whole process, every thread included. "min" is the best
                // repetition, the one least disturbed by other load.
                benchmark::RegisterBenchmark(name.c_str(), [p, r, run](benchmark::State &s) { run(s, p, r); })
                    ->UseRealTime()
                    ->MeasureProcessCPUTime()
                    ->ComputeStatistics("min", Smallest)
                    ->Unit(benchmark::kMillisecond);
            };
            add("encode/ours", Encode);
            add("decode/ours-1-thread", [](benchmark::State &s, int p, int r) { DecodeOurs(s, p, r, 1); });
            add("decode/ours-all-cores", [](benchmark::State &s, int p, int r) { DecodeOurs(s, p, r, 0); });
            if (JpegAvailable()) {
                add("decode/turbojpeg", DecodeJpeg);
            }
            if (J2kAvailable()) {
                add("decode/openjpeg", DecodeJ2k);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// The summary.

// Console output as usual; keeps each benchmark's best repetition (or its
// only run) for the summary, as megapixels per wall-clock second and per
// CPU second.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    explicit SummaryReporter(bool color) : ConsoleReporter(color ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const bool take = run.run_type == Run::RT_Aggregate ? run.aggregate_name == "min"
                                                                 : run.repetitions <= 1;
            const auto megapixels = g_megapixels.find(run.run_name.function_name);
            if (run.error_occurred || !take || megapixels == g_megapixels.end()) {
                continue;
            }
            const double unit = benchmark::GetTimeUnitMultiplier(run.time_unit);
            rates_[megapixels->first] = {megapixels->second * unit / run.GetAdjustedRealTime(),
                                         megapixels->second * unit / run.GetAdjustedCPUTime()};
        }
    }

    struct Rates {
        double wall = NAN;  // megapixels per second
        double cpu = NAN;   // megapixels per CPU second, all threads
    };

    // NANs when the benchmark did not run.
    Rates Of(const std::string &name) const
    {
        const auto found = rates_.find(name);
        return found == rates_.end() ? Rates{} : found->second;
    }

private:
    std::map<std::string, Rates> rates_;
};

std::string Fixed(double value, int decimals, const char *suffix = "")
{
    if (!std::isfinite(value)) {
        return "n/a";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.*f%s", decimals, value, suffix);
    return text;
}

// Three significant digits: 0.0117×, 1.23×, 12.3×.
std::string Ratio(double a, double b)
{
    if (!std::isfinite(a / b)) {
        return "n/a";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.3g×", a / b);
    return text;
}

std::string PeerSize(const PeerFile &file, bool jpeg)
{
    if (file.bytes.empty()) {
        return "n/a";
    }
    char text[96];
    if (jpeg) {
        std::snprintf(text, sizeof text, "%zu (q%d, %+.1f%%)", file.bytes.size(), file.quality,
                      100 * file.deviation);
    } else {
        std::snprintf(text, sizeof text, "%zu (%+.1f%%)", file.bytes.size(), 100 * file.deviation);
    }
    return text;
}

std::string Peak(double bytes_per_pixel) { return bytes_per_pixel < 0 ? "n/a" : Fixed(bytes_per_pixel, 2); }

double LoadAverage()
{
    double load[1] = {NAN};
    return getloadavg(load, 1) == 1 ? load[0] : NAN;
}

double g_load_at_start = NAN;

// The best time of one-thread decodes of c over about `budget` seconds (and
// at least five), in milliseconds.
double BestDecodeMs(const Case &c, double budget)
{
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::duration<double>(budget);
    double best = INFINITY;
    for (int i = 0; i < 5 || Clock::now() < until; ++i) {
        GrayImage image{};
        const auto start = Clock::now();
        if (wsq_decode_image(c.wsq.data(), int(c.wsq.size()), &image) < 0) {
            return NAN;
        }
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        wsq_free_image(&image);
    }
    return best;
}

// Whether the cores share execution units, as hyperthreads of one core do
// (the system may not say so inside a virtual machine): a one-thread decode
// alone, then beside a second thread running a vector loop. Where the
// second slows the first much, all cores cannot gain their number's worth.
void PrintSharedCoreCheck(int all_threads)
{
    const Case *c = nullptr;
    int picture = 0, rate = 0;
    for (int p = 0; p < kPictureCount && !c; ++p) {
        for (int r = 0; r < kRateCount && !c; ++r) {
            if (g_cases[p][r].prepared && g_cases[p][r].error.empty()) {
                c = &g_cases[p][r];
                picture = p;
                rate = r;
            }
        }
    }
    if (all_threads < 2 || !c) {
        return;
    }
#if defined(__linux__)
    // This thread stays on one CPU and the loop runs on another, so that
    // they cannot merely take turns on the same one.
    cpu_set_t allowed, here, there;
    CPU_ZERO(&here);
    CPU_ZERO(&there);
    const int cpu = sched_getcpu();
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || cpu < 0) {
        return;
    }
    CPU_SET(cpu, &here);
    for (int i = 0; i < CPU_SETSIZE && CPU_COUNT(&there) == 0; ++i) {
        if (i != cpu && CPU_ISSET(i, &allowed)) {
            CPU_SET(i, &there);
        }
    }
    if (CPU_COUNT(&there) == 0) {
        return;
    }
    sched_setaffinity(0, sizeof here, &here);
#endif
    const int previous = wsq_set_decode_threads(1);
    const double alone = BestDecodeMs(*c, 0.2);
    std::atomic<bool> stop{false};
    double beside = NAN;
    try {
        std::thread busy([&] {
#if defined(__linux__)
            pthread_setaffinity_np(pthread_self(), sizeof there, &there);
#endif
            std::vector<float> a(1 << 14, 1.0f), b(1 << 14, 0.5f);
            while (!stop.load(std::memory_order_relaxed)) {
                for (size_t i = 0; i < a.size(); ++i) {
                    b[i] = a[i] * 1.0001f + b[i];
                }
                benchmark::DoNotOptimize(b.data());
            }
        });
        beside = BestDecodeMs(*c, 0.2);
        stop.store(true, std::memory_order_relaxed);
        busy.join();
    } catch (const std::system_error &) {
        // No second thread: nothing to compare.
    }
    wsq_set_decode_threads(previous);
#if defined(__linux__)
    sched_setaffinity(0, sizeof allowed, &allowed);
#endif
    if (std::isnan(alone) || std::isnan(beside)) {
        return;
    }
    std::printf("Shared cores, checked as the run ends: a one-thread decode (%s, %s) takes %.3f ms\n"
                "alone and %.3f ms beside a second thread running a vector loop (%+.0f%%). Much above 0%%,\n"
                "the cores share execution units, and all cores cannot reach %d times one thread.\n\n",
                PictureName(picture).c_str(), RateName(rate).c_str(), alone, beside,
                std::round(100.0 * (beside / alone - 1.0)) + 0.0, all_threads);
}

void PrintSummary(const SummaryReporter &reporter)
{
    const int all_threads = [] {
        const int previous = wsq_set_decode_threads(0);
        const int n = wsq_decode_threads();
        wsq_set_decode_threads(previous);
        return n;
    }();
    std::printf("\n## Codec benchmark summary\n\n");
    std::printf("Megapixels per second, best of the repetitions. \"all cores\" is %d threads. The JPEG\n"
                "and JPEG 2000 files are sized to the WSQ file (deviation in brackets). TurboJPEG %s,\n"
                "OpenJPEG %s. Load average %.2f at the start, %.2f at the end.\n\n",
                all_threads, vellumo::bench::JpegVersion(), vellumo::bench::J2kVersion(), g_load_at_start,
                LoadAverage());
    PrintSharedCoreCheck(all_threads);

    struct Row {
        int p, r;
        const Case &c;
        SummaryReporter::Rates one, all, tj, opj, enc;
    };
    std::vector<Row> rows;
    for (int p = 0; p < kPictureCount; ++p) {
        for (int r = 0; r < kRateCount; ++r) {
            if (g_cases[p][r].prepared) {
                rows.push_back({p, r, g_cases[p][r], reporter.Of(Name("decode/ours-1-thread", p, r)),
                                reporter.Of(Name("decode/ours-all-cores", p, r)),
                                reporter.Of(Name("decode/turbojpeg", p, r)),
                                reporter.Of(Name("decode/openjpeg", p, r)),
                                reporter.Of(Name("encode/ours", p, r))});
            }
        }
    }

    std::printf("Wall clock:\n\n");
    std::printf("| picture | bpp | WSQ bytes | JPEG bytes | J2K bytes | ours 1 thread | ours all cores "
                "| TurboJPEG | OpenJPEG | 1 thread / TurboJPEG | all cores / TurboJPEG "
                "| 1 thread / OpenJPEG | peak B/px (1 thread / all cores) | encode |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Row &w : rows) {
        std::printf("| %s | %.2f | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s / %s | %s |\n",
                    PictureName(w.p).c_str(), kRates[w.r],
                    w.c.wsq.empty() ? "n/a" : std::to_string(w.c.wsq.size()).c_str(),
                    PeerSize(w.c.jpeg, true).c_str(), PeerSize(w.c.j2k, false).c_str(),
                    Fixed(w.one.wall, 1).c_str(), Fixed(w.all.wall, 1).c_str(), Fixed(w.tj.wall, 1).c_str(),
                    Fixed(w.opj.wall, 1).c_str(), Ratio(w.one.wall, w.tj.wall).c_str(),
                    Ratio(w.all.wall, w.tj.wall).c_str(), Ratio(w.one.wall, w.opj.wall).c_str(),
                    Peak(w.c.peak_one).c_str(), Peak(w.c.peak_all).c_str(), Fixed(w.enc.wall, 1).c_str());
    }

    std::printf("\nPer CPU second (every thread of the process counted; less disturbed by other load\n"
                "on the machine than the wall clock):\n\n");
    std::printf("| picture | bpp | ours 1 thread | ours all cores | TurboJPEG | OpenJPEG "
                "| 1 thread / TurboJPEG | 1 thread / OpenJPEG | encode |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (const Row &w : rows) {
        std::printf("| %s | %.2f | %s | %s | %s | %s | %s | %s | %s |\n", PictureName(w.p).c_str(), kRates[w.r],
                    Fixed(w.one.cpu, 1).c_str(), Fixed(w.all.cpu, 1).c_str(), Fixed(w.tj.cpu, 1).c_str(),
                    Fixed(w.opj.cpu, 1).c_str(), Ratio(w.one.cpu, w.tj.cpu).c_str(),
                    Ratio(w.one.cpu, w.opj.cpu).c_str(), Fixed(w.enc.cpu, 1).c_str());
    }

    std::printf("\nQuality against the original picture, and every decoder's peak heap use in bytes\n"
                "per pixel (its 8-bit or, for OpenJPEG, 32-bit output included):\n\n");
    std::printf("| picture | bpp | PSNR WSQ | PSNR JPEG | PSNR J2K | peak B/px ours | peak B/px TurboJPEG "
                "| peak B/px OpenJPEG |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    for (const Row &w : rows) {
        const Case &c = w.c;
        std::printf("| %s | %.2f | %s | %s | %s | %s | %s | %s |\n", PictureName(w.p).c_str(), kRates[w.r],
                    c.wsq.empty() ? "n/a" : Fixed(c.psnr_wsq, 2, " dB").c_str(),
                    c.jpeg.bytes.empty() ? "n/a" : Fixed(c.psnr_jpeg, 2, " dB").c_str(),
                    c.j2k.bytes.empty() ? "n/a" : Fixed(c.psnr_j2k, 2, " dB").c_str(), Peak(c.peak_one).c_str(),
                    c.jpeg.bytes.empty() ? "n/a" : Peak(c.peak_jpeg).c_str(),
                    c.j2k.bytes.empty() ? "n/a" : Peak(c.peak_j2k).c_str());
    }
    if (!JpegAvailable() || !J2kAvailable()) {
        std::printf("\nBuilt without %s%s%s (not found at configure time).\n", JpegAvailable() ? "" : "TurboJPEG",
                    !JpegAvailable() && !J2kAvailable() ? " and " : "", J2kAvailable() ? "" : "OpenJPEG");
    }
    if (!alloc_count_enabled()) {
        std::printf("\nPeak memory is not measured in this build (the sanitizer runtime owns malloc).\n");
    }
    std::fflush(stdout);
}

// The value of --flag=value, "" for a bare --flag, nullptr when absent.
const char *FlagValue(int argc, char **argv, const char *flag)
{
    const size_t n = std::strlen(flag);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], flag, n) == 0 && (argv[i][n] == '=' || argv[i][n] == '\0')) {
            return argv[i][n] == '=' ? argv[i] + n + 1 : argv[i] + n;
        }
    }
    return nullptr;
}

bool HasFlag(int argc, char **argv, const char *flag) { return FlagValue(argc, argv, flag) != nullptr; }

// --benchmark_color as the library reads it: auto (a terminal), true or false.
bool UseColor(int argc, char **argv)
{
    const char *value = FlagValue(argc, argv, "--benchmark_color");
    if (value == nullptr || std::strcmp(value, "auto") == 0) {
        return isatty(STDOUT_FILENO) != 0;
    }
    return std::strcmp(value, "false") != 0 && std::strcmp(value, "0") != 0 && std::strcmp(value, "no") != 0;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> defaults;
    if (!HasFlag(argc, argv, "--benchmark_min_time")) {
        defaults.emplace_back("--benchmark_min_time=0.05");
    }
    if (!HasFlag(argc, argv, "--benchmark_repetitions")) {
        defaults.emplace_back("--benchmark_repetitions=30");
    }
    if (!HasFlag(argc, argv, "--benchmark_enable_random_interleaving")) {
        defaults.emplace_back("--benchmark_enable_random_interleaving=true");
    }
    if (!HasFlag(argc, argv, "--benchmark_display_aggregates_only")) {
        defaults.emplace_back("--benchmark_display_aggregates_only=true");
    }
    std::vector<char *> args(argv, argv + argc);
    for (std::string &d : defaults) {
        args.push_back(d.data());
    }
    int count = int(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 2;
    }
    Register();
    g_load_at_start = LoadAverage();
    SummaryReporter reporter(UseColor(argc, argv));
    const size_t ran = benchmark::RunSpecifiedBenchmarks(&reporter);
    const bool listing = HasFlag(argc, argv, "--benchmark_list_tests");
    if (!listing) {
        PrintSummary(reporter);
    }
    benchmark::Shutdown();
    if (ran == 0 && !listing) {
        return 1;  // a filter that matches nothing is a broken invocation
    }
    return g_failures == 0 ? 0 : 1;
}
