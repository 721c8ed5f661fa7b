// A millisecond counter for timeouts; it never jumps with the wall clock.
#pragma once

#include <cstdint>

// Milliseconds since an arbitrary point in the past (CLOCK_MONOTONIC).
uint64_t GetTickCount64();

// Milliseconds from AOld to ANew; unsigned arithmetic also spans a wrap of the counter.
uint64_t GetTickDiff64(uint64_t AOld, uint64_t ANew);
