#pragma once
// The framework's object model: TObject, handler references, TPersistent with Assign,
// TComponent with owner, name, component state and Loaded, and the application's report
// of unhandled exceptions.

#include "runtime/Sets.h"
#include "runtime/SysUtils.h"

#include <any>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TClassInfo;

// A component operation that cannot be done, such as a second component of the same name
// under one owner.
class EComponentError : public Exception {
public:
    // Takes the message, as Exception does.
    using Exception::Exception;
};

// Root of every class of the framework; objects are not copyable.
class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    TObject(TObject&&) = delete;
    TObject& operator=(TObject&&) = delete;
    virtual ~TObject() = default;

    // The class's name as the stored form and messages spell it ("TVaFlowControl").
    [[nodiscard]] virtual const char* ClassName() const { return "TObject"; }
};

// A handler reference: a callable (normally a method bound to its object) plus the
// handler's name when it was bound from a stored form. An unset one is skipped by callers.
template <typename... Args> class TEventHandler {
public:
    // What the handler holds.
    using Callable = std::function<void(Args...)>;

    TEventHandler() = default;
    // Binds Fn (any callable taking Args), under the name it was bound by in a stored form.
    template <typename F>
    requires std::is_invocable_v<F&, Args...> &&
        (!std::is_same_v<std::remove_cvref_t<F>, TEventHandler>)
            TEventHandler(F&& Fn, std::string Name = {}) // NOLINT: a lambda converts implicitly
        : FCall(std::forward<F>(Fn)), FName(std::move(Name)) {}

    // True when a handler is set.
    [[nodiscard]] explicit operator bool() const { return static_cast<bool>(FCall); }
    // Calls the handler; only when one is set.
    void operator()(Args... A) const { FCall(A...); }
    // The name the handler was bound by in a stored form; empty when bound in code.
    [[nodiscard]] const std::string& Name() const { return FName; }

private:
    Callable FCall;
    std::string FName;
};

// A handler that is told only who sent the event.
using TNotifyEvent = TEventHandler<TObject* /*Sender*/>;

// An object with published properties that can be assigned from another of its kind.
class TPersistent : public TObject {
public:
    const char* ClassName() const override { return "TPersistent"; }

    // Copies Source into this object. The base asks Source to AssignTo this object, which
    // fails with EConvertError "Cannot assign a %s to a %s" (source class or "nil", then
    // this class) unless a class overrides one of the two.
    virtual void Assign(const TPersistent* Source);

    // The published properties of the object's class, in publishing order.
    [[nodiscard]] virtual const TClassInfo& ClassInfo() const;

protected:
    // Copies this object into Dest, for Assign; the base fails as Assign says.
    virtual void AssignTo(TPersistent* Dest) const;
};

// What a component is going through: being loaded from a stored form, being designed,
// being destroyed.
enum class TComponentStateItem : std::uint8_t { csLoading, csDesigning, csDestroying };
// The set of TComponentStateItem a component is in.
using TComponentState = TSet<TComponentStateItem, std::uint8_t>;

// A component: has an owner that frees it, a name, a state, and a Loaded step that runs
// after stored properties were applied. A component frees the components it owns, last
// created first, when it is destroyed.
class TComponent : public TPersistent {
public:
    // A component owned by AOwner, which frees it; none (nullptr) leaves freeing it to the
    // caller. The user-interface thread, as every member of a component.
    explicit TComponent(TComponent* AOwner);
    ~TComponent() override;

    const char* ClassName() const override { return "TComponent"; }
    [[nodiscard]] const TClassInfo& ClassInfo() const override;

    // The component that frees this one; nullptr when none.
    [[nodiscard]] TComponent* Owner() const { return FOwner; }
    // The component's name; empty unless set.
    [[nodiscard]] const std::string& Name() const { return FName; }
    // Raises EComponentError "A component named %s already exists" when another component
    // of the same owner has that name (names compare without regard to ASCII case).
    void SetName(std::string AName);

    // The states the component is in, and each of them on its own.
    [[nodiscard]] TComponentState ComponentState() const { return FComponentState; }
    [[nodiscard]] bool IsLoading() const;
    [[nodiscard]] bool IsDesigning() const;
    [[nodiscard]] bool IsDestroying() const;
    // Marks the component as being designed (a form editor's), or no longer.
    void SetDesigning(bool Value);

    // The components this one owns, in the order they were created.
    [[nodiscard]] int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    [[nodiscard]] TComponent* Components(int Index) const { return FComponents.at(Index); }
    // The owned component of that name (ASCII case ignored), or nullptr.
    [[nodiscard]] TComponent* FindComponent(std::string_view AName) const;

    // Called by the stored-form reader around applying properties.
    void BeginLoading();
    // After stored properties were applied: leaves the loading state. Overrides call the
    // inherited Loaded first.
    virtual void Loaded();

    // The handler published under Name (a TEventHandler of some signature), or none.
    [[nodiscard]] const std::any* FindMethod(std::string_view AName) const;

protected:
    // Marks the component as being destroyed; destructors that must know (to skip
    // notifications) call it first. Owned components are marked before they are freed.
    void Destroying();

    // Publishes a handler for the stored form to bind by name: a method of this object.
    template <typename Handler, typename Self, typename Method>
    void PublishMethod(const std::string& AName, Self* Object, Method M) {
        FMethods[AName] = Handler([Object, M](auto... A) { (Object->*M)(A...); }, AName);
    }

private:
    void Insert(TComponent* Child);
    void Remove(TComponent* Child);

    TComponent* FOwner = nullptr;
    std::string FName;
    TComponentState FComponentState;
    std::vector<TComponent*> FComponents;
    std::map<std::string, std::any, std::less<>> FMethods;
};

// The application's report of exceptions that nobody else handled (a handler that raised
// during a hand-over, an OnOpen handler that raised). Call from inside a catch block.
// The window installs its error box; without one the message goes to standard error.
using TExceptionEvent = std::function<void(TObject* Sender, const std::exception& E)>;
void SetApplicationExceptionHandler(TExceptionEvent Handler);
void ApplicationHandleException(TObject* Sender) noexcept;
