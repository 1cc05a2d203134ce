// Only kernel headers here: the C library's <termios.h> would redefine the
// termios2 structure.
#include "rate.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace sim {

int terminal_rate(int fd) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return -1;
  return static_cast<int>(t.c_ospeed);
}

int set_terminal_rate(int fd, int rate) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return -1;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = static_cast<speed_t>(rate);
  t.c_ospeed = static_cast<speed_t>(rate);
  return ioctl(fd, TCSETS2, &t) == 0 ? 0 : -1;
}

}  // namespace sim
