// What to tell a user whom the system does not let open a serial device.
#pragma once

#include <QString>

namespace tallyo {

// One sentence naming the remedy for a device the user may not open, from
// the device's own group, e.g. "To be allowed to open /dev/ttyUSB0, join its
// group dialout: sudo usermod -aG dialout $USER, then log out and in again."
// Empty where the user has the rights to the device (the refusal came from
// elsewhere, e.g. another program holding it) or where its owners cannot be
// learnt (a missing device, Windows).
QString permissionRemedy(const QString &device);

} // namespace tallyo
