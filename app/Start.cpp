#include "app/Start.h"

#include "app/Imei.h"
#include "app/PortFailure.h"
#include "app/ReadReport.h"
#include "runtime/Streaming.h"
#include "runtime/Thread.h"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <utility>

namespace {

// The longest the waiting loops sleep between two rounds of message processing; a message
// that arrives ends the sleep at once.
constexpr auto PollInterval = std::chrono::milliseconds(100);

// The file KIVO_TRACE names; none when it is not set.
std::unique_ptr<TTraceFile> TraceFileFromEnvironment() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in KIVO changes the environment
    const char* Path = std::getenv("KIVO_TRACE");
    if (Path == nullptr || *Path == '\0') {
        return nullptr;
    }
    return std::make_unique<TTraceFile>(Path);
}

// The message of a failed reply: where a reply ran out of time after something came, what
// came instead; else the exchange's own message (the timeout's when nothing came).
std::string NoAnswerMessage(const TPhoneExchange& Exchange) {
    if (Exchange.End() != TExchangeEnd::eeNoAnswer || Exchange.LastMessage() != TimeoutMessage ||
        Exchange.Step() < 0) {
        return Exchange.LastMessage();
    }
    const std::string Command(
        TrimLine(QueryCommands.at(static_cast<std::size_t>(Exchange.Step())).Text));
    switch (Exchange.Silence()) {
    case TSilence::siStopped:
        return "ERROR: The reply to " + Command +
               " stopped before its end (\"Copy exchange\" shows what came).";
    case TSilence::siUnreadable:
        return "ERROR: Unreadable reply to " + Command + ": the line speed may be another.";
    case TSilence::siNoResultCode:
        return "ERROR: Text but no result code in the reply to " + Command +
               ": not a phone or modem.";
    case TSilence::siNothing:
        break;
    }
    return Exchange.LastMessage();
}

template <typename T> T* Member(const TComponent& Form, std::string_view Name) {
    auto* Found = dynamic_cast<T*>(Form.FindComponent(Name));
    if (Found == nullptr) {
        throw EReadError("The window's description lacks " + std::string(Name));
    }
    return Found;
}

} // namespace

void RegisterStartClasses() {
    RegisterFormClasses(); // TVaComm registers itself (serial/VaComm.cpp)
}

TfrmStart::TfrmStart(TComponent* AOwner)
    : TForm(AOwner), FTraceFile(TraceFileFromEnvironment()),
      FTrace([this](std::string_view Line) { RecordTrace(Line); }) {
    RegisterStartClasses();
    PublishHandlers();
    ReadComponent(StartFormText(), *this);
    AddAction("Copy all", TShortCut{'C', true, true}, [this] { CopyAll(); });
    AddAction("Copy exchange", TShortCut{'E', true, true}, [this] { CopyExchange(); });
    vaComm->OnError =
        TVaCommErrorEvent([this](TObject* Sender, int Errors) { vaCommError(Sender, Errors); });
    SetApplicationExceptionHandler(
        [this](TObject* Sender, const std::exception& E) { PortFailure(Sender, E); });
}

TfrmStart::~TfrmStart() {
    SetApplicationExceptionHandler(
        [](TObject*, const std::exception& E) { Application().ShowException(E); });
    // The port closes with vaComm; its handlers must not run into a half-destroyed window.
    if (vaComm != nullptr) {
        vaComm->OnRxChar = {};
        vaComm->OnOpen = {};
        vaComm->OnError = {};
    }
}

void TfrmStart::PublishHandlers() {
    PublishMethod<TNotifyEvent>("FormCreate", this, &TfrmStart::FormCreate);
    PublishMethod<TNotifyEvent>("btnReadClick", this, &TfrmStart::btnReadClick);
    PublishMethod<TNotifyEvent>("vaCommOpen", this, &TfrmStart::vaCommOpen);
    PublishMethod<TVaCommRxCharEvent>("vaCommRxChar", this, &TfrmStart::vaCommRxChar);
    PublishMethod<TNotifyEvent>("TimerTimer", this, &TfrmStart::TimerTimer);
}

void TfrmStart::Loaded() {
    FindMembers();
    TForm::Loaded();
}

void TfrmStart::FindMembers() {
    lblPort = Member<TLabel>(*this, "lblPort");
    cbPort = Member<TComboBox>(*this, "cbPort");
    lblVersion = Member<TLabel>(*this, "lblVersion");
    lbCGMI = Member<TLabel>(*this, "lbCGMI");
    edCGMI = Member<TEdit>(*this, "edCGMI");
    lblCGMM = Member<TLabel>(*this, "lblCGMM");
    edCGMM = Member<TEdit>(*this, "edCGMM");
    lblCGMR = Member<TLabel>(*this, "lblCGMR");
    edCGMR = Member<TEdit>(*this, "edCGMR");
    lblGMI = Member<TLabel>(*this, "lblGMI");
    edGMI = Member<TEdit>(*this, "edGMI");
    lblGMM = Member<TLabel>(*this, "lblGMM");
    edGMM = Member<TEdit>(*this, "edGMM");
    lblGMR = Member<TLabel>(*this, "lblGMR");
    edGMR = Member<TEdit>(*this, "edGMR");
    lblCGSN = Member<TLabel>(*this, "lblCGSN");
    edCGSN = Member<TEdit>(*this, "edCGSN");
    btnRead = Member<TButton>(*this, "btnRead");
    vaComm = Member<TVaComm>(*this, "vaComm");
    Timer = Member<TTimer>(*this, "Timer");
}

std::array<TEdit*, QueryCommands.size()> TfrmStart::ResultFields() const {
    return {edCGMI, edCGMM, edCGMR, edGMI, edGMM, edGMR, edCGSN};
}

void TfrmStart::FormCreate(TObject* /*Sender*/) {
    FChooser = TPortChooser(cbPort->Items());
    cbPort->SetItemIndex(FChooser.Chosen());
    RefreshPorts();
    FPortWatch =
        UiBackend::WatchSerialPorts([this] { GuardedCall(this, [this] { RefreshPorts(); }); });
    ReportTraceFailure();
}

// ---- The port list

void TfrmStart::RefreshPorts() {
    FChooser.Select(cbPort->ItemIndex());
    FChooser.Refresh(ListSerialPorts());
    cbPort->SetItems(FChooser.Items());
    cbPort->SetItemIndex(FChooser.Chosen());
}

// ---- The read run

void TfrmStart::btnReadClick(TObject* /*Sender*/) {
    BeginRun();
    try {
        ChoosePort();
        if (ConsoleConfirmed() && OpenPort()) {
            Timer->SetEnabled(false);
            RunCommands();
        }
    } catch (...) {
        EndRun();
        throw;
    }
    EndRun();
}

void TfrmStart::BeginRun() {
    FRunning = true;
    Application().SetCursor(TCursor::crHourGlass);
    cbPort->SetEnabled(false);
    btnRead->SetEnabled(false);
    for (TEdit* Field : ResultFields()) {
        Field->SetText({});
    }
    ShowImeiVerdict();
    FLastExchange.clear();
    Repaint();
}

void TfrmStart::EndRun() {
    FOpening = false;
    FExchange.Stop();
    Timer->SetEnabled(false);
    ClosePortIfLost();
    cbPort->SetEnabled(true);
    btnRead->SetEnabled(true);
    btnRead->SetFocus();
    Application().SetCursor(TCursor::crDefault);
    FRunning = false;
    ReportTraceFailure();
    if (FCloseRequested) {
        Close();
    }
}

void TfrmStart::ChoosePort() {
    ClosePortIfLost();
    // A stored item is "COM n" through the component's own DeviceName ("COM%d" as stored); a
    // found port puts its path there until a stored item is chosen again.
    if (vaComm->DeviceName() != FFoundDeviceName) {
        FStoredDeviceName = vaComm->DeviceName();
    }
    const int Index = cbPort->ItemIndex();
    const bool Stored = Index < FChooser.StoredCount();
    const std::string Name =
        Stored ? FStoredDeviceName : TVaComm::DeviceNameForPath(FChooser.Key(Index));
    const int Port = Stored ? Index + 1 : vaComm->PortNum();
    if (Port != vaComm->PortNum() || Name != vaComm->DeviceName()) {
        if (vaComm->Active()) {
            vaComm->Close();
        }
        vaComm->SetDeviceName(Name);
        vaComm->SetPortNum(Port);
    }
    FFoundDeviceName = Stored ? std::string() : Name;
    FExchange.SetTrace(&FTrace, vaComm->GetPortName());
}

bool TfrmStart::ConsoleConfirmed() {
    const int Index = cbPort->ItemIndex();
    const std::string Console = FChooser.ConsolePath(Index);
    if (Console.empty() || FChooser.Key(Index) == FConsoleWarned) {
        return true;
    }
    FConsoleWarned = FChooser.Key(Index);
    Application().MessageBox(
        Console + " is the system console: the kernel writes its messages there and a login " +
            "may wait on it, so a read would send AT commands to them. Press Read again to " +
            "read it all the same.",
        "System console", TMsgIcon::miInformation);
    return false;
}

bool TfrmStart::OpenPort() {
    if (vaComm->Active()) {
        return true;
    }
    FOpened = false;
    FOpenTimedOut = false;
    FOpening = true;
    vaComm->Open();
    Timer->SetEnabled(true);
    WaitUntil([this] { return FOpened || FOpenTimedOut || FPortLost; });
    FOpening = false;
    if (FOpenTimedOut) {
        vaComm->Close();
        return false;
    }
    if (!FOpened || FCloseRequested || FPortLost) {
        return false;
    }
    // What the port held already (a module that has just booted) answers no command.
    FExchange.Opened(vaComm->ReadText());
    return true;
}

void TfrmStart::RunCommands() {
    const auto Fields = ResultFields();
    FExchange.Begin({.Period = std::chrono::milliseconds(Timer->Interval())});
    while (!FExchange.Ended()) {
        const auto Step = static_cast<std::size_t>(FExchange.Step());
        if (!SendCommand(FExchange.NextCommand())) {
            return;
        }
        Fields.at(Step)->SetText(FResponse);
        if (Fields.at(Step) == edCGSN) {
            ShowImeiVerdict();
        }
        if (!FExchange.Ended()) {
            Repaint();
        }
    }
}

bool TfrmStart::SendCommand(std::string_view Command) {
    if (FPortLost) {
        return false;
    }
    Application().SetCursor(TCursor::crHourGlass);
    FResponse.clear();
    try {
        vaComm->WriteText(std::string(Command));
        FExchange.Sent(TPhoneExchange::TClock::now());
        // A full period from the write; each piece received starts another (TakeStep).
        Timer->SetEnabled(true);
        WaitUntil([this] { return !FExchange.Awaiting(); });
    } catch (...) {
        FExchange.Stop();
        Timer->SetEnabled(false);
        Application().SetCursor(TCursor::crDefault);
        throw;
    }
    if (FExchange.Awaiting()) {
        // The window is closing: the exchange ends unanswered.
        FExchange.Stop();
        Timer->SetEnabled(false);
    }
    Application().SetCursor(TCursor::crDefault);
    return FExchange.LastResult() == TStepResult::srAnswered;
}

void TfrmStart::WaitUntil(const std::function<bool()>& Done) {
    do {
        Application().WaitAndProcessMessages(PollInterval);
    } while (!Done() && !FCloseRequested);
}

// ---- Handlers of the port and the timer

void TfrmStart::vaCommOpen(TObject* /*Sender*/) {
    FOpened = true;
}

void TfrmStart::vaCommRxChar(TObject* /*Sender*/, int /*Count*/) {
    const std::string Chunk = vaComm->ReadText();
    if (FOpening) {
        // The open phase: what the port holds answers nothing; it only goes to the trace.
        FExchange.Received(Chunk, TPhoneExchange::TClock::now());
        return;
    }
    TakeStep(FExchange.Received(Chunk, TPhoneExchange::TClock::now()), !Chunk.empty());
}

void TfrmStart::TimerTimer(TObject* /*Sender*/) {
    Timer->SetEnabled(false);
    if (FOpening) {
        ShowRunError(std::string(TimeoutMessage));
        FOpenTimedOut = true;
        return;
    }
    TakeStep(FExchange.TimedOut(), false);
}

void TfrmStart::vaCommError(TObject* /*Sender*/, int Errors) {
    if (IsReceiveOverrun(Errors)) {
        TakeStep(FExchange.Overrun(), false);
    }
}

void TfrmStart::TakeStep(TStepResult Result, bool Heard) {
    switch (Result) {
    case TStepResult::srWaiting:
        if (Heard && FExchange.Awaiting()) {
            // The phone is answering: its silence counts from this piece on.
            Timer->SetEnabled(false);
            Timer->SetEnabled(true);
        }
        return;
    case TStepResult::srAnswered:
        Timer->SetEnabled(false);
        FResponse = FExchange.LastAnswer();
        return;
    case TStepResult::srFailed:
        FResponse = FExchange.Response();
        ShowRunError(NoAnswerMessage(FExchange));
        return;
    }
}

void TfrmStart::PortFailure(TObject* Sender, const std::exception& E) {
    // The port's own threads hand its failures over; what a handler of the window raises
    // (Open refusing a missing device) is no loss of an open port.
    const bool FromPort = dynamic_cast<TThread*>(Sender) != nullptr;
    if (!FromPort || dynamic_cast<const EVaCommError*>(&E) == nullptr) {
        Application().ShowException(
            EVaCommError(PortFailureMessage(E, vaComm->GetPortName()), ErrorCodeOf(E)));
        return;
    }
    // One message per loss: what fails after it, or while a box is up, is the same loss.
    if (std::exchange(FPortLost, true) || FShowingError) {
        return;
    }
    if (!FRunning) {
        // Lost while nobody reads (a phone unplugged after its read): the port closes
        // quietly, and the next Read opens it again, saying so only if that fails.
        ClosePortIfLost();
        return;
    }
    const std::string Message = DeviceLostMessage(vaComm->GetPortName());
    if (FExchange.Awaiting()) {
        FExchange.DeviceLost(Message, E.what());
        FResponse = FExchange.Response();
    }
    ShowRunError(Message);
}

void TfrmStart::ClosePortIfLost() {
    if (std::exchange(FPortLost, false)) {
        vaComm->Close();
    }
}

void TfrmStart::ShowRunError(const std::string& Message) {
    // The exchange has ended before the box shows: ticks and characters that arrive
    // meanwhile change nothing.
    Timer->SetEnabled(false);
    FShowingError = true;
    Application().ShowError(Message);
    FShowingError = false;
}

// ---- Copy all

std::string TfrmStart::AllFieldsText() const {
    TReadResult Shown;
    const auto Fields = ResultFields();
    for (std::size_t I = 0; I < Fields.size(); ++I) {
        Shown.Answers.at(I) = Fields.at(I)->Text();
    }
    Shown.Count = Fields.size();
    return FormatAsText(Shown);
}

void TfrmStart::CopyAll() {
    Application().SetClipboardText(AllFieldsText());
}

void TfrmStart::ShowImeiVerdict() {
    edCGSN->SetHint(ImeiVerdictText(edCGSN->Text()));
}

// ---- The trace

void TfrmStart::RecordTrace(std::string_view Line) {
    FLastExchange += Line;
    if (FTraceFile) {
        FTraceFile->Write(Line);
    }
}

void TfrmStart::ReportTraceFailure() {
    if (FTraceFile) {
        if (auto Failure = FTraceFile->TakeFailure()) {
            Application().ShowError(*Failure);
        }
    }
}

void TfrmStart::CopyExchange() {
    Application().SetClipboardText(FLastExchange);
}

// ---- Closing

bool TfrmStart::CloseQuery() {
    if (FRunning) {
        // The run ends at its next wake-up and closes the window then.
        FCloseRequested = true;
        return false;
    }
    return true;
}

void TfrmStart::DoClose() {
    vaComm->Close();
}
