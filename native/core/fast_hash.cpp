#include "fast_hash.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "lerp15.hpp"
#include "phash.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(RM_NO_CLONES)
#define RM_X86 1
#include <immintrin.h>
#endif

// The plain loops are written for the auto-vectoriser; on x86-64 the hot steps also
// have SSE2/SSSE3 code (SSSE3 checked at run time) and an AVX2 clone is picked at load
// where the CPU has it. The arithmetic is the same integer and unfused double
// arithmetic on every path, so all of them give identical results.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__) && !defined(RM_NO_CLONES)
#define RM_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define RM_CLONES
#endif

namespace rm::core {
namespace {

constexpr int kCoefBits = 11;
constexpr int kCoefScale = 1 << kCoefBits;  // weights sum to about 2048

// Source index and weights of one output position along one axis, computed the
// way OpenCV does (double position, float fraction, weights rounded to even).
struct AxisTap {
    int i0, i1;
    int w0, w1;
};

int round_weight(float f) { return static_cast<int>(std::lrintf(f * static_cast<float>(kCoefScale))); }

// Columns: positions beyond either edge collapse onto the edge pixel with a zero fraction.
void column_taps(int src, AxisTap* taps) {
    double scale = 1.0 / (static_cast<double>(kSide) / static_cast<double>(src));
    for (int d = 0; d < kSide; ++d) {
        float f = static_cast<float>((d + 0.5) * scale - 0.5);
        int s = static_cast<int>(std::floor(f));
        f -= static_cast<float>(s);
        if (s < 0) s = 0, f = 0.f;
        if (s >= src - 1) s = src - 1, f = 0.f;
        taps[d] = {s, std::min(s + 1, src - 1), round_weight(1.f - f), round_weight(f)};
    }
}

// Rows: the fraction is kept even past the edge; only the row indices are clipped.
void row_taps(int src, AxisTap* taps) {
    double scale = 1.0 / (static_cast<double>(kSide) / static_cast<double>(src));
    for (int d = 0; d < kSide; ++d) {
        float f = static_cast<float>((d + 0.5) * scale - 0.5);
        int s = static_cast<int>(std::floor(f));
        f -= static_cast<float>(s);
        int a = std::clamp(s, 0, src - 1), b = std::clamp(s + 1, 0, src - 1);
        taps[d] = {a, b, round_weight(1.f - f), round_weight(f)};
    }
}

inline std::uint8_t sat_u8(int v) { return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Per output pixel: byte offsets of its two source pixels in a row and their
// weights. Past the right edge OpenCV takes the edge pixel times 2048, the same
// as weights (2048, 0).
struct RowGather {
    int ofs0[kSide], ofs1[kSide];
    int w0[kSide], w1[kSide];
};

void gather_table(const AxisTap* cols, int src_cols, RowGather& g) {
    for (int d = 0; d < kSide; ++d) {
        const AxisTap& t = cols[d];
        const bool edge = t.i0 + 1 >= src_cols;
        g.ofs0[d] = 3 * t.i0;
        g.ofs1[d] = edge ? g.ofs0[d] : 3 * t.i1;
        g.w0[d] = edge ? kCoefScale : t.w0;
        g.w1[d] = edge ? 0 : t.w1;
    }
}

// Scaled rows are kept as BGRx (a zero fourth channel) so that every pixel starts
// on a multiple of four; two pixels of slack let the vector loops run in fours.
constexpr int kRowPixels = kSide + 2;
constexpr int kRowValues = 4 * kRowPixels;

// Everything about a source size that does not depend on the pixels.
struct Plan {
    int rows, cols;           // the size planned for; rows == 0 while the slot is unused
    AxisTap row_taps[kSide];  // per output row; a row with weight zero is replaced by the other
    RowGather gather;
    bool windows;  // rows are at least 8 bytes wide: each pixel reads one 8-byte window
    int window[kSide];
    alignas(16) std::int8_t pick[kSide][16];    // window bytes as (p0, p1) pairs per channel
    alignas(16) std::int16_t weight[kSide][8];  // (w0, w1) per channel, zero for the fourth
    bool lerp15_built;  // the Lerp15 tables are made when that variant first runs
    lerp15::Plan lerp15;
};

void build_plan(int rows, int cols, Plan& p) {
    AxisTap col_taps[kSide];
    column_taps(cols, col_taps);
    row_taps(rows, p.row_taps);
    // A row with weight zero adds exactly zero in either arithmetic: skip blending it.
    for (AxisTap& t : p.row_taps) {
        if (t.w1 == 0) t.i1 = t.i0;
        if (t.w0 == 0) t.i0 = t.i1;
    }
    gather_table(col_taps, cols, p.gather);
    const int row_bytes = 3 * cols;
    p.windows = row_bytes >= 8;
    for (int d = 0; d < kSide; ++d) {
        // The second pixel is the first or its right neighbour, so both fit one window
        // that starts at the first pixel, or ends at the row's end.
        const int o0 = p.gather.ofs0[d], o1 = p.gather.ofs1[d];
        const int w = p.windows ? std::min(o0, row_bytes - 8) : 0;
        p.window[d] = w;
        for (int k = 0; k < 4; ++k) {
            p.pick[d][4 * k] = static_cast<std::int8_t>(k < 3 ? o0 + k - w : -1);
            p.pick[d][4 * k + 1] = -1;
            p.pick[d][4 * k + 2] = static_cast<std::int8_t>(k < 3 ? o1 + k - w : -1);
            p.pick[d][4 * k + 3] = -1;
        }
        for (int k = 0; k < 4; ++k) {
            p.weight[d][2 * k] = static_cast<std::int16_t>(k < 3 ? p.gather.w0[d] : 0);
            p.weight[d][2 * k + 1] = static_cast<std::int16_t>(k < 3 ? p.gather.w1[d] : 0);
        }
    }
    p.lerp15_built = false;
    p.rows = rows, p.cols = cols;
}

// Regions keep their size from frame to frame: plans are kept per thread for the
// last few sizes (plain data, so no locking and nothing to release).
constexpr int kPlanSlots = 8;
struct PlanCache {
    Plan plans[kPlanSlots];
    int next;
};

Plan& plan_for(int rows, int cols) {
    static thread_local PlanCache cache;
    for (Plan& p : cache.plans)
        if (p.rows == rows && p.cols == cols) return p;
    Plan& p = cache.plans[cache.next];
    cache.next = (cache.next + 1) % kPlanSlots;
    build_plan(rows, cols, p);
    return p;
}

// One or two source rows blended along x into BGRx values scaled by 2048.
template <bool kTwo>
void blend_rows_scalar(const std::uint8_t* ra, const std::uint8_t* rb, const RowGather& g, int* out_a, int* out_b) {
    for (int d = 0; d < kSide; ++d) {
        const int o0 = g.ofs0[d], o1 = g.ofs1[d];
        const int w0 = g.w0[d], w1 = g.w1[d];
        for (int k = 0; k < 3; ++k) {
            out_a[4 * d + k] = ra[o0 + k] * w0 + ra[o1 + k] * w1;
            if (kTwo) out_b[4 * d + k] = rb[o0 + k] * w0 + rb[o1 + k] * w1;
        }
        out_a[4 * d + 3] = 0;
        if (kTwo) out_b[4 * d + 3] = 0;
    }
}

#ifdef RM_X86
// One 8-byte load holds both taps of a pixel; a byte shuffle widens them into
// (p0, p1) pairs per channel and one multiply-add of 16-bit pairs gives
// p0 * w0 + p1 * w1, the same integers as the scalar loop.
template <bool kTwo>
__attribute__((target("ssse3"))) void blend_rows_ssse3(const std::uint8_t* ra, const std::uint8_t* rb, const Plan& p,
                                                       int* out_a, int* out_b) {
    for (int d = 0; d < kSide; ++d) {
        const __m128i pick = _mm_load_si128(reinterpret_cast<const __m128i*>(p.pick[d]));
        const __m128i w = _mm_load_si128(reinterpret_cast<const __m128i*>(p.weight[d]));
        const int o = p.window[d];
        const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(ra + o));
        _mm_store_si128(reinterpret_cast<__m128i*>(out_a + 4 * d), _mm_madd_epi16(_mm_shuffle_epi8(a, pick), w));
        if (kTwo) {
            const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rb + o));
            _mm_store_si128(reinterpret_cast<__m128i*>(out_b + 4 * d), _mm_madd_epi16(_mm_shuffle_epi8(b, pick), w));
        }
    }
}

bool have_ssse3() {
    static const bool yes = __builtin_cpu_supports("ssse3");
    return yes;
}
#endif

template <bool kTwo>
void blend_rows(const std::uint8_t* ra, const std::uint8_t* rb, const Plan& p, int* out_a, int* out_b) {
#ifdef RM_X86
    if (p.windows && have_ssse3()) {
        blend_rows_ssse3<kTwo>(ra, rb, p, out_a, out_b);
        return;
    }
#endif
    blend_rows_scalar<kTwo>(ra, rb, p.gather, out_a, out_b);
}

// Blending two blended rows with 11-bit weights b0, b1, either in OpenCV's 16-bit
// vector arithmetic (drop 4 bits, keep the high half of the product, round off 2
// bits) or exactly. s >> 4 fits 16 bits (at most 255 * 2049 / 16); weights are at most 2048.
inline int vector_blend(int s0, int s1, int b0, int b1) {
    const std::int16_t a = static_cast<std::int16_t>(s0 >> 4), b = static_cast<std::int16_t>(s1 >> 4);
    const std::int16_t c0 = static_cast<std::int16_t>(b0), c1 = static_cast<std::int16_t>(b1);
    return (((a * c0) >> 16) + ((b * c1) >> 16) + 2) >> 2;
}

inline int exact_blend(int s0, int s1, int b0, int b1) {
    long long acc = static_cast<long long>(s0) * b0 + static_cast<long long>(s1) * b1;
    return static_cast<int>((acc + (1LL << (2 * kCoefBits - 1))) >> (2 * kCoefBits));
}

// One output row in BGRx bytes: packed positions before `vector_end` in vector
// arithmetic, the rest exactly.
void blend_vertical(const int* s0, const int* s1, int b0, int b1, int vector_end, std::uint8_t* bgrx) {
    int exact_from = 0;
#ifdef RM_X86
    if (vector_end > 0) {
        const __m128i c0 = _mm_set1_epi16(static_cast<short>(b0)), c1 = _mm_set1_epi16(static_cast<short>(b1));
        const __m128i two = _mm_set1_epi16(2);
        auto half = [](const int* s) {
            const __m128i* v = reinterpret_cast<const __m128i*>(s);
            return _mm_packs_epi32(_mm_srai_epi32(_mm_load_si128(v), 4), _mm_srai_epi32(_mm_load_si128(v + 1), 4));
        };
        auto blend = [&](int i) {
            const __m128i x = _mm_add_epi16(_mm_mulhi_epi16(half(s0 + i), c0), _mm_mulhi_epi16(half(s1 + i), c1));
            return _mm_srai_epi16(_mm_add_epi16(x, two), 2);
        };
        for (int i = 0; i < kRowValues; i += 16)
            _mm_store_si128(reinterpret_cast<__m128i*>(bgrx + i), _mm_packus_epi16(blend(i), blend(i + 8)));
        exact_from = vector_end;
    }
#endif
    for (int x = exact_from; x < 3 * kSide; ++x) {
        const int i = x / 3 * 4 + x % 3;
        bgrx[i] = sat_u8(x < vector_end ? vector_blend(s0[i], s1[i], b0, b1) : exact_blend(s0[i], s1[i], b0, b1));
    }
    for (int d = exact_from > 0 ? kSide : 0; d < kSide; ++d) bgrx[4 * d + 3] = 0;
}

// 100 x 100 sources: each output is the rounded mean of a 2 x 2 block.
void area_half_row(const BgrView& src, int y, std::uint8_t* bgrx) {
    const std::uint8_t* r0 = src.data + (2 * y) * src.row_step;
    const std::uint8_t* r1 = r0 + src.row_step;
    for (int x = 0; x < kSide; ++x) {
        for (int k = 0; k < 3; ++k) {
            int i = 6 * x + k;
            bgrx[4 * x + k] = static_cast<std::uint8_t>((r0[i] + r0[i + 3] + r1[i] + r1[i + 3] + 2) >> 2);
        }
        bgrx[4 * x + 3] = 0;
    }
}

// Lerp15: each output row blends two source rows blended along x; the last two are kept.
template <class Sink>
void lerp15_rows(const BgrView& src, const lerp15::Plan& plan, std::uint8_t* bgrx, Sink& sink) {
    alignas(16) std::uint8_t buf[2][lerp15::kBufBytes];
    int buf_row[2] = {-1, -1};
    auto blended = [&](int r, int keep) -> const std::uint8_t* {
        for (int k = 0; k < 2; ++k)
            if (buf_row[k] == r) return buf[k];
        const int k = buf_row[0] == keep ? 1 : 0;
        lerp15::blend_x(src.data + static_cast<std::ptrdiff_t>(r) * src.row_step, plan, buf[k]);
        buf_row[k] = r;
        return buf[k];
    };
    for (int y = 0; y < kSide; ++y) {
        const int w = plan.row_w[y];
        const std::uint8_t* top = blended(plan.top[y], plan.bottom[y]);
        // A zero weight gives the top row exactly: its partner need not be blended.
        const std::uint8_t* bottom = w == 0 ? top : blended(plan.bottom[y], plan.top[y]);
        lerp15::blend_y(top, bottom, w, bgrx);
        sink(y, static_cast<const std::uint8_t*>(bgrx));
    }
}

// Scales `src` row by row, handing each output row (BGRx bytes, kRowPixels of them,
// the last two unspecified) to `sink(y, row)`.
template <class Sink>
bool scale_rows(const BgrView& src, Scaling variant, Sink&& sink) {
    if (src.rows < 1 || src.cols < 1) return false;
    alignas(16) std::uint8_t bgrx[kRowValues] = {};
    if (variant == Scaling::AreaHalf) {
        if (src.rows != 2 * kSide || src.cols != 2 * kSide) return false;
        for (int y = 0; y < kSide; ++y) {
            area_half_row(src, y, bgrx);
            sink(y, bgrx);
        }
        return true;
    }
    if (variant == Scaling::Lerp15) {
        Plan& plan = plan_for(src.rows, src.cols);
        if (!plan.lerp15_built) {
            lerp15::build_plan(src.rows, src.cols, plan.lerp15);
            plan.lerp15_built = true;
        }
        lerp15_rows(src, plan.lerp15, bgrx, sink);
        return true;
    }
    int vector_end;
    switch (variant) {
        case Scaling::VectorAll: vector_end = 3 * kSide; break;
        case Scaling::Vector144: vector_end = 144; break;
        case Scaling::Vector128: vector_end = 128; break;
        case Scaling::Scalar: vector_end = 0; break;
        default: return false;
    }
    const Plan& plan = plan_for(src.rows, src.cols);
    // Two blended rows, reused while consecutive outputs read the same source rows.
    alignas(16) int buf[2][kRowValues];
    std::fill(buf[0] + 4 * kSide, buf[0] + kRowValues, 0);
    std::fill(buf[1] + 4 * kSide, buf[1] + kRowValues, 0);
    int buf_row[2] = {-1, -1};
    auto row = [&](int r) { return src.data + static_cast<std::ptrdiff_t>(r) * src.row_step; };
    auto find = [&](int r) { return buf_row[0] == r ? 0 : (buf_row[1] == r ? 1 : -1); };
    auto fill = [&](int slot, int r) {
        blend_rows<false>(row(r), nullptr, plan, buf[slot], nullptr);
        buf_row[slot] = r;
    };
    for (int y = 0; y < kSide; ++y) {
        const AxisTap& t = plan.row_taps[y];
        if (t.i0 != t.i1 && find(t.i0) < 0 && find(t.i1) < 0) {
            blend_rows<true>(row(t.i0), row(t.i1), plan, buf[0], buf[1]);
            buf_row[0] = t.i0, buf_row[1] = t.i1;
        }
        int k0 = find(t.i0);
        if (k0 < 0) {
            k0 = buf_row[0] == t.i1 ? 1 : 0;  // keep the other row if it is already there
            fill(k0, t.i0);
        }
        int k1 = find(t.i1);
        if (k1 < 0) {
            k1 = 1 - k0;
            fill(k1, t.i1);
        }
        blend_vertical(buf[k0], buf[k1], t.w0, t.w1, vector_end, bgrx);
        sink(y, bgrx);
    }
    return true;
}

struct GreyWeights {
    int b, g, r, shift;
};
constexpr GreyWeights kGreyWeights[static_cast<int>(Grey::kCount)] = {{3735, 19235, 9798, 15},
                                                                      {1868, 9617, 4899, 14}};

// Y = (B*cb + G*cg + R*cr + half) >> shift over pixels `stride` bytes apart.
template <int kStride>
void grey_fixed(const std::uint8_t* px, std::size_t pixels, const GreyWeights& w, std::uint8_t* grey) {
    const int half = 1 << (w.shift - 1);
    for (std::size_t i = 0; i < pixels; ++i) {
        const std::uint8_t* p = px + kStride * i;
        grey[i] = static_cast<std::uint8_t>((p[0] * w.b + p[1] * w.g + p[2] * w.r + half) >> w.shift);
    }
}

// One scaled BGRx row to grey.
void grey_row(const std::uint8_t* bgrx, const GreyWeights& w, std::uint8_t* grey) {
#ifdef RM_X86
    // Widen to 16 bits, multiply-add (B, G) and (R, x) pairs, add the pair sums.
    const __m128i coef = _mm_setr_epi16(static_cast<short>(w.b), static_cast<short>(w.g), static_cast<short>(w.r), 0,
                                        static_cast<short>(w.b), static_cast<short>(w.g), static_cast<short>(w.r), 0);
    const __m128i half = _mm_set1_epi32(1 << (w.shift - 1)), zero = _mm_setzero_si128();
    const __m128i shift = _mm_cvtsi32_si128(w.shift);
    for (int d = 0; d < kSide; d += 4) {
        const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(bgrx + 4 * d));
        const __m128 lo = _mm_castsi128_ps(_mm_madd_epi16(_mm_unpacklo_epi8(v, zero), coef));
        const __m128 hi = _mm_castsi128_ps(_mm_madd_epi16(_mm_unpackhi_epi8(v, zero), coef));
        const __m128i sum = _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0))),
                                          _mm_castps_si128(_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1))));
        const __m128i y = _mm_srl_epi32(_mm_add_epi32(sum, half), shift);
        const int four = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(y, y), zero));
        if (d + 4 <= kSide)
            std::memcpy(grey + d, &four, 4);
        else
            std::memcpy(grey + d, &four, kSide % 4);
    }
#else
    grey_fixed<4>(bgrx, kSide, w, grey);
#endif
}

}  // namespace

void scaling_reads(int rows, int cols, ScalingReads& out) {
    auto collect = [](const AxisTap* taps, int* out_idx, int& n) {
        n = 0;
        for (int d = 0; d < kSide; ++d) out_idx[n++] = taps[d].i0, out_idx[n++] = taps[d].i1;
        std::sort(out_idx, out_idx + n);
        n = static_cast<int>(std::unique(out_idx, out_idx + n) - out_idx);
    };
    AxisTap taps[kSide];
    row_taps(rows, taps);
    collect(taps, out.rows, out.nrows);
    column_taps(cols, taps);
    collect(taps, out.cols, out.ncols);
}

bool scale_to_50(const BgrView& src, Scaling variant, std::uint8_t* out) {
    return scale_rows(src, variant, [out](int y, const std::uint8_t* bgrx) {
        std::uint8_t* o = out + y * kSide * 3;
        for (int d = 0; d < kSide; ++d)
            for (int k = 0; k < 3; ++k) o[3 * d + k] = bgrx[4 * d + k];
    });
}

bool scale_grey_50(const BgrView& src, Scaling variant, Grey grey_variant, std::uint8_t* grey) {
    const GreyWeights& w = kGreyWeights[static_cast<int>(grey_variant)];
    return scale_rows(src, variant,
                      [grey, &w](int y, const std::uint8_t* bgrx) { grey_row(bgrx, w, grey + y * kSide); });
}

RM_CLONES void bgr_to_grey(const std::uint8_t* bgr, std::size_t pixels, Grey variant, std::uint8_t* grey) {
    grey_fixed<3>(bgr, pixels, kGreyWeights[static_cast<int>(variant)], grey);
}

namespace {

constexpr int kHalf = kSide / 2;
constexpr int kBlock = static_cast<int>(kBlockSide);

// basis[u][i] = c(u) cos(pi (2i+1) u / 100) for the first half of i; the second
// half mirrors it (even u) or mirrors it negated (odd u).
struct Basis {
    double v[kBlock][kHalf];
    alignas(16) double twice[kHalf][kBlock][2];  // v[u][i] in both lanes, by i then u
    Basis() {
        const double pi = std::acos(-1.0);
        for (int u = 0; u < kBlock; ++u) {
            double cu = u == 0 ? std::sqrt(1.0 / kSide) : std::sqrt(2.0 / kSide);
            for (int i = 0; i < kHalf; ++i) v[u][i] = cu * std::cos(pi * (2 * i + 1) * u / (2.0 * kSide));
        }
        for (int i = 0; i < kHalf; ++i)
            for (int u = 0; u < kBlock; ++u) twice[i][u][0] = twice[i][u][1] = v[u][i];
    }
};

const Basis& basis() {
    static const Basis b;  // plain doubles, identical for every module instance
    return b;
}

#ifdef RM_X86
// The same products and sums in the same order as the portable loops below, two
// lanes at a time with the partial sums held in registers: identical doubles.
inline void low_frequency_block_sse2(const std::uint8_t* grey, const Basis& B, double* block) {
    alignas(16) double sum[kHalf][kSide], diff[kHalf][kSide];
    for (int y = 0; y < kHalf; ++y) {
        const std::uint8_t* top = grey + y * kSide;
        const std::uint8_t* bottom = grey + (kSide - 1 - y) * kSide;
        for (int x = 0; x < kSide; ++x) {
            sum[y][x] = static_cast<double>(top[x] + bottom[x]);
            diff[y][x] = static_cast<double>(top[x] - bottom[x]);
        }
    }
    alignas(16) double tt[kSide][kBlock];  // the column pass, transposed: tt[x][u]
    for (int x = 0; x < kSide; x += 2) {
        __m128d acc[kBlock];
#pragma GCC unroll 10
        for (int u = 0; u < kBlock; ++u) acc[u] = _mm_setzero_pd();
        for (int y = 0; y < kHalf; ++y) {
            const __m128d s = _mm_load_pd(&sum[y][x]), d = _mm_load_pd(&diff[y][x]);
#pragma GCC unroll 10
            for (int u = 0; u < kBlock; ++u)
                acc[u] = _mm_add_pd(acc[u], _mm_mul_pd(_mm_load_pd(B.twice[y][u]), u % 2 == 0 ? s : d));
        }
#pragma GCC unroll 5
        for (int u = 0; u < kBlock; u += 2) {
            _mm_store_pd(&tt[x][u], _mm_unpacklo_pd(acc[u], acc[u + 1]));
            _mm_store_pd(&tt[x + 1][u], _mm_unpackhi_pd(acc[u], acc[u + 1]));
        }
    }
    for (int u = 0; u < kBlock; u += 2) {
        __m128d acc[kBlock];
#pragma GCC unroll 10
        for (int v = 0; v < kBlock; ++v) acc[v] = _mm_setzero_pd();
        for (int x = 0; x < kHalf; ++x) {
            const __m128d a = _mm_load_pd(&tt[x][u]), b = _mm_load_pd(&tt[kSide - 1 - x][u]);
            const __m128d s = _mm_add_pd(a, b), d = _mm_sub_pd(a, b);
#pragma GCC unroll 10
            for (int v = 0; v < kBlock; ++v)
                acc[v] = _mm_add_pd(acc[v], _mm_mul_pd(_mm_load_pd(B.twice[x][v]), v % 2 == 0 ? s : d));
        }
#pragma GCC unroll 10
        for (int v = 0; v < kBlock; ++v) {
            _mm_storel_pd(&block[u * kBlock + v], acc[v]);
            _mm_storeh_pd(&block[(u + 1) * kBlock + v], acc[v]);
        }
    }
}
#endif

}  // namespace

RM_CLONES void low_frequency_block(const std::uint8_t* grey, double* block) {
    const Basis& B = basis();
#ifdef RM_X86
    low_frequency_block_sse2(grey, B, block);
#else
    // Columns first: t[u][x] = sum_y basis[u][y] grey[y][x], pairing rows y and 49-y.
    double t[kBlock][kSide];
    for (int u = 0; u < kBlock; ++u)
        for (int x = 0; x < kSide; ++x) t[u][x] = 0.0;
    for (int y = 0; y < kHalf; ++y) {
        const std::uint8_t* top = grey + y * kSide;
        const std::uint8_t* bottom = grey + (kSide - 1 - y) * kSide;
        double sum[kSide], diff[kSide];
        for (int x = 0; x < kSide; ++x) {
            sum[x] = static_cast<double>(top[x] + bottom[x]);
            diff[x] = static_cast<double>(top[x] - bottom[x]);
        }
        for (int u = 0; u < kBlock; ++u) {
            const double c = B.v[u][y];
            const double* src = (u % 2 == 0) ? sum : diff;
            double* row = t[u];
            for (int x = 0; x < kSide; ++x) row[x] += c * src[x];
        }
    }
    for (int u = 0; u < kBlock; ++u) {
        double sum[kHalf], diff[kHalf];
        for (int x = 0; x < kHalf; ++x) {
            sum[x] = t[u][x] + t[u][kSide - 1 - x];
            diff[x] = t[u][x] - t[u][kSide - 1 - x];
        }
        for (int v = 0; v < kBlock; ++v) {
            const double* src = (v % 2 == 0) ? sum : diff;
            double acc = 0.0;
            for (int x = 0; x < kHalf; ++x) acc += B.v[v][x] * src[x];
            block[u * kBlock + v] = acc;
        }
    }
#endif
}

namespace {

long long energy_of(const std::uint8_t* grey) {
    unsigned energy = 0;  // at most 2500 * 255^2: 32 bits suffice and vectorise better
    for (int i = 0; i < kGreyPixels; ++i) energy += grey[i] * grey[i];
    return energy;
}

double error_bound(long long energy) {
    return kTransformErrorUlps * std::sqrt(static_cast<double>(energy)) * std::ldexp(1.0, -24);
}

}  // namespace

double transform_error_bound(const std::uint8_t* grey) { return error_bound(energy_of(grey)) + 1e-9; }

RM_CLONES BlockOutcome hash_grey_50(const std::uint8_t* grey, char* hash100) {
    const long long energy = energy_of(grey);
    if (energy == 0) {
        // Every coefficient is exactly zero, equal to the mean: all bits 1.
        std::uint8_t ones[kBlockSide * kBlockSide];
        std::memset(ones, 1, sizeof ones);
        hex_windows(ones, sizeof ones, hash100);
        return BlockOutcome::Hashed;
    }
    double block[kBlock * kBlock];
    low_frequency_block(grey, block);
    double avg = sequential_mean(block, kBlockSide * kBlockSide);
    // OpenCV's float32 coefficients and their mean each err by at most `err`.
    const double margin = 2.0 * error_bound(energy) + 1e-9;
    for (double value : block)
        if (!(std::fabs(value - avg) > margin)) return BlockOutcome::NearMean;
    hash_from_block(block, hash100);
    return BlockOutcome::Hashed;
}

}  // namespace rm::core
