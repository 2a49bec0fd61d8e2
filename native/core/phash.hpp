// Perceptual hash arithmetic: mean, bit string and overlapping hex windows.
// Pure C++: the transform itself is done by the caller.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rm::core {

constexpr std::size_t kHashLength = 100;  // characters in a hash
constexpr std::size_t kBlockSide = 10;    // the low-frequency block is 10 x 10
constexpr std::size_t kWindowBits = 4;    // one hex digit reads up to four bits

// Sum added one value after another from zero, divided by the count.
double sequential_mean(const double* values, std::size_t n);

// One bit per value: 0 when strictly below `avg`, 1 otherwise (NaN compares as not below).
void threshold_bits(const double* values, std::size_t n, double avg, std::uint8_t* bits);

// Hex digit x reads bits x..x+3 (those that exist) as a binary number, most
// significant first. Returns the first window position that has no bit at all,
// or kHashLength when every window had at least one.
std::size_t hex_windows(const std::uint8_t* bits, std::size_t nbits, std::string& out);
std::size_t hex_windows(const std::uint8_t* bits, std::size_t nbits, char* out);  // no terminator

// The whole hash of a 10 x 10 coefficient block laid out row by row.
std::string hash_from_block(const double* block100);
void hash_from_block(const double* block100, char* out100);  // no terminator

// Positions at which two equal-length sequences differ.
template <class A, class B>
std::size_t count_mismatches(const A* a, const B* b, std::size_t n) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) count += (a[i] != b[i]) ? 1u : 0u;
    return count;
}

}  // namespace rm::core
