#pragma once
// A set of the members of an enumeration, held as a bit set in which member n is bit n.

#include <cstdint>
#include <initializer_list>
#include <type_traits>

// A set of the members of the enumeration E, in the unsigned integer Bits.
template <typename E, typename Bits = std::uint32_t> class TSet {
    static_assert(std::is_enum_v<E>);
    static_assert(std::is_unsigned_v<Bits>);

public:
    // The integer that holds the set.
    using BitsType = Bits;

    constexpr TSet() = default;
    // The set of the members listed.
    constexpr TSet(std::initializer_list<E> Members) {
        for (E m : Members) {
            Include(m);
        }
    }

    // The set whose bits are Value, and back.
    [[nodiscard]] static constexpr TSet FromBits(Bits Value) {
        TSet s;
        s.FBits = Value;
        return s;
    }
    [[nodiscard]] constexpr Bits ToBits() const { return FBits; }

    // Whether Member is in the set.
    [[nodiscard]] constexpr bool Contains(E Member) const { return (FBits & Bit(Member)) != 0; }
    // Whether no member is.
    [[nodiscard]] constexpr bool Empty() const { return FBits == 0; }

    // Adds Member; the set itself.
    constexpr TSet& Include(E Member) {
        FBits = static_cast<Bits>(FBits | Bit(Member));
        return *this;
    }
    // Takes Member out; the set itself.
    constexpr TSet& Exclude(E Member) {
        FBits = static_cast<Bits>(FBits & ~Bit(Member));
        return *this;
    }

    friend constexpr bool operator==(TSet, TSet) = default;
    friend constexpr TSet operator|(TSet A, TSet B) { return FromBits(A.FBits | B.FBits); }
    friend constexpr TSet operator&(TSet A, TSet B) { return FromBits(A.FBits & B.FBits); }
    friend constexpr TSet operator-(TSet A, TSet B) { return FromBits(A.FBits & ~B.FBits); }

private:
    static constexpr Bits Bit(E Member) {
        return static_cast<Bits>(Bits{1} << static_cast<unsigned>(Member));
    }

    Bits FBits = 0;
};
