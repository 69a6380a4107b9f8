#pragma once
// Interleaved RGB888 pixels split into their channels and joined again sixteen at a time,
// three byte shuffles a 16-byte register (the compiler's own splitting of three channels
// costs several shuffles a vector), for hot loops that run where the processor has AVX2.
// Code using them checks hasAvx2() and keeps a plain loop for other processors; with
// LUMETRA_VECTOR=plain in the environment the plain loops run everywhere (the tests check
// them so against the same truths).

#if defined(__x86_64__) || defined(__i386__)
#define LUMETRA_X86_SIMD 1
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <immintrin.h>

namespace lumetra::measure::simd {

inline bool hasAvx2() {
    static const bool has = [] {
        const char* only = std::getenv("LUMETRA_VECTOR");
        return __builtin_cpu_supports("avx2") && !(only && std::strcmp(only, "plain") == 0);
    }();
    return has;
}

// Entry i of a mask picks the byte that lands at i, or nothing (-128).
struct ShuffleMasks {
    alignas(16) std::int8_t split[3][3][16]; // [channel][input register][output byte]
    alignas(16) std::int8_t join[3][3][16];  // [output register][channel][output byte]
    ShuffleMasks() {
        for (int c = 0; c < 3; ++c) {
            for (int k = 0; k < 3; ++k) {
                for (int i = 0; i < 16; ++i) {
                    const int from = 3 * i + c; // byte of channel c of pixel i
                    split[c][k][i] = std::int8_t(from / 16 == k ? from % 16 : -128);
                    const int to = 16 * k + i; // output byte: channel to % 3 of pixel to / 3
                    join[k][c][i] = std::int8_t(to % 3 == c ? to / 3 : -128);
                }
            }
        }
    }
};

inline const ShuffleMasks& masks() {
    static const ShuffleMasks m;
    return m;
}

__attribute__((target("avx2"))) inline __m128i shuffle3(const __m128i in[3],
                                                        const std::int8_t (*m)[16]) {
    auto mask = [](const std::int8_t* k) {
        return _mm_load_si128(reinterpret_cast<const __m128i*>(k));
    };
    return _mm_or_si128(
        _mm_or_si128(_mm_shuffle_epi8(in[0], mask(m[0])), _mm_shuffle_epi8(in[1], mask(m[1]))),
        _mm_shuffle_epi8(in[2], mask(m[2])));
}

// The 16 pixels (48 bytes) at p: ch[c] holds channel c.
__attribute__((target("avx2"))) inline void split16(const ShuffleMasks& m, const std::uint8_t* p,
                                                    __m128i ch[3]) {
    const __m128i in[3] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32))};
    for (int c = 0; c < 3; ++c) {
        ch[c] = shuffle3(in, m.split[c]);
    }
}

// Channels ch[0..2] of 16 pixels to 48 interleaved bytes at out.
__attribute__((target("avx2"))) inline void join16(const ShuffleMasks& m, const __m128i ch[3],
                                                   std::uint8_t* out) {
    for (int k = 0; k < 3; ++k) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * k), shuffle3(ch, m.join[k]));
    }
}

} // namespace lumetra::measure::simd
#endif
