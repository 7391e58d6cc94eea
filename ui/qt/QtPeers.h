#pragma once
// The Qt peers of forms, controls and timers, made for the backend (QtBackend.cpp). Every call
// runs on the user-interface thread.

#include "ui/Backend.h"

#include <QString>
#include <functional>
#include <memory>
#include <string>

class QWidget;

namespace QtPeers {

// A text of the window classes as Qt shows it: 8-bit characters taken one for one.
[[nodiscard]] QString ToQString(const std::string& Text);

// True when Widget is the top-level widget of a form.
[[nodiscard]] bool IsFormWidget(const QWidget* Widget);

[[nodiscard]] std::unique_ptr<TFormPeer> CreateFormPeer(TFormCallbacks Callbacks);
[[nodiscard]] std::unique_ptr<TWidgetPeer> CreateWidgetPeer(TWidgetKind Kind, TFormPeer& Parent,
                                                            std::function<void()> OnClick);
[[nodiscard]] std::unique_ptr<TTimerPeer> CreateTimerPeer(std::function<void()> OnTimer);

} // namespace QtPeers
