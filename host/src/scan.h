// Kernel host: the fills and scans behind the pool's and the I/O manager's
// checks (fresh and freed patterns, the guard behind a block, the poison in a
// reply). They run over every byte a record passes through, so they go
// sixteen bytes at a time; what they report (the first byte that differs) is
// the same as a byte-by-byte walk would find.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace khost {

// The first of `bytes` at `memory` that is not `fill`, or `bytes`.
inline size_t FindNotFilled(const uint8_t* memory, size_t bytes, uint8_t fill) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i pattern = _mm_set1_epi8(static_cast<char>(fill));
  auto same = [&](size_t at) {
    return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(memory + at)), pattern);
  };
  // Whole blocks of 128 that all match are passed over on one test; the first
  // that does not is looked at sixteen bytes at a time below.
  auto all64 = [&](size_t at) {
    return _mm_and_si128(_mm_and_si128(same(at), same(at + 16)), _mm_and_si128(same(at + 32), same(at + 48)));
  };
  for (; i + 128 <= bytes; i += 128)
    if (_mm_movemask_epi8(_mm_and_si128(all64(i), all64(i + 64))) != 0xFFFF) break;
  for (; i + 16 <= bytes; i += 16) {
    const unsigned differ = static_cast<unsigned>(_mm_movemask_epi8(same(i))) ^ 0xFFFFu;
    if (differ) return i + static_cast<size_t>(__builtin_ctz(differ));
  }
#endif
  for (; i < bytes; ++i)
    if (memory[i] != fill) return i;
  return bytes;
}

// Byte i of a poisoned buffer holds pattern[i % 4].
inline uint8_t PatternByte(const uint8_t (&pattern)[4], size_t offset) { return pattern[offset % 4]; }

#if defined(__SSE2__)
// Sixteen bytes of the pattern as they lie from `offset` on.
inline __m128i PhasedPattern(const uint8_t (&pattern)[4], size_t offset) {
  uint32_t word;
  std::memcpy(&word, pattern, sizeof(word));
  const unsigned shift = 8 * static_cast<unsigned>(offset % 4);
  if (shift) word = (word >> shift) | (word << (32 - shift));
  return _mm_set1_epi32(static_cast<int>(word));
}
#endif

// Bytes [from, to) of `buffer` set to the pattern, in phase with offset 0.
inline void FillPattern(uint8_t* buffer, size_t from, size_t to, const uint8_t (&pattern)[4]) {
  size_t i = from;
#if defined(__SSE2__)
  if (to - from >= 16) {
    const __m128i value = PhasedPattern(pattern, from);
    for (; i + 64 <= to; i += 64) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(buffer + i), value);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(buffer + i + 16), value);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(buffer + i + 32), value);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(buffer + i + 48), value);
    }
    for (; i + 16 <= to; i += 16) _mm_storeu_si128(reinterpret_cast<__m128i*>(buffer + i), value);
  }
#endif
  for (; i < to; ++i) buffer[i] = PatternByte(pattern, i);
}

// The first i in [from, to - 1) where bytes i and i + 1 both still hold the
// pattern, or `to`: one byte of it may be the driver's own value by chance,
// two in a row in phase are taken for bytes it never wrote.
inline size_t FirstPatternPair(const uint8_t* buffer, size_t from, size_t to, const uint8_t (&pattern)[4]) {
  size_t i = from;
  bool lastMatched = false;  // byte i - 1 held the pattern
#if defined(__SSE2__)
  if (to - from >= 16) {
    const __m128i value = PhasedPattern(pattern, from);
    auto same = [&](size_t at) {
      return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(buffer + at)), value);
    };
    while (i + 16 <= to) {
      // 64 bytes none of which matches hold no pair, nor the first half of one.
      if (i + 64 <= to) {
        const __m128i any = _mm_or_si128(_mm_or_si128(same(i), same(i + 16)), _mm_or_si128(same(i + 32), same(i + 48)));
        if (_mm_movemask_epi8(any) == 0) {
          i += 64;
          lastMatched = false;
          continue;
        }
      }
      const unsigned matched = static_cast<unsigned>(_mm_movemask_epi8(same(i)));
      if (lastMatched && (matched & 1u)) return i - 1;
      const unsigned pairs = matched & (matched >> 1);
      if (pairs) return i + static_cast<size_t>(__builtin_ctz(pairs));
      lastMatched = (matched >> 15) & 1u;
      i += 16;
    }
  }
#endif
  for (; i < to; ++i) {
    const bool matched = buffer[i] == PatternByte(pattern, i);
    if (lastMatched && matched) return i - 1;
    lastMatched = matched;
  }
  return to;
}

// Copies bytes [from, to) of `source` to the same offsets of `target` and
// returns what FirstPatternPair(source, from, to, pattern) returns, reading
// each byte once while no block of 64 holds a byte of the pattern.
inline size_t CopyFindingPatternPair(uint8_t* target, const uint8_t* source, size_t from, size_t to,
                                     const uint8_t (&pattern)[4]) {
  size_t i = from;
#if defined(__SSE2__)
  if (to - from >= 64) {
    const __m128i value = PhasedPattern(pattern, from);
    for (; i + 64 <= to; i += 64) {
      auto* from16 = reinterpret_cast<const __m128i*>(source + i);
      auto* to16 = reinterpret_cast<__m128i*>(target + i);
      const __m128i a = _mm_loadu_si128(from16), b = _mm_loadu_si128(from16 + 1);
      const __m128i c = _mm_loadu_si128(from16 + 2), d = _mm_loadu_si128(from16 + 3);
      _mm_storeu_si128(to16, a);
      _mm_storeu_si128(to16 + 1, b);
      _mm_storeu_si128(to16 + 2, c);
      _mm_storeu_si128(to16 + 3, d);
      const __m128i any = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(a, value), _mm_cmpeq_epi8(b, value)),
                                       _mm_or_si128(_mm_cmpeq_epi8(c, value), _mm_cmpeq_epi8(d, value)));
      if (_mm_movemask_epi8(any)) break;
    }
  }
#endif
  // No byte before i held the pattern, so no pair starts before it.
  std::memcpy(target + i, source + i, to - i);
  return FirstPatternPair(source, i, to, pattern);
}

}  // namespace khost
