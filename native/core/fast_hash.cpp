#include "fast_hash.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "phash.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(RM_NO_CLONES)
#define RM_X86_SSSE3 1
#include <immintrin.h>
#endif

// The loops below are written for the auto-vectoriser. On x86-64 an AVX2 clone is
// picked at load where the CPU has it; the arithmetic is the same integer and
// unfused double arithmetic either way, so both clones give identical results.
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

// One source row blended along x: 150 values scaled by 2048.
void blend_row(const std::uint8_t* row, const RowGather& g, int* out) {
    for (int d = 0; d < kSide; ++d) {
        const std::uint8_t* p0 = row + g.ofs0[d];
        const std::uint8_t* p1 = row + g.ofs1[d];
        const int w0 = g.w0[d], w1 = g.w1[d];
        out[3 * d] = p0[0] * w0 + p1[0] * w1;
        out[3 * d + 1] = p0[1] * w0 + p1[1] * w1;
        out[3 * d + 2] = p0[2] * w0 + p1[2] * w1;
    }
}

// Two source rows through the same taps at once: the table is read once for both.
// `out_*` hold 3 * kSide values plus one slot of slack (the vector path writes 4 at a time).
void blend_two_rows_scalar(const std::uint8_t* ra, const std::uint8_t* rb, const RowGather& g, int first, int last,
                           int* out_a, int* out_b) {
    for (int d = first; d < last; ++d) {
        const int o0 = g.ofs0[d], o1 = g.ofs1[d];
        const int w0 = g.w0[d], w1 = g.w1[d];
        for (int k = 0; k < 3; ++k) {
            out_a[3 * d + k] = ra[o0 + k] * w0 + ra[o1 + k] * w1;
            out_b[3 * d + k] = rb[o0 + k] * w0 + rb[o1 + k] * w1;
        }
    }
}

#ifdef RM_X86_SSSE3
// Where a pixel's two taps are neighbours, one 8-byte load holds both; a byte
// shuffle widens them into (p0, p1) pairs per channel and one multiply-add of
// 16-bit pairs gives p0 * w0 + p1 * w1, the same integers as the scalar loop.
__attribute__((target("ssse3"))) void blend_two_rows_ssse3(const std::uint8_t* ra, const std::uint8_t* rb,
                                                           const RowGather& g, int row_bytes, int* out_a,
                                                           int* out_b) {
    const __m128i pairs = _mm_setr_epi8(0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1);
    for (int d = 0; d < kSide; ++d) {
        const int o0 = g.ofs0[d];
        if (g.ofs1[d] != o0 + 3 || o0 + 8 > row_bytes) {
            blend_two_rows_scalar(ra, rb, g, d, d + 1, out_a, out_b);
            continue;
        }
        const __m128i w = _mm_set1_epi32((g.w0[d] & 0xFFFF) | (g.w1[d] << 16));
        __m128i a, b;
        std::int64_t la, lb;
        std::memcpy(&la, ra + o0, 8);
        std::memcpy(&lb, rb + o0, 8);
        a = _mm_madd_epi16(_mm_shuffle_epi8(_mm_cvtsi64_si128(la), pairs), w);
        b = _mm_madd_epi16(_mm_shuffle_epi8(_mm_cvtsi64_si128(lb), pairs), w);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out_a + 3 * d), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out_b + 3 * d), b);
    }
}

bool have_ssse3() {
    static const bool yes = __builtin_cpu_supports("ssse3");
    return yes;
}
#endif

void blend_two_rows(const std::uint8_t* ra, const std::uint8_t* rb, const RowGather& g, int row_bytes, int* out_a,
                    int* out_b) {
#ifdef RM_X86_SSSE3
    if (have_ssse3()) {
        blend_two_rows_ssse3(ra, rb, g, row_bytes, out_a, out_b);
        return;
    }
#endif
    blend_two_rows_scalar(ra, rb, g, 0, kSide, out_a, out_b);
}

bool area_half(const BgrView& src, std::uint8_t* out) {
    if (src.rows != 2 * kSide || src.cols != 2 * kSide) return false;
    for (int y = 0; y < kSide; ++y) {
        const std::uint8_t* r0 = src.data + (2 * y) * src.row_step;
        const std::uint8_t* r1 = r0 + src.row_step;
        std::uint8_t* o = out + y * kSide * 3;
        for (int x = 0; x < kSide; ++x)
            for (int k = 0; k < 3; ++k) {
                int i = 6 * x + k;
                o[3 * x + k] = static_cast<std::uint8_t>((r0[i] + r0[i + 3] + r1[i] + r1[i + 3] + 2) >> 2);
            }
    }
    return true;
}

}  // namespace

RM_CLONES bool scale_to_50(const BgrView& src, Scaling variant, std::uint8_t* out) {
    if (src.rows < 1 || src.cols < 1) return false;
    if (variant == Scaling::AreaHalf) return area_half(src, out);
    int vector_end;
    switch (variant) {
        case Scaling::VectorAll: vector_end = 3 * kSide; break;
        case Scaling::Vector144: vector_end = 144; break;
        case Scaling::Vector128: vector_end = 128; break;
        case Scaling::Scalar: vector_end = 0; break;
        default: return false;
    }
    std::array<AxisTap, kSide> cols, rows;
    column_taps(src.cols, cols.data());
    row_taps(src.rows, rows.data());
    RowGather gather;
    gather_table(cols.data(), src.cols, gather);
    // Two blended rows, reused while consecutive outputs read the same source rows.
    int buf[2][3 * kSide + 1];  // one slot of slack for the 4-wide stores
    int buf_row[2] = {-1, -1};
    auto find = [&](int r) { return buf_row[0] == r ? 0 : (buf_row[1] == r ? 1 : -1); };
    auto fill = [&](int slot, int r) {
        blend_row(src.data + static_cast<std::ptrdiff_t>(r) * src.row_step, gather, buf[slot]);
        buf_row[slot] = r;
    };
    for (int y = 0; y < kSide; ++y) {
        AxisTap t = rows[y];
        // A row with weight zero adds exactly zero in either arithmetic: skip blending it.
        if (t.w1 == 0) t.i1 = t.i0;
        if (t.w0 == 0) t.i0 = t.i1;
        if (t.i0 != t.i1 && find(t.i0) < 0 && find(t.i1) < 0) {
            blend_two_rows(src.data + static_cast<std::ptrdiff_t>(t.i0) * src.row_step,
                           src.data + static_cast<std::ptrdiff_t>(t.i1) * src.row_step, gather, 3 * src.cols, buf[0],
                           buf[1]);
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
        const int* s0 = buf[k0];
        const int* s1 = buf[k1];
        std::uint8_t* o = out + y * kSide * 3;
        const int b0 = t.w0, b1 = t.w1;
        // 16-bit lanes: drop 4 bits, keep the high half of the product, round off 2 bits.
        const std::int16_t c0 = static_cast<std::int16_t>(b0), c1 = static_cast<std::int16_t>(b1);
        for (int x = 0; x < vector_end; ++x) {
            // s >> 4 fits 16 bits (at most 255 * 2048 / 16); the weights are at most 2048.
            std::int16_t a = static_cast<std::int16_t>(s0[x] >> 4), b = static_cast<std::int16_t>(s1[x] >> 4);
            int v = (((a * c0) >> 16) + ((b * c1) >> 16) + 2) >> 2;
            o[x] = sat_u8(v);
        }
        for (int x = vector_end; x < 3 * kSide; ++x) {
            long long acc = static_cast<long long>(s0[x]) * b0 + static_cast<long long>(s1[x]) * b1;
            o[x] = sat_u8(static_cast<int>((acc + (1LL << (2 * kCoefBits - 1))) >> (2 * kCoefBits)));
        }
    }
    return true;
}

namespace {

template <int kB, int kG, int kR, int kShift>
void grey_fixed(const std::uint8_t* bgr, std::size_t pixels, std::uint8_t* grey) {
    for (std::size_t i = 0; i < pixels; ++i) {
        const std::uint8_t* p = bgr + 3 * i;
        grey[i] = static_cast<std::uint8_t>((p[0] * kB + p[1] * kG + p[2] * kR + (1 << (kShift - 1))) >> kShift);
    }
}

}  // namespace

RM_CLONES void bgr_to_grey(const std::uint8_t* bgr, std::size_t pixels, Grey variant, std::uint8_t* grey) {
    if (variant == Grey::Shift15)
        grey_fixed<3735, 19235, 9798, 15>(bgr, pixels, grey);
    else
        grey_fixed<1868, 9617, 4899, 14>(bgr, pixels, grey);
}

namespace {

constexpr int kHalf = kSide / 2;
constexpr int kBlock = static_cast<int>(kBlockSide);

// basis[u][i] = c(u) cos(pi (2i+1) u / 100) for the first half of i; the second
// half mirrors it (even u) or mirrors it negated (odd u).
struct Basis {
    double v[kBlock][kHalf];
    Basis() {
        const double pi = std::acos(-1.0);
        for (int u = 0; u < kBlock; ++u) {
            double cu = u == 0 ? std::sqrt(1.0 / kSide) : std::sqrt(2.0 / kSide);
            for (int i = 0; i < kHalf; ++i) v[u][i] = cu * std::cos(pi * (2 * i + 1) * u / (2.0 * kSide));
        }
    }
};

const Basis& basis() {
    static const Basis b;  // plain doubles, identical for every module instance
    return b;
}

}  // namespace

RM_CLONES void low_frequency_block(const std::uint8_t* grey, double* block) {
    const Basis& B = basis();
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
}

namespace {

long long energy_of(const std::uint8_t* grey) {
    long long energy = 0;
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
        std::string out;
        hex_windows(ones, sizeof ones, out);
        std::memcpy(hash100, out.data(), kHashLength);
        return BlockOutcome::Hashed;
    }
    double block[kBlock * kBlock];
    low_frequency_block(grey, block);
    double avg = sequential_mean(block, kBlockSide * kBlockSide);
    // OpenCV's float32 coefficients and their mean each err by at most `err`.
    const double margin = 2.0 * error_bound(energy) + 1e-9;
    for (double value : block)
        if (!(std::fabs(value - avg) > margin)) return BlockOutcome::NearMean;
    std::string out = hash_from_block(block);
    std::memcpy(hash100, out.data(), kHashLength);
    return BlockOutcome::Hashed;
}

}  // namespace rm::core
