// Line speeds of a tty given in bits per second, including rates that have no
// B<rate> constant, through the kernel's termios2 interface. Kept apart
// because the kernel's terminal header cannot share a file with <termios.h>.
#pragma once

#include <cstdint>

namespace korvane {

/// Sets input and output speed of the tty `fd` to `bitsPerSecond`, keeping
/// every other setting. Returns 0, or the errno of the failing call.
int SetLineSpeed(int fd, uint32_t bitsPerSecond);
/// The output speed the tty `fd` runs at now, as its driver reports it.
/// Returns 0, or the errno of the failing call.
int GetLineSpeed(int fd, uint32_t& bitsPerSecond);
/// True when the speed bits of `cflag` say "given in bits per second" rather
/// than one of the B<rate> constants.
bool HasArbitrarySpeed(unsigned int cflag);

}  // namespace korvane
