// The window classes' backend on Qt 6 Widgets.

#include "runtime/Thread.h"
#include "ui/Backend.h"
#include "ui/Forms.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPalette>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <memory>

namespace {

QString ToQString(const std::string& Text) {
    // Texts are 8-bit characters taken one for one.
    return QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
}

QColor SystemColor(TColor Color) {
    const QPalette Palette = QApplication::palette();
    switch (Color) {
    case TColor::clBtnFace:
        return Palette.color(QPalette::Button);
    case TColor::clWindow:
    case TColor::clDefault:
        break;
    }
    return Palette.color(QPalette::Base);
}

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

// A peer that shows itself as a Qt widget.
class TQtNative {
public:
    TQtNative() = default;
    TQtNative(const TQtNative&) = delete;
    TQtNative& operator=(const TQtNative&) = delete;
    TQtNative(TQtNative&&) = delete;
    TQtNative& operator=(TQtNative&&) = delete;
    virtual ~TQtNative() = default;
    [[nodiscard]] virtual QWidget* Native() const = 0;
};

// The peer of any widget: the calls every kind shares.
template <typename W> class TQtWidgetPeer : public TWidgetPeer, public TQtNative {
public:
    explicit TQtWidgetPeer(QWidget* Parent) : FWidget(new W(Parent)) {}
    ~TQtWidgetPeer() override { delete FWidget.data(); }
    TQtWidgetPeer(const TQtWidgetPeer&) = delete;
    TQtWidgetPeer& operator=(const TQtWidgetPeer&) = delete;
    TQtWidgetPeer(TQtWidgetPeer&&) = delete;
    TQtWidgetPeer& operator=(TQtWidgetPeer&&) = delete;

    void SetBounds(int Left, int Top, int Width, int Height) override {
        FWidget->setGeometry(Left, Top, Width, Height);
    }
    void SetEnabled(bool Value) override { FWidget->setEnabled(Value); }
    void SetVisible(bool Value) override { FWidget->setVisible(Value); }
    void SetText(const std::string& /*Value*/) override {}
    void SetColor(TColor Value) override {
        QPalette Palette = FWidget->palette();
        Palette.setColor(QPalette::Base, SystemColor(Value));
        FWidget->setPalette(Palette);
    }
    void SetFocus() override { FWidget->setFocus(Qt::OtherFocusReason); }
    [[nodiscard]] bool Focused() const override {
        return FWidget->window()->focusWidget() == FWidget;
    }
    void Repaint() override { FWidget->repaint(); }

    [[nodiscard]] W* Widget() const { return FWidget.data(); }
    [[nodiscard]] QWidget* Native() const override { return FWidget.data(); }

private:
    QPointer<W> FWidget; // the parent may have freed it already
};

// Labels size themselves to their text: the stored width is a minimum, so a face wider
// than the one the window was laid out with does not clip them. A right-aligned label
// grows to the left.
class TQtLabelPeer : public TQtWidgetPeer<QLabel> {
public:
    explicit TQtLabelPeer(QWidget* Parent) : TQtWidgetPeer(Parent) {
        Widget()->setTextFormat(Qt::PlainText);
    }
    void SetBounds(int Left, int Top, int Width, int Height) override {
        FBounds = QRect(Left, Top, Width, Height);
        Fit();
    }
    void SetText(const std::string& Value) override {
        Widget()->setText(ToQString(Value));
        Fit();
    }
    void SetAlignment(TAlignment Value) override {
        FAlignment = Value;
        Qt::Alignment Horizontal = Qt::AlignLeft;
        if (Value == TAlignment::taRightJustify) {
            Horizontal = Qt::AlignRight;
        } else if (Value == TAlignment::taCenter) {
            Horizontal = Qt::AlignHCenter;
        }
        Widget()->setAlignment(Horizontal | Qt::AlignTop);
        Fit();
    }

private:
    void Fit() {
        const int Needed = Widget()->fontMetrics().horizontalAdvance(Widget()->text());
        QRect Bounds = FBounds;
        if (Needed > Bounds.width()) {
            const int Extra = Needed - Bounds.width();
            if (FAlignment == TAlignment::taRightJustify) {
                Bounds.setLeft(Bounds.left() - Extra);
            } else {
                Bounds.setWidth(Needed);
            }
        }
        Widget()->setGeometry(Bounds);
    }

    QRect FBounds;
    TAlignment FAlignment = TAlignment::taLeftJustify;
};

class TQtEditPeer : public TQtWidgetPeer<QLineEdit> {
public:
    using TQtWidgetPeer::TQtWidgetPeer;
    void SetText(const std::string& Value) override {
        Widget()->setText(ToQString(Value));
        Widget()->setCursorPosition(0);
    }
    void SetReadOnly(bool Value) override { Widget()->setReadOnly(Value); }
};

class TQtComboBoxPeer : public TQtWidgetPeer<QComboBox> {
public:
    using TQtWidgetPeer::TQtWidgetPeer;
    void SetItems(const std::vector<std::string>& Items) override {
        Widget()->clear();
        for (const std::string& Item : Items) {
            Widget()->addItem(ToQString(Item));
        }
    }
    void SetItemIndex(int Index) override { Widget()->setCurrentIndex(Index); }
    [[nodiscard]] int ItemIndex() const override { return Widget()->currentIndex(); }
};

class TQtButtonPeer : public TQtWidgetPeer<QPushButton> {
public:
    TQtButtonPeer(QWidget* Parent, std::function<void()> OnClick) : TQtWidgetPeer(Parent) {
        QObject::connect(Widget(), &QPushButton::clicked, Widget(),
                         [Call = std::move(OnClick)] { Call(); });
    }
    void SetText(const std::string& Value) override { Widget()->setText(ToQString(Value)); }
};

// The top-level widget: asks its form before it closes.
class TQtFormWidget : public QWidget {
public:
    explicit TQtFormWidget(TFormCallbacks Callbacks) : FCallbacks(std::move(Callbacks)) {}

protected:
    void closeEvent(QCloseEvent* Event) override {
        if (!FCallbacks.CloseQuery()) {
            Event->ignore();
            return;
        }
        Event->accept();
        FCallbacks.Closed();
    }

private:
    TFormCallbacks FCallbacks;
};

class TQtFormPeer : public TFormPeer {
public:
    explicit TQtFormPeer(TFormCallbacks Callbacks)
        : FWidget(std::make_unique<TQtFormWidget>(std::move(Callbacks))) {
        FWidget->setAutoFillBackground(true);
    }

    void SetBounds(int /*Left*/, int /*Top*/, int Width, int Height) override {
        FWidth = Width;
        FHeight = Height;
        ApplySize();
    }
    void SetEnabled(bool Value) override { FWidget->setEnabled(Value); }
    void SetVisible(bool Value) override { FWidget->setVisible(Value); }
    void SetText(const std::string& Value) override { FWidget->setWindowTitle(ToQString(Value)); }
    void SetColor(TColor Value) override {
        QPalette Palette = FWidget->palette();
        Palette.setColor(QPalette::Window, SystemColor(Value));
        FWidget->setPalette(Palette);
    }
    void SetFocus() override { FWidget->activateWindow(); }
    [[nodiscard]] bool Focused() const override { return FWidget->isActiveWindow(); }
    void Repaint() override { FWidget->repaint(); }

    void SetBorder(TFormBorderStyle Style, TBorderIcons Icons) override {
        FFixed = Style != TFormBorderStyle::bsSizeable;
        Qt::WindowFlags Flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
        if (Icons.Contains(TBorderIcon::biSystemMenu)) {
            Flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
        }
        if (Icons.Contains(TBorderIcon::biMinimize)) {
            Flags |= Qt::WindowMinimizeButtonHint;
        }
        if (Icons.Contains(TBorderIcon::biMaximize) && !FFixed) {
            Flags |= Qt::WindowMaximizeButtonHint;
        }
        FWidget->setWindowFlags(Flags);
        ApplySize();
    }
    void SetFont(const std::string& Name, int Height) override {
        QFont Font(ToQString(Name));
        if (!QFontDatabase::families().contains(ToQString(Name))) {
            Font = QFont();
            Font.setStyleHint(QFont::SansSerif);
            Font.setFamily(QStringLiteral("DejaVu Sans"));
        }
        Font.setPixelSize(Height < 0 ? -Height : Height);
        FWidget->setFont(Font);
    }
    void SetTabOrder(const std::vector<TWidgetPeer*>& Order) override {
        QWidget* Previous = nullptr;
        for (TWidgetPeer* Peer : Order) {
            const auto* Native = dynamic_cast<const TQtNative*>(Peer);
            QWidget* Current = Native == nullptr ? nullptr : Native->Native();
            if (Previous != nullptr && Current != nullptr) {
                QWidget::setTabOrder(Previous, Current);
            }
            Previous = Current;
        }
    }
    void Show(TPosition Position) override {
        if (Position == TPosition::poScreenCenter) {
            const QScreen* Screen = QGuiApplication::primaryScreen();
            if (Screen != nullptr) {
                QRect Frame(QPoint(), FWidget->size());
                Frame.moveCenter(Screen->availableGeometry().center());
                FWidget->move(Frame.topLeft());
            }
        }
        FWidget->show();
        FWidget->raise();
        FWidget->activateWindow();
    }
    void Close() override { FWidget->close(); }
    [[nodiscard]] bool Showing() const override { return FWidget->isVisible(); }

    [[nodiscard]] QWidget* Widget() const { return FWidget.get(); }

private:
    void ApplySize() {
        if (FFixed) {
            FWidget->setFixedSize(FWidth, FHeight);
        } else {
            FWidget->setMinimumSize(0, 0);
            FWidget->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
            FWidget->resize(FWidth, FHeight);
        }
    }

    std::unique_ptr<TQtFormWidget> FWidget;
    int FWidth = 0;
    int FHeight = 0;
    bool FFixed = false;
};

class TQtTimerPeer : public TTimerPeer {
public:
    explicit TQtTimerPeer(std::function<void()> OnTimer) {
        QObject::connect(&FTimer, &QTimer::timeout, &FTimer,
                         [Call = std::move(OnTimer)] { Call(); });
    }
    void Restart(bool Enabled, int IntervalMs) override {
        FTimer.stop();
        if (Enabled) {
            FTimer.start(IntervalMs);
        }
    }

private:
    QTimer FTimer;
};

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

} // namespace

namespace UiBackend {

void Initialize() {
    // Qt's application object lives until the process ends and is never deleted: at exit
    // Qt's own static objects go before a static of ours would, and its destructor needs
    // them.
    [[maybe_unused]] static QApplication* OwnApplication = nullptr;
    static THandOverReceiver* Receiver = nullptr;
    if (QApplication::instance() == nullptr) {
        static int Argc = 1;
        static char Name[] = "kivo";
        static char* Argv[] = {Name, nullptr};
        OwnApplication = new QApplication(Argc, Argv);
    }
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
    return std::make_unique<TQtFormPeer>(std::move(Callbacks));
}

std::unique_ptr<TWidgetPeer> CreateWidget(TWidgetKind Kind, TFormPeer& Parent,
                                          std::function<void()> OnClick) {
    QWidget* ParentWidget = static_cast<TQtFormPeer&>(Parent).Widget();
    switch (Kind) {
    case TWidgetKind::wkLabel:
        return std::make_unique<TQtLabelPeer>(ParentWidget);
    case TWidgetKind::wkEdit:
        return std::make_unique<TQtEditPeer>(ParentWidget);
    case TWidgetKind::wkComboBox:
        return std::make_unique<TQtComboBoxPeer>(ParentWidget);
    case TWidgetKind::wkButton:
        break;
    }
    return std::make_unique<TQtButtonPeer>(ParentWidget, std::move(OnClick));
}

std::unique_ptr<TTimerPeer> CreateTimer(std::function<void()> OnTimer) {
    return std::make_unique<TQtTimerPeer>(std::move(OnTimer));
}

void RunMessageLoop() {
    QApplication::exec();
}

void ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    CheckSynchronize();
}

void SetApplicationTitle(const std::string& Title) {
    QCoreApplication::setApplicationName(ToQString(Title));
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
    QMessageBox Box(Icon == TMsgIcon::miError ? QMessageBox::Critical : QMessageBox::Information,
                    ToQString(Caption), ToQString(Text), QMessageBox::Ok,
                    QApplication::activeWindow());
    Box.exec();
}

} // namespace UiBackend
