#pragma once
// The serial port component: TVaCustomComm owns one serial device and its settings,
// watches it with an event thread that hands device events to the user-interface thread,
// writes through a write thread (or directly), and reads on request. TVaComm publishes it.

#include "runtime/Classes.h"
#include "runtime/Thread.h"
#include "runtime/TypInfo.h"
#include "serial/VaClasses.h"
#include "serial/VaPrst.h"
#include "serial/VaTypes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Thread rules. "The user-interface thread" is the thread that runs the hand-over queue
// (CheckSynchronize, runtime/Thread.h): a toolkit's main thread, or a program's own loop on
// WaitForSynchronize and CheckSynchronize.
// - Open, Close, Loaded, the destructor and every property setter: the user-interface
//   thread only. Open and Close block until the device is opened or closed and the worker
//   threads are started or stopped; that is bounded, since a stopping thread cancels what
//   it waits for.
// - WriteBuf, WriteText, ReadBuf, ReadText, InQueueCount, GetCommStatus and CheckErrors:
//   any thread, several at once, while no other thread opens or closes the port. WriteBuf
//   blocks up to Buffers.WriteTimeout while the write queue has no room (a direct write up
//   to Buffers.ReadTimeout); ReadBuf up to Buffers.ReadTimeout. CheckErrors calls OnError
//   on the calling thread.
// - The line control calls (SetDTR, SetRTS, SetBreak, ModemStatus, PurgeInput, PurgeOutput,
//   Drain): the same; Drain blocks up to Buffers.WriteTimeout.
// - Active and the property getters: any thread, without a lock; not concurrently with
//   Open, Close or the setter.
// - Handlers: OnOpen runs at the end of Open and OnClose at the end of Close, on their
//   caller's thread; every other handler runs on the user-interface thread while the
//   worker thread that saw the event waits for it. A handler may call Close, Open again,
//   or destroy the component: once the open it was called for has ended, no further
//   handler of that event set runs, and after Close returns the device is closed.

// The modem status lines that the device on the other side drives (ModemStatus): CTS, DSR,
// RI and DCD (receive line signal detect).
enum TVaModemLine : std::uint8_t { msCTS, msDSR, msRing, msRLSD };
// The lines of TVaModemLine that are on.
using TVaModemStatus = TSet<TVaModemLine, std::uint8_t>;

class TVaCommThread;
class TVaCommEventThread;
class TVaCommWriteThread;
class TVaCommAccess;
struct TVaCommPrivate;

// The working class of the serial port component.
class TVaCustomComm : public TVaComponent {
public:
    // A closed port with the default settings, owned by AOwner (nullptr: by the caller).
    explicit TVaCustomComm(TComponent* AOwner);
    ~TVaCustomComm() override;

    const char* ClassName() const override { return "TVaCustomComm"; }
    void Loaded() override;

    // Lifecycle (the user-interface thread).
    void Open();
    void Close();
    // True while the device is open; never raises (any thread).
    [[nodiscard]] bool Active() const;

    // Writing and reading (any thread).
    int WriteBuf(const void* Buffer, int Count);
    bool WriteText(const std::string& Text);
    int ReadBuf(void* Buffer, int Count);
    std::string ReadText();
    int InQueueCount();
    void GetCommStatus(TVaCommStatus& Status);
    bool CheckErrors();

    // Line control: any thread, several at once, while no other thread opens or closes the
    // port. Each raises EVaCommError naming the port when the port is closed (ecOther) or
    // the device refuses the call (ecRefused).
    //
    // SetDTR and SetRTS raise (true) or drop (false) the line now. A line that FlowControl
    // gives to handshaking (ControlDtr dtrHandshake; ControlRts rtsHandshake or rtsToggle)
    // is the driver's: setting it raises EVaCommError (ecRefused) and changes nothing. The
    // level set holds until the line settings are applied again (Open, a change of a line
    // setting or of FlowControl), which sets both lines as ControlDtr and ControlRts say.
    // On a device without modem lines (a pseudo-terminal) both do nothing.
    void SetDTR(bool Value);
    void SetRTS(bool Value);
    // Holds the line in break (true) until released (false); output waits meanwhile.
    void SetBreak(bool Value);
    // The levels of CTS, DSR, RI and DCD now; empty on a device without modem lines.
    [[nodiscard]] TVaModemStatus ModemStatus();
    // PurgeInput discards the bytes received and not yet read; PurgeOutput the bytes written
    // and not yet sent: the write queue's (a write thread's block in progress ends with what
    // it sent) and the driver's. Both keep the port's events: those reported or latched stay
    // and the event thread goes on waiting.
    void PurgeInput();
    void PurgeOutput();
    // Returns once every byte written so far has left the port: the write queue's, then the
    // driver's. Blocks the calling thread up to Buffers.WriteTimeout (a direct write that
    // another thread has in progress is waited for first, within its own bound) and raises
    // EVaCommError when the bytes are not sent by then (flow control holding them back).
    void Drain();

    // Dispatch of device events to the handlers (the user-interface thread). Mask holds
    // EV_ bits (VaEventBits); dispatch stops once a handler has closed the port.
    virtual void DispatchRxChar();
    virtual void DispatchEvents(std::uint32_t Mask);

    // The device path: DeviceName formatted with PortNum.
    [[nodiscard]] std::string GetPortName() const;
    // Makes Path the device path as it is: DeviceName becomes DeviceNameForPath(Path)
    // (the user-interface thread).
    void SetDevicePath(std::string_view Path);
    // The DeviceName that opens Path as it is: Path with every '%' doubled, so no character
    // of it is read as a placeholder (any thread).
    [[nodiscard]] static std::string DeviceNameForPath(std::string_view Path);

    // Settings.
    [[nodiscard]] bool AutoOpen() const { return FAutoOpen; }
    void SetAutoOpen(bool Value) { FAutoOpen = Value; }
    [[nodiscard]] TVaBaudrate Baudrate() const { return FBaudrate; }
    void SetBaudrate(TVaBaudrate Value);
    [[nodiscard]] std::int32_t UserBaudrate() const { return FUserBaudrate; }
    void SetUserBaudrate(std::int32_t Value);
    [[nodiscard]] TVaParity Parity() const { return FParity; }
    void SetParity(TVaParity Value);
    [[nodiscard]] bool ParityCheck() const { return FParityCheck; }
    void SetParityCheck(bool Value);
    [[nodiscard]] TVaDatabits Databits() const { return FDatabits; }
    void SetDatabits(TVaDatabits Value);
    [[nodiscard]] TVaStopbits Stopbits() const { return FStopbits; }
    void SetStopbits(TVaStopbits Value);
    [[nodiscard]] TVaCommOptions Options() const { return FOptions; }
    void SetOptions(TVaCommOptions Value);
    [[nodiscard]] TVaEventChars* EventChars() const { return FEventChars.get(); }
    void SetEventChars(const TVaEventChars* Value);
    [[nodiscard]] TVaFlowControl* FlowControl() const { return FFlowControl.get(); }
    void SetFlowControl(const TVaFlowControl* Value);
    [[nodiscard]] TVaBuffers* Buffers() const { return FBuffers.get(); }
    void SetBuffers(const TVaBuffers* Value);
    [[nodiscard]] TVaPortInt PortNum() const { return FPortNum; }
    void SetPortNum(TVaPortInt Value);
    [[nodiscard]] const std::string& DeviceName() const { return FDeviceName; }
    void SetDeviceName(const std::string& Value);
    [[nodiscard]] TVaCommEvents MonitorEvents() const { return FMonitorEvents; }
    void SetMonitorEvents(TVaCommEvents Value);
    [[nodiscard]] TThreadPriority EventPriority() const { return FEventPriority; }
    void SetEventPriority(TThreadPriority Value);
    [[nodiscard]] TThreadPriority WritePriority() const { return FWritePriority; }
    void SetWritePriority(TThreadPriority Value);
    [[nodiscard]] bool DirectWrite() const { return FDirectWrite; }
    void SetDirectWrite(bool Value);
    [[nodiscard]] bool UpdateDCB() const { return FUpdateDCB; }
    void SetUpdateDCB(bool Value);

    // The event mask handed to the device at the last Open (EV_ bits).
    [[nodiscard]] std::uint32_t EventMask() const { return FEventMask; }

    // Events, in publishing order.
    TNotifyEvent OnOpen;
    TNotifyEvent OnClose;
    TNotifyEvent OnCts;
    TNotifyEvent OnDsr;
    TNotifyEvent OnRlsd;
    TNotifyEvent OnRing;
    TNotifyEvent OnBreak;
    TVaCommErrorEvent OnError;
    TVaCommRxCharEvent OnRxChar;
    // Never fires: received bytes are announced by OnRxChar and taken with ReadBuf or
    // ReadText on every platform. Kept so that stored forms naming it still load.
    TVaCommRxBufEvent OnRxBuf;
    TNotifyEvent OnRxFlag;
    TNotifyEvent OnTxEmpty;
    TNotifyEvent OnPErr;
    TNotifyEvent OnRx80Full;
    TNotifyEvent OnEvent1;
    TNotifyEvent OnEvent2;

protected:
    // Hooks of Open, for subclasses. OpenDevice opens the device named by GetPortName and
    // keeps its handle; an override may open the device its own way and hand the handle
    // over with SetDeviceHandle (the component then owns it: CloseDevice closes it), or
    // raise EVaCommError. StartThreads starts the event and write threads the settings ask
    // for, on DeviceHandle(); an override calls the inherited one first and may start more
    // work of its own. Both run on the user-interface thread inside Open; what they raise
    // closes the device again and reaches Open's caller.
    virtual void OpenDevice();
    virtual void StartThreads();
    // The open device's handle, as the system's serial calls take it; while closed, the
    // system's invalid handle value (all bits set). Only OpenDevice's override sets it, to
    // a handle it opened (the user-interface thread).
    [[nodiscard]] void* DeviceHandle() const;
    void SetDeviceHandle(void* Handle);
    void CloseDevice();
    void StopThreads();
    void ApplyDCB();
    void ApplyBuffers();
    void ApplyTimeouts();
    void ApplyEventMask();
    void DoOpen();
    void DoClose();

    // The write lock: the write thread holds it while it takes from its queue, a direct
    // write for the whole write. KIVO itself takes it only inside the component.
    void LockWrite();
    void UnlockWrite();
    // The read lock: ReadBuf, GetCommStatus and CheckErrors hold it, and Close while it
    // stops the threads. KIVO never calls these two; a subclass holds it to keep reads and
    // status queries out while it does several steps on the device (any thread; the lock
    // may be taken again by the thread that holds it).
    void LockRead();
    void UnlockRead();

    // Raises EVaCommError with Fmt filled with the last error's code and system text, and
    // Code as its cause.
    [[noreturn]] static void RaiseCommError(const char* Fmt,
                                            TVaCommErrorCode Code = TVaCommErrorCode::ecOther);
    // The same with Prefix, text already complete, put before the filled Fmt unchanged.
    [[noreturn]] static void RaiseCommError(const std::string& Prefix, const char* Fmt,
                                            TVaCommErrorCode Code = TVaCommErrorCode::ecOther);
    static void CheckCommResult(bool Success, const char* Fmt,
                                TVaCommErrorCode Code = TVaCommErrorCode::ecOther);
    // Raises, when Success is false, EVaCommError(ecRefused) with Fmt filled as above and
    // then in plain words what the device refused: "...: /dev/ttyUSB0 refused <What>."
    void CheckAccepted(bool Success, const char* Fmt, const std::string& What) const;
    void CheckClosed() const;
    // Raises EVaCommError "Can't <Action>: <port> is not open." while the port is closed.
    void CheckOpenFor(const char* Action) const;

private:
    friend class TVaCommThread;
    friend class TVaCommEventThread;
    friend class TVaCommWriteThread;
    friend class TVaCommAccess;

    void BuffersChanged(TObject* Sender);
    void EventCharsChanged(TObject* Sender);
    void FlowControlChanged(TObject* Sender);

    // Stores a changed line setting and rewrites the open device's control block.
    template <typename V> void StoreAndApply(V& Field, V Value) {
        if (Field != Value) {
            Field = Value;
            ApplyDCB();
        }
    }
    void ConfigureDevice();
    // Waits for the worker threads that StopThreads asked to stop and frees them. One whose
    // handed-over call is running (a handler closed the port) cannot be waited for: it stays
    // listed for the next call made outside that handler, or, when the component is being
    // destroyed in that handler (Destroying), frees itself once the call returns.
    void JoinStoppedThreads(bool Destroying = false);
    // Refuses a negative count and a missing block.
    static void CheckBlock(const void* Buffer, int Count);
    int WriteDirect(const void* Buffer, int Count);
    // SetDTR, SetRTS and SetBreak: Function (EscapeCommFunction's) on the open device.
    void EscapeLine(unsigned Function, const char* Action, const std::string& What);
    // Drain: the bytes the write queue and the driver still hold; under the write lock.
    [[nodiscard]] unsigned OutputLeft();
    // A worker found the device failing: true for the first such report of this open.
    bool ClaimFailureReport();

    std::unique_ptr<TVaCommPrivate> FPrivate; // the device, locks, events and threads
    std::uint32_t FEventMask = 0;
    bool FAutoOpen = false;
    TVaPortInt FPortNum = 0;
    std::string FDeviceName = "COM%d";
    TVaCommEvents FMonitorEvents{ceError, ceRxChar, ceTxEmpty};
    std::unique_ptr<TVaBuffers> FBuffers;
    TThreadPriority FEventPriority = tpNormal;
    TThreadPriority FWritePriority = tpHighest;
    bool FDirectWrite = false;
    TVaBaudrate FBaudrate = br1200;
    TVaParity FParity = paNone;
    bool FParityCheck = false;
    TVaDatabits FDatabits = db8;
    TVaStopbits FStopbits = sb1;
    TVaCommOptions FOptions;
    std::unique_ptr<TVaFlowControl> FFlowControl;
    std::unique_ptr<TVaEventChars> FEventChars;
    bool FUpdateDCB = true;
    std::int32_t FUserBaudrate = 0;
};

// The published serial port component.
class TVaComm : public TVaCustomComm {
public:
    // As TVaCustomComm: a closed port owned by AOwner (nullptr: by the caller).
    explicit TVaComm(TComponent* AOwner);
    const char* ClassName() const override { return "TVaComm"; }
    [[nodiscard]] const TClassInfo& ClassInfo() const override;
};
