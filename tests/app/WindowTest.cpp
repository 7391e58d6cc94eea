// The main window on Qt's offscreen platform, reading from the simulated phone through the
// real serial port component and pseudo-terminals.

#include "app/Start.h"
#include "platform/Win32Api.h"
#include "runtime/Streaming.h"
#include "tests/tools/SimOptions.h"
#include "tools/PhoneSim.h"
#include "ui/Forms.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QFontInfo>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <sstream>
#include <sys/wait.h>

namespace {

struct TBox {
    std::string Text;
    std::string Caption;
};

QWidget* TopLevel() {
    for (QWidget* W : QApplication::topLevelWidgets()) {
        if (W->isVisible() && W->windowTitle().startsWith("KIVO")) {
            return W;
        }
    }
    return nullptr;
}

// Processor time of the whole process so far, in seconds.
double ProcessorSeconds() {
    timespec Now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &Now);
    return static_cast<double>(Now.tv_sec) + static_cast<double>(Now.tv_nsec) * 1e-9;
}

// Runs Call and expects the process to have slept through most of it, not spun a core.
template <typename F> void ExpectMostlyAsleep(F Call) {
    const double CpuBefore = ProcessorSeconds();
    const auto WallBefore = std::chrono::steady_clock::now();
    Call();
    const double Cpu = ProcessorSeconds() - CpuBefore;
    const double Wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - WallBefore).count();
    EXPECT_LT(Cpu, 0.1 * Wall + 0.25) << Cpu << " s of processor time in " << Wall << " s";
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        Application().SetMessageBoxHook(
            [this](const std::string& Text, const std::string& Caption, TMsgIcon Icon) {
                EXPECT_EQ(Icon, TMsgIcon::miError);
                Boxes.push_back({Text, Caption});
            });
    }
    void TearDown() override {
        Form.reset();
        Application().SetMessageBoxHook({});
        ::unsetenv("KIVO_COM4");  // NOLINT(concurrency-mt-unsafe)
        ::unsetenv("KIVO_COM2");  // NOLINT(concurrency-mt-unsafe)
        ::unsetenv("KIVO_TRACE"); // NOLINT(concurrency-mt-unsafe)
    }

    // The window on COM 4, mapped to Phone. The reply timer keeps its stored 5 s, or runs
    // ShortTimeout for tests that wait for it.
    void OpenWindow(const TPhoneSim& Phone, bool ShortTimer = false) {
        OpenWindowOn(Phone.DevicePath(), ShortTimer);
    }
    void OpenWindowOn(const std::string& Device, bool ShortTimer = false) {
        ::setenv("KIVO_COM4", Device.c_str(), 1); // NOLINT(concurrency-mt-unsafe)
        Form = std::make_unique<TfrmStart>(nullptr);
        if (ShortTimer) {
            Form->Timer->SetInterval(ShortTimeoutMs);
        }
        Form->Show();
    }
    static constexpr int ShortTimeoutMs = 300;

    [[nodiscard]] std::vector<std::string> Fields() const {
        return {Form->edCGMI->Text(), Form->edCGMM->Text(), Form->edCGMR->Text(),
                Form->edGMI->Text(),  Form->edGMM->Text(),  Form->edGMR->Text(),
                Form->edCGSN->Text()};
    }
    static std::vector<std::string> Identity(std::size_t Count = 7) {
        std::vector<std::string> Result;
        for (const auto& Command : QueryCommands) {
            const std::string Key = "+" + std::string(Command.Key);
            Result.push_back(Result.size() < Count ? PhoneSimIdentity().at(Key) : "");
        }
        return Result;
    }
    void ExpectIdleAfterRun() const {
        EXPECT_FALSE(Form->Running());
        EXPECT_TRUE(Form->cbPort->Enabled());
        EXPECT_TRUE(Form->btnRead->Enabled());
        EXPECT_TRUE(Form->btnRead->Focused());
        EXPECT_FALSE(Form->Timer->Enabled());
        EXPECT_EQ(Application().Cursor(), TCursor::crDefault);
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    }
    // One failed exchange: its message and the fields filled before it.
    void ExpectFailure(const std::string& Message, std::size_t FieldsRead) {
        ASSERT_EQ(Boxes.size(), 1U);
        EXPECT_EQ(Boxes[0].Text, Message);
        EXPECT_EQ(Boxes[0].Caption, "Error");
        EXPECT_EQ(Fields(), Identity(FieldsRead));
        EXPECT_TRUE(Form->vaComm->Active()); // the port stays open for the next run
        ExpectIdleAfterRun();
    }

    // Runs Action once, from the event loop, as soon as Phone has Count commands.
    static void When(QTimer& Timer, const TPhoneSim& Phone, int Count,
                     const std::function<void()>& Action) {
        QObject::connect(&Timer, &QTimer::timeout, [&Timer, &Phone, Count, Action] {
            if (Phone.CommandCount() >= Count) {
                Timer.stop();
                Action();
            }
        });
        Timer.start(10);
    }

    // Presses "Read" as the user does: through the toolkit's button.
    void ClickRead() const {
        QWidget* Window = TopLevel();
        ASSERT_NE(Window, nullptr);
        auto* Button = Window->findChild<QPushButton*>();
        ASSERT_NE(Button, nullptr);
        Button->click();
    }

    std::unique_ptr<TfrmStart> Form;
    std::vector<TBox> Boxes;
};

TEST_F(WindowTest, StartsOnComFourWithEmptyFieldsAndNoPortOpen) {
    TPhoneSim Phone;
    OpenWindow(Phone);
    EXPECT_EQ(Form->cbPort->Text(), "COM 4");
    EXPECT_EQ(Form->cbPort->Items().size(), 8U);
    EXPECT_EQ(Fields(), std::vector<std::string>(7));
    EXPECT_FALSE(Form->vaComm->Active());
    EXPECT_EQ(Phone.CommandCount(), 0);
    EXPECT_TRUE(Form->btnRead->Focused());
    EXPECT_FALSE(Form->Timer->Enabled());
    EXPECT_EQ(Form->Timer->Interval(), 5000);
    EXPECT_TRUE(Form->edCGSN->ReadOnly());
    EXPECT_EQ(Form->edCGSN->Color(), TColor::clBtnFace);
    EXPECT_EQ(Form->lbCGMI->Caption(), "Phone Manufacturer:");
    EXPECT_EQ(Form->lblVersion->Caption(), "v1.3");
    EXPECT_EQ(Form->btnRead->Caption(), "&Read");
}

TEST_F(WindowTest, FixedSizeWindowWithControlsInTheirPlacesAndTabOrder) {
    TPhoneSim Phone;
    OpenWindow(Phone);
    QWidget* Window = TopLevel();
    ASSERT_NE(Window, nullptr);
    EXPECT_EQ(Window->size(), QSize(305, 265));
    EXPECT_EQ(Window->minimumSize(), QSize(305, 265));
    EXPECT_EQ(Window->maximumSize(), QSize(305, 265));
    EXPECT_TRUE(Window->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(Window->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(QApplication::applicationName(), "Kivo");
    // The program's icon, built in: pictures, or the drawing where Qt can draw it.
    if (QFile::exists(":/kivo/icons/kivo-16.png") ||
        QImageReader::supportedImageFormats().contains("svg")) {
        EXPECT_FALSE(Window->windowIcon().pixmap(16, 16).isNull());
    }

    const auto Edits = Window->findChildren<QLineEdit*>();
    ASSERT_EQ(Edits.size(), 7);
    for (QLineEdit* Edit : Edits) {
        EXPECT_EQ(Edit->x(), 128);
        EXPECT_EQ(Edit->size(), QSize(161, 21));
        EXPECT_TRUE(Edit->isReadOnly());
    }
    const auto* Button = Window->findChild<QPushButton*>();
    ASSERT_NE(Button, nullptr);
    EXPECT_EQ(Button->geometry(), QRect(128, 224, 161, 25));
    const auto* Combo = Window->findChild<QComboBox*>();
    ASSERT_NE(Combo, nullptr);
    EXPECT_EQ(Combo->geometry(), QRect(128, 16, 73, 21));
    EXPECT_FALSE(Combo->isEditable());

    std::vector<std::string> Order;
    for (TControl* Control : Form->TabOrderList()) {
        Order.push_back(Control->Name());
    }
    EXPECT_EQ(Order, (std::vector<std::string>{"btnRead", "cbPort", "edCGMI", "edCGMM", "edCGMR",
                                               "edGMI", "edGMM", "edGMR", "edCGSN"}));
    // Qt's focus chain follows the same order.
    QWidget* Next = Button->nextInFocusChain();
    while (Next != Button && (Next->focusPolicy() & Qt::TabFocus) == 0) {
        Next = Next->nextInFocusChain();
    }
    EXPECT_EQ(Next, Combo);
}

TEST_F(WindowTest, PortComponentHasExactlyTheStoredSettings) {
    TPhoneSim Phone;
    OpenWindow(Phone);
    const std::string Stored = WriteComponent(*Form->vaComm);
    EXPECT_NE(Stored.find("Baudrate = br19200"), std::string::npos) << Stored;
    EXPECT_NE(Stored.find("PortNum = 4"), std::string::npos);
    EXPECT_NE(Stored.find("MonitorEvents = [ceError, ceRxChar]"), std::string::npos);
    EXPECT_NE(Stored.find("Buffers.ReadSize = 512"), std::string::npos);
    EXPECT_NE(Stored.find("OnRxChar = vaCommRxChar"), std::string::npos);
    EXPECT_EQ(Stored.find("AutoOpen"), std::string::npos);
    EXPECT_EQ(Stored.find("DirectWrite"), std::string::npos);
}

TEST_F(WindowTest, ReadsAllSevenFieldsWithAndWithoutEcho) {
    for (const TEchoMode Echo : {TEchoMode::emOff, TEchoMode::emCR, TEchoMode::emCRLF}) {
        TPhoneSim Phone(WithEcho(Echo));
        OpenWindow(Phone);
        ClickRead();
        EXPECT_TRUE(Boxes.empty());
        EXPECT_EQ(Fields(), Identity()) << static_cast<int>(Echo);
        EXPECT_TRUE(Form->vaComm->Active());
        ExpectIdleAfterRun();
        // A second run on the open port clears and fills the fields again.
        ClickRead();
        EXPECT_EQ(Fields(), Identity());
        EXPECT_EQ(Phone.CommandCount(), 14);
        Form.reset();
    }
}

TEST_F(WindowTest, ChunkedMultiLineRepliesAreJoined) {
    TPhoneSim Phone(Chunked(MultiLine(WithEcho(TEchoMode::emCRLF), "+CGMR"), 4));
    OpenWindow(Phone);
    ClickRead();
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(Form->edCGMR->Text(), "KM310_R2.14 Build 2026-03-14");
    EXPECT_EQ(Form->edCGSN->Text(), PhoneSimIdentity().at("+CGSN"));
}

TEST_F(WindowTest, ErrorReplyEndsTheRunAndKeepsTheFieldsRead) {
    TPhoneSim Phone(Failing("+CGMR", TFailure::fError));
    OpenWindow(Phone);
    ClickRead();
    ExpectFailure("ERROR: Invalid AT command.", 2);
    EXPECT_EQ(Phone.CommandCount(), 3);
}

TEST_F(WindowTest, NumericEquipmentErrorShowsItsText) {
    TPhoneSim Phone(Failing("+GMI", TFailure::fCmeNumeric, "10"));
    OpenWindow(Phone);
    ClickRead();
    ExpectFailure("+CME ERROR 10: SIM not inserted.", 3);
}

TEST_F(WindowTest, EquipmentErrorSplitIntoPiecesDoesNotHang) {
    TPhoneSim Phone(Chunked(Failing("+CGMI", TFailure::fCmeNumeric, "11"), 5));
    OpenWindow(Phone);
    ClickRead();
    ExpectFailure("+CME ERROR 11: SIM PIN required.", 0);
}

TEST_F(WindowTest, VerboseEquipmentErrorShowsThePhonesText) {
    TPhoneSim Phone(Failing("+CGSN", TFailure::fCmeVerbose, "SIM not inserted"));
    OpenWindow(Phone);
    ClickRead();
    ExpectFailure("+CME ERROR: SIM not inserted.", 6);
}

// The one test that waits for the stored 5 s; the others shorten the timer.
TEST_F(WindowTest, SilentPhoneTimesOutWhileTheWindowSleeps) {
    TPhoneSim Phone(Failing("+CGMM", TFailure::fSilent));
    OpenWindow(Phone);
    ExpectMostlyAsleep([this] { ClickRead(); });
    ExpectFailure("ERROR: No answer from phone (timeout).", 1);
}

TEST_F(WindowTest, ReplyThatStopsMidwayTimesOutSayingItStopped) {
    TPhoneSim Phone(Failing("+CGMI", TFailure::fPartial));
    OpenWindow(Phone, true);
    ClickRead();
    ExpectFailure(
        "ERROR: The reply to AT+CGMI stopped before its end (\"Copy exchange\" shows what came).",
        0);
}

TEST_F(WindowTest, StreamOfUnrelatedTextTimesOutAsTextWithoutAResultCode) {
    TPhoneSim Phone(Streaming());
    OpenWindow(Phone, true);
    ClickRead();
    ExpectFailure("ERROR: Text but no result code in the reply to AT+CGMI: not a phone or modem.",
                  0);
}

TEST_F(WindowTest, MissingDeviceIsReportedWithThePathTriedAndHowToChooseAnother) {
    OpenWindowOn("/nonexistent/kivo-test-port");
    ClickRead();
    ASSERT_EQ(Boxes.size(), 1U);
    EXPECT_EQ(Boxes[0].Caption, "Kivo");
    EXPECT_EQ(Boxes[0].Text,
              "Specified device not found (COM4). Tried /nonexistent/kivo-test-port; "
              "set KIVO_COM4 to the device's path to use another.");
    EXPECT_FALSE(Form->vaComm->Active());
    ExpectIdleAfterRun();
}

TEST_F(WindowTest, ChoosingAnotherPortClosesTheOpenOneFirst) {
    TPhoneSim Four;
    TPhoneSim Two(WithEcho(TEchoMode::emCR));
    ::setenv("KIVO_COM2", Two.DevicePath().c_str(), 1); // NOLINT(concurrency-mt-unsafe)
    OpenWindow(Four);
    ClickRead();
    ASSERT_EQ(Four.CommandCount(), 7);
    Form->cbPort->SetItemIndex(1);
    ClickRead();
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(Form->vaComm->PortNum(), 2);
    EXPECT_EQ(Two.CommandCount(), 7);
    EXPECT_EQ(Four.CommandCount(), 7);
    EXPECT_EQ(Fields(), Identity());
    // COM 4's device was released: another component can open it now.
    TVaComm Other(nullptr);
    Other.SetDeviceName(Four.DevicePath());
    EXPECT_NO_THROW(Other.Open());
    Other.Close();
}

TEST_F(WindowTest, AltROrEnterOnTheFocusedButtonStartsARun) {
    TPhoneSim Phone;
    OpenWindow(Phone);
    QWidget* Window = TopLevel();
    ASSERT_NE(Window, nullptr);
    QApplication::setActiveWindow(Window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(Window, 10000));
    QTest::keyClick(Window, Qt::Key_R, Qt::AltModifier);
    // The accelerator presses the button through the event loop; the run then completes.
    EXPECT_TRUE(QTest::qWaitFor([this] { return !Form->edCGSN->Text().empty(); }, 10000));
    EXPECT_EQ(Fields(), Identity());
    EXPECT_EQ(Phone.CommandCount(), 7);

    // The run leaves the focus on "Read": Enter presses it as Space does.
    ASSERT_EQ(QApplication::focusWidget(), Window->findChild<QPushButton*>());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&Phone] { return Phone.CommandCount() == 14; }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([this] { return !Form->Running(); }, 10000));
    EXPECT_EQ(Fields(), Identity());
}

TEST_F(WindowTest, CtrlShiftCOrTheContextMenuCopiesTheSevenLabelsAndAnswers) {
    TPhoneSim Phone(Failing("+GMR", TFailure::fError));
    OpenWindow(Phone);
    ClickRead();
    QWidget* Window = TopLevel();
    ASSERT_NE(Window, nullptr);
    QApplication::setActiveWindow(Window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(Window, 10000));
    QGuiApplication::clipboard()->clear();
    QTest::keyClick(Window, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);

    std::string Expected;
    const auto Answers = Identity(5);
    for (std::size_t I = 0; I < QueryCommands.size(); ++I) {
        Expected += std::string(QueryCommands.at(I).Label) + " " + Answers.at(I) + "\n";
    }
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), Expected);
    EXPECT_EQ(Expected.rfind("Phone Manufacturer: ", 0), 0U);

    // The same action is the window's context menu.
    EXPECT_EQ(Window->contextMenuPolicy(), Qt::ActionsContextMenu);
    ASSERT_EQ(Window->actions().size(), 2);
    EXPECT_EQ(Window->actions().front()->text(), "Copy all");
    QGuiApplication::clipboard()->clear();
    Window->actions().front()->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), Expected);
}

TEST_F(WindowTest, AnAnswerLongerThanItsFieldIsItsToolTipAndCanBeCopiedWhole) {
    OpenWindowOn("/nonexistent/kivo-test-port");
    auto* Edit = qobject_cast<QLineEdit*>(
        TopLevel()->childAt(Form->edCGMR->Left() + 5, Form->edCGMR->Top() + 5));
    ASSERT_NE(Edit, nullptr);
    // The tip as Qt shows it: as rich text when it looks like markup.
    const auto ToolTipShown = [Edit] {
        QTextDocument Tip;
        if (Qt::mightBeRichText(Edit->toolTip())) {
            Tip.setHtml(Edit->toolTip());
        } else {
            Tip.setPlainText(Edit->toolTip());
        }
        return Tip.toPlainText().toStdString();
    };
    const std::string Long =
        "KM310_R2.14 Build 2026-03-14 with the network operator's own firmware";
    Form->edCGMR->SetText(Long);
    EXPECT_EQ(ToolTipShown(), Long);
    Edit->selectAll();
    Edit->copy();
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), Long);
    // An answer is the phone's text, shown as it is, though it looks like markup.
    const std::string Markup =
        "<b>KM310</b> <img src=\"/nonexistent/kivo.png\"> Build 2026-03-14 &amp;";
    Form->edCGMR->SetText(Markup);
    EXPECT_EQ(ToolTipShown(), Markup);
    Form->edCGMR->SetText("KM310");
    EXPECT_TRUE(Edit->toolTip().isEmpty()) << "a field that shows its whole answer has no tip";
}

// A trace's turns ("+0.004 COM4 > AT+CGMI\r\n", then the pieces of the reply) as "> AT+CGMI\r\n",
// "< \r\nKestrel Mobile\r\n\r\nOK\r\n"; every line names Port.
std::vector<std::string> TracedTurns(const std::string& Trace, const std::string& Port) {
    static const std::regex Line(R"(\+\d+\.\d{3} (\S+) ([<>]) (.+))");
    std::vector<std::string> Turns;
    std::istringstream In(Trace);
    for (std::string L; std::getline(In, L);) {
        std::smatch M;
        EXPECT_TRUE(std::regex_match(L, M, Line)) << "not a trace line: " << L;
        if (M.size() < 4) {
            continue;
        }
        EXPECT_EQ(M[1].str(), Port) << L;
        if (Turns.empty() || Turns.back()[0] != M[2].str()[0]) {
            Turns.push_back(M[2].str() + " ");
        }
        Turns.back() += M[3].str();
    }
    return Turns;
}

TEST_F(WindowTest, EveryRunGoesToTheTraceFileAndCopyExchangeCopiesTheLastRunsLines) {
    const std::string File = ::testing::TempDir() + "kivo-window-trace.txt";
    ::setenv("KIVO_TRACE", File.c_str(), 1); // NOLINT(concurrency-mt-unsafe)
    TPhoneSim Phone(Failing("+GMR", TFailure::fError));
    OpenWindow(Phone);
    ClickRead();
    Boxes.clear();
    ClickRead();
    ExpectFailure("ERROR: Invalid AT command.", 5);
    QWidget* Window = TopLevel();
    ASSERT_NE(Window, nullptr);
    ASSERT_EQ(Window->actions().size(), 2);
    EXPECT_EQ(Window->actions().at(1)->text(), "Copy exchange");
    QGuiApplication::clipboard()->clear();
    Window->actions().at(1)->trigger();
    const std::string Copied = QGuiApplication::clipboard()->text().toStdString();
    Form.reset(); // the file is whole once the window has closed

    std::vector<std::string> Run;
    for (const auto& Command : QueryCommands) {
        const std::string Key = "+" + std::string(Command.Key);
        Run.push_back("> AT" + Key + "\\r\\n");
        if (Key == "+GMR") {
            Run.emplace_back("< \\r\\nERROR\\r\\n");
            break;
        }
        Run.push_back("< \\r\\n" + PhoneSimIdentity().at(Key) + "\\r\\n\\r\\nOK\\r\\n");
    }
    std::ifstream In(File, std::ios::binary);
    const std::string Traced{std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
    ::unlink(File.c_str());
    std::vector<std::string> TwoRuns = Run;
    TwoRuns.insert(TwoRuns.end(), Run.begin(), Run.end());
    EXPECT_EQ(TracedTurns(Traced, "COM4"), TwoRuns) << Traced;
    // The copy holds the last run's lines: the file's last ones.
    EXPECT_EQ(TracedTurns(Copied, "COM4"), Run) << Copied;
    EXPECT_TRUE(Traced.ends_with(Copied)) << Copied;
}

TEST_F(WindowTest, ATraceThatCannotBeWrittenIsSaidOnceAndTheReadsGoOn) {
    ::setenv("KIVO_TRACE", "/dev/full", 1); // NOLINT(concurrency-mt-unsafe)
    TPhoneSim Phone;
    OpenWindow(Phone);
    ClickRead();
    ClickRead();
    ASSERT_EQ(Boxes.size(), 1U);
    EXPECT_NE(Boxes[0].Text.find("/dev/full"), std::string::npos) << Boxes[0].Text;
    EXPECT_EQ(Fields(), Identity());
    ExpectIdleAfterRun();
}

TEST_F(WindowTest, TheSerialNumbersTipSaysWhetherItsImeiCheckDigitIsRight) {
    TPhoneSimOptions Garbled;
    Garbled.Serial = "357421098765432";
    for (const auto& [Phone, Tip] :
         {std::pair{std::make_unique<TPhoneSim>(Garbled), "check digit wrong: not a valid IMEI"},
          std::pair{std::make_unique<TPhoneSim>(), "IMEI check digit right"}}) {
        Form.reset();
        OpenWindow(*Phone);
        ClickRead();
        auto* Edit = qobject_cast<QLineEdit*>(
            TopLevel()->childAt(Form->edCGSN->Left() + 5, Form->edCGSN->Top() + 5));
        ASSERT_NE(Edit, nullptr);
        QTextDocument Shown;
        Shown.setHtml(Edit->toolTip());
        EXPECT_EQ(Shown.toPlainText().toStdString(), Tip);
    }
}

// What a screen reader says: each field by its label, the window by its whole caption.
TEST_F(WindowTest, AScreenReaderReadsEachFieldByItsLabelAndTheWindowByItsWholeCaption) {
    TPhoneSim Phone;
    OpenWindow(Phone);
    ClickRead();
    QWidget* Window = TopLevel();
    ASSERT_NE(Window, nullptr);
    const auto Shown = [Window](const TControl* Field) {
        return QAccessible::queryAccessibleInterface(
            Window->childAt(Field->Left() + 5, Field->Top() + 5));
    };
    const auto Read = [&Shown](const TControl* Field) {
        QAccessibleInterface* Named = Shown(Field);
        return Named == nullptr
                   ? std::string("(none)")
                   : (Named->text(QAccessible::Name) + ": " + Named->text(QAccessible::Value))
                         .toStdString();
    };
    EXPECT_EQ(Read(Form->edCGMM), "Phone Model: KM-310");
    EXPECT_EQ(Read(Form->edCGSN), "Serial Number: 357421098765438");
    // The label each control is told apart by (the port list's name on Linux is its choice).
    const auto LabelOf = [&Shown](const TControl* Field) {
        QAccessibleInterface* Named = Shown(Field);
        const auto Labels = Named == nullptr ? decltype(Named->relations()){}
                                             : Named->relations(QAccessible::Label);
        return Labels.size() == 1 ? Labels.front().first->text(QAccessible::Name).toStdString()
                                  : std::to_string(Labels.size()) + " labels";
    };
    EXPECT_EQ(LabelOf(Form->cbPort), "COM-Port:");
    EXPECT_EQ(LabelOf(Form->edGMR), "Modem Revision:");

    // The fixed window is too narrow for its caption: the title bar shows the program's name,
    // and the caption, kept as stored, is read whole.
    const std::string Caption = "KIVO - reads the identity of a phone on a serial port";
    EXPECT_EQ(Form->Caption(), Caption);
    EXPECT_EQ(Window->windowTitle().toStdString(), "KIVO");
    QAccessibleInterface* Whole = QAccessible::queryAccessibleInterface(Window);
    ASSERT_NE(Whole, nullptr);
    EXPECT_EQ(Whole->text(QAccessible::Description).toStdString(), Caption);
}

TEST_F(WindowTest, TheFocusedButtonShowsItsFrameAndThePortListOpensAsWideAsItsLongestItem) {
    OpenWindowOn("/nonexistent/kivo-test-port");
    QWidget* Window = TopLevel();
    ASSERT_NE(Window, nullptr);
    QApplication::setActiveWindow(Window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(Window, 10000));
    auto* Button = Window->findChild<QPushButton*>();
    auto* Combo = Window->findChild<QComboBox*>();
    ASSERT_TRUE(Button != nullptr && Combo != nullptr);
    ASSERT_TRUE(Button->hasFocus()) << "the button has the focus at start";
    const QImage Focused = Button->grab().toImage();
    Form->cbPort->SetFocus();
    ASSERT_FALSE(Button->hasFocus());
    EXPECT_NE(Button->grab().toImage(), Focused) << "the focus drew no frame";

    // Qt's own styles widen a popup list to its items, some styles (Windows') do not.
    const std::unique_ptr<QStyle> Narrow(QStyleFactory::create("Windows"));
    ASSERT_NE(Narrow, nullptr);
    Combo->setStyle(Narrow.get());
    const QString Longest = "ttyUSB2 - HUAWEI Mobile, interface 2";
    std::vector<std::string> Items = Form->cbPort->Items();
    Items.push_back(Longest.toStdString());
    Form->cbPort->SetItems(Items);
    Combo->showPopup();
    const int Needed = Combo->view()->fontMetrics().horizontalAdvance(Longest);
    EXPECT_GE(Combo->view()->viewport()->width(), Needed);
    Combo->hidePopup();
    Combo->setStyle(nullptr);
}

TEST_F(WindowTest, ClosingTheWindowDuringARunEndsItAndClosesThePort) {
    TPhoneSim Phone(Failing("+CGMR", TFailure::fSilent));
    OpenWindow(Phone);
    // Once the phone has the third command, the user closes the window.
    QTimer Closer;
    When(Closer, Phone, 3, [this] { Form->Close(); });
    ClickRead();
    EXPECT_TRUE(Boxes.empty());
    EXPECT_FALSE(Form->Showing());
    EXPECT_FALSE(Form->vaComm->Active());
    EXPECT_EQ(Fields(), Identity(2));
}

TEST_F(WindowTest, PhoneUnpluggedMidRunEndsTheRunAtOnceWithOneMessageAndReadsAgainOnceBack) {
    auto Phone = std::make_unique<TPhoneSim>(Failing("+CGMR", TFailure::fSilent));
    const std::string Device = Phone->DevicePath();
    OpenWindow(*Phone);
    // Once the phone has the third command, its cable is pulled.
    QTimer Unplug;
    When(Unplug, *Phone, 3, [&Phone] { Phone->Stop(); });
    const auto WallBefore = std::chrono::steady_clock::now();
    ExpectMostlyAsleep([this] { ClickRead(); });
    const double Wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - WallBefore).count();
    // One box saying the device was lost, at once rather than after the reply timer's 5 s;
    // the run ends, and the dead port is closed.
    ASSERT_EQ(Boxes.size(), 1U);
    EXPECT_EQ(Boxes[0].Caption, "Error");
    // The person's words; the system's text goes to the trace.
    EXPECT_TRUE(Boxes[0].Text.starts_with("Lost the device COM4: it went away")) << Boxes[0].Text;
    EXPECT_EQ(Boxes[0].Text.find("Input/output error"), std::string::npos) << Boxes[0].Text;
    EXPECT_LT(Wall, 4.0);
    EXPECT_EQ(Fields(), Identity(2));
    EXPECT_FALSE(Form->vaComm->Active());
    ExpectIdleAfterRun();
    // The phone is back (on another terminal, as a replugged device may be): the next Read
    // opens the port again and reads in full.
    Phone.reset();
    Boxes.clear();
    TPhoneSim Back;
    ::setenv("KIVO_COM4", Back.DevicePath().c_str(), 1); // NOLINT(concurrency-mt-unsafe)
    ClickRead();
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(Fields(), Identity());
}

TEST_F(WindowTest, APhoneUnpluggedWhileIdleClosesThePortQuietlyAndTheNextReadOpensItAgain) {
    auto Phone = std::make_unique<TPhoneSim>();
    OpenWindow(*Phone);
    ClickRead();
    ASSERT_TRUE(Form->vaComm->Active());
    Phone.reset();
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Form->vaComm->Active() && std::chrono::steady_clock::now() < Deadline) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }
    EXPECT_FALSE(Form->vaComm->Active());
    EXPECT_TRUE(Boxes.empty()) << Boxes.front().Text;

    TPhoneSim Back;
    ::setenv("KIVO_COM4", Back.DevicePath().c_str(), 1); // NOLINT(concurrency-mt-unsafe)
    ClickRead();
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(Fields(), Identity());
}

TEST_F(WindowTest, NoticesOfACommonModuleAndItsTaggedAnswersReadAsItsIdentity) {
    TPhoneSimOptions O =
        WithUrc(WithUrc(WithEcho(TEchoMode::emCR), "Call Ready"), "+QUSIM: 1", TUrcPlace::upAfter);
    O.Urcs.push_back(SmsNotice("Hello, call me back"));
    O.Boot = {"RDY", "SMS Ready"};
    O.Tagged = true;
    TPhoneSim Phone(O);
    OpenWindow(Phone);
    ClickRead();
    EXPECT_TRUE(Boxes.empty()) << Boxes.front().Text;
    EXPECT_EQ(Fields(), Identity());
    ClickRead(); // the notices after the last OK answer nothing in the next run
    EXPECT_EQ(Fields(), Identity());
}

// The timer's period is for the first character, and then between two pieces: a reply that
// starts late and comes slowly takes longer than a period in all, and is read.
TEST_F(WindowTest, ASlowReplyIsNoTimeoutWhileItKeepsComing) {
    TPhoneSimOptions O = Chunked(Delayed({}, 600), 4);
    O.ChunkGapMs = 100;
    TPhoneSim Phone(O);
    OpenWindow(Phone);
    Form->Timer->SetInterval(1000); // each reply takes 1.1 s from its write
    QTimer Closer;                  // once the first answer is in, the user closes the window
    When(Closer, Phone, 2, [this] { Form->Close(); });
    ClickRead();
    EXPECT_TRUE(Boxes.empty()) << Boxes.front().Text;
    EXPECT_EQ(Form->edCGMI->Text(), "Kestrel Mobile");
}

TEST_F(WindowTest, AReceiveOverrunFailsTheExchangeWithItsOwnMessage) {
    TPhoneSim Phone(Failing("+CGMM", TFailure::fSilent));
    OpenWindow(Phone);
    // While the second command waits, the port reports characters lost, as its OnError does.
    QTimer Overrun;
    When(Overrun, Phone, 2, [this] { Form->vaComm->OnError(Form->vaComm, CE_RXOVER); });
    ClickRead();
    ExpectFailure("ERROR: Received characters were lost (receive overrun).", 1);
}

// The box shows the phone's text as it is, though it looks like markup.
TEST_F(WindowTest, ModalErrorBoxShowsThePhonesTextPlainAndDeliversEventsWithTheArrow) {
    Application().SetMessageBoxHook({});
    const std::string Markup = "<b>SIM</b> <img src=\"/nonexistent/kivo.png\">";
    TPhoneSim Phone(Failing("+CGMI", TFailure::fCmeVerbose, Markup));
    OpenWindow(Phone);
    const QFontInfo WindowFont(TopLevel()->font());
    std::string Shown;
    bool Arrow = false;
    bool SameFont = false;
    Qt::TextFormat Format = Qt::AutoText;
    // Answers the real box once it is up.
    QTimer Closer;
    QObject::connect(&Closer, &QTimer::timeout, [&] {
        if (auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            Shown = Box->windowTitle().toStdString() + ": " + Box->text().toStdString();
            Format = Box->textFormat();
            const QCursor* Cursor = QGuiApplication::overrideCursor();
            Arrow = Cursor == nullptr || Cursor->shape() == Qt::ArrowCursor;
            const QFontInfo BoxFont(Box->font());
            SameFont = BoxFont.family() == WindowFont.family() &&
                       BoxFont.pixelSize() == WindowFont.pixelSize();
            Box->button(QMessageBox::Ok)->click();
        }
    });
    Closer.start(10);
    ClickRead();
    EXPECT_EQ(Shown, "Error: +CME ERROR: " + Markup + ".");
    EXPECT_EQ(Format, Qt::PlainText);
    EXPECT_TRUE(Arrow) << "the hourglass over a box that waits for the user";
    EXPECT_TRUE(SameFont) << WindowFont.family().toStdString() << " " << WindowFont.pixelSize();
    ExpectIdleAfterRun();
}

// A refusal of 30 KB on a small screen (the offscreen platform's 800x600): the box and its
// button stay on the screen, the text cut where it ends in "…"; "Copy exchange" has it whole.
TEST_F(WindowTest, ABoxWithALongRefusalStaysOnTheScreenAndCopyExchangeHasItWhole) {
    Application().SetMessageBoxHook({});
    std::string Refusal;
    while (Refusal.size() < 30000) {
        Refusal += "operation not allowed in mode " + std::to_string(Refusal.size()) + "; ";
    }
    TPhoneSim Phone(Failing("+CGMI", TFailure::fCmeVerbose, Refusal));
    OpenWindow(Phone);
    QRect Screen;
    QRect Box;
    QRect Button;
    QString Shown;
    QTimer Closer;
    QObject::connect(&Closer, &QTimer::timeout, [&] {
        if (auto* Up = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            Screen = Up->screen()->availableGeometry();
            Box = Up->frameGeometry();
            QAbstractButton* Ok = Up->button(QMessageBox::Ok);
            Button = QRect(Ok->mapToGlobal(QPoint(0, 0)), Ok->size());
            Shown = Up->text();
            Ok->click();
        }
    });
    Closer.start(10);
    ClickRead();
    ASSERT_FALSE(Shown.isEmpty()) << "no box";
    EXPECT_TRUE(Screen.contains(Box))
        << Box.width() << "x" << Box.height() << "+" << Box.x() << "+" << Box.y() << " on "
        << Screen.width() << "x" << Screen.height();
    EXPECT_TRUE(Screen.contains(Button));
    EXPECT_TRUE(Shown.startsWith("+CME ERROR: operation not allowed in mode 0; "))
        << Shown.left(80).toStdString();
    EXPECT_TRUE(Shown.endsWith(QChar(0x2026)));

    Form->CopyExchange();
    const std::vector<std::string> Turns =
        TracedTurns(QGuiApplication::clipboard()->text().toStdString(), "COM4");
    ASSERT_EQ(Turns.size(), 2U);
    EXPECT_EQ(Turns[1], "< \\r\\n+CME ERROR: " + Refusal + "\\r\\n");
}

// The window in a face the system has, or in the system's sans-serif face for one it lacks.
class WindowFaces : public WindowTest, public ::testing::WithParamInterface<const char*> {};

// Where a label's text is drawn, in the window's coordinates.
QRect LabelText(const QLabel& Label) {
    const QFontMetrics Metrics(Label.font());
    const int Width = Metrics.horizontalAdvance(Label.text());
    QRect Text(Label.geometry().topLeft(), QSize(Width, Metrics.height()));
    if ((Label.alignment() & Qt::AlignRight) != 0) {
        Text.moveRight(Label.geometry().right());
    }
    return Text;
}

TEST_P(WindowFaces, EveryTextShowsWhole) {
    OpenWindowOn("/nonexistent/kivo-test-port");
    Form->Font()->SetName(GetParam());
    QWidget* Window = TopLevel();
    ASSERT_NE(Window, nullptr);
    const QString Face = QFontInfo(Window->font()).family();
    if (std::string(GetParam()) != "No Such Face") {
        ASSERT_EQ(Face.toStdString(), GetParam()) << "the face's package is not installed";
    }
    EXPECT_EQ(Window->size(), QSize(305, 265)) << "the stored layout is kept";
    if (Face == "Tahoma") {
        EXPECT_EQ(QFontInfo(Window->font()).pixelSize(), 11) << "the designed face needs no change";
    }
    const auto Children = Window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (const QLabel* Label : Window->findChildren<QLabel*>()) {
        const QRect Text = LabelText(*Label);
        const std::string Name = Label->text().toStdString();
        EXPECT_TRUE(Label->geometry().contains(Text)) << Name;
        EXPECT_TRUE(Window->rect().contains(Text)) << Name;
        for (const QWidget* Other : Children) {
            EXPECT_TRUE(Other == Label || !Other->geometry().intersects(Text))
                << Name << " runs into " << Other->metaObject()->className();
        }
    }
    for (QPushButton* Button : Window->findChildren<QPushButton*>()) {
        QStyleOptionButton Option;
        Option.initFrom(Button);
        Option.text = Button->text();
        const QRect Room =
            Button->style()->subElementRect(QStyle::SE_PushButtonContents, &Option, Button);
        const QSize Text = Button->fontMetrics().size(Qt::TextShowMnemonic, Button->text());
        EXPECT_LE(Text.width(), Room.width());
        EXPECT_LE(Text.height(), Room.height());
    }
    for (QComboBox* Combo : Window->findChildren<QComboBox*>()) {
        QStyleOptionComboBox Option;
        Option.initFrom(Combo);
        const QRect Room = Combo->style()->subControlRect(QStyle::CC_ComboBox, &Option,
                                                          QStyle::SC_ComboBoxEditField, Combo);
        for (int I = 0; I < Combo->count(); ++I) {
            // A name shows whole; what follows it (a found port's description, the
            // console's mark where this machine has one) shows in the opened list, which is
            // as wide as its longest item.
            const QString Item = Combo->itemText(I).section(QRegularExpression(" - | \\("), 0, 0);
            EXPECT_LE(Combo->fontMetrics().horizontalAdvance(Item), Room.width())
                << Item.toStdString();
        }
        EXPECT_LE(Combo->fontMetrics().height(), Room.height());
    }
    for (QLineEdit* Edit : Window->findChildren<QLineEdit*>()) {
        const int Frame = Edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
        EXPECT_LE(Edit->fontMetrics().height(), Edit->height() - 2 * Frame);
    }
}

// Wine's Tahoma is the face the window was drawn for (fonts-wine); DejaVu Sans is what a
// Debian system falls back to; Liberation Sans has the common sans-serif metrics.
INSTANTIATE_TEST_SUITE_P(Faces, WindowFaces,
                         ::testing::Values("Tahoma", "DejaVu Sans", "Liberation Sans",
                                           "No Such Face"),
                         [](const auto& Info) {
                             std::string Name = Info.param;
                             std::erase(Name, ' ');
                             return Name;
                         });

// Runs the window program with Environment ("env ...") and Arguments, its output and errors
// into Said; its exit code, -1 when it did not exit.
int RunWindowProgram(const std::string& Environment, const std::string& Arguments,
                     std::string& Said) {
    const std::string Command =
        Environment + " timeout 60 '" + std::string(KIVO_WINDOW_PATH) + "' " + Arguments + " 2>&1";
    FILE* Out = ::popen(Command.c_str(), "r"); // NOLINT(cert-env33-c): the test's own program
    if (Out == nullptr) {
        return -1;
    }
    for (int C = std::fgetc(Out); C != EOF; C = std::fgetc(Out)) {
        Said += static_cast<char>(C);
    }
    const int Status = ::pclose(Out);
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

TEST(WindowlessStart, SaysThatNoDisplayWasFoundAndPointsToKivoReadWithExitCodeOne) {
    std::string Said;
    EXPECT_EQ(RunWindowProgram("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM", "", Said), 1)
        << Said;
    EXPECT_NE(Said.find("no display found"), std::string::npos) << Said;
    EXPECT_NE(Said.find("kivo-read"), std::string::npos) << Said;
}

// --help and --version need no display; Qt's own options reach Qt: a platform named on the
// command line wins over the one the environment names, here one that does not exist.
TEST(WindowlessStart, HelpAndVersionNeedNoDisplayAndQtsOptionsReachQt) {
    const std::string NoDisplay = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM";
    std::string Help;
    EXPECT_EQ(RunWindowProgram(NoDisplay, "--help", Help), 0) << Help;
    EXPECT_TRUE(Help.starts_with("usage: kivo [--help] [--version]")) << Help;
    EXPECT_NE(Help.find("-style"), std::string::npos) << Help;
    std::string Version;
    EXPECT_EQ(RunWindowProgram(NoDisplay, "-V", Version), 0) << Version;
    EXPECT_TRUE(Version.starts_with("kivo 1.")) << Version;
    std::string Said;
    EXPECT_EQ(
        RunWindowProgram("env QT_QPA_PLATFORM=offscreen", "-platform kivo-no-such-platform", Said),
        1)
        << Said;
    EXPECT_NE(Said.find("kivo-no-such-platform"), std::string::npos) << Said;
}

TEST(DefaultErrorBox, AddsAPeriodOnlyAfterCharactersAboveIt) {
    EXPECT_EQ(ExceptionBoxText(""), "");
    EXPECT_EQ(ExceptionBoxText("Port busy"), "Port busy.");
    EXPECT_EQ(ExceptionBoxText("Error 5"), "Error 5.");
    EXPECT_EQ(ExceptionBoxText("Done."), "Done.");
    EXPECT_EQ(ExceptionBoxText("(2), Not found)"), "(2), Not found)");
    EXPECT_EQ(ExceptionBoxText("Stop!"), "Stop!");
    EXPECT_EQ(ExceptionBoxText("trailing "), "trailing ");
    EXPECT_EQ(ExceptionBoxText("a/"), "a/.");
}

TEST(DefaultErrorBox, ExceptionFromAHandlerIsShownAndTheLoopGoesOn) {
    std::vector<TBox> Boxes;
    Application().SetMessageBoxHook(
        [&Boxes](const std::string& Text, const std::string& Caption, TMsgIcon) {
            Boxes.push_back({Text, Caption});
        });
    TForm Form(nullptr);
    auto* Button = new TButton(&Form);
    Button->OnClick = TNotifyEvent([](TObject*) { throw EConvertError("'1 x' is not valid"); });
    Form.Show();
    for (QWidget* Window : QApplication::topLevelWidgets()) {
        for (QPushButton* B : Window->findChildren<QPushButton*>()) {
            if (B->isVisible()) {
                B->click();
            }
        }
    }
    Application().SetMessageBoxHook({});
    ASSERT_EQ(Boxes.size(), 1U);
    EXPECT_EQ(Boxes[0].Text, "'1 x' is not valid.");
    EXPECT_EQ(Boxes[0].Caption, "Kivo");
}

} // namespace
