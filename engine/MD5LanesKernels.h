#pragma once

// MD5Lanes's vector kernels. Internal to the engine: include MD5Lanes.h instead.

#include <cstddef>
#include <cstdint>

namespace quillsum::lanes {

// The state words of every lane, word by word: A of lanes 0 to 15, then B, C and D.
inline constexpr std::size_t kMaxLanes = 16;

// Folds count consecutive 64-byte blocks, starting at blocks[lane], into the state words of each
// lane of the kernel (words[k * kMaxLanes + lane]). Every lane folds the same count; a lane with
// nothing of its own to hash is pointed at another lane's blocks and its words put back after.
using Fold = void(std::uint32_t *words, const std::uint8_t *const *blocks, std::size_t count);

// x86 only, and only on a CPU with the instruction set in the name.
Fold FoldSixteenAvx512; // 16 lanes, AVX-512F
Fold FoldEightAvx2;     // 8 lanes, AVX2

// The 64 steps of RFC 1321, section 3.4, for the kernels (MD5CLS writes them out): step i
// updates a, d, c, b in turn (i % 4), with message word kWord[i], rotation kShift[i] and the
// constant kSine[i] = floor(2^32 * |sin(i + 1)|).
inline constexpr std::size_t kWord[64] = {
    0, 1, 2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, //
    1, 6, 11, 0,  5,  10, 15, 4,  9,  14, 3,  8,  13, 2,  7,  12, //
    5, 8, 11, 14, 1,  4,  7,  10, 13, 0,  3,  6,  9,  12, 15, 2,  //
    0, 7, 14, 5,  12, 3,  10, 1,  8,  15, 6,  13, 4,  11, 2,  9,
};
inline constexpr int kShift[64] = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, //
    5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, //
    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, //
    6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21,
};
inline constexpr std::uint32_t kSine[64] = {
    0xD76AA478, 0xE8C7B756, 0x242070DB, 0xC1BDCEEE, 0xF57C0FAF, 0x4787C62A, 0xA8304613, 0xFD469501,
    0x698098D8, 0x8B44F7AF, 0xFFFF5BB1, 0x895CD7BE, 0x6B901122, 0xFD987193, 0xA679438E, 0x49B40821,
    0xF61E2562, 0xC040B340, 0x265E5A51, 0xE9B6C7AA, 0xD62F105D, 0x02441453, 0xD8A1E681, 0xE7D3FBC8,
    0x21E1CDE6, 0xC33707D6, 0xF4D50D87, 0x455A14ED, 0xA9E3E905, 0xFCEFA3F8, 0x676F02D9, 0x8D2A4C8A,
    0xFFFA3942, 0x8771F681, 0x6D9D6122, 0xFDE5380C, 0xA4BEEA44, 0x4BDECFA9, 0xF6BB4B60, 0xBEBFBC70,
    0x289B7EC6, 0xEAA127FA, 0xD4EF3085, 0x04881D05, 0xD9D4D039, 0xE6DB99E5, 0x1FA27CF8, 0xC4AC5665,
    0xF4292244, 0x432AFF97, 0xAB9423A7, 0xFC93A039, 0x655B59C3, 0x8F0CCC92, 0xFFEFF47D, 0x85845DD1,
    0x6FA87E4F, 0xFE2CE6E0, 0xA3014314, 0x4E0811A1, 0xF7537E82, 0xBD3AF235, 0x2AD7D2BB, 0xEB86D391,
};

// kSine for a kernel to read from memory, as operands of its additions: seeing the values, GCC
// would build each one from an immediate through a general register, two more operations a step.
inline const std::uint32_t *SineFromMemory() {
  const std::uint32_t *sine = kSine;
  asm("" : "+r"(sine));
  return sine;
}

} // namespace quillsum::lanes
