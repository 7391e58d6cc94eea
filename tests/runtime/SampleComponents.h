#pragma once
// Component kinds for exercising the stored form: a property of every kind, nested settings
// objects, and a root that publishes the handlers a stored form binds by name. Shared by the
// stored-form tests and the stored-form fuzzer.

#include "runtime/Streaming.h"
#include "runtime/TypInfo.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace sample {

enum class TSpeed : std::uint8_t { spSlow, spMedium, spFast };
constexpr std::array<std::string_view, 3> SpeedNames = {"spSlow", "spMedium", "spFast"};
enum class TFlag : std::uint8_t { flA, flB, flC };
using TFlags = TSet<TFlag, std::uint8_t>;
constexpr std::array<std::string_view, 3> FlagNames = {"flA", "flB", "flC"};

using TCountEvent = TEventHandler<TObject*, int>;

// Nested settings objects: an owned object inside an owned object.
class TInner : public TPersistent {
public:
    const char* ClassName() const override { return "TInner"; }
    const TClassInfo& ClassInfo() const override {
        static const TClassInfo Info = TPropertyList<TInner>("TInner", nullptr)
                                           .Integer("Level", &TInner::Level, &TInner::SetLevel, 1)
                                           .Build();
        return Info;
    }
    [[nodiscard]] int Level() const { return FLevel; }
    void SetLevel(int Value) { FLevel = Value; }

private:
    int FLevel = 1;
};

class TSettings : public TPersistent {
public:
    const char* ClassName() const override { return "TSettings"; }
    const TClassInfo& ClassInfo() const override {
        static const TClassInfo Info =
            TPropertyList<TSettings>("TSettings", nullptr)
                .Integer("Size", &TSettings::Size, &TSettings::SetSize, 4096)
                .Boolean("Enabled", &TSettings::Enabled, &TSettings::SetEnabled, std::nullopt)
                .Object("Inner", &TSettings::Inner)
                .Build();
        return Info;
    }
    [[nodiscard]] int Size() const { return FSize; }
    void SetSize(int Value) { FSize = Value; }
    [[nodiscard]] bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value) { FEnabled = Value; }
    [[nodiscard]] TInner* Inner() const { return FInner.get(); }

private:
    int FSize = 4096;
    bool FEnabled = false;
    std::unique_ptr<TInner> FInner = std::make_unique<TInner>();
};

// A component with a property of every kind.
class TSample : public TComponent {
public:
    using TComponent::TComponent;
    const char* ClassName() const override { return "TSample"; }
    const TClassInfo& ClassInfo() const override {
        static const TClassInfo Info =
            TPropertyList<TSample>("TSample", &TComponent::ClassInfo())
                .Boolean("Active", &TSample::Active, &TSample::SetActive, false)
                .Integer("Count", &TSample::Count, &TSample::SetCount, 0)
                .Char("Terminator", &TSample::Terminator, &TSample::SetTerminator, '\r')
                .Enum<TSpeed>("Speed", &TSample::Speed, &TSample::SetSpeed, SpeedNames,
                              TSpeed::spMedium)
                .Set<TFlags>("Flags", &TSample::Flags, &TSample::SetFlags, FlagNames,
                             TFlags{TFlag::flA})
                .String("Caption", &TSample::Caption, &TSample::SetCaption)
                .String("Device", &TSample::Device, &TSample::SetDevice, "COM%d")
                .Strings("Items", &TSample::Items, &TSample::SetItems)
                .Object("Settings", &TSample::Settings)
                .Event("OnChange", &TSample::OnChange)
                .Event("OnCount", &TSample::OnCount)
                .Build();
        return Info;
    }

    [[nodiscard]] bool Active() const { return FActive; }
    void SetActive(bool Value) { FActive = Value; }
    [[nodiscard]] int Count() const { return FCount; }
    void SetCount(int Value) {
        if (Value < -1000) {
            throw EConvertError("Count too small");
        }
        FCount = Value;
        SetWhileLoading = IsLoading();
    }
    [[nodiscard]] unsigned char Terminator() const { return FTerminator; }
    void SetTerminator(unsigned char Value) { FTerminator = Value; }
    [[nodiscard]] TSpeed Speed() const { return FSpeed; }
    void SetSpeed(TSpeed Value) { FSpeed = Value; }
    [[nodiscard]] TFlags Flags() const { return FFlags; }
    void SetFlags(TFlags Value) { FFlags = Value; }
    [[nodiscard]] const std::string& Caption() const { return FCaption; }
    void SetCaption(const std::string& Value) { FCaption = Value; }
    [[nodiscard]] const std::string& Device() const { return FDevice; }
    void SetDevice(const std::string& Value) { FDevice = Value; }
    [[nodiscard]] const std::vector<std::string>& Items() const { return FItems; }
    void SetItems(const std::vector<std::string>& Value) { FItems = Value; }
    [[nodiscard]] TSettings* Settings() const { return FSettings.get(); }

    void Loaded() override {
        TComponent::Loaded();
        if (LoadLog != nullptr) {
            LoadLog->push_back(Name());
        }
    }

    TNotifyEvent OnChange;
    TCountEvent OnCount;
    bool SetWhileLoading = false;
    std::vector<std::string>* LoadLog = nullptr;

private:
    bool FActive = false;
    int FCount = 0;
    unsigned char FTerminator = '\r';
    TSpeed FSpeed = TSpeed::spMedium;
    TFlags FFlags{TFlag::flA};
    std::string FCaption;
    std::string FDevice = "COM%d";
    std::vector<std::string> FItems;
    std::unique_ptr<TSettings> FSettings = std::make_unique<TSettings>();
};

// The root: publishes the handlers the stored form binds by name.
class TSampleForm : public TSample {
public:
    explicit TSampleForm(TComponent* AOwner = nullptr) : TSample(AOwner) {
        PublishMethod<TNotifyEvent>("FormChange", this, &TSampleForm::FormChange);
        PublishMethod<TCountEvent>("FormCount", this, &TSampleForm::FormCount);
        LoadLog = &Loads;
    }
    const char* ClassName() const override { return "TSampleForm"; }

    void FormChange(TObject* Sender) { Changes.push_back(Sender); }
    void FormCount(TObject* /*Sender*/, int N) { Counts.push_back(N); }

    std::vector<TObject*> Changes;
    std::vector<int> Counts;
    std::vector<std::string> Loads;
};

// Lets the reader create TSample by its class name; a child logs into its owner's log.
inline void RegisterSampleClasses() {
    RegisterComponentClass("TSample", [](TComponent* Owner) -> TComponent* {
        auto* sample = new TSample(Owner);
        if (auto* owner = dynamic_cast<TSample*>(Owner)) {
            sample->LoadLog = owner->LoadLog;
        }
        return sample;
    });
}

} // namespace sample
