#pragma once
// How much of a text the window shows where its room is bounded, the same on every backend:
// a message box's text on the screen, a port list's item in its closed field. Pure functions
// of their arguments: any thread.

#include <cstddef>
#include <functional>
#include <string_view>

// The room a message box's text has on a screen whose work area is WorkWidth x WorkHeight
// pixels: half its height, measured a quarter of its width and at most 250 pixels wide. A
// box wraps a long text no narrower (Qt's about half the screen wide, Wine's 260 pixels on a
// 1024 pixel wide one), so its text is never taller than measured there.
struct TTextRoom {
    int Width;
    int Height;
};
[[nodiscard]] TTextRoom MessageTextRoom(int WorkWidth, int WorkHeight);

// The start of the UTF-8 character that holds the byte at Position: Position itself unless
// that byte continues a sequence begun before it. Text.size() for Position at or past the end.
[[nodiscard]] std::size_t Utf8CharacterStart(std::string_view Text, std::size_t Position);

// How many bytes of Text a box shows: all when Fits(Text.size()); else the most that Fits
// followed by an ellipsis. Fits(Kept) measures the first Kept bytes, followed by the
// backend's ellipsis when they are fewer than all. The cut falls before a whole character:
// CharacterStart(Text, Position) is the start of the one that holds the byte at Position.
// A device's refusal may be kilobytes long; the whole text stays in the trace and "Copy
// exchange".
[[nodiscard]] std::size_t
BytesThatFit(std::string_view Text, const std::function<bool(std::size_t)>& Fits,
             const std::function<std::size_t(std::string_view, std::size_t)>& CharacterStart);

// The name of a port list's item, which its closed field shows whole: the text before the
// first " - " or " (" (what follows is a port's description or a mark such as
// " (system console)", shown in the open list, as wide as its longest item).
[[nodiscard]] std::string_view ListItemName(std::string_view Item);
