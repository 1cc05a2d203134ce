// Arbitrary-rate setup through the kernel's termios2 interface, kept apart
// because the kernel's termios headers clash with the C library's.
#pragma once

// Sets fd to raw 8N1 at `baud` (any rate the driver accepts), receiver on,
// modem lines ignored, no flow control, reads returning at once.
// Returns 0 or -1 with errno set.
int rs232_Nastav_linku(int fd, int baud);
