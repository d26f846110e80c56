// The C library's rand() sequence, for the rand() and srand() the host gives
// the module (thread_rand.cpp in lensflare, bound_rand.cpp in a link namespace
// of the module's own): the exact values for every seed, on a state the caller
// keeps where it likes.
//
// The generator is the C library's additive feedback one: 31 words seeded by
// the multiplicative congruential rule seed x 16807 mod (2^31 - 1), each new
// word the sum of the words 31 and 3 back (wrapping in 32 bits), the first 310
// sums discarded, each value the sum shifted right by one. Seed 0 counts as 1.
#pragma once

#include <cstdint>

namespace lfhost {

struct RandState {
  static constexpr int kDegree = 31;      // words of state
  static constexpr int kSeparation = 3;   // the second tap, this many words back
  static constexpr int kDiscarded = 310;  // sums thrown away after seeding
  uint32_t word[kDegree];
  int front;  // the word the next sum replaces
  int rear;   // the word added to it
};

constexpr uint32_t NextRandValue(RandState& s) {
  const uint32_t sum = s.word[s.front] + s.word[s.rear];
  s.word[s.front] = sum;
  s.front = s.front + 1 == RandState::kDegree ? 0 : s.front + 1;
  s.rear = s.rear + 1 == RandState::kDegree ? 0 : s.rear + 1;
  return sum >> 1;
}

// The words are signed 32-bit in the seeding rule: a seed of 2^31 or more starts
// negative, and the remainder trick works on those values as they are.
constexpr RandState SeededRand(unsigned seed) {
  RandState s{};
  int32_t word = static_cast<int32_t>(seed == 0 ? 1u : seed);
  s.word[0] = static_cast<uint32_t>(word);
  for (int i = 1; i < RandState::kDegree; ++i) {
    // 16807 x word mod (2^31 - 1) without overflow, by Schrage's split.
    const int64_t hi = word / 127773;
    const int64_t lo = word % 127773;
    word = static_cast<int32_t>(16807 * lo - 2836 * hi);
    if (word < 0) word += 2147483647;
    s.word[i] = static_cast<uint32_t>(word);
  }
  s.front = RandState::kSeparation;
  s.rear = 0;
  for (int i = 0; i < RandState::kDiscarded; ++i) NextRandValue(s);
  return s;
}

}  // namespace lfhost
