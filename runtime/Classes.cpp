#include "runtime/Classes.h"

#include "runtime/TypInfo.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

// ---- TPersistent ----

void TPersistent::Assign(const TPersistent* Source) {
    if (Source != nullptr) {
        Source->AssignTo(this);
        return;
    }
    throw EConvertError(Format("Cannot assign a %s to a %s", {"nil", ClassName()}));
}

void TPersistent::AssignTo(TPersistent* Dest) const {
    throw EConvertError(Format("Cannot assign a %s to a %s",
                               {ClassName(), Dest != nullptr ? Dest->ClassName() : "nil"}));
}

const TClassInfo& TPersistent::ClassInfo() const {
    static const TClassInfo Info("TPersistent", {});
    return Info;
}

// ---- TComponent ----

TComponent::TComponent(TComponent* AOwner) {
    if (AOwner != nullptr) {
        AOwner->Insert(this);
    }
}

TComponent::~TComponent() {
    Destroying();
    while (!FComponents.empty()) {
        // The child's destructor removes it from FComponents.
        delete FComponents.back();
    }
    if (FOwner != nullptr) {
        FOwner->Remove(this);
    }
}

const TClassInfo& TComponent::ClassInfo() const {
    static const TClassInfo Info("TComponent", {});
    return Info;
}

void TComponent::SetName(std::string AName) {
    if (FOwner != nullptr && !AName.empty()) {
        const TComponent* other = FOwner->FindComponent(AName);
        if (other != nullptr && other != this) {
            throw EComponentError(Format("A component named %s already exists", {AName}));
        }
    }
    FName = std::move(AName);
}

bool TComponent::IsLoading() const {
    return FComponentState.Contains(TComponentStateItem::csLoading);
}

bool TComponent::IsDesigning() const {
    return FComponentState.Contains(TComponentStateItem::csDesigning);
}

bool TComponent::IsDestroying() const {
    return FComponentState.Contains(TComponentStateItem::csDestroying);
}

void TComponent::SetDesigning(bool Value) {
    if (Value) {
        FComponentState.Include(TComponentStateItem::csDesigning);
    } else {
        FComponentState.Exclude(TComponentStateItem::csDesigning);
    }
}

TComponent* TComponent::FindComponent(std::string_view AName) const {
    if (AName.empty()) {
        return nullptr;
    }
    auto found = std::find_if(FComponents.begin(), FComponents.end(),
                              [&](const TComponent* c) { return SameText(c->Name(), AName); });
    return found != FComponents.end() ? *found : nullptr;
}

void TComponent::BeginLoading() {
    FComponentState.Include(TComponentStateItem::csLoading);
}

void TComponent::Loaded() {
    FComponentState.Exclude(TComponentStateItem::csLoading);
}

const std::any* TComponent::FindMethod(std::string_view AName) const {
    auto found = FMethods.find(AName);
    return found != FMethods.end() ? &found->second : nullptr;
}

void TComponent::Destroying() {
    if (IsDestroying()) {
        return;
    }
    FComponentState.Include(TComponentStateItem::csDestroying);
    for (TComponent* child : FComponents) {
        child->Destroying();
    }
}

void TComponent::Insert(TComponent* Child) {
    FComponents.push_back(Child);
    Child->FOwner = this;
}

void TComponent::Remove(TComponent* Child) {
    auto found = std::find(FComponents.begin(), FComponents.end(), Child);
    if (found != FComponents.end()) {
        FComponents.erase(found);
    }
    Child->FOwner = nullptr;
}

// ---- The application's report of unhandled exceptions ----

namespace {

struct ExceptionReport {
    std::mutex Lock;
    TExceptionEvent Handler;
};

ExceptionReport& Report() {
    static ExceptionReport Instance;
    return Instance;
}

void WriteToStandardError(const std::exception& E) noexcept {
    std::fprintf(stderr, "%s\n", E.what()); // NOLINT: the last resort needs no formatting
}

void Deliver(TObject* Sender, const std::exception& E) noexcept {
    TExceptionEvent handler;
    {
        std::lock_guard guard(Report().Lock);
        handler = Report().Handler;
    }
    if (!handler) {
        WriteToStandardError(E);
        return;
    }
    try {
        handler(Sender, E);
    } catch (const std::exception& failure) {
        WriteToStandardError(failure);
        WriteToStandardError(E);
    } catch (...) {
        WriteToStandardError(E);
    }
}

} // namespace

void SetApplicationExceptionHandler(TExceptionEvent Handler) {
    std::lock_guard guard(Report().Lock);
    Report().Handler = std::move(Handler);
}

void ApplicationHandleException(TObject* Sender) noexcept {
    std::exception_ptr current = std::current_exception();
    if (!current) {
        return;
    }
    try {
        std::rethrow_exception(current);
    } catch (const std::exception& e) {
        Deliver(Sender, e);
    } catch (...) {
        Deliver(Sender, Exception("Unknown exception"));
    }
}
