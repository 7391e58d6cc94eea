#pragma once
// Base classes of the component: the settings objects' persistent base, which tells its
// owner of every change, and the component base.

#include "runtime/Classes.h"

#include <cstdint>
#include <utility>

// A settings object with an update-nesting count and one change notification.
class TVaPersistent : public TPersistent {
public:
    const char* ClassName() const override { return "TVaPersistent"; }

    // Opens an update bracket: changes notify nobody until the matching EndUpdate.
    void BeginUpdate();
    // Lowers the nesting count (when above 0), then notifies through Changed.
    void EndUpdate();

    // The change notification (the owner sets it to hear of every change).
    [[nodiscard]] const TNotifyEvent& OnChange() const { return FOnChange; }
    void SetOnChange(TNotifyEvent Handler) { FOnChange = std::move(Handler); }

    // How many update brackets are open.
    [[nodiscard]] std::int32_t UpdateCount() const { return FUpdateCount; }

protected:
    // Calls the change notification unless an update bracket is open.
    void Changed();

    // Copies Source through Copy inside an update bracket, so the owner hears once, also
    // when the copy raises.
    template <typename Fn> void AssignBracketed(Fn&& Copy) {
        BeginUpdate();
        try {
            Copy();
        } catch (...) {
            EndUpdate();
            throw;
        }
        EndUpdate();
    }

private:
    std::int32_t FUpdateCount = 0;
    TNotifyEvent FOnChange;
};

// The base of the serial port component.
class TVaComponent : public TComponent {
public:
    // Owned by AOwner, as TComponent.
    using TComponent::TComponent;
    const char* ClassName() const override { return "TVaComponent"; }
};
