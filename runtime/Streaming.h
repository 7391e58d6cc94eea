#pragma once
// The stored form: components and their published properties as text.
//
//   object frmStart: TfrmStart
//     ClientWidth = 305
//     object vaComm: TVaComm
//       Baudrate = br19200
//       FlowControl.OutCtsFlow = False
//       DeviceName = 'COM%d'
//       MonitorEvents = [ceError, ceRxChar]
//       OnOpen = vaCommOpen
//     end
//   end
//
// Values: True/False, decimal integers (negative ones too), enumeration members by name,
// sets as [a, b] ([] when empty), characters as #n, texts in single quotes (a quote doubled
// inside) with other bytes as #n next to them ('a'#13#10'b'), texts joined by +, lists of
// texts as ('COM 1', 'COM 2') over any number of lines, handlers by name.

#include "runtime/Classes.h"
#include "runtime/SysUtils.h"

#include <string>
#include <string_view>

// A stored form that cannot be read: the message names the line and what is wrong.
class EReadError : public Exception {
public:
    // Takes the message, as Exception does.
    using Exception::Exception;
};

// The text of Instance: its published properties that differ from their declared default
// (or declare none), in publishing order, nested objects as Name.Sub lines, then the
// components it owns, each as a nested object block.
[[nodiscard]] std::string WriteComponent(const TComponent& Instance);

// Applies Text to Root, whose class must be the one the text names. Root and every
// component of a nested block (one Root already owns under that name, else a new one of
// the registered class, owned by Root) are put in the loading state and get their
// properties; handlers are bound by name to Root's published methods; then Loaded runs on
// each, Root last. Raises EReadError, naming the line, on malformed text, unknown
// properties, classes or handlers, a value out of range and a second block for the same
// component; passes on what a setter or Loaded raises.
void ReadComponent(std::string_view Text, TComponent& Root);
