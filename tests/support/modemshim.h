// Test-only stand-in for the modem-control lines of pseudo-terminals, which
// the kernel's pty driver refuses (ENOTTY). While enabled, the ioctl() of the
// test executable answers TIOCMBIS/TIOCMBIC/TIOCMSET/TIOCMGET for /dev/pts/*
// itself, so a test can see the DTR and RTS levels the program sets.
#pragma once

#include <string>

namespace modemshim {
void enable(bool on);
// While on, the pseudo-terminals' output never drains: TIOCOUTQ reports
// bytes queued and tcdrain() blocks for ten seconds.
void drainHangs(bool on);
void reset();
// Current TIOCM_* bits of a device, or -1 if nothing set them.
int bits(const std::string &device);
} // namespace modemshim
