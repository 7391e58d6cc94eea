// The IMEI's check digit: the Luhn digit of the fourteen digits before it.

#include "app/Imei.h"

#include <gtest/gtest.h>

TEST(Imei, TheCheckDigitIsTheLuhnDigitOfTheFourteenBefore) {
    for (const char* Right : {"490154203237518", "352099001761481", "356938035643809",
                              "013077009235238", "357421098765438"}) {
        EXPECT_EQ(ImeiCheckDigitRight(Right), true) << Right;
        EXPECT_EQ(ImeiVerdictText(Right), "IMEI check digit right") << Right;
    }
    // A digit changed anywhere, two neighbours swapped, the check digit itself off by one.
    for (const char* Wrong : {"490154203237517", "352099001761491", "356938305643809",
                              "357421098765432", "869012047291116"}) {
        EXPECT_EQ(ImeiCheckDigitRight(Wrong), false) << Wrong;
        EXPECT_EQ(ImeiVerdictText(Wrong), "check digit wrong: not a valid IMEI") << Wrong;
    }
}

TEST(Imei, AnAnswerThatIsNoFifteenDigitNumberGetsNoVerdict) {
    // An ESN, a MEID (hexadecimal), fourteen digits, sixteen (an IMEISV), a modem's serial,
    // an IMEI with more on its line, and nothing.
    for (const char* Other :
         {"8F3A21C4", "A1000009A1B2C3", "35209900176148", "3520990017614801", "SN-2026-0314",
          "352099001761481 Build 2026-03-14", " 352099001761481", ""}) {
        EXPECT_EQ(ImeiCheckDigitRight(Other), std::nullopt) << Other;
        EXPECT_EQ(ImeiVerdictText(Other), "") << Other;
    }
}
