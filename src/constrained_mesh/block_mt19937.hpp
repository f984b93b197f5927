// MT19937 that regenerates and tempers its 624-word block four words at a
// time (SSE2), for the sampler's long runs of draws.
//
// It continues exactly where a std::mt19937 stands and hands the state back
// afterwards, so the caller's engine ends where drawing from it directly would
// have left it. The state travels through the engine's text form, which in
// libstdc++ is the 624 state words followed by the position in the block;
// other builds (and builds without SSE2) do without this class, and
// VELLUMCUT_HAVE_BLOCK_MT19937 says whether it is there.
#pragma once

#include <cstdint>
#include <random>
#include <sstream>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vellumcut {

#if defined(__GLIBCXX__) && defined(__SSE2__)
#define VELLUMCUT_HAVE_BLOCK_MT19937 1

class BlockMt19937 {
public:
    explicit BlockMt19937(const std::mt19937& engine) {
        std::stringstream text;
        text << engine;
        for (std::uint32_t& word : state_) {
            unsigned long value = 0;
            text >> value;
            word = static_cast<std::uint32_t>(value);
        }
        text >> next_;
        if (next_ < kWords) temper_block();  // the outputs left in the current block
    }

    // Leaves `engine` in this engine's state.
    void store(std::mt19937& engine) const {
        std::stringstream text;
        for (std::uint32_t word : state_) text << word << ' ';
        text << next_;
        text >> engine;
    }

    std::uint32_t operator()() {
        if (next_ >= kWords) {
            twist();
            temper_block();
            next_ = 0;
        }
        return output_[next_++];
    }

private:
    static constexpr int kWords = 624;
    static constexpr int kShift = 397;

    // x[i] from x[i], x[i + 1] and x[i + 397] (indices modulo 624), four words.
    static __m128i next_words(__m128i xi, __m128i xi1, __m128i xim) {
        const __m128i y = _mm_or_si128(_mm_and_si128(xi, _mm_set1_epi32(INT32_MIN)),
                                       _mm_and_si128(xi1, _mm_set1_epi32(0x7fffffff)));
        const __m128i odd = _mm_sub_epi32(_mm_setzero_si128(), _mm_and_si128(y, _mm_set1_epi32(1)));
        const __m128i twist = _mm_and_si128(odd, _mm_set1_epi32(static_cast<int>(0x9908b0dfu)));
        return _mm_xor_si128(_mm_xor_si128(xim, _mm_srli_epi32(y, 1)), twist);
    }
    static std::uint32_t next_word(std::uint32_t xi, std::uint32_t xi1, std::uint32_t xim) {
        const std::uint32_t y = (xi & 0x80000000u) | (xi1 & 0x7fffffffu);
        return xim ^ (y >> 1) ^ ((y & 1u) != 0 ? 0x9908b0dfu : 0u);
    }
    __m128i words(int i) const { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(state_ + i)); }
    void put(int i, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(state_ + i), v); }

    // The recurrence in place, in the order the scalar loop runs it: words
    // 0..226 read x[i + 397] before it is replaced, words 227..623 read
    // x[i - 227], replaced earlier in the same pass.
    void twist() {
        static_assert(kWords - kShift == 227 && (kWords - 1 - 227) % 4 == 0, "block layout");
        for (int i = 0; i < 224; i += 4) put(i, next_words(words(i), words(i + 1), words(i + kShift)));
        for (int i = 224; i < 227; ++i) state_[i] = next_word(state_[i], state_[i + 1], state_[i + kShift]);
        for (int i = 227; i < kWords - 1; i += 4) {
            put(i, next_words(words(i), words(i + 1), words(i + kShift - kWords)));
        }
        state_[kWords - 1] = next_word(state_[kWords - 1], state_[0], state_[kShift - 1]);
    }

    void temper_block() {
        for (int i = 0; i < kWords; i += 4) {
            __m128i y = words(i);
            y = _mm_xor_si128(y, _mm_srli_epi32(y, 11));
            y = _mm_xor_si128(y, _mm_and_si128(_mm_slli_epi32(y, 7), _mm_set1_epi32(static_cast<int>(0x9d2c5680u))));
            y = _mm_xor_si128(y, _mm_and_si128(_mm_slli_epi32(y, 15), _mm_set1_epi32(static_cast<int>(0xefc60000u))));
            y = _mm_xor_si128(y, _mm_srli_epi32(y, 18));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(output_ + i), y);
        }
    }

    std::uint32_t state_[kWords];
    std::uint32_t output_[kWords];
    unsigned long next_ = kWords;  // position in the block; kWords: twist first
};

#endif

}  // namespace vellumcut
