// A set of enumeration values: bit n holds the value of ordinal n.
#pragma once

#include <cstdint>
#include <initializer_list>

template <class E>
class TEnumSet {
public:
    constexpr TEnumSet() = default;
    constexpr TEnumSet(std::initializer_list<E> AValues) {
        for (E Value : AValues)
            Include(Value);
    }
    static constexpr TEnumSet FromBits(uint32_t ABits) {
        TEnumSet Result;
        Result.FBits = ABits;
        return Result;
    }
    constexpr bool Contains(E AValue) const { return (FBits >> static_cast<unsigned>(AValue)) & 1u; }
    constexpr void Include(E AValue) { FBits |= 1u << static_cast<unsigned>(AValue); }
    constexpr void Exclude(E AValue) { FBits &= ~(1u << static_cast<unsigned>(AValue)); }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr uint32_t Bits() const { return FBits; }
    constexpr bool operator==(const TEnumSet&) const = default;

private:
    uint32_t FBits = 0;
};
