#include "tests/support/Base64.h"

#include <cstdint>

std::string DecodeBase64(const std::string& AText) {
    static const std::string Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string Result;
    uint32_t Bits = 0;
    int Count = 0;
    for (char C : AText) {
        const size_t Value = Alphabet.find(C);
        if (Value == std::string::npos)
            continue;
        Bits = (Bits << 6) | static_cast<uint32_t>(Value);
        Count += 6;
        if (Count >= 8) {
            Count -= 8;
            Result += static_cast<char>((Bits >> Count) & 0xFF);
        }
    }
    return Result;
}
