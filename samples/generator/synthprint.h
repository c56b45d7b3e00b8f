// synthprint.h - deterministic synthetic fingerprints for tests, benchmarks
// and the bundled samples.
//
// The same (width, height, seed, pattern) always gives the same pixels on a
// given build. Images are 8-bit gray, row-major, top row first, no padding:
// dark ridges on a white background, the finger filling most of the frame,
// ridge period about 9 pixels (500 ppi).
#pragma once

#include <cstdint>
#include <vector>

namespace vellumo::synth {

enum class Pattern {
    Loop,   // one core, one delta; the loop opens to the left or the right (by seed)
    Whorl,  // concentric or spiral ridges around a centre, two deltas
    Arch,   // ridges flowing across the finger with a hump in the middle
};

// width * height bytes. Sizes below 1 give an empty vector.
std::vector<uint8_t> MakeFingerprint(int width, int height, uint32_t seed, Pattern pattern);

// "loop", "whorl", "arch".
const char *PatternName(Pattern pattern);

}  // namespace vellumo::synth
