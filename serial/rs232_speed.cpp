// Uses the kernel's own termios2 structure, which the C library's <termios.h>
// would redefine; so this file includes only kernel headers.
#include "rs232_speed.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

int rs232_Nastav_linku(int fd, int baud) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return -1;
  // Raw bytes both ways: no translation, no echo, no signals, no flow control.
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
  // 8N1, receiver on, modem lines ignored; HUPCL off so closing leaves them alone.
  t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL | CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = static_cast<speed_t>(baud);
  t.c_ospeed = static_cast<speed_t>(baud);
  // Reads return at once with what has arrived, possibly nothing.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (ioctl(fd, TCSETS2, &t) != 0) return -1;
  return 0;
}

void rs232_Nizka_latence(int fd) {
  // USB serial adapters otherwise hold received bytes for up to 16 ms.
  struct serial_struct s;
  if (ioctl(fd, TIOCGSERIAL, &s) != 0) return;
  if (s.flags & ASYNC_LOW_LATENCY) return;
  s.flags |= ASYNC_LOW_LATENCY;
  (void)ioctl(fd, TIOCSSERIAL, &s);
}
