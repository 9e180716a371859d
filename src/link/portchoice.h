// Choosing which serial port the counter is reached on.
#pragma once

#include "counterlink.h"

namespace tallyo {

// Takes effect at once: an open port is closed, renumbered and opened again
// with the settings it had (the same number included); a closed port is only
// renumbered, and the next opening uses the new number. A reply on its way is
// let land first.
void choosePort(CounterLink &link, int portNumber);

} // namespace tallyo
