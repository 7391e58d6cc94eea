#pragma once
// The component's settings objects: flow control, special characters and buffers. Each
// tells its owner of a change through the notification of TVaPersistent.

#include "runtime/TypInfo.h"
#include "serial/VaClasses.h"
#include "serial/VaTypes.h"

// Handshake lines and XON/XOFF flow control.
class TVaFlowControl : public TVaPersistent {
public:
    const char* ClassName() const override { return "TVaFlowControl"; }
    [[nodiscard]] const TClassInfo& ClassInfo() const override;
    void Assign(const TPersistent* Source) override;

    // The settings and their setters, each applied to an open port at once: output waits
    // for CTS or DSR (OutCtsFlow, OutDsrFlow); what drives DTR and RTS (ControlDtr,
    // ControlRts: off, on, or the handshake); XON/XOFF for output and input; bytes are taken
    // only while DSR is up (DsrSensitivity); output goes on after XOFF was sent
    // (TxContinueOnXoff).
    [[nodiscard]] bool OutCtsFlow() const { return FOutCtsFlow; }
    [[nodiscard]] bool OutDsrFlow() const { return FOutDsrFlow; }
    [[nodiscard]] TVaControlDtr ControlDtr() const { return FControlDtr; }
    [[nodiscard]] TVaControlRts ControlRts() const { return FControlRts; }
    [[nodiscard]] bool XonXoffOut() const { return FXonXoffOut; }
    [[nodiscard]] bool XonXoffIn() const { return FXonXoffIn; }
    [[nodiscard]] bool DsrSensitivity() const { return FDsrSensitivity; }
    [[nodiscard]] bool TxContinueOnXoff() const { return FTxContinueOnXoff; }

    // Each stores its setting and notifies, unless the value is unchanged.
    void SetOutCtsFlow(bool Value) { Store(FOutCtsFlow, Value); }
    void SetOutDsrFlow(bool Value) { Store(FOutDsrFlow, Value); }
    void SetControlDtr(TVaControlDtr Value) { Store(FControlDtr, Value); }
    void SetControlRts(TVaControlRts Value) { Store(FControlRts, Value); }
    void SetXonXoffOut(bool Value) { Store(FXonXoffOut, Value); }
    void SetXonXoffIn(bool Value) { Store(FXonXoffIn, Value); }
    void SetDsrSensitivity(bool Value) { Store(FDsrSensitivity, Value); }
    void SetTxContinueOnXoff(bool Value) { Store(FTxContinueOnXoff, Value); }

private:
    // Stores a changed value and notifies; an equal value changes nothing.
    template <typename V> void Store(V& Field, V Value) {
        if (Field != Value) {
            Field = Value;
            Changed();
        }
    }

    bool FOutCtsFlow = false;
    bool FOutDsrFlow = false;
    TVaControlDtr FControlDtr = dtrDisabled;
    TVaControlRts FControlRts = rtsDisabled;
    bool FXonXoffOut = false;
    bool FXonXoffIn = false;
    bool FDsrSensitivity = false;
    bool FTxContinueOnXoff = false;
};

// The special characters of the line.
class TVaEventChars : public TVaPersistent {
public:
    // One character of the line.
    using TVaChar = unsigned char;

    const char* ClassName() const override { return "TVaEventChars"; }
    [[nodiscard]] const TClassInfo& ClassInfo() const override;
    void Assign(const TPersistent* Source) override;

    // The characters: XON and XOFF for the flow control (17 and 19), the one that replaces
    // a byte received with an error (with coErrorChar), the one that raises OnRxFlag, and
    // the end-of-file character.
    [[nodiscard]] TVaChar XonChar() const { return FXonChar; }
    [[nodiscard]] TVaChar XoffChar() const { return FXoffChar; }
    [[nodiscard]] TVaChar ErrorChar() const { return FErrorChar; }
    [[nodiscard]] TVaChar EventChar() const { return FEventChar; }
    [[nodiscard]] TVaChar EofChar() const { return FEofChar; }

    // Stores Value into the character that Index selects (1 XonChar, 2 XoffChar,
    // 3 ErrorChar, 4 EventChar, 5 EofChar) and notifies, also for an unchanged value.
    void SetChar(int Index, TVaChar Value);

    // SetChar with the Index of each character.
    void SetXonChar(TVaChar Value) { SetChar(1, Value); }
    void SetXoffChar(TVaChar Value) { SetChar(2, Value); }
    void SetErrorChar(TVaChar Value) { SetChar(3, Value); }
    void SetEventChar(TVaChar Value) { SetChar(4, Value); }
    void SetEofChar(TVaChar Value) { SetChar(5, Value); }

private:
    TVaChar FXonChar = 17;
    TVaChar FXoffChar = 19;
    TVaChar FErrorChar = 0;
    TVaChar FEventChar = 0;
    TVaChar FEofChar = 0;
};

// Queue sizes and the component's own wait times.
class TVaBuffers : public TVaPersistent {
public:
    const char* ClassName() const override { return "TVaBuffers"; }
    [[nodiscard]] const TClassInfo& ClassInfo() const override;
    void Assign(const TPersistent* Source) override;

    // The input and output queue sizes handed to the device at Open (bytes, at most
    // VaMaxQueueSize), and how long ReadBuf and WriteBuf wait (milliseconds).
    [[nodiscard]] TVaIntW ReadSize() const { return FReadSize; }
    [[nodiscard]] TVaIntW WriteSize() const { return FWriteSize; }
    [[nodiscard]] TVaIntW ReadTimeout() const { return FReadTimeout; }
    [[nodiscard]] TVaIntW WriteTimeout() const { return FWriteTimeout; }

    // The queue sizes; the next Open uses them.
    void SetReadSize(TVaIntW Value);
    void SetWriteSize(TVaIntW Value);
    // The wait times notify nobody; the next wait uses them.
    void SetReadTimeout(TVaIntW Value) { FReadTimeout = Value; }
    void SetWriteTimeout(TVaIntW Value) { FWriteTimeout = Value; }

private:
    TVaIntW FReadSize = 4096;
    TVaIntW FWriteSize = 2048;
    TVaIntW FReadTimeout = 1000;
    TVaIntW FWriteTimeout = 1000;
};
