// Arbitrary-rate setup through the kernel's termios2 interface, kept apart
// because the kernel's termios headers clash with the C library's.
#pragma once

// Sets fd to raw 8N1 at `baud` (any rate the driver accepts), receiver on,
// modem lines ignored, no flow control, reads returning at once.
// Returns 0 or -1 with errno set.
int rs232_Nastav_linku(int fd, int baud);

// Asks the kernel driver for low-latency reception where it offers it;
// a driver without it (a pseudo-terminal) is left as it is, silently.
void rs232_Nizka_latence(int fd);
