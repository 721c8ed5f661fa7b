// The global unit's IPv6 address texts.
#include "net/kbvIdGlobal.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/Format.h"

namespace {
int HexValue(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

// Parses colon-separated groups; AAllowIPv4 lets the last one be a dotted quad.
bool ParseIPv6Groups(std::string_view AText, bool AAllowIPv4, std::vector<uint16_t>& VWords) {
    if (AText.empty())
        return true;
    size_t Start = 0;
    for (;;) {
        size_t Colon = AText.find(':', Start);
        std::string_view Group = AText.substr(Start, Colon == std::string_view::npos ? std::string_view::npos : Colon - Start);
        if (Colon == std::string_view::npos && AAllowIPv4 && Group.find('.') != std::string_view::npos) {
            uint32_t Address = 0;
            int Parts = 0;
            size_t P = 0;
            while (P <= Group.size()) {
                size_t Dot = std::min(Group.find('.', P), Group.size());
                std::string_view Part = Group.substr(P, Dot - P);
                if (Part.empty() || Part.size() > 3 || !IsNumeric(Part) || (Part.size() > 1 && Part[0] == '0'))
                    return false;
                int Value = std::stoi(std::string(Part));
                if (Value > 255)
                    return false;
                Address = (Address << 8) | static_cast<uint32_t>(Value);
                ++Parts;
                P = Dot + 1;
            }
            if (Parts != 4)
                return false;
            VWords.push_back(static_cast<uint16_t>(Address >> 16));
            VWords.push_back(static_cast<uint16_t>(Address & 0xFFFF));
            return true;
        }
        if (Group.empty() || Group.size() > 4)
            return false;
        unsigned Value = 0;
        for (char C : Group) {
            int H = HexValue(C);
            if (H < 0)
                return false;
            Value = (Value << 4) | static_cast<unsigned>(H);
        }
        VWords.push_back(static_cast<uint16_t>(Value));
        if (Colon == std::string_view::npos)
            return true;
        Start = Colon + 1;
    }
}

}  // namespace

std::string IPv6AddressToStr(const TIdIPv6Address& AValue) {
    // The longest run of two or more zero words (the first of equals) becomes "::".
    int BestStart = -1, BestLength = 1;
    for (int I = 0; I < 8;) {
        int J = I;
        while (J < 8 && AValue[static_cast<size_t>(J)] == 0)
            ++J;
        if (J - I > BestLength)
            BestStart = I, BestLength = J - I;
        I = J > I ? J : I + 1;
    }
    std::string Result;
    for (int I = 0; I < 8; ++I) {
        if (I == BestStart) {
            Result += "::";
            I += BestLength - 1;
            continue;
        }
        if (!Result.empty() && Result.back() != ':')
            Result += ':';
        Result += Format("%x", AValue[static_cast<size_t>(I)]);
    }
    return Result;
}

bool TryStrToIPv6(std::string_view AText, TIdIPv6Address& VValue) {
    size_t Gap = AText.find("::");
    std::vector<uint16_t> Head, Tail;
    if (Gap == std::string_view::npos) {
        if (!ParseIPv6Groups(AText, true, Head) || Head.size() != 8)
            return false;
    } else {
        std::string_view Right = AText.substr(Gap + 2);
        if (Right.find("::") != std::string_view::npos || !ParseIPv6Groups(AText.substr(0, Gap), false, Head) ||
            !ParseIPv6Groups(Right, true, Tail) || Head.size() + Tail.size() > 7)
            return false;
    }
    VValue.fill(0);
    std::copy(Head.begin(), Head.end(), VValue.begin());
    std::copy(Tail.begin(), Tail.end(), VValue.end() - static_cast<std::ptrdiff_t>(Tail.size()));
    return true;
}

std::string MakeCanonicalIPv6Address(std::string_view AText) {
    TIdIPv6Address Address;
    if (!TryStrToIPv6(AText, Address))
        return {};
    std::string Result;
    for (uint16_t Word : Address) {
        if (!Result.empty())
            Result += ':';
        Result += Format("%04X", Word);
    }
    return Result;
}
