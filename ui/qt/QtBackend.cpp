// The window classes' backend on Qt 6 Widgets: the application, its loop, the hand-over to
// the user-interface thread, the cursor, the clipboard and message boxes. The peers of forms,
// controls and timers are in QtPeers.cpp.

#include "runtime/Thread.h"
#include "ui/Backend.h"
#include "ui/Forms.h"
#include "ui/TextFit.h"
#include "ui/qt/QtPeers.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

// The icon pictures built into the library (ui/CMakeLists.txt); a static library's
// resources are registered by hand.
static void RegisterIconResources() {
    Q_INIT_RESOURCE(kivo_icons);
}

namespace {

// Loads a Tahoma-compatible face from the places Debian's packages put one, once.
void LoadTahomaFont() {
    if (QFontDatabase::families().contains(QStringLiteral("Tahoma"))) {
        return;
    }
    for (const char* Path :
         {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/fonts/truetype/wine/tahoma.ttf",
          "/usr/share/fonts/truetype/msttcorefonts/tahoma.ttf"}) {
        if (QFontDatabase::addApplicationFont(QString::fromUtf8(Path)) >= 0) {
            return;
        }
    }
}

std::string NoDisplayMessage(const std::string& Why) {
    return "no display found (" + Why +
           "); kivo-read reads the phone on a terminal: kivo-read --port COM4";
}

// While the application object is made: Qt gives up on a display it cannot open with a
// fatal message; the program then says why and ends with exit code 1.
void StartupMessage(QtMsgType Type, const QMessageLogContext& /*Context*/, const QString& Text) {
    if (Type != QtFatalMsg) {
        std::cerr << Text.toStdString() << '\n';
        return;
    }
    const QByteArray Display = qgetenv("DISPLAY");
    std::cerr << "kivo: "
              << NoDisplayMessage(
                     "the display " +
                     (Display.isEmpty() ? std::string("of the session") : Display.toStdString()) +
                     " cannot be opened")
              << '\n';
    std::_Exit(1);
}

// The command line given to SetArguments; the program's name alone without one.
struct TArguments {
    int* Argc = nullptr;
    char** Argv = nullptr;
};
TArguments& CommandLine() {
    static TArguments Arguments; // set once, on the main thread, before Qt starts
    return Arguments;
}

// Qt's application object; raises when there is no display to open.
void CreateQtApplication() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        throw std::runtime_error(NoDisplayMessage("neither DISPLAY nor WAYLAND_DISPLAY is set"));
    }
    // It lives until the process ends and is never deleted: at exit Qt's own static
    // objects go before a static of ours would, and its destructor needs them.
    static int Argc = 1;
    static char Name[] = "kivo";
    static char* Argv[] = {Name, nullptr};
    const QtMessageHandler Previous = qInstallMessageHandler(StartupMessage);
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
    const TArguments& Given = CommandLine();
    [[maybe_unused]] static auto* const Instance = Given.Argc != nullptr
                                                       ? new QApplication(*Given.Argc, Given.Argv)
                                                       : new QApplication(Argc, Argv);
    qInstallMessageHandler(Previous);
}

// Runs the queued hand-over calls when woken by a worker thread.
class THandOverReceiver : public QObject {
public:
    static constexpr QEvent::Type WakeEvent = QEvent::User;
    using QObject::QObject;

protected:
    void customEvent(QEvent* Event) override {
        if (Event->type() == WakeEvent) {
            GuardedCall(nullptr, [] { CheckSynchronize(); });
        }
    }
};

// What a box on Screen shows of Text: all of it unless it is taller than the room of a box's
// text (MessageTextRoom) when wrapped in Font. Each byte is a character.
QString TextThatFits(const std::string& Text, const QFont& Font, const QScreen* Screen) {
    if (Screen == nullptr) {
        return QtPeers::ToQString(Text);
    }
    const QRect Work = Screen->availableGeometry();
    const TTextRoom Room = MessageTextRoom(Work.width(), Work.height());
    const QFontMetrics Metrics(Font);
    const auto Shown = [&Text](std::size_t Kept) {
        return Kept < Text.size() ? QtPeers::ToQString(Text.substr(0, Kept)) + QChar(0x2026)
                                  : QtPeers::ToQString(Text);
    };
    const auto Fits = [&](std::size_t Kept) {
        return Metrics
                   .boundingRect(QRect(0, 0, Room.Width, std::numeric_limits<int>::max() / 2),
                                 Qt::TextWordWrap | Qt::TextWrapAnywhere, Shown(Kept))
                   .height() <= Room.Height;
    };
    return Shown(BytesThatFit(
        Text, Fits, [](std::string_view /*Text*/, std::size_t Position) { return Position; }));
}

} // namespace

namespace UiBackend {

void SetArguments(int& Argc, char** Argv) {
    CommandLine() = {&Argc, Argv};
}

void Initialize() {
    static THandOverReceiver* Receiver = nullptr;
    if (QApplication::instance() == nullptr) {
        CreateQtApplication();
    }
    RegisterIconResources();
    if (Receiver != nullptr) {
        return;
    }
    LoadTahomaFont();
    SetMainThread();
    // Calls from worker threads are run by the main thread's event loop, in every loop
    // that runs: the main one, ProcessMessages and modal boxes.
    Receiver = new THandOverReceiver(QCoreApplication::instance());
    SetWakeMainThread(
        [] { QCoreApplication::postEvent(Receiver, new QEvent(THandOverReceiver::WakeEvent)); });
}

std::unique_ptr<TFormPeer> CreateForm(TFormCallbacks Callbacks) {
    return QtPeers::CreateFormPeer(std::move(Callbacks));
}

std::unique_ptr<TWidgetPeer> CreateWidget(TWidgetKind Kind, TFormPeer& Parent,
                                          std::function<void()> OnClick) {
    return QtPeers::CreateWidgetPeer(Kind, Parent, std::move(OnClick));
}

std::unique_ptr<TTimerPeer> CreateTimer(std::function<void()> OnTimer) {
    return QtPeers::CreateTimerPeer(std::move(OnTimer));
}

void RunMessageLoop() {
    QApplication::exec();
}

void ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    CheckSynchronize();
}

void WaitAndProcessMessages(std::chrono::milliseconds Bound) {
    // The loop sleeps until an event is due: a posted one (a hand-over's wake-up is one),
    // a timer's, a window system's, or this one's at the bound.
    QTimer Wake;
    Wake.setSingleShot(true);
    Wake.start(Bound);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    ProcessMessages();
}

void SetClipboardText(const std::string& Text) {
    QGuiApplication::clipboard()->setText(QtPeers::ToQString(Text));
}

void SetApplicationTitle(const std::string& Title) {
    QCoreApplication::setApplicationName(QtPeers::ToQString(Title));
}

void SetCursor(TCursor Cursor) {
    if (Cursor == TCursor::crDefault) {
        while (QGuiApplication::overrideCursor() != nullptr) {
            QGuiApplication::restoreOverrideCursor();
        }
    } else if (QGuiApplication::overrideCursor() != nullptr) {
        QGuiApplication::changeOverrideCursor(QCursor(Qt::WaitCursor));
    } else {
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    }
}

void ShowMessageBox(const std::string& Text, const std::string& Caption, TMsgIcon Icon) {
    QWidget* Owner = QApplication::activeWindow();
    for (QWidget* Window : QApplication::topLevelWidgets()) {
        if (Owner == nullptr && Window->isVisible() && QtPeers::IsFormWidget(Window)) {
            Owner = Window;
        }
    }
    QMessageBox Box(Icon == TMsgIcon::miError ? QMessageBox::Critical : QMessageBox::Information,
                    QtPeers::ToQString(Caption), QString(), QMessageBox::Ok, Owner);
    // The text is shown as it is: it carries a phone's own text, which Qt would otherwise
    // take for markup when it looks like some ("<b>", "<img src=...>" loading a file).
    Box.setTextFormat(Qt::PlainText);
    if (Owner != nullptr) {
        Box.setFont(Owner->font()); // a dialog does not take its owner's font by itself
    }
    const QScreen* Screen = Owner != nullptr ? Owner->screen() : QGuiApplication::primaryScreen();
    Box.setText(TextThatFits(Text, Box.font(), Screen));
    Box.exec();
}

} // namespace UiBackend