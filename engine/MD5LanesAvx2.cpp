// 8 MD5 lanes in the 8 words of AVX2 registers. Only these functions use AVX2; the dispatch in
// MD5Lanes.cpp calls them on a CPU that has it.

#include "engine/MD5LanesKernels.h"

#include <immintrin.h>

#include <utility>

namespace quillsum::lanes {
namespace {

using Vector = __m256i;

// Word j of every lane's block at offset. Each register is loaded with 16 bytes of lane k in its
// low half and 16 bytes of lane k + 4 in its high half, so that two rounds of shuffles within
// the halves finish the transposition.
[[gnu::target("avx2"), gnu::always_inline]] inline void
LoadWords(const std::uint8_t *const *blocks, std::size_t offset, Vector (&x)[16]) {
  for (std::size_t quarter = 0; quarter < 4; ++quarter) {
    Vector rows[4];
    for (std::size_t k = 0; k < 4; ++k)
      rows[k] = _mm256_loadu2_m128i(
          reinterpret_cast<const __m128i *>(blocks[k + 4] + offset + 16 * quarter),
          reinterpret_cast<const __m128i *>(blocks[k] + offset + 16 * quarter));
    const Vector low01 = _mm256_unpacklo_epi32(rows[0], rows[1]);
    const Vector high01 = _mm256_unpackhi_epi32(rows[0], rows[1]);
    const Vector low23 = _mm256_unpacklo_epi32(rows[2], rows[3]);
    const Vector high23 = _mm256_unpackhi_epi32(rows[2], rows[3]);
    x[4 * quarter] = _mm256_unpacklo_epi64(low01, low23);
    x[4 * quarter + 1] = _mm256_unpackhi_epi64(low01, low23);
    x[4 * quarter + 2] = _mm256_unpacklo_epi64(high01, high23);
    x[4 * quarter + 3] = _mm256_unpackhi_epi64(high01, high23);
  }
}

// Keeps a value computed where it stands: compilers would otherwise fold the terms that are
// ready early into the ones that wait for b, and lengthen the chain from step to step.
[[gnu::target("avx2"), gnu::always_inline]] inline Vector Pinned(Vector value) {
  asm("" : "+x"(value));
  return value;
}

// a = b + ((a + x + ac + f(b, c, d)) <<< s). Everything that does not wait for b, the word the
// previous step has just made, is done first: F as ((c ^ d) & b) ^ d, G as (c & ~d) + (d & b),
// H as b ^ (c ^ d), I as c ^ (b | ~d).
template <std::size_t i>
[[gnu::target("avx2"), gnu::always_inline]] inline void Step(Vector (&v)[4], const Vector (&x)[16],
                                                             const std::uint32_t *sine) {
  constexpr std::size_t a = (4 - i % 4) % 4;
  const Vector b = v[(a + 1) % 4], c = v[(a + 2) % 4], d = v[(a + 3) % 4];
  Vector early = _mm256_add_epi32(
      v[a], _mm256_add_epi32(x[kWord[i]], _mm256_set1_epi32(static_cast<int>(sine[i]))));
  Vector f;
  if constexpr (i < 16) {
    f = _mm256_xor_si256(_mm256_and_si256(Pinned(_mm256_xor_si256(c, d)), b), d);
  } else if constexpr (i < 32) {
    early = _mm256_add_epi32(early, _mm256_andnot_si256(d, c));
    f = _mm256_and_si256(d, b);
  } else if constexpr (i < 48) {
    f = _mm256_xor_si256(b, Pinned(_mm256_xor_si256(c, d)));
  } else {
    f = _mm256_xor_si256(c, _mm256_or_si256(b, Pinned(_mm256_xor_si256(d, _mm256_set1_epi32(-1)))));
  }
  const Vector sum = _mm256_add_epi32(Pinned(early), f);
  v[a] = _mm256_add_epi32(b, _mm256_or_si256(_mm256_slli_epi32(sum, kShift[i]),
                                             _mm256_srli_epi32(sum, 32 - kShift[i])));
}

template <std::size_t... i>
[[gnu::target("avx2"), gnu::always_inline]] inline void
Steps(Vector (&v)[4], const Vector (&x)[16], const std::uint32_t *sine, std::index_sequence<i...>) {
  (Step<i>(v, x, sine), ...);
}

} // namespace

[[gnu::target("avx2")]] void FoldEightAvx2(std::uint32_t *words, const std::uint8_t *const *blocks,
                                           std::size_t count) {
  const std::uint32_t *sine = SineFromMemory();
  Vector v[4];
  for (std::size_t k = 0; k < 4; ++k)
    v[k] = _mm256_loadu_si256(reinterpret_cast<const Vector *>(words + k * kMaxLanes));
  for (std::size_t n = 0; n < count; ++n) {
    Vector x[16];
    LoadWords(blocks, 64 * n, x);
    const Vector start[4] = {v[0], v[1], v[2], v[3]};
    Steps(v, x, sine, std::make_index_sequence<64>());
    for (std::size_t k = 0; k < 4; ++k)
      v[k] = _mm256_add_epi32(v[k], start[k]);
  }
  for (std::size_t k = 0; k < 4; ++k)
    _mm256_storeu_si256(reinterpret_cast<Vector *>(words + k * kMaxLanes), v[k]);
}

} // namespace quillsum::lanes
