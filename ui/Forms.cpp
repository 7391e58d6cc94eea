#include "ui/Forms.h"

#include "runtime/Thread.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

namespace {

TApplication* TheApplication = nullptr;

// Whether two controls share a row: their vertical extents overlap.
bool SameRow(const TControl& A, const TControl& B) {
    return A.Top() < B.Top() + B.Height() && B.Top() < A.Top() + A.Height();
}

TFormPeer& ParentPeer(TComponent* Owner) {
    auto* Form = dynamic_cast<TForm*>(Owner);
    if (Form == nullptr) {
        throw std::invalid_argument("A control must be owned by a form");
    }
    return Form->Peer();
}

} // namespace

// ---- TControl

TControl::TControl(TComponent* AOwner, TWidgetKind Kind, std::function<void()> OnClick)
    : TComponent(AOwner),
      FPeer(UiBackend::CreateWidget(Kind, ParentPeer(AOwner), std::move(OnClick))) {}

TControl::~TControl() = default;

const TClassInfo& TControl::ClassInfo() const {
    static const TClassInfo Info =
        TPropertyList<TControl>("TControl", &TComponent::ClassInfo())
            .Integer("Left", &TControl::Left, &TControl::SetLeft, 0)
            .Integer("Top", &TControl::Top, &TControl::SetTop, 0)
            .Integer("Width", &TControl::Width, &TControl::SetWidth, 0)
            .Integer("Height", &TControl::Height, &TControl::SetHeight, 0)
            .Boolean("Enabled", &TControl::Enabled, &TControl::SetEnabled, true)
            .Boolean("Visible", &TControl::Visible, &TControl::SetVisible, true)
            .Integer("TabOrder", &TControl::TabOrder, &TControl::SetTabOrder, -1)
            .Build();
    return Info;
}

void TControl::SetLeft(int Value) {
    FLeft = Value;
    ApplyBounds();
}
void TControl::SetTop(int Value) {
    FTop = Value;
    ApplyBounds();
}
void TControl::SetWidth(int Value) {
    FWidth = Value;
    ApplyBounds();
}
void TControl::SetHeight(int Value) {
    FHeight = Value;
    ApplyBounds();
}
void TControl::ApplyBounds() {
    FPeer->SetBounds(FLeft, FTop, FWidth, FHeight);
}

void TControl::SetEnabled(bool Value) {
    FEnabled = Value;
    FPeer->SetEnabled(Value);
}
void TControl::SetVisible(bool Value) {
    FVisible = Value;
    FPeer->SetVisible(Value);
}
void TControl::SetFocus() {
    FPeer->SetFocus();
}
bool TControl::Focused() const {
    return FPeer->Focused();
}
void TControl::Repaint() {
    FPeer->Repaint();
}

// ---- TLabel

TLabel::TLabel(TComponent* AOwner) : TControl(AOwner, TWidgetKind::wkLabel) {}

const TClassInfo& TLabel::ClassInfo() const {
    static const TClassInfo Info =
        TPropertyList<TLabel>("TLabel", &TControl::ClassInfo())
            .String("Caption", &TLabel::Caption, &TLabel::SetCaption)
            .Enum<TAlignment>("Alignment", &TLabel::Alignment, &TLabel::SetAlignment,
                              AlignmentNames, TAlignment::taLeftJustify)
            .Build();
    return Info;
}

void TLabel::SetCaption(const std::string& Value) {
    FCaption = Value;
    Peer().SetText(Value);
}
void TLabel::SetAlignment(TAlignment Value) {
    FAlignment = Value;
    Peer().SetAlignment(Value);
}

// ---- TEdit

TEdit::TEdit(TComponent* AOwner) : TControl(AOwner, TWidgetKind::wkEdit) {}

const TClassInfo& TEdit::ClassInfo() const {
    static const TClassInfo Info =
        TPropertyList<TEdit>("TEdit", &TControl::ClassInfo())
            .String("Text", &TEdit::Text, &TEdit::SetText)
            .Boolean("ReadOnly", &TEdit::ReadOnly, &TEdit::SetReadOnly, false)
            .Enum<TColor>("Color", &TEdit::Color, &TEdit::SetColor, ColorNames, TColor::clWindow)
            .Build();
    return Info;
}

void TEdit::SetText(const std::string& Value) {
    FText = Value;
    Peer().SetText(Value);
}
void TEdit::SetReadOnly(bool Value) {
    FReadOnly = Value;
    Peer().SetReadOnly(Value);
}
void TEdit::SetColor(TColor Value) {
    FColor = Value;
    Peer().SetColor(Value);
}
void TEdit::SetHint(const std::string& Value) {
    FHint = Value;
    Peer().SetHint(Value);
}

// ---- TComboBox

TComboBox::TComboBox(TComponent* AOwner) : TControl(AOwner, TWidgetKind::wkComboBox) {}

const TClassInfo& TComboBox::ClassInfo() const {
    static const TClassInfo Info =
        TPropertyList<TComboBox>("TComboBox", &TControl::ClassInfo())
            .Enum<TComboBoxStyle>("Style", &TComboBox::Style, &TComboBox::SetStyle,
                                  ComboBoxStyleNames, TComboBoxStyle::csDropDown)
            .Integer("ItemHeight", &TComboBox::ItemHeight, &TComboBox::SetItemHeight, 13)
            .Strings("Items", &TComboBox::Items, &TComboBox::SetItems)
            .Build();
    return Info;
}

void TComboBox::SetItemHeight(int Value) {
    FItemHeight = Value;
    Peer().SetItemHeight(Value);
}
void TComboBox::SetItems(const std::vector<std::string>& Value) {
    FItems = Value;
    Peer().SetItems(Value);
}
int TComboBox::ItemIndex() const {
    return Peer().ItemIndex();
}
void TComboBox::SetItemIndex(int Value) {
    if (Value < -1 || Value >= static_cast<int>(FItems.size())) {
        throw std::out_of_range("List index out of bounds (" + std::to_string(Value) + ")");
    }
    Peer().SetItemIndex(Value);
}
std::string TComboBox::Text() const {
    const int Index = ItemIndex();
    return Index < 0 ? std::string() : FItems.at(static_cast<std::size_t>(Index));
}

// ---- TButton

TButton::TButton(TComponent* AOwner)
    : TControl(AOwner, TWidgetKind::wkButton, [this] { GuardedCall(this, [this] { Click(); }); }) {}

const TClassInfo& TButton::ClassInfo() const {
    static const TClassInfo Info = TPropertyList<TButton>("TButton", &TControl::ClassInfo())
                                       .String("Caption", &TButton::Caption, &TButton::SetCaption)
                                       .Event("OnClick", &TButton::OnClick)
                                       .Build();
    return Info;
}

void TButton::SetCaption(const std::string& Value) {
    FCaption = Value;
    Peer().SetText(Value);
}

void TButton::Click() {
    if (Enabled() && OnClick) {
        OnClick(this);
    }
}

// ---- TTimer

TTimer::TTimer(TComponent* AOwner)
    : TComponent(AOwner),
      FPeer(UiBackend::CreateTimer([this] { GuardedCall(this, [this] { Tick(); }); })) {
    Update();
}

TTimer::~TTimer() = default;

const TClassInfo& TTimer::ClassInfo() const {
    static const TClassInfo Info =
        TPropertyList<TTimer>("TTimer", &TComponent::ClassInfo())
            .Boolean("Enabled", &TTimer::Enabled, &TTimer::SetEnabled, true)
            .Integer("Interval", &TTimer::Interval, &TTimer::SetInterval, 1000)
            .Event("OnTimer", &TTimer::OnTimer)
            .Build();
    return Info;
}

void TTimer::SetEnabled(bool Value) {
    if (Value != FEnabled) {
        FEnabled = Value;
        Update();
    }
}

void TTimer::SetInterval(int Value) {
    if (Value != FInterval) {
        FInterval = Value;
        Update();
    }
}

void TTimer::Loaded() {
    TComponent::Loaded();
    Update();
}

void TTimer::Update() {
    FPeer->Restart(FEnabled && FInterval > 0 && !IsLoading(), FInterval);
}

void TTimer::Tick() {
    if (OnTimer) {
        OnTimer(this);
    }
}

// ---- TFont

const TClassInfo& TFont::ClassInfo() const {
    static const TClassInfo Info = TPropertyList<TFont>("TFont", nullptr)
                                       .String("Name", &TFont::Name, &TFont::SetName)
                                       .Integer("Height", &TFont::Height, &TFont::SetHeight, -11)
                                       .Build();
    return Info;
}

void TFont::SetName(const std::string& Value) {
    FName = Value;
    FOnChange();
}
void TFont::SetHeight(int Value) {
    FHeight = Value;
    FOnChange();
}

// ---- TForm

TForm::TForm(TComponent* AOwner)
    : TComponent(AOwner), FPeer(UiBackend::CreateForm({
                              [this] {
                                  bool May = true;
                                  GuardedCall(this, [this, &May] { May = CloseQuery(); });
                                  return May;
                              },
                              [this] { GuardedCall(this, [this] { DoClose(); }); },
                              [this] { GuardedCall(this, [this] { ApplyFont(); }); },
                          })),
      FFont(std::make_unique<TFont>([this] { ApplyFont(); })) {
    ApplyFont();
    ApplyBorder();
}

TForm::~TForm() {
    // The controls' peers are children of the form's: free them while it still exists.
    Destroying();
    while (ComponentCount() > 0) {
        delete Components(ComponentCount() - 1);
    }
}

const TClassInfo& TForm::ClassInfo() const {
    static const TClassInfo Info =
        TPropertyList<TForm>("TForm", &TComponent::ClassInfo())
            .String("Caption", &TForm::Caption, &TForm::SetCaption)
            .Integer("ClientWidth", &TForm::ClientWidth, &TForm::SetClientWidth, std::nullopt)
            .Integer("ClientHeight", &TForm::ClientHeight, &TForm::SetClientHeight, std::nullopt)
            .Enum<TFormBorderStyle>("BorderStyle", &TForm::BorderStyle, &TForm::SetBorderStyle,
                                    BorderStyleNames, TFormBorderStyle::bsSizeable)
            .Set<TBorderIcons>("BorderIcons", &TForm::BorderIcons, &TForm::SetBorderIcons,
                               BorderIconNames,
                               TBorderIcons{TBorderIcon::biSystemMenu, TBorderIcon::biMinimize,
                                            TBorderIcon::biMaximize})
            .Enum<TPosition>("Position", &TForm::Position, &TForm::SetPosition, PositionNames,
                             TPosition::poDesigned)
            .Enum<TColor>("Color", &TForm::Color, &TForm::SetColor, ColorNames, TColor::clBtnFace)
            .Object("Font", &TForm::Font)
            .Event("OnCreate", &TForm::OnCreate)
            .Build();
    return Info;
}

void TForm::SetCaption(const std::string& Value) {
    FCaption = Value;
    FPeer->SetText(Value);
}
void TForm::SetClientWidth(int Value) {
    FClientWidth = Value;
    FPeer->SetBounds(0, 0, FClientWidth, FClientHeight);
}
void TForm::SetClientHeight(int Value) {
    FClientHeight = Value;
    FPeer->SetBounds(0, 0, FClientWidth, FClientHeight);
}
void TForm::SetBorderStyle(TFormBorderStyle Value) {
    FBorderStyle = Value;
    ApplyBorder();
}
void TForm::SetBorderIcons(TBorderIcons Value) {
    FBorderIcons = Value;
    ApplyBorder();
}
void TForm::ApplyBorder() {
    FPeer->SetBorder(FBorderStyle, FBorderIcons);
}
void TForm::SetColor(TColor Value) {
    FColor = Value;
    FPeer->SetColor(Value);
}

void TForm::ApplyFont() {
    const int Designed = std::abs(FFont->Height());
    const int Sign = FFont->Height() < 0 ? -1 : 1;
    const int Smallest = Designed - Designed / 4;
    int Height = Designed;
    FPeer->SetFont(FFont->Name(), Sign * Height);
    // While the description is read the controls are not all there yet: Loaded fits.
    while (!IsLoading() && Height > Smallest && !TextsFit()) {
        --Height;
        FPeer->SetFont(FFont->Name(), Sign * Height);
    }
    FShownFontHeight = Height;
}

bool TForm::TextsFit() const {
    for (int I = 0; I < ComponentCount(); ++I) {
        const auto* Control = dynamic_cast<const TControl*>(Components(I));
        if (Control == nullptr || !Control->Visible()) {
            continue;
        }
        if (!Control->Peer().TextFits()) {
            return false;
        }
        const auto* Label = dynamic_cast<const TLabel*>(Control);
        if (Label != nullptr && Label->Peer().TextWidth() > LabelRoom(*Label)) {
            return false;
        }
    }
    return true;
}

int TForm::LabelRoom(const TLabel& Label) const {
    const int Left = Label.Left();
    const int Right = Left + Label.Width();
    if (Label.Alignment() == TAlignment::taCenter) {
        return Label.Width();
    }
    const bool GrowsRight = Label.Alignment() == TAlignment::taLeftJustify;
    // A left-aligned label grows to the right, a right-aligned one to the left, up to the
    // next control on its row.
    int Limit = GrowsRight ? (FClientWidth > 0 ? FClientWidth : INT_MAX / 2) : 0;
    for (int I = 0; I < ComponentCount(); ++I) {
        const auto* Other = dynamic_cast<const TControl*>(Components(I));
        if (Other == nullptr || Other == &Label || !Other->Visible() || !SameRow(Label, *Other)) {
            continue;
        }
        const int OtherRight = Other->Left() + Other->Width();
        if (GrowsRight && Other->Left() > Left) {
            Limit = std::min(Limit, Other->Left());
        } else if (!GrowsRight && OtherRight < Right) {
            Limit = std::max(Limit, OtherRight);
        }
    }
    return GrowsRight ? Limit - Left : Right - Limit;
}

void TForm::LinkLabels() {
    for (int I = 0; I < ComponentCount(); ++I) {
        auto* Label = dynamic_cast<TLabel*>(Components(I));
        if (Label == nullptr) {
            continue;
        }
        TControl* Named = nullptr;
        for (int J = 0; J < ComponentCount(); ++J) {
            auto* Other = dynamic_cast<TControl*>(Components(J));
            if (Other == nullptr || dynamic_cast<TLabel*>(Other) != nullptr ||
                !SameRow(*Label, *Other) || Other->Left() <= Label->Left()) {
                continue;
            }
            if (Named == nullptr || Other->Left() < Named->Left()) {
                Named = Other;
            }
        }
        if (Named != nullptr) {
            Label->Peer().SetLabelFor(Named->Peer());
        }
    }
}

void TForm::AddAction(const std::string& Caption, TShortCut ShortCut,
                      std::function<void()> OnExecute) {
    FPeer->AddAction(Caption, ShortCut,
                     [this, Call = std::move(OnExecute)] { GuardedCall(this, Call); });
}

std::vector<TControl*> TForm::TabOrderList() const {
    std::vector<TControl*> List;
    for (int I = 0; I < ComponentCount(); ++I) {
        auto* Control = dynamic_cast<TControl*>(Components(I));
        if (Control != nullptr && Control->TabOrder() >= 0) {
            List.push_back(Control);
        }
    }
    std::stable_sort(List.begin(), List.end(), [](const TControl* A, const TControl* B) {
        return A->TabOrder() < B->TabOrder();
    });
    return List;
}

void TForm::Loaded() {
    TComponent::Loaded();
    ApplyFont();
    std::vector<TWidgetPeer*> Order;
    for (TControl* Control : TabOrderList()) {
        Order.push_back(&Control->Peer());
    }
    FPeer->SetTabOrder(Order);
    LinkLabels();
    if (OnCreate) {
        OnCreate(this);
    }
}

void TForm::Show() {
    FPeer->Show(FPosition);
    const auto Order = TabOrderList();
    if (!Order.empty()) {
        Order.front()->SetFocus();
    }
}

void TForm::Close() {
    FPeer->Close();
}
void TForm::Repaint() {
    FPeer->Repaint();
}
bool TForm::Showing() const {
    return FPeer->Showing();
}

// ---- TApplication

TApplication::TApplication() {
    if (TheApplication != nullptr) {
        throw std::logic_error("The application object exists already");
    }
    UiBackend::Initialize();
    TheApplication = this;
    SetApplicationExceptionHandler(
        [this](TObject* /*Sender*/, const std::exception& E) { ShowException(E); });
}

TApplication::~TApplication() {
    SetApplicationExceptionHandler({});
    TheApplication = nullptr;
}

void TApplication::SetTitle(const std::string& Value) {
    FTitle = Value;
    UiBackend::SetApplicationTitle(Value);
}

void TApplication::Run(TForm& MainForm) {
    MainForm.Show();
    UiBackend::RunMessageLoop();
}

void TApplication::ProcessMessages() {
    UiBackend::ProcessMessages();
}

void TApplication::WaitAndProcessMessages(std::chrono::milliseconds Bound) {
    UiBackend::WaitAndProcessMessages(Bound);
}

void TApplication::SetClipboardText(const std::string& Text) {
    UiBackend::SetClipboardText(Text);
}

void TApplication::SetCursor(TCursor Value) {
    FCursor = Value;
    UiBackend::SetCursor(Value);
}

void TApplication::MessageBox(const std::string& Text, const std::string& Caption, TMsgIcon Icon) {
    // The box waits for the user, not the program: the arrow while it shows.
    const TCursor Running = FCursor;
    SetCursor(TCursor::crDefault);
    try {
        if (FMessageBoxHook) {
            FMessageBoxHook(Text, Caption, Icon);
        } else {
            UiBackend::ShowMessageBox(Text, Caption, Icon);
        }
    } catch (...) {
        SetCursor(Running);
        throw;
    }
    SetCursor(Running);
}

void TApplication::ShowError(const std::string& Text) {
    MessageBox(Text, "Error", TMsgIcon::miError);
}

void TApplication::ShowException(const std::exception& E) {
    MessageBox(ExceptionBoxText(E.what()), FTitle, TMsgIcon::miError);
}

TApplication& Application() {
    if (TheApplication == nullptr) {
        throw std::logic_error("No application object");
    }
    return *TheApplication;
}

std::string ExceptionBoxText(const std::string& Message) {
    if (!Message.empty() && static_cast<unsigned char>(Message.back()) > '.') {
        return Message + ".";
    }
    return Message;
}

void GuardedCall(TObject* Sender, const std::function<void()>& Call) noexcept {
    try {
        Call();
    } catch (...) {
        ApplicationHandleException(Sender);
    }
}

void RegisterFormClasses() {
    RegisterComponentClass<TLabel>("TLabel");
    RegisterComponentClass<TEdit>("TEdit");
    RegisterComponentClass<TComboBox>("TComboBox");
    RegisterComponentClass<TButton>("TButton");
    RegisterComponentClass<TTimer>("TTimer");
}
