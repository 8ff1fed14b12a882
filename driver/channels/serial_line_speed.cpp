#include "driver/channels/serial_line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace korvane {

int SetLineSpeed(int fd, uint32_t bitsPerSecond) {
  termios2 settings{};
  if (::ioctl(fd, TCGETS2, &settings) != 0) return errno;
  settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  // The input speed bits stay 0: input runs at the output speed.
  settings.c_cflag |= BOTHER;
  settings.c_ispeed = bitsPerSecond;
  settings.c_ospeed = bitsPerSecond;
  if (::ioctl(fd, TCSETS2, &settings) != 0) return errno;
  return 0;
}

int GetLineSpeed(int fd, uint32_t& bitsPerSecond) {
  termios2 settings{};
  if (::ioctl(fd, TCGETS2, &settings) != 0) return errno;
  bitsPerSecond = settings.c_ospeed;
  return 0;
}

bool HasArbitrarySpeed(unsigned int cflag) { return (cflag & CBAUD) == BOTHER; }

}  // namespace korvane
