#include "ui/win32/Win32Session.h"

namespace Win32 {
namespace {

struct TSession {
    int ShowingForms = 0;
    bool WaitCursor = false;
};

TSession& Session() {
    static TSession Instance;
    return Instance;
}

} // namespace

void FormShown() {
    ++Session().ShowingForms;
}

void FormHidden() {
    if (Session().ShowingForms > 0) {
        --Session().ShowingForms;
    }
}

bool AnyFormShowing() {
    return Session().ShowingForms > 0;
}

void SetWaitCursor(bool Wait) {
    Session().WaitCursor = Wait;
}

bool WaitCursor() {
    return Session().WaitCursor;
}

} // namespace Win32
