// Rates without a B-constant (3600, 7200, 14400) need termios2 and BOTHER.
// <asm/termbits.h> clashes with <termios.h>, so this file includes only it.
#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

#include "platform/serial_port.h"

bool sport_set_baud_other(int fd, unsigned baud) {
  struct termios2 t2;
  if (ioctl(fd, TCGETS2, &t2) != 0) return false;
  t2.c_cflag &= ~CBAUD;
  t2.c_cflag |= BOTHER;
  t2.c_cflag &= ~(CBAUD << IBSHIFT);
  t2.c_cflag |= BOTHER << IBSHIFT;
  t2.c_ospeed = baud;
  t2.c_ispeed = baud;
  return ioctl(fd, TCSETS2, &t2) == 0;
}

unsigned sport_read_baud(int fd) {
  struct termios2 t2;
  if (ioctl(fd, TCGETS2, &t2) != 0) return 0;
  return t2.c_ospeed;
}
