// The component's settings without a device: defaults, the device control block they
// describe, baud rate coupling, change notification, Assign and the stored form.

#include "runtime/Streaming.h"
#include "serial/VaCommPrivate.h"

#include <gtest/gtest.h>

namespace {

// The settings the main window stores for its component.
void ApplyMainWindowSettings(TVaComm& Comm) {
    Comm.SetBaudrate(br19200);
    Comm.SetPortNum(4);
    Comm.SetMonitorEvents({ceError, ceRxChar});
    Comm.Buffers()->SetReadSize(512);
    Comm.Buffers()->SetWriteSize(512);
}

TEST(VaCommSettings, DefaultsDescribeTheDocumentedControlBlock) {
    TVaComm Comm(nullptr);
    EXPECT_FALSE(Comm.Active());
    EXPECT_EQ(Comm.GetPortName(), "COM0");
    EXPECT_EQ(Comm.MonitorEvents(), (TVaCommEvents{ceError, ceRxChar, ceTxEmpty}));
    EXPECT_EQ(Comm.EventPriority(), tpNormal);
    EXPECT_EQ(Comm.WritePriority(), tpHighest);
    EXPECT_TRUE(Comm.UpdateDCB());

    const DCB Dcb = MakeDCB(Comm);
    EXPECT_EQ(Dcb.DCBlength, 28u);
    EXPECT_EQ(Dcb.BaudRate, 1200u);
    EXPECT_EQ(Dcb.fBinary, 1u);
    EXPECT_EQ(Dcb.fParity + Dcb.fOutxCtsFlow + Dcb.fOutxDsrFlow + Dcb.fDtrControl +
                  Dcb.fDsrSensitivity + Dcb.fTXContinueOnXoff + Dcb.fOutX + Dcb.fInX +
                  Dcb.fErrorChar + Dcb.fNull + Dcb.fRtsControl + Dcb.fAbortOnError,
              0u);
    EXPECT_EQ(Dcb.XonLim, 1024);
    EXPECT_EQ(Dcb.XoffLim, 1024);
    EXPECT_EQ(Dcb.ByteSize, 8);
    EXPECT_EQ(Dcb.Parity, NOPARITY);
    EXPECT_EQ(Dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(Dcb.XonChar, 17);
    EXPECT_EQ(Dcb.XoffChar, 19);
    EXPECT_EQ(Dcb.ErrorChar + Dcb.EofChar + Dcb.EvtChar, 0);
}

TEST(VaCommSettings, MainWindowSettingsChangeOnlyRateAndLimits) {
    TVaComm Comm(nullptr);
    ApplyMainWindowSettings(Comm);
    const DCB Dcb = MakeDCB(Comm);
    EXPECT_EQ(Dcb.BaudRate, 19200u);
    EXPECT_EQ(Dcb.XonLim, 128);
    EXPECT_EQ(Dcb.XoffLim, 128);
    EXPECT_EQ(Dcb.ByteSize, 8);
    EXPECT_EQ(Dcb.fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_EQ(Dcb.fRtsControl, RTS_CONTROL_DISABLE);
}

TEST(VaCommSettings, FlowLimitsAreAQuarterOfTheInputQueueAtMost1024) {
    TVaComm Comm(nullptr);
    for (const auto& [ReadSize, Limit] :
         {std::pair{4096, 1024}, std::pair{4100, 1024}, std::pair{8192, 1024}, std::pair{512, 128},
          std::pair{3, 0}, std::pair{-4, 1024}}) {
        Comm.Buffers()->SetReadSize(ReadSize);
        const DCB Dcb = MakeDCB(Comm);
        EXPECT_EQ(Dcb.XonLim, Limit) << "ReadSize " << ReadSize;
        EXPECT_EQ(Dcb.XoffLim, Limit) << "ReadSize " << ReadSize;
    }
}

TEST(VaCommSettings, EverySettingReachesItsControlBlockField) {
    TVaComm Comm(nullptr);
    Comm.SetParity(paMark);
    Comm.SetParityCheck(true);
    Comm.SetDatabits(db5);
    Comm.SetStopbits(sb2);
    Comm.SetOptions({coErrorChar, coNullStrip});
    Comm.FlowControl()->SetOutCtsFlow(true);
    Comm.FlowControl()->SetControlDtr(dtrHandshake);
    Comm.FlowControl()->SetControlRts(rtsToggle);
    Comm.FlowControl()->SetXonXoffIn(true);
    Comm.EventChars()->SetEventChar('!');
    Comm.EventChars()->SetEofChar(26);
    Comm.EventChars()->SetErrorChar('?');

    const DCB Dcb = MakeDCB(Comm);
    EXPECT_EQ(Dcb.Parity, MARKPARITY);
    EXPECT_EQ(Dcb.fParity, 1u);
    EXPECT_EQ(Dcb.ByteSize, 5);
    EXPECT_EQ(Dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(Dcb.fErrorChar, 1u);
    EXPECT_EQ(Dcb.fNull, 1u);
    EXPECT_EQ(Dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(Dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(Dcb.fDtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(Dcb.fRtsControl, RTS_CONTROL_TOGGLE);
    EXPECT_EQ(Dcb.fInX, 1u);
    EXPECT_EQ(Dcb.fOutX, 0u);
    EXPECT_EQ(Dcb.EvtChar, '!');
    EXPECT_EQ(Dcb.EofChar, 26);
    EXPECT_EQ(Dcb.ErrorChar, '?');
    EXPECT_EQ(Comm.EventChars()->EventChar(), '!');
}

TEST(VaCommSettings, BaudrateAndUserBaudrateDescribeOneRate) {
    TVaComm Comm(nullptr);
    Comm.SetBaudrate(brUser);
    EXPECT_EQ(MakeDCB(Comm).BaudRate, 0u);

    Comm.SetUserBaudrate(250000);
    EXPECT_EQ(Comm.Baudrate(), brUser);
    EXPECT_EQ(MakeDCB(Comm).BaudRate, 250000u);

    Comm.SetBaudrate(br9600);
    EXPECT_EQ(Comm.UserBaudrate(), 0);
    EXPECT_EQ(MakeDCB(Comm).BaudRate, 9600u);

    Comm.SetBaudrate(brUser);
    EXPECT_EQ(MakeDCB(Comm).BaudRate, 0u);

    Comm.SetBaudrate(br115200);
    Comm.SetUserBaudrate(0); // the value already held: nothing changes
    EXPECT_EQ(Comm.Baudrate(), br115200);
}

// Counts the change notifications of one settings object.
struct NotificationCounter {
    explicit NotificationCounter(TVaPersistent& Object) {
        Object.SetOnChange([this](TObject*) { ++Count; });
    }
    int Count = 0;
};

TEST(VaPersistentNotification, UpdateBracketsNestAndEndUpdateAloneNotifies) {
    TVaFlowControl Flow;
    NotificationCounter Counter(Flow);

    Flow.EndUpdate();
    EXPECT_EQ(Counter.Count, 1);
    EXPECT_EQ(Flow.UpdateCount(), 0);

    Flow.BeginUpdate();
    Flow.BeginUpdate();
    Flow.SetOutCtsFlow(true);
    Flow.EndUpdate();
    EXPECT_EQ(Counter.Count, 1);
    Flow.EndUpdate();
    EXPECT_EQ(Counter.Count, 2);
}

TEST(VaPersistentNotification, EqualValuesNotifyOnlyForCharacters) {
    TVaFlowControl Flow;
    TVaEventChars Chars;
    TVaBuffers Buffers;
    NotificationCounter FlowCount(Flow);
    NotificationCounter CharCount(Chars);
    NotificationCounter BufferCount(Buffers);

    Flow.SetOutCtsFlow(false);
    Buffers.SetReadSize(4096);
    Chars.SetXonChar(17);
    EXPECT_EQ(FlowCount.Count, 0);
    EXPECT_EQ(BufferCount.Count, 0);
    EXPECT_EQ(CharCount.Count, 1);

    Buffers.SetReadTimeout(5000);
    Buffers.SetWriteTimeout(5000);
    EXPECT_EQ(BufferCount.Count, 0);
    Buffers.SetWriteSize(1);
    EXPECT_EQ(BufferCount.Count, 1);
}

TEST(VaPersistentAssign, CopiesEveryValueAndNotifiesOnce) {
    TVaFlowControl Source;
    Source.SetOutCtsFlow(true);
    Source.SetOutDsrFlow(true);
    Source.SetControlDtr(dtrEnabled);
    Source.SetControlRts(rtsHandshake);
    Source.SetXonXoffOut(true);
    Source.SetXonXoffIn(true);
    Source.SetDsrSensitivity(true);
    Source.SetTxContinueOnXoff(true);
    TVaFlowControl Target;
    NotificationCounter Counter(Target);
    Target.Assign(&Source);
    EXPECT_EQ(Counter.Count, 1);
    EXPECT_TRUE(Target.OutCtsFlow() && Target.OutDsrFlow() && Target.XonXoffOut() &&
                Target.XonXoffIn() && Target.DsrSensitivity() && Target.TxContinueOnXoff());
    EXPECT_EQ(Target.ControlDtr(), dtrEnabled);
    EXPECT_EQ(Target.ControlRts(), rtsHandshake);

    Target.Assign(&Source); // nothing differs: still told once
    EXPECT_EQ(Counter.Count, 2);

    TVaBuffers Sizes;
    Sizes.SetReadSize(1);
    Sizes.SetWriteSize(2);
    Sizes.SetReadTimeout(3);
    Sizes.SetWriteTimeout(4);
    TVaBuffers Copy;
    NotificationCounter CopyCount(Copy);
    Copy.Assign(&Sizes);
    EXPECT_EQ(CopyCount.Count, 1);
    EXPECT_EQ(Copy.ReadSize() + Copy.WriteSize() * 10 + Copy.ReadTimeout() * 100 +
                  Copy.WriteTimeout() * 1000,
              4321);

    TVaEventChars Chars;
    Chars.SetEofChar(26);
    TVaEventChars CharsCopy;
    NotificationCounter CharsCount(CharsCopy);
    CharsCopy.Assign(&Chars);
    EXPECT_EQ(CharsCount.Count, 1);
    EXPECT_EQ(CharsCopy.EofChar(), 26);
}

TEST(VaPersistentAssign, FromNothingOrAnotherClassIsAConversionError) {
    TVaFlowControl Flow;
    NotificationCounter Counter(Flow);
    try {
        Flow.Assign(nullptr);
        FAIL() << "no exception";
    } catch (const EConvertError& E) {
        EXPECT_EQ(E.Message(), "Cannot assign a nil to a TVaFlowControl");
    }
    const TVaBuffers Buffers;
    EXPECT_THROW(Flow.Assign(&Buffers), EConvertError);
    EXPECT_EQ(Counter.Count, 0);
    EXPECT_FALSE(Flow.OutCtsFlow());
}

TEST(VaCommSettings, OwnedObjectsAreAssignedIntoNotReplaced) {
    TVaComm Comm(nullptr);
    TVaFlowControl* Owned = Comm.FlowControl();
    TVaFlowControl Source;
    Source.SetXonXoffOut(true);
    Comm.SetFlowControl(&Source);
    EXPECT_EQ(Comm.FlowControl(), Owned);
    EXPECT_TRUE(Comm.FlowControl()->XonXoffOut());

    TVaBuffers Sizes;
    Sizes.SetReadSize(8192);
    Comm.SetBuffers(&Sizes);
    EXPECT_EQ(Comm.Buffers()->ReadSize(), 8192);
}

TEST(VaCommStoredForm, MainWindowSettingsWriteExactlyTheNonDefaults) {
    TVaComm Comm(nullptr);
    Comm.SetName("vaComm");
    ApplyMainWindowSettings(Comm);
    const std::string Expected = "object vaComm: TVaComm\n"
                                 "  Baudrate = br19200\n"
                                 "  FlowControl.OutCtsFlow = False\n"
                                 "  FlowControl.OutDsrFlow = False\n"
                                 "  FlowControl.ControlDtr = dtrDisabled\n"
                                 "  FlowControl.ControlRts = rtsDisabled\n"
                                 "  FlowControl.XonXoffOut = False\n"
                                 "  FlowControl.XonXoffIn = False\n"
                                 "  FlowControl.DsrSensitivity = False\n"
                                 "  FlowControl.TxContinueOnXoff = False\n"
                                 "  PortNum = 4\n"
                                 "  DeviceName = 'COM%d'\n"
                                 "  MonitorEvents = [ceError, ceRxChar]\n"
                                 "  Buffers.ReadSize = 512\n"
                                 "  Buffers.WriteSize = 512\n"
                                 "end\n";
    EXPECT_EQ(WriteComponent(Comm), Expected);
}

TEST(VaCommStoredForm, RoundTripRestoresEveryStoredSetting) {
    TVaComm Source(nullptr);
    Source.SetName("vaComm");
    ApplyMainWindowSettings(Source);
    Source.SetUserBaudrate(250000);
    Source.SetOptions({coNullStrip});
    Source.EventChars()->SetEofChar(26);
    Source.SetDeviceName("/dev/it's%d");
    Source.SetWritePriority(tpLower);
    Source.SetDirectWrite(true);
    Source.SetUpdateDCB(false);
    Source.Buffers()->SetReadTimeout(250);
    const std::string Text = WriteComponent(Source);

    TVaComm Target(nullptr);
    ReadComponent(Text, Target);
    EXPECT_EQ(WriteComponent(Target), Text);
    EXPECT_EQ(Target.Baudrate(), brUser);
    EXPECT_EQ(Target.UserBaudrate(), 250000);
    EXPECT_EQ(Target.DeviceName(), "/dev/it's%d");
    EXPECT_EQ(Target.Buffers()->ReadTimeout(), 250);
    EXPECT_FALSE(Target.Active());
}

TEST(VaCommStoredForm, TheClassIsRegisteredByName) {
    const TComponentFactory* Factory = FindComponentClass("TVaComm");
    ASSERT_NE(Factory, nullptr);
    std::unique_ptr<TComponent> Made((*Factory)(nullptr));
    EXPECT_STREQ(Made->ClassName(), "TVaComm");
}

} // namespace
