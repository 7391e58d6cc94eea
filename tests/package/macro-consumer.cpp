// A program that defines the macros a terminal library defines (TRUE, FALSE, ERR, OK), or
// includes that library itself where it is installed, and includes the component before
// or after them (KIVO_COMPONENT_FIRST): the component's public headers must not collide
// with those names, in either order.

#if KIVO_COMPONENT_FIRST
#include "serial/VaComm.h"
#endif

#if __has_include(<curses.h>)
#include <curses.h>
#else
#define TRUE 1
#define FALSE 0
#define ERR (-1)
#define OK (0)
#endif

#if !KIVO_COMPONENT_FIRST
#include "serial/VaComm.h"
#endif

int main() {
    TVaComm Comm(nullptr);
    Comm.SetDevicePath("/dev/null%d");
    return Comm.Active() == static_cast<bool>(FALSE) && TRUE == 1 && ERR == -1 && OK == 0 ? 0 : 1;
}
