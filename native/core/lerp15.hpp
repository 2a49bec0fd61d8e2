// The bilinear scaling to 50 x 50 of OpenCV's aarch64 wheel for 8-bit BGR pictures 6 to
// 150 pixels wide (other widths, and 100 x 100, take OpenCV's own code): it hands them to
// the Arm vector library it bundles, which rounds as follows:
//  - source positions are 16.16 fixed point, (x + 1/2) src / 50 - 1/2 with the quotient
//    rounded half up. Columns are placed per 16-byte vector: each run of 48 output bytes
//    (16 pixels) takes the position of its first pixel plus the rounded offset of each
//    later pixel; the last 22 bytes come in 8-byte pieces that start at their own position
//    and step by the rounded width of one pixel, the last piece moved back to end at
//    byte 150 (rewriting bytes of the one before);
//  - weights are the 16-bit fraction rounded to 15 bits;
//  - each source row is blended along x, then the two rows along y, each blend rounded
//    to 8 bits: a + (((b - a) w + 2^14) >> 15).
// Used through scale_to_50 / scale_grey_50 as Scaling::Lerp15.
#pragma once
#include <cstddef>
#include <cstdint>

#include "fast_hash.hpp"

namespace rm::core::lerp15 {

constexpr int kRowBytes = 3 * kSide;  // bytes of one scaled row
constexpr int kVectors = 10;          // 16-byte pieces of a scaled row, the last one moved back
constexpr int kBufBytes = 160;        // a scaled row with room for whole vectors

struct Plan {
    std::ptrdiff_t lo[kRowBytes], hi[kRowBytes];  // byte offsets of the two taps in a source row
    alignas(16) std::int16_t w[kBufBytes];        // weight of `hi`, 0 to 32767
    int top[kSide], bottom[kSide];                // source rows per output row
    std::int16_t row_w[kSide];                    // weight of `bottom`
    // Table lookups (vector code): piece v reads 64 bytes from base[v]; idx gives each
    // output byte's taps within them. `table` is false where some piece does not fit.
    bool table;
    std::ptrdiff_t base[kVectors];
    alignas(16) std::uint8_t idx[kVectors][2][16];
};

void build_plan(int rows, int cols, Plan& p);

// One source row blended along x: kRowBytes bytes into `out` (kBufBytes long).
void blend_x(const std::uint8_t* row, const Plan& p, std::uint8_t* out);

// Two rows from blend_x blended along y with weight `w` for `bottom`, as BGRx bytes
// (kSide pixels, fourth byte zero).
void blend_y(const std::uint8_t* top, const std::uint8_t* bottom, int w, std::uint8_t* bgrx);

}  // namespace rm::core::lerp15
