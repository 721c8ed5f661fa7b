#include "core/Ticks.h"

#include <ctime>

uint64_t GetTickCount64() {
    std::timespec Clock{};
    clock_gettime(CLOCK_MONOTONIC, &Clock);
    return static_cast<uint64_t>(Clock.tv_sec) * 1000 + static_cast<uint64_t>(Clock.tv_nsec) / 1000000;
}

uint64_t GetTickDiff64(uint64_t AOld, uint64_t ANew) { return ANew - AOld; }
