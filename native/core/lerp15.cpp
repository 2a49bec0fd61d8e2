#include "lerp15.hpp"

#include <algorithm>

#if defined(__aarch64__) && defined(__ARM_NEON) && !defined(RM_NO_CLONES)
#define RM_NEON 1
#include <arm_neon.h>
#endif

namespace rm::core::lerp15 {
namespace {

constexpr std::int64_t kOne = 1 << 16;  // 1.0 in 16.16 fixed point

std::int64_t rounded_div(std::int64_t n, std::int64_t d) { return (n + d / 2) / d; }  // n >= 0

// 16.16 source position of output index x; negative left of the first pixel centre.
std::int64_t position(int x, int src) {
    return rounded_div((x * kOne + kOne / 2) * src, kSide) - kOne / 2;
}

struct Tap {
    std::int64_t i0, i1;  // source indices, clamped to the picture
    int w;                // weight of i1
};

Tap tap(std::int64_t pos, int src) {
    const std::int64_t i = pos >= 0 ? pos / kOne : -((-pos + kOne - 1) / kOne);  // floor
    const int frac = static_cast<int>(pos - i * kOne);
    // A fraction of 65535 rounds to 32768, which int16 lanes cannot hold; 32767 blends
    // 8-bit a and b to exactly b just the same.
    return {std::clamp<std::int64_t>(i, 0, src - 1), std::clamp<std::int64_t>(i + 1, 0, src - 1),
            std::min((frac + 1) >> 1, 32767)};
}

// Column positions per output byte, in the library's vector layout.
void column_positions(int cols, std::int64_t* pos) {
    // Rows narrower than one vector are done in 8-byte pieces only.
    const int vectors_end = 3 * cols >= 16 ? kRowBytes / 32 * 32 : 0;
    for (int e = 0; e < vectors_end; ++e) {
        const int run = e / 48 * 16;  // first pixel of the run of 16
        pos[e] = position(run, cols) + rounded_div((e / 3 - run) * kOne * cols, kSide);
    }
    const std::int64_t step = rounded_div(cols * kOne, kSide);
    for (int e = vectors_end; e < kRowBytes; e += 8) {
        e = std::min(e, kRowBytes - 8);
        std::int64_t p = position(e / 3, cols);
        for (int k = e; k < e + 8; ++k) {
            if (k > e && k % 3 == 0) p += step;
            pos[k] = p;
        }
    }
}

inline std::uint8_t lerp(int a, int b, int w) {
    // a * 32768 + (b - a) * w >= a * (32768 - w) >= 0: the shift rounds down.
    return static_cast<std::uint8_t>((a * 32768 + (b - a) * w + 16384) >> 15);
}

// Start of each 16-byte piece of an output row.
constexpr int piece_start(int v) { return std::min(16 * v, kRowBytes - 16); }

}  // namespace

void build_plan(int rows, int cols, Plan& p) {
    std::int64_t pos[kRowBytes];
    column_positions(cols, pos);
    for (int e = 0; e < kRowBytes; ++e) {
        const Tap t = tap(pos[e], cols);
        p.lo[e] = static_cast<std::ptrdiff_t>(3 * t.i0 + e % 3);
        p.hi[e] = static_cast<std::ptrdiff_t>(3 * t.i1 + e % 3);
        p.w[e] = static_cast<std::int16_t>(t.w);
    }
    std::fill(p.w + kRowBytes, p.w + kBufBytes, std::int16_t{0});
    for (int y = 0; y < kSide; ++y) {
        const Tap t = tap(position(y, rows), rows);
        p.top[y] = static_cast<int>(t.i0);
        p.bottom[y] = static_cast<int>(t.i1);
        p.row_w[y] = static_cast<std::int16_t>(t.w);
    }
    const std::ptrdiff_t row_bytes = 3 * static_cast<std::ptrdiff_t>(cols);
    p.table = row_bytes >= 64;
    for (int v = 0; p.table && v < kVectors; ++v) {
        const int s = piece_start(v);
        std::ptrdiff_t low = p.lo[s], high = p.hi[s];
        for (int k = s; k < s + 16; ++k) low = std::min(low, p.lo[k]), high = std::max(high, p.hi[k]);
        const std::ptrdiff_t base = std::min(low, row_bytes - 64);
        p.table = high - base < 64;
        p.base[v] = base;
        for (int k = 0; k < 16; ++k) {
            p.idx[v][0][k] = static_cast<std::uint8_t>(p.lo[s + k] - base);
            p.idx[v][1][k] = static_cast<std::uint8_t>(p.hi[s + k] - base);
        }
    }
}

void blend_x(const std::uint8_t* row, const Plan& p, std::uint8_t* out) {
#ifdef RM_NEON
    if (p.table) {
        // Both taps of 16 output bytes come from one 64-byte window by table lookup;
        // vqrdmulh gives ((b - a) w * 2 + 2^15) >> 16, the same rounding as `lerp`.
        for (int v = 0; v < kVectors; ++v) {
            const std::uint8_t* src = row + p.base[v];
            const uint8x16x4_t window = {{vld1q_u8(src), vld1q_u8(src + 16), vld1q_u8(src + 32), vld1q_u8(src + 48)}};
            const uint8x16_t a = vqtbl4q_u8(window, vld1q_u8(p.idx[v][0]));
            const uint8x16_t b = vqtbl4q_u8(window, vld1q_u8(p.idx[v][1]));
            const int s = piece_start(v);
            const int16x8_t a0 = vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(a)));
            const int16x8_t a1 = vreinterpretq_s16_u16(vmovl_u8(vget_high_u8(a)));
            const int16x8_t b0 = vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(b)));
            const int16x8_t b1 = vreinterpretq_s16_u16(vmovl_u8(vget_high_u8(b)));
            const int16x8_t r0 = vaddq_s16(a0, vqrdmulhq_s16(vsubq_s16(b0, a0), vld1q_s16(p.w + s)));
            const int16x8_t r1 = vaddq_s16(a1, vqrdmulhq_s16(vsubq_s16(b1, a1), vld1q_s16(p.w + s + 8)));
            vst1q_u8(out + s, vcombine_u8(vqmovun_s16(r0), vqmovun_s16(r1)));
        }
        return;
    }
#endif
    for (int e = 0; e < kRowBytes; ++e) out[e] = lerp(row[p.lo[e]], row[p.hi[e]], p.w[e]);
}

void blend_y(const std::uint8_t* top, const std::uint8_t* bottom, int w, std::uint8_t* bgrx) {
    alignas(16) std::uint8_t row[kBufBytes];
    int e = 0;
#ifdef RM_NEON
    const int16x8_t wv = vdupq_n_s16(static_cast<std::int16_t>(w));
    for (; e + 8 <= kRowBytes; e += 8) {
        const int16x8_t a = vreinterpretq_s16_u16(vmovl_u8(vld1_u8(top + e)));
        const int16x8_t b = vreinterpretq_s16_u16(vmovl_u8(vld1_u8(bottom + e)));
        vst1_u8(row + e, vqmovun_s16(vaddq_s16(a, vqrdmulhq_s16(vsubq_s16(b, a), wv))));
    }
#endif
    for (; e < kRowBytes; ++e) row[e] = lerp(top[e], bottom[e], w);
    for (int d = 0; d < kSide; ++d) {
        bgrx[4 * d] = row[3 * d];
        bgrx[4 * d + 1] = row[3 * d + 1];
        bgrx[4 * d + 2] = row[3 * d + 2];
        bgrx[4 * d + 3] = 0;
    }
}

}  // namespace rm::core::lerp15
