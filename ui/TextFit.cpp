#include "ui/TextFit.h"

#include <algorithm>

TTextRoom MessageTextRoom(int WorkWidth, int WorkHeight) {
    return {std::min(WorkWidth / 4, 250), WorkHeight / 2};
}

std::size_t Utf8CharacterStart(std::string_view Text, std::size_t Position) {
    if (Position >= Text.size()) {
        return Text.size();
    }
    const auto Byte = [&Text](std::size_t At) { return static_cast<unsigned char>(Text[At]); };
    std::size_t Start = Position;
    while (Start > 0 && Position - Start < 3 && (Byte(Start) & 0xC0U) == 0x80U) {
        --Start;
    }
    // The lead byte there begins a sequence long enough to hold Position; else the byte at
    // Position is a stray one that stands for itself.
    const unsigned Lead = Byte(Start);
    const std::size_t Length = Lead >= 0xF0U ? 4 : Lead >= 0xE0U ? 3 : Lead >= 0xC0U ? 2 : 1;
    return Position < Start + Length ? Start : Position;
}

std::size_t
BytesThatFit(std::string_view Text, const std::function<bool(std::size_t)>& Fits,
             const std::function<std::size_t(std::string_view, std::size_t)>& CharacterStart) {
    if (Fits(Text.size())) {
        return Text.size();
    }
    std::size_t Kept = 0; // fits, with the ellipsis (or nothing does)
    std::size_t TooMany = Text.size();
    while (TooMany - Kept > 1) {
        const std::size_t Middle = Kept + (TooMany - Kept) / 2;
        (Fits(Middle) ? Kept : TooMany) = Middle;
    }
    return CharacterStart(Text, Kept); // never part of a character
}

std::string_view ListItemName(std::string_view Item) {
    return Item.substr(0, std::min(Item.find(" - "), Item.find(" (")));
}
