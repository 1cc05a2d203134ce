// The baud rate of a terminal, read and set through the kernel's termios2
// interface (any rate, not only the B-constants).
#pragma once

namespace sim {

// The output rate the terminal `fd` is set to, or -1.
int terminal_rate(int fd);
// Sets the terminal's input and output rate; 0 or -1.
int set_terminal_rate(int fd, int rate);

}  // namespace sim
