#include "phash.hpp"

namespace rm::core {

double sequential_mean(const double* values, std::size_t n) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += values[i];
    return sum * 1.0 / static_cast<double>(n);
}

std::vector<std::uint8_t> threshold_bits(const double* values, std::size_t n, double avg) {
    std::vector<std::uint8_t> bits(n);
    for (std::size_t i = 0; i < n; ++i) bits[i] = (values[i] < avg) ? 0 : 1;
    return bits;
}

std::size_t hex_windows(const std::uint8_t* bits, std::size_t nbits, std::string& out) {
    static const char kDigits[] = "0123456789abcdef";
    out.clear();
    out.reserve(kHashLength);
    for (std::size_t x = 0; x < kHashLength; ++x) {
        if (x >= nbits) return x;
        std::size_t end = x + kWindowBits < nbits ? x + kWindowBits : nbits;
        unsigned value = 0;
        for (std::size_t p = x; p < end; ++p) value = (value << 1) | bits[p];
        out.push_back(kDigits[value]);
    }
    return kHashLength;
}

std::string hash_from_block(const double* block100) {
    const std::size_t n = kBlockSide * kBlockSide;
    double avg = sequential_mean(block100, n);
    std::vector<std::uint8_t> bits = threshold_bits(block100, n, avg);
    std::string out;
    hex_windows(bits.data(), bits.size(), out);
    return out;
}

}  // namespace rm::core
