// 16 MD5 lanes in the 16 words of AVX-512 registers. Only these functions use AVX-512; the
// dispatch in MD5Lanes.cpp calls them on a CPU that has it.

#include "engine/MD5LanesKernels.h"

// GCC 12's AVX-512 intrinsics start from a self-initialised "undefined" register, which
// -Wmaybe-uninitialized then reports wherever they are inlined (GCC bug 105593).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#include <utility>

namespace quillsum::lanes {
namespace {

using Vector = __m512i;

// Word j of every lane's block at offset. Each register is loaded with 16 bytes of lanes k, k + 4,
// k + 8 and k + 12 in its four quarters, so that two rounds of shuffles within the quarters finish
// the transposition.
[[gnu::target("avx512f"), gnu::always_inline]] inline void
LoadWords(const std::uint8_t *const *blocks, std::size_t offset, Vector (&x)[16]) {
  const auto quarter = [&](std::size_t lane, std::size_t q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(blocks[lane] + offset + 16 * q));
  };
  for (std::size_t q = 0; q < 4; ++q) {
    Vector rows[4];
    for (std::size_t k = 0; k < 4; ++k)
      rows[k] = _mm512_inserti32x4(
          _mm512_inserti32x4(
              _mm512_inserti32x4(_mm512_castsi128_si512(quarter(k, q)), quarter(k + 4, q), 1),
              quarter(k + 8, q), 2),
          quarter(k + 12, q), 3);
    const Vector low01 = _mm512_unpacklo_epi32(rows[0], rows[1]);
    const Vector high01 = _mm512_unpackhi_epi32(rows[0], rows[1]);
    const Vector low23 = _mm512_unpacklo_epi32(rows[2], rows[3]);
    const Vector high23 = _mm512_unpackhi_epi32(rows[2], rows[3]);
    x[4 * q] = _mm512_unpacklo_epi64(low01, low23);
    x[4 * q + 1] = _mm512_unpackhi_epi64(low01, low23);
    x[4 * q + 2] = _mm512_unpacklo_epi64(high01, high23);
    x[4 * q + 3] = _mm512_unpackhi_epi64(high01, high23);
  }
}

// F, G, H and I of b, c, d as vpternlogd truth tables: b ? c : d, d ? b : c, b ^ c ^ d and
// c ^ (b | ~d).
constexpr int kFunction[4] = {0xCA, 0xE4, 0x96, 0x39};

// a = b + ((a + x + ac + f(b, c, d)) <<< s), with f added last: it alone waits for b.
template <std::size_t i>
[[gnu::target("avx512f"), gnu::always_inline]] inline void
Step(Vector (&v)[4], const Vector (&x)[16], const std::uint32_t *sine) {
  constexpr std::size_t a = (4 - i % 4) % 4;
  const Vector b = v[(a + 1) % 4];
  Vector early = _mm512_add_epi32(
      v[a], _mm512_add_epi32(x[kWord[i]], _mm512_set1_epi32(static_cast<int>(sine[i]))));
  asm("" : "+v"(early)); // or the compiler adds f first and x and ac after it
  const Vector f = _mm512_ternarylogic_epi32(b, v[(a + 2) % 4], v[(a + 3) % 4], kFunction[i / 16]);
  v[a] = _mm512_add_epi32(b, _mm512_rol_epi32(_mm512_add_epi32(early, f), kShift[i]));
}

template <std::size_t... i>
[[gnu::target("avx512f"), gnu::always_inline]] inline void
Steps(Vector (&v)[4], const Vector (&x)[16], const std::uint32_t *sine, std::index_sequence<i...>) {
  (Step<i>(v, x, sine), ...);
}

} // namespace

[[gnu::target("avx512f")]] void
FoldSixteenAvx512(std::uint32_t *words, const std::uint8_t *const *blocks, std::size_t count) {
  const std::uint32_t *sine = SineFromMemory();
  Vector v[4];
  for (std::size_t k = 0; k < 4; ++k)
    v[k] = _mm512_loadu_si512(words + k * kMaxLanes);
  for (std::size_t n = 0; n < count; ++n) {
    Vector x[16];
    LoadWords(blocks, 64 * n, x);
    const Vector start[4] = {v[0], v[1], v[2], v[3]};
    Steps(v, x, sine, std::make_index_sequence<64>());
    for (std::size_t k = 0; k < 4; ++k)
      v[k] = _mm512_add_epi32(v[k], start[k]);
  }
  for (std::size_t k = 0; k < 4; ++k)
    _mm512_storeu_si512(words + k * kMaxLanes, v[k]);
}

} // namespace quillsum::lanes
