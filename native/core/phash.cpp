#include "phash.hpp"

namespace rm::core {

double sequential_mean(const double* values, std::size_t n) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += values[i];
    return sum * 1.0 / static_cast<double>(n);
}

void threshold_bits(const double* values, std::size_t n, double avg, std::uint8_t* bits) {
    for (std::size_t i = 0; i < n; ++i) bits[i] = (values[i] < avg) ? 0 : 1;
}

std::size_t hex_windows(const std::uint8_t* bits, std::size_t nbits, char* out) {
    static const char kDigits[] = "0123456789abcdef";
    auto bit = [&](std::size_t p) { return p < nbits ? static_cast<unsigned>(bits[p]) : 0u; };
    // The window at x, padded with zero bits past the end; a short window is that shifted down.
    unsigned padded = 0;
    for (std::size_t p = 0; p + 1 < kWindowBits; ++p) padded = (padded << 1) | bit(p);
    for (std::size_t x = 0; x < kHashLength; ++x) {
        if (x >= nbits) return x;
        padded = ((padded << 1) | bit(x + kWindowBits - 1)) & ((1u << kWindowBits) - 1);
        const std::size_t missing = x + kWindowBits > nbits ? x + kWindowBits - nbits : 0;
        out[x] = kDigits[padded >> missing];
    }
    return kHashLength;
}

std::size_t hex_windows(const std::uint8_t* bits, std::size_t nbits, std::string& out) {
    char chars[kHashLength];
    const std::size_t n = hex_windows(bits, nbits, chars);
    out.assign(chars, n);
    return n;
}

void hash_from_block(const double* block100, char* out) {
    const std::size_t n = kBlockSide * kBlockSide;
    std::uint8_t bits[n];
    threshold_bits(block100, n, sequential_mean(block100, n), bits);
    hex_windows(bits, n, out);
}

std::string hash_from_block(const double* block100) {
    char chars[kHashLength];
    hash_from_block(block100, chars);
    return std::string(chars, kHashLength);
}

}  // namespace rm::core
