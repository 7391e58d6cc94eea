#pragma once
// The main window: the port selector, the read button, the seven result fields, the serial
// port component vaComm and the reply timer, built from the window's stored description,
// and the read run that asks the phone for its identity.

#include "app/ExchangeTrace.h"
#include "app/PhoneExchange.h"
#include "app/PhoneQuery.h"
#include "app/PortChooser.h"
#include "app/StartForm.h"
#include "serial/VaComm.h"
#include "ui/Forms.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class TfrmStart : public TForm {
public:
    // Builds the window from its stored description; the port stays closed.
    explicit TfrmStart(TComponent* AOwner);
    ~TfrmStart() override;
    TfrmStart(const TfrmStart&) = delete;
    TfrmStart& operator=(const TfrmStart&) = delete;
    TfrmStart(TfrmStart&&) = delete;
    TfrmStart& operator=(TfrmStart&&) = delete;

    const char* ClassName() const override { return "TfrmStart"; }

    // Handlers, bound by name from the stored description.
    void FormCreate(TObject* Sender);
    void btnReadClick(TObject* Sender);
    void vaCommOpen(TObject* Sender);
    void vaCommRxChar(TObject* Sender, int Count);
    void TimerTimer(TObject* Sender);
    // Line errors of vaComm: a receive overrun fails the exchange waiting for a reply.
    void vaCommError(TObject* Sender, int Errors);

    // One exchange: writes Command, the exchange's next, and waits for its reply; true when
    // the reply ended with OK; the answer is then in FResponse.
    bool SendCommand(std::string_view Command);

    // The seven labels with their answers, a line each, as "Copy all" puts them on the
    // clipboard (Ctrl+Shift+C or the window's context menu).
    [[nodiscard]] std::string AllFieldsText() const;
    void CopyAll();
    // The trace of the last run's exchange (ExchangeTrace.h): what was written and received
    // since Read was last pressed, as "Copy exchange" puts it on the clipboard (Ctrl+Shift+E
    // or the window's context menu). Every line also goes to the file named by the
    // environment variable KIVO_TRACE when it is set.
    [[nodiscard]] const std::string& LastExchange() const { return FLastExchange; }
    void CopyExchange();

    // True while a read run is in progress.
    [[nodiscard]] bool Running() const { return FRunning; }
    [[nodiscard]] const std::string& Response() const { return FResponse; }

    // The members the stored description creates.
    TLabel* lblPort = nullptr;
    TComboBox* cbPort = nullptr;
    TLabel* lblVersion = nullptr;
    TLabel* lbCGMI = nullptr;
    TEdit* edCGMI = nullptr;
    TLabel* lblCGMM = nullptr;
    TEdit* edCGMM = nullptr;
    TLabel* lblCGMR = nullptr;
    TEdit* edCGMR = nullptr;
    TLabel* lblGMI = nullptr;
    TEdit* edGMI = nullptr;
    TLabel* lblGMM = nullptr;
    TEdit* edGMM = nullptr;
    TLabel* lblGMR = nullptr;
    TEdit* edGMR = nullptr;
    TLabel* lblCGSN = nullptr;
    TEdit* edCGSN = nullptr;
    TButton* btnRead = nullptr;
    TVaComm* vaComm = nullptr;
    TTimer* Timer = nullptr;

    void Loaded() override;

protected:
    bool CloseQuery() override;
    void DoClose() override;

private:
    void PublishHandlers();
    void FindMembers();
    [[nodiscard]] std::array<TEdit*, QueryCommands.size()> ResultFields() const;
    void BeginRun();
    void EndRun();
    void ChoosePort();
    // False when the chosen item opens the system console and nobody has been warned of it
    // yet: the warning shows, and a read of it only starts when Read is pressed again.
    bool ConsoleConfirmed();
    // True when the port is open afterwards.
    bool OpenPort();
    // Drives the exchange: writes each command it names and shows each answer.
    void RunCommands();
    // Sleeps and processes messages until Done or the window is to close.
    void WaitUntil(const std::function<bool()>& Done);
    // Takes what an event did to the exchange: restarts the timer on a piece of the reply,
    // fills the answer, or shows the failure.
    void TakeStep(TStepResult Result, bool Heard);
    // Shows Message in the error box of a run; the timer stops first.
    void ShowRunError(const std::string& Message);
    // The application's report of an exception while the window lives. A failure of the
    // port (its hand-over raised: the device was unplugged) ends the exchange waiting on it
    // with one message; the port is closed when the run ends, or at once when no run was
    // going on, so the next run opens it again. Anything else gets the application's
    // default box.
    void PortFailure(TObject* Sender, const std::exception& E);
    void ClosePortIfLost();

    // Shows the IMEI's verdict as the serial number field's tip.
    void ShowImeiVerdict();

    // The trace: the last run's lines, and KIVO_TRACE's file.
    void RecordTrace(std::string_view Line);
    // Says once that the trace file cannot be written (its open or a write failed); not
    // under the trace's lock.
    void ReportTraceFailure();
    std::unique_ptr<TTraceFile> FTraceFile;
    std::string FLastExchange;
    TExchangeTrace FTrace;
    // The rules of the exchange with the phone; the lines it follows go on between runs.
    TPhoneExchange FExchange;
    std::string FResponse;
    bool FOpening = false; // the open phase: waiting for the port's OnOpen
    bool FOpened = false;  // OnOpen came
    bool FOpenTimedOut = false;

    // ---- The port list
    // Lists the ports found now, as the chooser keeps or makes the choice; runs whenever a
    // port comes or goes.
    void RefreshPorts();

    TPortChooser FChooser;                  // the items and the rules of the choice
    std::string FStoredDeviceName;          // the component's own, "COM%d" as stored
    std::string FFoundDeviceName;           // what a found port put in its place
    std::string FConsoleWarned;             // the console item a warning was shown for
    std::unique_ptr<TWatchPeer> FPortWatch; // refreshes the list as ports come and go

    bool FRunning = false;
    bool FCloseRequested = false;
    bool FPortLost = false;
    bool FShowingError = false;
};

// Makes the classes of the window's description known to the stored-form reader.
void RegisterStartClasses();
