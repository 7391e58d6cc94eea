#pragma once
// The value types of the window classes' published properties.

#include "runtime/Sets.h"

#include <array>
#include <cstdint>
#include <string_view>

enum class TAlignment : std::uint8_t { taLeftJustify, taRightJustify, taCenter };
inline constexpr std::array<std::string_view, 3> AlignmentNames{"taLeftJustify", "taRightJustify",
                                                                "taCenter"};

// The system colours a control may take.
enum class TColor : std::uint8_t { clDefault, clBtnFace, clWindow };
inline constexpr std::array<std::string_view, 3> ColorNames{"clDefault", "clBtnFace", "clWindow"};

enum class TFormBorderStyle : std::uint8_t { bsSizeable, bsSingle, bsDialog };
inline constexpr std::array<std::string_view, 3> BorderStyleNames{"bsSizeable", "bsSingle",
                                                                  "bsDialog"};

enum class TBorderIcon : std::uint8_t { biSystemMenu, biMinimize, biMaximize };
using TBorderIcons = TSet<TBorderIcon, std::uint8_t>;
inline constexpr std::array<std::string_view, 3> BorderIconNames{"biSystemMenu", "biMinimize",
                                                                 "biMaximize"};

enum class TPosition : std::uint8_t { poDesigned, poScreenCenter };
inline constexpr std::array<std::string_view, 2> PositionNames{"poDesigned", "poScreenCenter"};

enum class TComboBoxStyle : std::uint8_t { csDropDown, csDropDownList };
inline constexpr std::array<std::string_view, 2> ComboBoxStyleNames{"csDropDown", "csDropDownList"};

enum class TCursor : std::uint8_t { crDefault, crHourGlass };

enum class TMsgIcon : std::uint8_t { miError, miInformation };

// A key with modifiers that runs an action: Key is an upper-case letter.
struct TShortCut {
    char Key = 0;
    bool Ctrl = false;
    bool Shift = false;
};
