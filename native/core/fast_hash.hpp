// The hash pipeline without OpenCV: 50 x 50 bilinear scaling of an 8-bit BGR
// picture, grey conversion and the 10 x 10 low-frequency cosine block.
// OpenCV builds differ in the rounding of their scaling and grey conversion,
// so each step comes in the variants seen in the wild; the caller checks which
// one the installed OpenCV uses before relying on it.
#pragma once
#include <cstddef>
#include <cstdint>

namespace rm::core {

constexpr int kSide = 50;                        // pictures are scaled to 50 x 50
constexpr int kScaledBytes = kSide * kSide * 3;  // BGR bytes of the scaled picture
constexpr int kGreyPixels = kSide * kSide;

// Bilinear scaling variants. OpenCV's own code blends rows with 11-bit weights; the
// blend is rounded either exactly (scalar) or through its 16-bit vector arithmetic,
// which truncates twice and can differ by one. A build vectorises a prefix of
// each 150-byte row and does the rest in scalar code. Lerp15 is the other arithmetic
// OpenCV's aarch64 wheel uses for most crops narrower than 151 pixels.
enum class Scaling : int {
    VectorAll = 0,   // the whole row in vector arithmetic
    Vector144 = 1,   // 128-bit lanes, six-byte scalar tail
    Vector128 = 2,   // 512-bit lanes, 22-byte scalar tail
    Scalar = 3,      // no vector code
    Lerp15 = 4,      // 16.16 positions, 15-bit weights, x then y each rounded to 8 bits (lerp15.hpp)
    AreaHalf = 5,    // 100 x 100 sources: OpenCV averages 2 x 2 blocks instead
    kCount = 6,
};

struct BgrView {
    const std::uint8_t* data;  // first pixel
    std::ptrdiff_t row_step;   // bytes between rows; pixels are 3 packed bytes
    int rows;
    int cols;
};

// Scales `src` to 50 x 50 BGR (row-major, packed) with the given variant.
// AreaHalf needs a 100 x 100 source. Returns false when the variant does not apply.
bool scale_to_50(const BgrView& src, Scaling variant, std::uint8_t* out);

// The source rows and columns that scaling a rows x cols picture reads, whatever the
// variant, ascending: a test picture needs values there only.
struct ScalingReads {
    int rows[2 * kSide], cols[2 * kSide];
    int nrows, ncols;
};
void scaling_reads(int rows, int cols, ScalingReads& out);

// Fixed-point grey conversion variants: Y = (B*cb + G*cg + R*cr + half) >> shift.
enum class Grey : int {
    Shift15 = 0,
    Shift14 = 1,
    kCount = 2,
};

void bgr_to_grey(const std::uint8_t* bgr, std::size_t pixels, Grey variant, std::uint8_t* grey);

// scale_to_50 followed by bgr_to_grey, without the scaled picture in between:
// writes the 50 x 50 grey picture. Returns false when the scaling variant does not apply.
bool scale_grey_50(const BgrView& src, Scaling scaling, Grey grey_variant, std::uint8_t* grey);

// Outcome of hashing a grey 50 x 50 picture.
enum class BlockOutcome {
    Hashed,    // hash written
    NearMean,  // a coefficient lies too close to the mean: float32 rounding could flip its bit
};

// Computes the 10 x 10 low-frequency block of the orthonormal 2-D DCT-II of the
// grey picture in double precision and, when every coefficient is safely away
// from the block mean (further than the float32 transform can err), writes the
// 100-character hash. An all-black picture has an exactly zero block and always hashes.
BlockOutcome hash_grey_50(const std::uint8_t* grey, char* hash100);

// The 10 x 10 block alone (row by row), in double precision.
void low_frequency_block(const std::uint8_t* grey, double* block100);

// Bound on how far a float32 50 x 50 transform of `grey` may stray from the exact block.
double transform_error_bound(const std::uint8_t* grey);

// Worst error of a float32 50 x 50 transform, relative to the picture's L2 norm
// in float32 ulps, that the near-mean test assumes (measured worst: about 4).
constexpr double kTransformErrorUlps = 64.0;

}  // namespace rm::core
