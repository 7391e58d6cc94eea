#include "serial/VaPrst.h"

const TClassInfo& TVaFlowControl::ClassInfo() const {
    using T = TVaFlowControl;
    static const TClassInfo Info =
        TPropertyList<T>("TVaFlowControl", nullptr)
            .Boolean("OutCtsFlow", &T::OutCtsFlow, &T::SetOutCtsFlow, std::nullopt)
            .Boolean("OutDsrFlow", &T::OutDsrFlow, &T::SetOutDsrFlow, std::nullopt)
            .Enum<TVaControlDtr>("ControlDtr", &T::ControlDtr, &T::SetControlDtr,
                                 VaTypeNames::ControlDtr, std::nullopt)
            .Enum<TVaControlRts>("ControlRts", &T::ControlRts, &T::SetControlRts,
                                 VaTypeNames::ControlRts, std::nullopt)
            .Boolean("XonXoffOut", &T::XonXoffOut, &T::SetXonXoffOut, std::nullopt)
            .Boolean("XonXoffIn", &T::XonXoffIn, &T::SetXonXoffIn, std::nullopt)
            .Boolean("DsrSensitivity", &T::DsrSensitivity, &T::SetDsrSensitivity, std::nullopt)
            .Boolean("TxContinueOnXoff", &T::TxContinueOnXoff, &T::SetTxContinueOnXoff,
                     std::nullopt)
            .Build();
    return Info;
}

void TVaFlowControl::Assign(const TPersistent* Source) {
    const auto* Src = dynamic_cast<const TVaFlowControl*>(Source);
    if (Src == nullptr) {
        TVaPersistent::Assign(Source); // raises the conversion error
        return;
    }
    AssignBracketed([&] {
        SetOutCtsFlow(Src->OutCtsFlow());
        SetOutDsrFlow(Src->OutDsrFlow());
        SetControlDtr(Src->ControlDtr());
        SetControlRts(Src->ControlRts());
        SetXonXoffOut(Src->XonXoffOut());
        SetXonXoffIn(Src->XonXoffIn());
        SetDsrSensitivity(Src->DsrSensitivity());
        SetTxContinueOnXoff(Src->TxContinueOnXoff());
    });
}

const TClassInfo& TVaEventChars::ClassInfo() const {
    using T = TVaEventChars;
    static const TClassInfo Info = TPropertyList<T>("TVaEventChars", nullptr)
                                       .Char("XonChar", &T::XonChar, &T::SetXonChar, 17)
                                       .Char("XoffChar", &T::XoffChar, &T::SetXoffChar, 19)
                                       .Char("ErrorChar", &T::ErrorChar, &T::SetErrorChar, 0)
                                       .Char("EventChar", &T::EventChar, &T::SetEventChar, 0)
                                       .Char("EofChar", &T::EofChar, &T::SetEofChar, 0)
                                       .Build();
    return Info;
}

void TVaEventChars::Assign(const TPersistent* Source) {
    const auto* Src = dynamic_cast<const TVaEventChars*>(Source);
    if (Src == nullptr) {
        TVaPersistent::Assign(Source);
        return;
    }
    AssignBracketed([&] {
        SetChar(1, Src->XonChar());
        SetChar(2, Src->XoffChar());
        SetChar(3, Src->ErrorChar());
        SetChar(4, Src->EventChar());
        SetChar(5, Src->EofChar());
    });
}

void TVaEventChars::SetChar(int Index, TVaChar Value) {
    switch (Index) {
    case 1:
        FXonChar = Value;
        break;
    case 2:
        FXoffChar = Value;
        break;
    case 3:
        FErrorChar = Value;
        break;
    case 4:
        FEventChar = Value;
        break;
    case 5:
        FEofChar = Value;
        break;
    default:
        return; // no such character: nothing stored, nothing to tell
    }
    Changed();
}

const TClassInfo& TVaBuffers::ClassInfo() const {
    using T = TVaBuffers;
    static const TClassInfo Info =
        TPropertyList<T>("TVaBuffers", nullptr)
            .Integer("ReadSize", &T::ReadSize, &T::SetReadSize, 4096)
            .Integer("WriteSize", &T::WriteSize, &T::SetWriteSize, 2048)
            .Integer("ReadTimeout", &T::ReadTimeout, &T::SetReadTimeout, 1000)
            .Integer("WriteTimeout", &T::WriteTimeout, &T::SetWriteTimeout, 1000)
            .Build();
    return Info;
}

void TVaBuffers::Assign(const TPersistent* Source) {
    const auto* Src = dynamic_cast<const TVaBuffers*>(Source);
    if (Src == nullptr) {
        TVaPersistent::Assign(Source);
        return;
    }
    AssignBracketed([&] {
        FReadSize = Src->FReadSize;
        FReadTimeout = Src->FReadTimeout;
        FWriteSize = Src->FWriteSize;
        FWriteTimeout = Src->FWriteTimeout;
    });
}

void TVaBuffers::SetReadSize(TVaIntW Value) {
    if (FReadSize != Value) {
        FReadSize = Value;
        Changed();
    }
}

void TVaBuffers::SetWriteSize(TVaIntW Value) {
    if (FWriteSize != Value) {
        FWriteSize = Value;
        Changed();
    }
}
