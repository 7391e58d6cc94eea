#include "runtime/SysUtils.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string ConvertErrorOf(std::string_view Fmt, std::initializer_list<FormatArg> Args) {
    try {
        (void)Format(Fmt, Args);
    } catch (const EConvertError& e) {
        return e.Message();
    }
    return "no error";
}

TEST(Format, FillsPlaceholdersInOrder) {
    EXPECT_EQ(Format("COM%d", {4}), "COM4");
    EXPECT_EQ(Format("Error (%d), %s", {-5, "Access is denied."}), "Error (-5), Access is denied.");
    EXPECT_EQ(Format("100%% of %s", {std::string("it")}), "100% of it");
    EXPECT_EQ(Format("%d", {INT64_MIN}), "-9223372036854775808");
    EXPECT_EQ(Format("%d%d", {std::uint8_t{7}, 0ULL}), "70");
    EXPECT_EQ(Format("%s", {std::string_view("a\0b", 3)}), std::string("a\0b", 3));
    EXPECT_EQ(Format("", {}), "");
}

TEST(Format, IgnoresUnusedArguments) {
    EXPECT_EQ(Format("plain", {1, "two"}), "plain");
    EXPECT_EQ(Format("%s only", {"first", 2}), "first only");
}

TEST(Format, ArgumentTextIsNeverInterpreted) {
    EXPECT_EQ(Format("Port %s", {"%s%d%n%%"}), "Port %s%d%n%%");
}

TEST(Format, HostileFormatsRaiseAClearError) {
    // A device name the user typed becomes a format; none of these may do harm.
    for (const char* fmt : {"/dev/%n", "%x", "COM%", "%999999999d", "%-10s", "%.3d", "%p", "%1$s",
                            "%*d", "%ld", "%%%"}) {
        SCOPED_TRACE(fmt);
        EXPECT_EQ(ConvertErrorOf(fmt, {1, "a", 2}),
                  "Format '" + std::string(fmt) + "' invalid or incompatible with argument");
    }
}

TEST(Format, MissingOrWrongKindArgumentRaises) {
    EXPECT_EQ(ConvertErrorOf("COM%d", {}), "No argument for format 'COM%d'");
    EXPECT_EQ(ConvertErrorOf("%s %s", {"one"}), "No argument for format '%s %s'");
    EXPECT_EQ(ConvertErrorOf("COM%d", {"4"}),
              "Format 'COM%d' invalid or incompatible with argument");
    EXPECT_EQ(ConvertErrorOf("%s", {4}), "Format '%s' invalid or incompatible with argument");
}

TEST(SameText, IgnoresAsciiCaseOnly) {
    EXPECT_TRUE(SameText("OnRxChar", "onrxCHAR"));
    EXPECT_FALSE(SameText("abc", "abcd"));
    EXPECT_FALSE(SameText("\xC4", "\xE4")); // bytes above ASCII compare exactly
    EXPECT_FALSE(SameText("[", "{"));
}

} // namespace
