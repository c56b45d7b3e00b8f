// synthprint.cpp - synthetic fingerprints from an analytic ridge phase.
//
// The ridges are the level lines of a phase field psi: pixel darkness is a
// soft threshold of cos(psi). psi has two parts:
//   * 2*pi*D/T, where D is a smooth "distance" whose level lines have the
//     shape of the pattern (T is the ridge period). D is the soft minimum of
//     distances to a few guide curves: a ray from the core (its level lines
//     are hairpins, giving the loop), a small segment (rings, the whorl), the
//     finger's outline (arcs over the top) and a line across the bottom
//     (flat ridges below). Where three ridge systems meet, the soft minimum
//     forms the triangular deltas of real prints.
//   * minutiae: a pair of opposite phase singularities at points a and b
//     adds the angle that segment ab subtends, which inserts one ridge
//     between a and b; its ends are ridge endings or bifurcations depending
//     on the local polarity. The term decays like |ab|/r and is tapered off.
// Low-frequency noise warps D (wavy ridges) and drives pressure (ridge
// width, ink density, ragged finger edges, dry breaks); pixel noise and a
// few creases finish the picture. D and the noise fields are sampled on
// coarse grids and interpolated, so a 4000 x 4000 print takes well under two
// seconds.
#include "synthprint.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace vellumo::synth {
namespace {

constexpr float kPi = 3.14159265358979f;

// splitmix64: small, fast, fully specified (no library distribution whose
// output could differ between standard libraries).
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    float Unit() { return static_cast<float>(Next() >> 40) * (1.0f / 16777216.0f); }
    float Range(float lo, float hi) { return lo + (hi - lo) * Unit(); }
    bool Coin() { return (Next() >> 63) != 0; }

private:
    uint64_t state_;
};

float Smooth(float t) { return t * t * (3.0f - 2.0f * t); }

// atan2 to about 1e-5 rad (a minimax polynomial on [0, 1] with octant
// folding); the exact library call dominates the run time otherwise.
float FastAtan2(float y, float x) {
    float ax = std::fabs(x), ay = std::fabs(y);
    float hi = std::max(ax, ay), lo = std::min(ax, ay);
    if (hi == 0.0f) return 0.0f;
    float t = lo / hi, t2 = t * t;
    float r = ((((-0.0117212f * t2 + 0.05265332f) * t2 - 0.11643287f) * t2 + 0.19354346f) * t2 - 0.33262347f) * t2 +
              0.99997726f;
    r *= t;
    if (ay > ax) r = 1.57079633f - r;
    if (x < 0.0f) r = 3.14159265f - r;
    return y < 0.0f ? -r : r;
}

float SmoothStep(float e0, float e1, float x) {
    float t = std::clamp((x - e0) / (e1 - e0), 0.0f, 1.0f);
    return Smooth(t);
}

// Value noise in [0, 1] on a lattice of the given cell size.
class Noise {
public:
    Noise(int width, int height, float cell, Rng &rng)
        : cell_(cell),
          nx_(static_cast<int>(width / cell) + 3),
          ny_(static_cast<int>(height / cell) + 3),
          v_(static_cast<size_t>(nx_) * static_cast<size_t>(ny_)) {
        for (float &x : v_) x = rng.Unit();
    }
    float At(float x, float y) const {
        float fx = std::clamp(x / cell_, 0.0f, static_cast<float>(nx_ - 2));
        float fy = std::clamp(y / cell_, 0.0f, static_cast<float>(ny_ - 2));
        int ix = std::min(static_cast<int>(fx), nx_ - 2);
        int iy = std::min(static_cast<int>(fy), ny_ - 2);
        float tx = Smooth(fx - static_cast<float>(ix));
        float ty = Smooth(fy - static_cast<float>(iy));
        const float *r0 = &v_[static_cast<size_t>(iy) * static_cast<size_t>(nx_) + static_cast<size_t>(ix)];
        const float *r1 = r0 + nx_;
        float top = r0[0] + (r0[1] - r0[0]) * tx;
        float bottom = r1[0] + (r1[1] - r1[0]) * tx;
        return top + (bottom - top) * ty;
    }

private:
    float cell_;
    int nx_, ny_;
    std::vector<float> v_;
};

struct Vec {
    float x, y;
};

float SegmentDistance(float px, float py, Vec a, Vec b) {
    float vx = b.x - a.x, vy = b.y - a.y;
    float wx = px - a.x, wy = py - a.y;
    float len2 = vx * vx + vy * vy;
    float t = len2 > 0.0f ? std::clamp((wx * vx + wy * vy) / len2, 0.0f, 1.0f) : 0.0f;
    float dx = wx - t * vx, dy = wy - t * vy;
    return std::sqrt(dx * dx + dy * dy);
}

// The guide curves of one print and the soft minimum over them. Every part
// grows outward from the pattern's centre, so blending them never makes a
// flat spot (which would show as a blot of wide ridges).
struct Layout {
    Pattern pattern;
    float cx, cy;          // finger centre
    float ax, ay_top, ay_bottom;  // finger half axes (above / below the centre)
    Vec seg_a, seg_b;      // loop: core ray; whorl: centre segment
    float base_y;          // row through the deltas (loop, whorl) or below the hump (arch)
    float base_d;          // distance value on that row, a multiple of half a period
    float arc_r;           // radius of the arcs over the top
    float hump_x, hump_w, hump_h;  // arch: hump in the middle
    float spiral;          // whorl: number of spiral arms (0 = rings)
    float tau;             // softness of the minimum, pixels

    // Elliptic radius: 1 on the finger outline.
    float Rho(float x, float y) const {
        float dx = (x - cx) / ax;
        float dy = (y - cy) / (y < cy ? ay_top : ay_bottom);
        return std::sqrt(dx * dx + dy * dy);
    }

    // Ridges across the finger: straight below base_y, arcs round a centre
    // arc_r below base_y above it. Both sides run horizontally on base_y,
    // so folding them there is invisible (base_d puts a ridge or valley
    // centre on that row); the value grows steadily away from it.
    float Above(float x, float y) const {
        float dx = x - cx;
        float up = base_y - y + arc_r;
        return std::sqrt(dx * dx + up * up) - std::sqrt(dx * dx + arc_r * arc_r);
    }
    float Across(float x, float y) const {
        return base_d + (y < base_y ? Above(x, y) : y - base_y);
    }

    float Distance(float x, float y) const {
        if (pattern == Pattern::Arch) {
            float u = (x - hump_x) / hump_w;
            float hump = hump_h * std::exp(-u * u) * std::exp(-std::fabs(y - base_y) / (2.0f * hump_w));
            return (y < base_y ? Above(x, y) : base_y - y) - hump;
        }
        float d0 = SegmentDistance(x, y, seg_a, seg_b);
        float d1 = Across(x, y);
        float m = std::min(d0, d1);
        return m - tau * std::log(std::exp(-(d0 - m) / tau) + std::exp(-(d1 - m) / tau));
    }
};

// One inserted ridge: opposite phase singularities at a and b.
struct Dipole {
    Vec a, b;
    float mx, my;     // midpoint
    float r0, r1;     // full strength inside r0, none beyond r1
    float sign;
};

Layout MakeLayout(int width, int height, Pattern pattern, float period, Rng &rng) {
    float w = static_cast<float>(width), h = static_cast<float>(height);
    Layout l{};
    l.pattern = pattern;
    l.cx = w * rng.Range(0.47f, 0.53f);
    l.cy = h * rng.Range(0.50f, 0.56f);
    l.ax = w * rng.Range(0.37f, 0.42f);
    l.ay_top = std::min(h * rng.Range(0.40f, 0.45f), l.ax * 1.6f);
    l.ay_bottom = std::max(h * 0.75f, l.ay_top * 1.4f);
    float size = std::min(l.ax, l.ay_top);
    l.tau = std::max(3.0f, period * 0.8f);
    l.arc_r = size * rng.Range(0.9f, 1.4f);
    auto half_periods = [&](float d) { return std::round(d / (0.5f * period)) * (0.5f * period); };
    switch (pattern) {
    case Pattern::Loop: {
        float side = rng.Coin() ? 1.0f : -1.0f;  // the side the loop opens to
        Vec core{l.cx - side * size * rng.Range(0.0f, 0.12f), l.cy - size * rng.Range(0.05f, 0.2f)};
        float angle = rng.Range(0.35f, 0.7f);     // below the horizontal
        float len = size * 3.0f;
        l.seg_a = core;
        l.seg_b = Vec{core.x + side * len * std::cos(angle), core.y + len * std::sin(angle)};
        l.base_y = core.y + size * rng.Range(0.25f, 0.4f);
        l.base_d = half_periods(size * rng.Range(0.2f, 0.3f));
        break;
    }
    case Pattern::Whorl: {
        float half = size * rng.Range(0.03f, 0.1f);
        float angle = rng.Range(-0.6f, 0.6f);
        Vec c{l.cx + size * rng.Range(-0.08f, 0.08f), l.cy - size * rng.Range(0.0f, 0.15f)};
        l.seg_a = Vec{c.x - half * std::cos(angle), c.y - half * std::sin(angle)};
        l.seg_b = Vec{c.x + half * std::cos(angle), c.y + half * std::sin(angle)};
        l.base_y = c.y + size * rng.Range(0.3f, 0.42f);
        l.base_d = half_periods(size * rng.Range(0.22f, 0.3f));
        l.spiral = static_cast<float>(static_cast<int>(rng.Next() % 5) - 2);
        break;
    }
    case Pattern::Arch:
        l.base_y = l.cy + size * rng.Range(0.1f, 0.3f);
        l.hump_x = l.cx + size * rng.Range(-0.1f, 0.1f);
        l.hump_w = size * rng.Range(0.25f, 0.4f);
        l.hump_h = size * rng.Range(0.15f, 0.35f);
        break;
    }
    return l;
}

}  // namespace

const char *PatternName(Pattern pattern) {
    switch (pattern) {
    case Pattern::Loop: return "loop";
    case Pattern::Whorl: return "whorl";
    case Pattern::Arch: return "arch";
    }
    return "loop";
}

std::vector<uint8_t> MakeFingerprint(int width, int height, uint32_t seed, Pattern pattern) {
    if (width < 1 || height < 1) return {};
    Rng rng(0x5EEDF00Dull ^ (static_cast<uint64_t>(seed) << 20) ^ static_cast<uint64_t>(pattern));
    const float period = rng.Range(8.6f, 9.6f);
    const Layout layout = MakeLayout(width, height, pattern, period, rng);
    const float k = 2.0f * kPi / period;

    // Noise fields: warp (wavy ridges), pressure, dry breaks, edge raggedness.
    Noise warp_x(width, height, 70.0f, rng), warp_y(width, height, 70.0f, rng);
    Noise pressure(width, height, 110.0f, rng), pressure_fine(width, height, 35.0f, rng);
    Noise dry(width, height, 6.0f, rng), edge(width, height, 25.0f, rng);
    const float warp_amp = period * 0.6f;

    // D on a coarse grid, interpolated per pixel.
    constexpr int kStep = 4;
    const int gw = width / kStep + 2, gh = height / kStep + 2;
    std::vector<float> grid(static_cast<size_t>(gw) * static_cast<size_t>(gh));
    for (int gy = 0; gy < gh; ++gy) {
        for (int gx = 0; gx < gw; ++gx) {
            float x = static_cast<float>(gx * kStep), y = static_cast<float>(gy * kStep);
            float wx = x + warp_amp * (warp_x.At(x, y) - 0.5f) * 2.0f;
            float wy = y + warp_amp * (warp_y.At(x, y) - 0.5f) * 2.0f;
            grid[static_cast<size_t>(gy) * static_cast<size_t>(gw) + static_cast<size_t>(gx)] =
                layout.Distance(wx, wy);
        }
    }
    auto grid_at = [&](float x, float y) {
        float fx = std::clamp(x / kStep, 0.0f, static_cast<float>(gw - 2));
        float fy = std::clamp(y / kStep, 0.0f, static_cast<float>(gh - 2));
        int ix = std::min(static_cast<int>(fx), gw - 2), iy = std::min(static_cast<int>(fy), gh - 2);
        float tx = fx - static_cast<float>(ix), ty = fy - static_cast<float>(iy);
        const float *r0 = &grid[static_cast<size_t>(iy) * static_cast<size_t>(gw) + static_cast<size_t>(ix)];
        const float *r1 = r0 + gw;
        float top = r0[0] + (r0[1] - r0[0]) * tx;
        float bottom = r1[0] + (r1[1] - r1[0]) * tx;
        return top + (bottom - top) * ty;
    };

    // Minutiae: about one inserted ridge per 55 periods squared of finger.
    std::vector<Dipole> dipoles;
    {
        float area = kPi * layout.ax * (layout.ay_top + layout.ay_bottom) * 0.5f;
        int count = static_cast<int>(area / (period * period * 55.0f)) + 1;
        for (int i = 0; i < count; ++i) {
            // A point inside the finger (rejection sampling, bounded).
            float x = 0, y = 0;
            for (int tries = 0; tries < 8; ++tries) {
                x = rng.Range(0.0f, static_cast<float>(width));
                y = rng.Range(0.0f, static_cast<float>(height));
                if (layout.Rho(x, y) < 0.95f) break;
            }
            // Along the local ridge direction, give or take 25 degrees.
            float gx = grid_at(x + 2, y) - grid_at(x - 2, y);
            float gy = grid_at(x, y + 2) - grid_at(x, y - 2);
            float dir = std::atan2(gx, -gy) + rng.Range(-0.45f, 0.45f);
            float len = period * rng.Range(1.2f, 4.5f);
            Dipole d;
            d.a = Vec{x, y};
            d.b = Vec{x + len * std::cos(dir), y + len * std::sin(dir)};
            d.mx = (d.a.x + d.b.x) * 0.5f;
            d.my = (d.a.y + d.b.y) * 0.5f;
            d.r0 = len * 1.5f + period;
            d.r1 = d.r0 + len * 2.0f + 2.0f * period;
            d.sign = rng.Coin() ? 1.0f : -1.0f;
            dipoles.push_back(d);
        }
    }
    // Bucket the dipoles by the cells their influence reaches.
    constexpr int kCell = 64;
    const int cw = (width + kCell - 1) / kCell, ch = (height + kCell - 1) / kCell;
    std::vector<std::vector<int>> cells(static_cast<size_t>(cw) * static_cast<size_t>(ch));
    for (size_t i = 0; i < dipoles.size(); ++i) {
        const Dipole &d = dipoles[i];
        int x0 = std::max(0, static_cast<int>((d.mx - d.r1) / kCell));
        int x1 = std::min(cw - 1, static_cast<int>((d.mx + d.r1) / kCell));
        int y0 = std::max(0, static_cast<int>((d.my - d.r1) / kCell));
        int y1 = std::min(ch - 1, static_cast<int>((d.my + d.r1) / kCell));
        for (int cy = y0; cy <= y1; ++cy)
            for (int cx = x0; cx <= x1; ++cx)
                cells[static_cast<size_t>(cy) * static_cast<size_t>(cw) + static_cast<size_t>(cx)].push_back(
                    static_cast<int>(i));
    }

    // Creases: a few thin pale lines, mostly across the finger.
    struct Crease {
        float nx, ny, c, halfwidth, strength;
    };
    std::vector<Crease> creases;
    int crease_count = static_cast<int>(rng.Next() % 3);
    for (int i = 0; i < crease_count; ++i) {
        float angle = rng.Range(-0.5f, 0.5f) + (rng.Unit() < 0.25f ? kPi * 0.5f : 0.0f);
        float px = rng.Range(0.2f, 0.8f) * static_cast<float>(width);
        float py = rng.Range(0.2f, 0.9f) * static_cast<float>(height);
        float nx = -std::sin(angle), ny = std::cos(angle);
        creases.push_back(Crease{nx, ny, nx * px + ny * py, rng.Range(0.8f, 2.0f), rng.Range(0.3f, 0.7f)});
    }

    std::vector<float> clean(static_cast<size_t>(width) * static_cast<size_t>(height));
    Rng pixel_rng(rng.Next());
    const float background = rng.Range(244.0f, 252.0f);
    const float ink = rng.Range(25.0f, 60.0f);
    for (int y = 0; y < height; ++y) {
        const float fy = static_cast<float>(y);
        const std::vector<int> *row_cells = &cells[static_cast<size_t>(y / kCell) * static_cast<size_t>(cw)];
        for (int x = 0; x < width; ++x) {
            const float fx = static_cast<float>(x);
            float v = background;
            float rho = layout.Rho(fx, fy) + 0.08f * (edge.At(fx, fy) - 0.5f);
            float mask = SmoothStep(1.0f, 0.93f, rho);
            if (mask > 0.0f) {
                float psi = k * grid_at(fx, fy);
                if (layout.pattern == Pattern::Whorl && layout.spiral != 0.0f) {
                    float mx = (layout.seg_a.x + layout.seg_b.x) * 0.5f;
                    float my = (layout.seg_a.y + layout.seg_b.y) * 0.5f;
                    psi += layout.spiral * FastAtan2(fy - my, fx - mx);
                }
                for (int idx : row_cells[x / kCell]) {
                    const Dipole &d = dipoles[static_cast<size_t>(idx)];
                    float rx = fx - d.mx, ry = fy - d.my;
                    float r = std::sqrt(rx * rx + ry * ry);
                    if (r >= d.r1) continue;
                    float ax = d.a.x - fx, ay = d.a.y - fy, bx = d.b.x - fx, by = d.b.y - fy;
                    float subtended = FastAtan2(ax * by - ay * bx, ax * bx + ay * by);
                    float taper = r <= d.r0 ? 1.0f : Smooth((d.r1 - r) / (d.r1 - d.r0));
                    psi += d.sign * subtended * taper;
                }
                float c = std::cos(psi);
                float p = 0.65f * pressure.At(fx, fy) + 0.35f * pressure_fine.At(fx, fy);
                // Firm pressure widens the ridges, light pressure thins and breaks them.
                float threshold = 0.3f + 0.9f * (0.5f - p);
                float ridge = SmoothStep(threshold - 0.45f, threshold + 0.45f, c);
                float broken = SmoothStep(0.62f + 0.45f * p, 0.82f + 0.45f * p, dry.At(fx, fy));
                ridge *= 1.0f - 0.85f * broken;
                for (const Crease &cr : creases) {
                    float dist = (cr.nx * fx + cr.ny * fy - cr.c) / cr.halfwidth;
                    ridge *= 1.0f - cr.strength * std::exp(-dist * dist);
                }
                float density = 0.55f + 0.45f * SmoothStep(0.2f, 0.7f, p);
                v = background - (background - ink) * mask * density * ridge;
            }
            clean[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] = v;
        }
    }

    // The scanner's optics: a [1 2 1] / 4 blur each way (edges repeated),
    // then sensor noise, roughly Gaussian with sigma 2 grey levels.
    std::vector<float> row(static_cast<size_t>(width));
    for (int y = 0; y < height; ++y) {
        float *r = &clean[static_cast<size_t>(y) * static_cast<size_t>(width)];
        for (int x = 0; x < width; ++x)
            row[static_cast<size_t>(x)] = 0.25f * (r[std::max(x - 1, 0)] + 2.0f * r[x] + r[std::min(x + 1, width - 1)]);
        std::copy(row.begin(), row.end(), r);
    }
    std::vector<uint8_t> out(clean.size());
    const size_t w = static_cast<size_t>(width);
    for (int y = 0; y < height; ++y) {
        const float *up = &clean[static_cast<size_t>(std::max(y - 1, 0)) * w];
        const float *mid = &clean[static_cast<size_t>(y) * w];
        const float *down = &clean[static_cast<size_t>(std::min(y + 1, height - 1)) * w];
        for (size_t x = 0; x < w; ++x) {
            float v = 0.25f * (up[x] + 2.0f * mid[x] + down[x]);
            v += (pixel_rng.Unit() + pixel_rng.Unit() + pixel_rng.Unit() - 1.5f) * 4.0f;
            v = std::clamp(v + 0.5f, 0.0f, 255.0f);
            out[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(v);
        }
    }
    return out;
}

}  // namespace vellumo::synth
