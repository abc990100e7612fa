// The process-wide random generator: the platform's linear congruential generator
// (seed := seed × 134775813 + 1 mod 2^32), so a seed gives the same draws on every machine. Random(k)
// takes the high 32 bits of seed × k: uniform in [0, k) for k > 0 (in (k, 0] for k < 0, 0 for k = 0);
// RandomFloat() is seed / 2^32, uniform in [0, 1).
//
// One generator for the whole process, seeded once at start-up by the rtl unit's initialisation
// (Randomize); tests pin it with SetRandSeed. The state is one relaxed atomic word: draws from several
// threads never tear it (they may see the same draw), and a draw costs a multiply and an add.
#pragma once

#include <cstdint>

std::int32_t Random(std::int32_t Range);
double RandomFloat();
// A uniform integer in [From, To) (either order), as the platform's RandomRange.
std::int32_t RandomRange(std::int32_t From, std::int32_t To);
// Seeds from the clock; the start-up list calls it once.
void Randomize();
void SetRandSeed(std::uint32_t Seed);
std::uint32_t GetRandSeed();
