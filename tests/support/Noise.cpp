#include "tests/support/Noise.h"

#include <cstdint>

std::string Noise(size_t ASize) {
    std::string Result(ASize, '\0');
    uint32_t State = 2463534242u;
    for (char& C : Result) {
        State ^= State << 13;
        State ^= State >> 17;
        State ^= State << 5;
        C = static_cast<char>(State);
    }
    return Result;
}
