#pragma once
// The serial port component: TVaCustomComm owns one serial device and its settings,
// watches it with an event thread that hands device events to the user-interface thread,
// writes through a write thread (or directly), and reads on request. TVaComm publishes it.

#include "platform/Win32Api.h"
#include "runtime/Classes.h"
#include "runtime/Thread.h"
#include "runtime/TypInfo.h"
#include "serial/VaClasses.h"
#include "serial/VaObjects.h"
#include "serial/VaPrst.h"
#include "serial/VaTypes.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TVaCustomComm;

// The write thread's byte queue: filled at its end, drained from its start. The count can
// be read from any thread; changes happen under the component's write lock.
class TVaCommBuffer : public TObject {
public:
    explicit TVaCommBuffer(int ACapacity);
    const char* ClassName() const override { return "TVaCommBuffer"; }

    [[nodiscard]] std::uint8_t* Data() { return FData.get(); }
    [[nodiscard]] int Capacity() const { return FCapacity; }
    [[nodiscard]] int Count() const { return FCount.load(std::memory_order_acquire); }

    // Copies Count bytes behind those held; the caller makes sure they fit.
    void Append(const void* AData, int ACount);
    // Drops the first Count bytes and moves the rest to the start.
    void Consume(int ACount);

private:
    std::unique_ptr<std::uint8_t[]> FData;
    int FCapacity;
    std::atomic<int> FCount{0};
};

// What the component's two worker threads share: the component, the open device (whose
// handle stays open while a thread still uses it), and the hand-over of calls to the
// user-interface thread with a count of the calls of this thread running there.
class TVaCommThread : public TThread {
public:
    const char* ClassName() const override { return "TVaCommThread"; }

    // Asks the thread to stop and wakes it; does not wait.
    virtual void Stop() = 0;
    // True while a call handed over by this thread runs on the user-interface thread
    // (asked there only): the thread cannot end before that call returns.
    [[nodiscard]] bool InHandOver() const { return FHandOvers > 0; }

protected:
    TVaCommThread(TVaCustomComm* AComm, std::shared_ptr<void> ADevice);

    // Runs Call on the user-interface thread and waits for it; false when the hand-over
    // was cancelled because the component is closing.
    bool HandOver(const std::function<void()>& Call);
    // Cancels the operation of this thread pending on Overlapped and waits until the
    // system has completed it, so the record, its event and its buffer can be released.
    void FinishPending(OVERLAPPED& Overlapped, TVaWaitEvent& Event, bool& Pending);
    // Gives up this thread's share of the device; the last share closes it.
    void ReleaseDevice() { FDevice.reset(); }

    [[nodiscard]] HANDLE Device() const { return FDeviceHandle; }

    TVaCustomComm* const FComm;

private:
    std::shared_ptr<void> FDevice;
    const HANDLE FDeviceHandle;
    int FHandOvers = 0;
};

// Watches the device for line events and hands each event set to the user-interface
// thread, where the component dispatches it to the handlers.
class TVaCommEventThread : public TVaCommThread {
public:
    TVaCommEventThread(TVaCustomComm* AComm, std::shared_ptr<void> ADevice);
    // Stops the thread and waits until it has ended.
    ~TVaCommEventThread() override;
    const char* ClassName() const override { return "TVaCommEventThread"; }

    void Stop() override;

protected:
    void Execute() override;

private:
    // Runs on the user-interface thread during the hand-over: dispatches Mask to Comm.
    static void HandleEvents(TVaCustomComm* Comm, DWORD Mask);
    void DeliverEvents();
    // Tells the user once per open that the device fails, through the error check.
    void ReportFailure(DWORD Error);
    // Waits for the next event set; false when none was delivered by the device.
    bool WaitForEvents(OVERLAPPED& Overlapped, bool& Pending, DWORD& Error);
    // After a failed wait: sleeps on the wake-up event for Delay, which grows.
    void BackOff(DWORD& Delay);

    DWORD FMask = 0;
    TVaWaitEvent FWaitEvent;
};

// Writes what the component queues, reports a drained queue with OnTxEmpty and a refused
// write with the error check.
class TVaCommWriteThread : public TVaCommThread {
public:
    TVaCommWriteThread(TVaCustomComm* AComm, std::shared_ptr<void> ADevice);
    // Stops the thread and waits until it has ended.
    ~TVaCommWriteThread() override;
    const char* ClassName() const override { return "TVaCommWriteThread"; }

    // Signals the stop event; does not wait.
    void Stop() override;
    // Queues Count bytes, waiting up to Buffers.WriteTimeout for room; false when there
    // was none.
    [[nodiscard]] bool Enqueue(const void* Data, int Count);

    [[nodiscard]] int QueuedCount() const { return FBuffer.Count(); }

protected:
    void Execute() override;

private:
    // Writes everything queued now; false when the stop event ended the wait.
    bool WriteQueued(OVERLAPPED& Overlapped, bool& Pending, DWORD& Delay);
    void WriteDone(DWORD Written);
    void ReportError();
    // Run on the user-interface thread through the hand-over.
    static void SyncTxEmpty(TVaCustomComm* Comm);
    static void SyncError(TVaCustomComm* Comm);

    TVaCommBuffer FBuffer;
    TVaWaitEvent FDataEvent;
    TVaWaitEvent FStopEvent;
    TVaWaitEvent FWriteEvent;
    TVaWaitEvent FRoomEvent; // signalled whenever written bytes were consumed
};

// The working class of the serial port component.
class TVaCustomComm : public TVaComponent {
public:
    explicit TVaCustomComm(TComponent* AOwner);
    ~TVaCustomComm() override;

    const char* ClassName() const override { return "TVaCustomComm"; }
    void Loaded() override;

    // Lifecycle.
    void Open();
    void Close();
    [[nodiscard]] bool Active() const { return FHandle != INVALID_HANDLE_VALUE; }

    // Writing and reading.
    int WriteBuf(const void* Buffer, int Count);
    bool WriteText(const std::string& Text);
    int ReadBuf(void* Buffer, int Count);
    std::string ReadText();
    int InQueueCount();
    void GetCommStatus(TVaCommStatus& Status);
    bool CheckErrors();

    // Dispatch of device events to the handlers (on the user-interface thread).
    virtual void DispatchRxChar();
    virtual void DispatchEvents(DWORD Mask);

    // The device control block that the settings describe.
    [[nodiscard]] DCB MakeDCB() const;
    // The device path: DeviceName formatted with PortNum.
    [[nodiscard]] std::string GetPortName() const;

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

    // State for inspection.
    [[nodiscard]] HANDLE Handle() const { return FHandle; }
    [[nodiscard]] DWORD EventMask() const { return FEventMask; }
    [[nodiscard]] const TVaCommEventThread* EventThread() const { return FEventThread.get(); }
    [[nodiscard]] const TVaCommWriteThread* WriteThread() const { return FWriteThread.get(); }

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
    TVaCommRxBufEvent OnRxBuf;
    TNotifyEvent OnRxFlag;
    TNotifyEvent OnTxEmpty;
    TNotifyEvent OnPErr;
    TNotifyEvent OnRx80Full;
    TNotifyEvent OnEvent1;
    TNotifyEvent OnEvent2;

protected:
    virtual void OpenDevice();
    virtual void StartThreads();
    void CloseDevice();
    void StopThreads();
    void ApplyDCB();
    void ApplyBuffers();
    void ApplyTimeouts();
    void ApplyEventMask();
    void DoOpen();
    void DoClose();

    void LockWrite() { FWriteLock->Enter(); }
    void UnlockWrite() { FWriteLock->Leave(); }
    void LockRead() { FReadLock->Enter(); }
    void UnlockRead() { FReadLock->Leave(); }

    // Raises EVaCommError with Fmt filled with the last error's code and system text.
    [[noreturn]] static void RaiseCommError(const char* Fmt);
    // The same with Prefix, text already complete, put before the filled Fmt unchanged.
    [[noreturn]] static void RaiseCommError(const std::string& Prefix, const char* Fmt);
    static void CheckCommResult(bool Success, const char* Fmt);
    void CheckClosed() const;

private:
    friend class TVaCommThread;
    friend class TVaCommEventThread;
    friend class TVaCommWriteThread;

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
    // Waits for the worker threads that StopThreads asked to stop and frees them; one
    // whose handed-over call is running (a handler closed the port) ends once that call
    // returns and is freed later.
    void JoinStoppedThreads();
    // Refuses a negative count and a missing block.
    static void CheckBlock(const void* Buffer, int Count);
    int WriteDirect(const void* Buffer, int Count);
    // Completes an overlapped operation of the calling thread: waits up to Timeout for
    // Event, otherwise cancels it and waits until the system is done with it. Returns the
    // bytes transferred.
    DWORD CompleteIo(OVERLAPPED& Overlapped, TVaWaitEvent& Event, DWORD Timeout);
    // A worker found the device failing: true for the first such report of this open.
    bool ClaimFailureReport();

    HANDLE FHandle = INVALID_HANDLE_VALUE;
    std::shared_ptr<void> FDevice; // owns FHandle together with the threads that use it
    std::unique_ptr<TVaCriticalSection> FWriteLock;
    std::unique_ptr<TVaCriticalSection> FReadLock;
    std::unique_ptr<TVaWaitEvent> FIoEvent;
    std::unique_ptr<TVaWaitEvent> FWriteIoEvent; // completion of a direct write
    std::unique_ptr<TVaCommEventThread> FEventThread;
    std::unique_ptr<TVaCommWriteThread> FWriteThread;
    DWORD FEventMask = 0;
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

    // Threads asked to stop, waiting to be joined.
    std::vector<std::unique_ptr<TVaCommThread>> FStoppedThreads;
    std::atomic<bool> FFailureReported{false};
};

// The published serial port component.
class TVaComm : public TVaCustomComm {
public:
    explicit TVaComm(TComponent* AOwner);
    const char* ClassName() const override { return "TVaComm"; }
    [[nodiscard]] const TClassInfo& ClassInfo() const override;
};
