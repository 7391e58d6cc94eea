// Many read runs in one process, each opening, using and closing the port: descriptors,
// threads and memory stay flat.

#include "app/PhoneReader.h"
#include "runtime/Thread.h"
#include "tests/faults/ProcessProbe.h"
#include "tools/PhoneSim.h"

#include <gtest/gtest.h>

namespace {

TEST(Endurance, ThousandsOfOpenCloseCyclesWithTrafficLeaveNothingBehind) {
    SetMainThread();
    // Under a sanitizer each cycle costs many times more; fewer still find a leak per cycle.
    const int Runs = UnderSanitizer() ? 300 : 5000;
    TPhoneSim Phone;
    const TPortChoice Port{0, Phone.DevicePath()};
    ASSERT_EQ(ReadPhoneIdentity(Port).Outcome, TReadOutcome::roComplete); // warm up
    const TResourceCount Before = CountResources();
    const long PeakBefore = PeakResidentKiB();
    for (int I = 0; I < Runs; ++I) {
        const TReadResult Result = ReadPhoneIdentity(Port);
        ASSERT_EQ(Result.Outcome, TReadOutcome::roComplete) << "run " << I << ": " << Result.Error;
        ASSERT_EQ(Result.Answers[6], "357421098765438");
    }
    EXPECT_EQ(CountResources(), Before);
    EXPECT_TRUE(Phone.WaitForCommands(7 * (Runs + 1), std::chrono::seconds(10)));
    if (!UnderSanitizer()) {
        EXPECT_LT(PeakResidentKiB() - PeakBefore, 4 * 1024) << "KiB grown";
    }
}

} // namespace
