// Small routines, synchronisation objects and the component's error messages.

#include "serial/VaCommPrivate.h"
#include "serial/VaConst.h"
#include "serial/VaUtils.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <utility>

namespace {

TEST(VaUtils, TimeoutSurvivesTheTickCountWrap) {
    TVaTimeout T;
    T.StartTick = 0xFFFFFFFFu - 15; // 16 ticks below the wrap
    T.Interval = 32;
    EXPECT_FALSE(TimeoutExpired(T, 16)); // 32 elapsed: equal is not yet expired
    EXPECT_TRUE(TimeoutExpired(T, 17));
    EXPECT_EQ(TimeoutRemaining(T, 0), 16u);
    EXPECT_EQ(TimeoutRemaining(T, 17), 0u);

    StartTimeout(T, 60000);
    EXPECT_FALSE(TimeoutExpired(T));
}

TEST(VaUtils, TestFlagsIgnoresBit31) {
    EXPECT_TRUE(TestFlags(129, 128));
    EXPECT_FALSE(TestFlags(1, 2));
    EXPECT_FALSE(TestFlags(0x80000001u, 0x80000000u));
    EXPECT_FALSE(TestFlags(0x80000001u, 0x80000001u)); // negative as a signed number
}

// The flow-control limits are a quarter of the input queue, clamped to 1024: kept just below
// the bound, the bound itself where the quarter reaches it, and clamped just above it.
TEST(VaUtils, FlowLimitsKeepAQuarterOfTheQueueBelowTheBoundAndAreClampedAboveIt) {
    TVaComm Comm(nullptr);
    for (const auto& [ReadSize, Limit] :
         {std::pair{4092, 1023}, std::pair{4096, 1024}, std::pair{4104, 1024}}) {
        Comm.Buffers()->SetReadSize(ReadSize);
        const DCB Dcb = MakeDCB(Comm);
        EXPECT_EQ(Dcb.XonLim, Limit) << "ReadSize " << ReadSize;
        EXPECT_EQ(Dcb.XoffLim, Limit) << "ReadSize " << ReadSize;
    }
}

TEST(VaObjects, ManualResetEventWaitResults) {
    TVaWaitEvent Event;
    EXPECT_EQ(Event.WaitFor(0), wrTimeout);
    Event.SetEvent();
    EXPECT_EQ(Event.WaitFor(0), wrSignaled);
    EXPECT_EQ(Event.WaitFor(INFINITE), wrSignaled); // a wait does not reset it
    Event.ResetEvent();
    EXPECT_EQ(Event.WaitFor(1), wrTimeout);
    EXPECT_EQ(Event.LastError(), 0u);
}

TEST(VaObjects, CriticalSectionIsReentrant) {
    TVaCriticalSection Section;
    Section.Enter();
    Section.Acquire();
    Section.Release();
    Section.Leave();
    SUCCEED();
}

// Reaches the component's protected error routines.
class ErrorProbe : public TVaCustomComm {
public:
    using TVaCustomComm::CheckClosed;
    using TVaCustomComm::CheckCommResult;
    using TVaCustomComm::RaiseCommError;
    ErrorProbe() : TVaCustomComm(nullptr) {}
};

std::string MessageOf(const std::function<void()>& Action) {
    try {
        Action();
    } catch (const EVaCommError& E) {
        return E.Message();
    }
    return "<no EVaCommError>";
}

#ifndef _WIN32 // the system texts of this platform
TEST(VaCommErrors, MessagesCarryCodeAndSystemTextWithoutTrailingStop) {
    SetLastError(5);
    EXPECT_EQ(MessageOf([] { ErrorProbe::RaiseCommError(VaConst::sErrorDetail); }),
              " (Error 5, Input/output error)");
    SetLastError(5);
    EXPECT_EQ(MessageOf([] { ErrorProbe::RaiseCommError(VaConst::sOutputBufferFull); }),
              "Output buffer is full. Please check comm status.");
    SetLastError(13);
    EXPECT_EQ(MessageOf([] { ErrorProbe::CheckCommResult(false, VaConst::sSetEventMask); }),
              " Error setting EventMask (13), Permission denied");
    EXPECT_EQ(MessageOf([] { ErrorProbe::CheckCommResult(true, VaConst::sSetEventMask); }),
              "<no EVaCommError>");
    ErrorProbe Closed;
    EXPECT_EQ(MessageOf([&] { Closed.CheckClosed(); }), "<no EVaCommError>");
}

TEST(VaCommErrors, TextPutIntoAMessageIsNeverReadAsAFormat) {
    SetLastError(5);
    EXPECT_EQ(MessageOf([] {
                  ErrorProbe::RaiseCommError("Can't open specified device /x/%s%d%",
                                             VaConst::sErrorDetail);
              }),
              "Can't open specified device /x/%s%d% (Error 5, Input/output error)");
}

// A temporary folder whose name holds percent signs.
class PercentFolder {
public:
    PercentFolder() {
        FPath = std::filesystem::temp_directory_path() /
                ("kivo%s%d-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
        std::filesystem::create_directories(FPath);
    }
    ~PercentFolder() { std::filesystem::remove_all(FPath); }
    PercentFolder(const PercentFolder&) = delete;
    PercentFolder& operator=(const PercentFolder&) = delete;
    [[nodiscard]] std::string Path() const { return FPath.string(); }

private:
    std::filesystem::path FPath;
};

// A device name whose format gives exactly Path.
std::string Escaped(const std::string& Path) {
    std::string Name;
    for (char C : Path) {
        Name += C;
        if (C == '%') {
            Name += '%';
        }
    }
    return Name;
}

TEST(VaCommErrors, DevicePathsWithPercentSignsAppearVerbatim) {
    const PercentFolder Folder;
    TVaComm Comm(nullptr);

    const std::string Missing = Folder.Path() + "/missing";
    Comm.SetDeviceName(Escaped(Missing));
    EXPECT_EQ(MessageOf([&] { Comm.Open(); }), "Specified device not found (" + Missing + ").");
    EXPECT_FALSE(Comm.Active());

    const std::string Plain = Folder.Path() + "/plain-file";
    std::ofstream(Plain) << "not a terminal";
    Comm.SetDeviceName(Escaped(Plain));
    EXPECT_EQ(MessageOf([&] { Comm.Open(); }),
              "Can't open specified device " + Plain + ": not a serial port.");
    EXPECT_FALSE(Comm.Active());
}

#endif

TEST(VaCommErrors, MissingPortNamesItsFormattedPath) {
    TVaComm Comm(nullptr);
    EXPECT_EQ(MessageOf([&] { Comm.Open(); }), "Specified device not found (COM0).");
    EXPECT_FALSE(Comm.Active());
}

} // namespace
