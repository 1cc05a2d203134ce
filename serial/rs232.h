// Numbered serial ports: open by index at one of 13 rates (8N1, raw, no flow
// control), non-blocking reads, single-byte writes, close.
#pragma once

#include <poll.h>

#include <cstddef>

// Number of port slots; index 255 has an empty name and never opens.
constexpr int RS232_PORTS = 256;
constexpr int RS232_NAME_LEN = 64;   // room for a path built from KVODA_PORT_PATTERN
constexpr int RS232_POLL_MAX = 4096;

extern char comports[RS232_PORTS][RS232_NAME_LEN];
extern int Cport[RS232_PORTS];
extern char baudr[64];

// Builds `comports` from KVODA_PORT_PATTERN (default "/dev/ttyUSB%d").
// Returns 0, or 1 with a one-line message in `err` when the pattern is unusable.
int rs232_Nastav_jmena(char* err, std::size_t err_size);

// Pure: the name of port `index` for `pattern`; false when the pattern does
// not hold exactly one "%d" and no other '%', or the name does not fit.
bool rs232_Jmeno_portu(const char* pattern, int index, char* out, std::size_t out_size);

// Mode text of a rate ("baud=2400 data=8 parity=N stop=1"), or nullptr.
const char* rs232_Mod_rychlosti(int baudrate);

// The pattern the names were built from ("" before rs232_Nastav_jmena).
const char* rs232_Vzor_jmen();

int OpenComport(unsigned index, int baudrate);
// errno of the last failed OpenComport of port `index` (EBUSY when another
// program holds it, ENOTTY when it is no terminal); 0 after a successful
// open or when none was tried.
int rs232_Duvod_selhani(int index);
int PollComport(int index, unsigned char* buf, int size);
int SendByte(int index, int byte);  // sends the low 8 bits
int SendBuf(int index, const unsigned char* buf, int size);
void CloseComport(int index);
int IsCTSEnabled(int index);
void cprintf(int index, const char* text);

// A wait for a byte on port `index`, in two halves around the caller's
// poll: the entry to watch (false when the port is not open), then what its
// result means: 1 a byte is readable, -1 the port is dead (a hang-up or
// error marks it so).
bool rs232_Priprav_cekani(int index, pollfd* p);
int rs232_Po_cekani(int index, const pollfd& p);

// Clears the exclusive-use flag of every open port, from a signal handler
// (async-signal-safe): a port whose far end stays open, as the simulator's
// does, can then be opened again after the program was interrupted.
void rs232_Uvolni_porty();

// Why port `index`, open, has died (the adapter unplugged or reset): "hang-up",
// "read error", "write error" or "node gone"; nullptr while it lives or when
// it is not open. Looks at the node in the file system.
const char* rs232_Duvod_ztraty(int index);

// Notes the nodes of the pattern as they are now.
void rs232_Zapamatuj_uzly();
// Looks at the nodes of the pattern (a stat each, nothing opened): the
// highest index whose node appeared, or is another one, since the last look;
// -1 when none.
int rs232_Novy_uzel();

// The wake-up of every wait of the program: `fd` becomes readable when the
// program is to stop (a signal handler writes to a pipe), and `pri_buzeni`
// then runs in normal context. -1 and nullptr remove it.
void rs232_Nastav_buzeni(int fd, void (*pri_buzeni)());
// poll() on the n entries of p (n may be 0) and the wake-up, up to ms
// milliseconds (-1 without limit). When the wake-up is readable its routine
// runs first; if that returns, the result is -1 with errno EINTR.
int rs232_Poll(pollfd* p, int n, int ms);
