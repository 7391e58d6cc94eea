// The Qt peers of forms, controls and timers.

#include "ui/qt/QtPeers.h"

#include "ui/Forms.h"
#include "ui/TextFit.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QIcon>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStyleOptionFrame>
#include <QStylePainter>
#include <QTextDocument>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <array>
#include <memory>
#include <string_view>

namespace {

using QtPeers::ToQString;

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

// The sizes the window's icon comes in (packaging/icons/kivo-<size>.png).
constexpr std::array<int, 7> IconSizes{16, 24, 32, 48, 64, 128, 256};

// The window icon: the pictures built into the program, else the installed theme's icon,
// else none.
QIcon WindowIcon() {
    QIcon Icon;
    for (const int Size : IconSizes) {
        const QString Path = QStringLiteral(":/kivo/icons/kivo-%1.png").arg(Size);
        if (QFile::exists(Path)) {
            Icon.addFile(Path, QSize(Size, Size));
        }
    }
    const QString Drawing = QStringLiteral(":/kivo/kivo.svg");
    if (Icon.isNull() && QFile::exists(Drawing) &&
        QImageReader::supportedImageFormats().contains("svg")) {
        Icon.addFile(Drawing);
    }
    if (Icon.isNull()) {
        Icon = QIcon::fromTheme(QStringLiteral("kivo"));
    }
    return Icon;
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

// A label that says when its font changed.
class TQtLabel : public QLabel {
public:
    using QLabel::QLabel;
    std::function<void()> OnFontChange;

protected:
    void changeEvent(QEvent* Event) override {
        QLabel::changeEvent(Event);
        if (Event->type() == QEvent::FontChange && OnFontChange) {
            OnFontChange();
        }
    }
};

// Labels size themselves to their text: the stored size is a minimum, so a face larger
// than the one the window was laid out with does not clip them. A right-aligned label
// grows to the left; every label grows downwards (rows are far enough apart).
class TQtLabelPeer : public TQtWidgetPeer<TQtLabel> {
public:
    explicit TQtLabelPeer(QWidget* Parent) : TQtWidgetPeer(Parent) {
        Widget()->setTextFormat(Qt::PlainText);
        Widget()->OnFontChange = [this] { Fit(); };
    }
    [[nodiscard]] int TextWidth() const override {
        return Widget()->fontMetrics().horizontalAdvance(Widget()->text());
    }
    void SetBounds(int Left, int Top, int Width, int Height) override {
        FBounds = QRect(Left, Top, Width, Height);
        Fit();
    }
    void SetText(const std::string& Value) override {
        Widget()->setText(ToQString(Value));
        NameBuddy();
        Fit();
    }
    void SetLabelFor(TWidgetPeer& Control) override {
        const auto* Native = dynamic_cast<const TQtNative*>(&Control);
        Widget()->setBuddy(Native == nullptr ? nullptr : Native->Native());
        NameBuddy();
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
    // The control this label names takes its text as its accessible name, without the
    // accelerator's "&" and the closing colon: "Phone Model".
    void NameBuddy() {
        QWidget* Buddy = Widget()->buddy();
        if (Buddy == nullptr) {
            return;
        }
        QString Name = Widget()->text();
        Name.remove(QLatin1Char('&'));
        if (Name.endsWith(QLatin1Char(':'))) {
            Name.chop(1);
        }
        Buddy->setAccessibleName(Name.trimmed());
    }
    void Fit() {
        const int Needed = Widget()->fontMetrics().horizontalAdvance(Widget()->text());
        QRect Bounds = FBounds;
        Bounds.setHeight(std::max(Bounds.height(), Widget()->fontMetrics().height()));
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

// An edit whose text, when longer than it shows, is its tooltip.
class TQtLineEdit : public QLineEdit {
public:
    explicit TQtLineEdit(QWidget* Parent) : QLineEdit(Parent) {
        connect(this, &QLineEdit::textChanged, this, [this] { UpdateToolTip(); });
    }
    [[nodiscard]] bool TextFits() const { return fontMetrics().height() <= TextArea().height(); }
    void SetHint(const QString& Hint) {
        FHint = Hint;
        UpdateToolTip();
    }

protected:
    void resizeEvent(QResizeEvent* Event) override {
        QLineEdit::resizeEvent(Event);
        UpdateToolTip();
    }
    void changeEvent(QEvent* Event) override {
        QLineEdit::changeEvent(Event);
        if (Event->type() == QEvent::FontChange) {
            UpdateToolTip();
        }
    }

private:
    // Where the text is drawn: the style's contents less the text margins and the edit's
    // own margin on either side.
    [[nodiscard]] QRect TextArea() const {
        constexpr int InnerMargin = 2;
        QStyleOptionFrame Option;
        initStyleOption(&Option);
        return style()
            ->subElementRect(QStyle::SE_LineEditContents, &Option, this)
            .marginsRemoved(textMargins())
            .adjusted(InnerMargin, 0, -InnerMargin, 0);
    }
    // The tip: the text when it is cut, then the hint. A tooltip that looks like markup is
    // shown as rich text, and an answer is the phone's own text: it goes in escaped, on one
    // line as the edit shows it.
    void UpdateToolTip() {
        const bool Cut = fontMetrics().horizontalAdvance(text()) > TextArea().width();
        QString Tip = Cut ? text() : QString();
        if (!FHint.isEmpty()) {
            Tip += (Tip.isEmpty() ? QString() : QStringLiteral("\n")) + FHint;
        }
        setToolTip(Tip.isEmpty() ? QString() : Qt::convertFromPlainText(Tip, Qt::WhiteSpaceNoWrap));
    }

    QString FHint;
};

class TQtEditPeer : public TQtWidgetPeer<TQtLineEdit> {
public:
    using TQtWidgetPeer::TQtWidgetPeer;
    void SetText(const std::string& Value) override {
        Widget()->setText(ToQString(Value));
        Widget()->setCursorPosition(0);
    }
    void SetReadOnly(bool Value) override { Widget()->setReadOnly(Value); }
    void SetHint(const std::string& Value) override { Widget()->SetHint(ToQString(Value)); }
    [[nodiscard]] bool TextFits() const override { return Widget()->TextFits(); }
};

class TQtComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;
    // Every item's name shows whole in the field of the closed list. What follows the name
    // (from the first " - " or " (": a port's description, a mark) shows in the open list,
    // which is as wide as its longest item.
    [[nodiscard]] bool TextFits() const {
        QStyleOptionComboBox Option;
        initStyleOption(&Option);
        const QRect Field = style()->subControlRect(QStyle::CC_ComboBox, &Option,
                                                    QStyle::SC_ComboBoxEditField, this);
        const QFontMetrics Metrics = fontMetrics();
        for (int I = 0; I < count(); ++I) {
            if (Metrics.horizontalAdvance(ItemName(itemText(I))) > Field.width()) {
                return false;
            }
        }
        return Metrics.height() <= Field.height();
    }
    [[nodiscard]] static QString ItemName(const QString& Item) {
        const QByteArray Bytes = Item.toLatin1(); // ToQString's bytes
        const std::string_view Name = ListItemName(
            std::string_view(Bytes.constData(), static_cast<std::size_t>(Bytes.size())));
        return QString::fromLatin1(Name.data(), static_cast<qsizetype>(Name.size()));
    }
    // The open list is as wide as its longest item, however narrow the closed box is.
    void FitPopup() {
        QAbstractItemView* List = view();
        int Width = List->sizeHintForColumn(0) + 2 * List->frameWidth();
        if (count() > maxVisibleItems()) {
            Width += List->verticalScrollBar()->sizeHint().width();
        }
        List->setMinimumWidth(Width);
    }

protected:
    void changeEvent(QEvent* Event) override {
        QComboBox::changeEvent(Event);
        if (Event->type() == QEvent::FontChange) {
            FitPopup();
        }
    }
};

class TQtComboBoxPeer : public TQtWidgetPeer<TQtComboBox> {
public:
    using TQtWidgetPeer::TQtWidgetPeer;
    [[nodiscard]] bool TextFits() const override { return Widget()->TextFits(); }
    void SetItems(const std::vector<std::string>& Items) override {
        Widget()->clear();
        for (const std::string& Item : Items) {
            Widget()->addItem(ToQString(Item));
        }
        Widget()->FitPopup();
    }
    void SetItemIndex(int Index) override { Widget()->setCurrentIndex(Index); }
    [[nodiscard]] int ItemIndex() const override { return Widget()->currentIndex(); }
};

// A push button that Enter presses as well as Space, as in a dialog.
class TQtPushButton : public QPushButton {
public:
    using QPushButton::QPushButton;
    [[nodiscard]] bool TextFits() const {
        QStyleOptionButton Option;
        initStyleOption(&Option);
        const QRect Contents =
            style()->subElementRect(QStyle::SE_PushButtonContents, &Option, this);
        const QSize Needed = fontMetrics().size(Qt::TextShowMnemonic, text());
        return Needed.width() <= Contents.width() && Needed.height() <= Contents.height();
    }

protected:
    // The focus frame shows whenever the button has the focus, also when it got it from the
    // program (at start, after a run) rather than from the keyboard: the styles draw it only
    // after a key moved the focus, so Enter and Space would press a button that looks idle.
    void paintEvent(QPaintEvent* /*Event*/) override {
        QStylePainter Painter(this);
        QStyleOptionButton Option;
        initStyleOption(&Option);
        if (hasFocus()) {
            Option.state |= QStyle::State_KeyboardFocusChange;
        }
        Painter.drawControl(QStyle::CE_PushButton, Option);
    }
    void keyPressEvent(QKeyEvent* Event) override {
        const bool Enter = Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter;
        if (Enter && (Event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            if (!Event->isAutoRepeat()) {
                click();
            }
            return;
        }
        QPushButton::keyPressEvent(Event);
    }
};

class TQtButtonPeer : public TQtWidgetPeer<TQtPushButton> {
public:
    TQtButtonPeer(QWidget* Parent, std::function<void()> OnClick) : TQtWidgetPeer(Parent) {
        QObject::connect(Widget(), &QPushButton::clicked, Widget(),
                         [Call = std::move(OnClick)] { Call(); });
    }
    void SetText(const std::string& Value) override { Widget()->setText(ToQString(Value)); }
    [[nodiscard]] bool TextFits() const override { return Widget()->TextFits(); }
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
        FWidget->setWindowIcon(WindowIcon());
    }

    void SetBounds(int /*Left*/, int /*Top*/, int Width, int Height) override {
        FWidth = Width;
        FHeight = Height;
        ApplySize();
    }
    void SetEnabled(bool Value) override { FWidget->setEnabled(Value); }
    void SetVisible(bool Value) override { FWidget->setVisible(Value); }
    void SetText(const std::string& Value) override {
        FCaption = ToQString(Value);
        ApplyTitle();
    }
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
        // A face the system lacks gives way to the system's sans-serif face.
        QFont Font(ToQString(Name));
        Font.setStyleHint(QFont::SansSerif);
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
    void AddAction(const std::string& Caption, TShortCut ShortCut,
                   std::function<void()> OnExecute) override {
        auto* Action = new QAction(ToQString(Caption), FWidget.get()); // owned by the window
        // Qt's codes of the letter keys are their upper-case characters.
        const QKeyCombination Keys((ShortCut.Ctrl ? Qt::ControlModifier : Qt::NoModifier) |
                                       (ShortCut.Shift ? Qt::ShiftModifier : Qt::NoModifier),
                                   static_cast<Qt::Key>(ShortCut.Key));
        Action->setShortcut(QKeySequence(Keys));
        Action->setShortcutContext(Qt::WindowShortcut);
        QObject::connect(Action, &QAction::triggered, Action,
                         [Call = std::move(OnExecute)] { Call(); });
        FWidget->addAction(Action);
        // Labels and the background open the window's own menu; edits keep their own.
        FWidget->setContextMenuPolicy(Qt::ActionsContextMenu);
    }

    [[nodiscard]] QWidget* Widget() const { return FWidget.get(); }

private:
    // The title bar shows the caption whole where it fits. A fixed window too narrow for it
    // ("KIVO - reads the identity of a phone on a serial port" in 305 pixels) would have it
    // cut mid-word by the window manager, which X11 and Wayland give no other place to show
    // it: the bar shows the part before " - ", and the whole caption is the window's
    // accessible description, which screen readers read with the title.
    void ApplyTitle() {
        QString Title = FCaption;
        const qsizetype Dash = FCaption.indexOf(QStringLiteral(" - "));
        if (Dash > 0 && FFixed && !TitleFits()) {
            Title = FCaption.left(Dash);
        }
        FWidget->setWindowTitle(Title);
        FWidget->setAccessibleDescription(Title == FCaption ? QString() : FCaption);
    }
    // Whether the caption fits the title bar: the system font, with room for the window's
    // icon and its three buttons, each about a square of two lines' height.
    [[nodiscard]] bool TitleFits() const {
        const QFontMetrics Metrics(QApplication::font());
        constexpr int LinesForButtons = 8;
        return Metrics.horizontalAdvance(FCaption) <= FWidth - LinesForButtons * Metrics.height();
    }
    void ApplySize() {
        ApplyTitle();
        if (FFixed) {
            FWidget->setFixedSize(FWidth, FHeight);
        } else {
            FWidget->setMinimumSize(0, 0);
            FWidget->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
            FWidget->resize(FWidth, FHeight);
        }
    }

    std::unique_ptr<TQtFormWidget> FWidget;
    QString FCaption;
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

} // namespace

namespace QtPeers {

QString ToQString(const std::string& Text) {
    // Texts are 8-bit characters taken one for one.
    return QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
}

bool IsFormWidget(const QWidget* Widget) {
    return dynamic_cast<const TQtFormWidget*>(Widget) != nullptr;
}

std::unique_ptr<TFormPeer> CreateFormPeer(TFormCallbacks Callbacks) {
    return std::make_unique<TQtFormPeer>(std::move(Callbacks));
}

std::unique_ptr<TWidgetPeer> CreateWidgetPeer(TWidgetKind Kind, TFormPeer& Parent,
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

std::unique_ptr<TTimerPeer> CreateTimerPeer(std::function<void()> OnTimer) {
    return std::make_unique<TQtTimerPeer>(std::move(OnTimer));
}

} // namespace QtPeers
