// Console layer on POSIX descriptors: one input buffer shared by the token
// reader and the key poll, terminal modes switched between line input and
// single keys, and restored on every way out of the program.
#include "konzole.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "kom.h"
#include "kom_hodiny.h"
#include "publikace.h"
#include "rs232.h"
#include "ser.h"

namespace {

// Input read off descriptor 0 and not yet consumed, by tokens or keys alike.
unsigned char m_buf[4096];
std::size_t m_zacatek = 0;
std::size_t m_konec = 0;
bool m_eof = false;  // a read returned 0 (or failed): no input will come

bool m_pripraveno = false;
bool m_terminal = false;
termios m_puvodni{};               // the terminal's modes as found
volatile sig_atomic_t m_zmeneno = 0;  // modes differ from m_puvodni

enum Rezim { NEZNAMY, RADEK, KLAVESY };
Rezim m_rezim = NEZNAMY;
// Set after a stop and continue (Ctrl-Z, fg): the shell has meanwhile put
// its own modes on the terminal, so ours are set again at the next call.
volatile sig_atomic_t m_pokracovani = 0;

void po_pokracovani(int) { m_pokracovani = 1; }

// The immediate way out: the port's exclusive use given up, a copy in
// progress removed, the terminal restored, then the signal's own ending.
// Async-signal-safe.
void obnov_po_signalu(int sig) {
  rs232_Uvolni_porty();
  Kopie_Uklid();
  if (m_zmeneno) tcsetattr(0, TCSANOW, &m_puvodni);
  m_zmeneno = 0;
  signal(sig, SIG_DFL);
  raise(sig);  // delivered on return, so the exit status shows the signal
}

// SIGTERM, SIGINT and SIGHUP stop the program cleanly: their handler only
// notes the signal and wakes the waits through the pipe; the stop itself
// runs at the wait. A second signal takes the immediate way.
volatile sig_atomic_t m_signal_zastaveni = 0;
int m_budik[2] = {-1, -1};
bool m_zastavuje_se = false;

void pri_signalu_zastaveni(int sig) {
  if (m_signal_zastaveni != 0 || m_budik[1] < 0) {
    obnov_po_signalu(sig);
    return;
  }
  m_signal_zastaveni = sig;
  const int e = errno;
  const ssize_t r = write(m_budik[1], "s", 1);
  (void)r;
  errno = e;
}

// The clean stop, in normal context: the scales' supply switched off while
// the port lives, the broker's queue drained for a while, the port
// released and the terminal restored, then the end by the same signal.
void zastav_po_signalu() {
  const int sig = m_signal_zastaveni;
  if (sig == 0 || m_zastavuje_se) return;
  m_zastavuje_se = true;
  char b[16];
  while (read(m_budik[0], b, sizeof b) > 0) {
  }
  g_tisk_chyby_jiz_proveden = 1;  // no error report on the way out
  if (g_fd >= 0 && !kom_Port_ztracen()) kom_Napajeni_vahy(0);
  Publikace_konec(2.0);
  kom_Zavri_port();
  Kopie_Uklid();
  std::fflush(nullptr);
  kon_Obnov_terminal();
  signal(sig, SIG_DFL);
  sigset_t m;
  sigemptyset(&m);
  sigaddset(&m, sig);
  sigprocmask(SIG_UNBLOCK, &m, nullptr);
  raise(sig);
  _exit(128 + sig);  // only if the signal did not end it
}

void obnov_pri_konci() { kon_Obnov_terminal(); }

void priprav() {
  if (m_pripraveno) return;
  m_pripraveno = true;
  m_rezim = NEZNAMY;
  m_terminal = isatty(0) && tcgetattr(0, &m_puvodni) == 0;
  // Whoever uses the console without main's set-up (a routine run on its
  // own) still gets the terminal back on every way out.
  if (m_terminal) kon_Priprav_signaly();
}

void nastav_rezim(Rezim r) {
  priprav();
  if (m_pokracovani) {
    m_pokracovani = 0;
    m_rezim = NEZNAMY;
  }
  if (!m_terminal || m_rezim == r) return;
  termios t = m_puvodni;
  if (r == RADEK) {
    t.c_lflag |= ICANON | ECHO;
  } else {
    t.c_lflag &= ~(ICANON | ECHO);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
  }
  // TCSANOW, not TCSAFLUSH: keys typed ahead must survive the switch.
  m_zmeneno = 1;
  if (tcsetattr(0, TCSANOW, &t) == 0) m_rezim = r;
}

// Waits up to ms (-1: without limit) until descriptor 0 has something to
// say: data, end of input or an error. true when it has. The wait goes
// through the program's clock, as the line's do.
bool cekej_na_fd(int ms) {
  const long long konec = ms < 0 ? 0 : kom_Cas_ms() + ms;
  for (;;) {
    pollfd p{0, POLLIN, 0};
    int zbyva = -1;
    if (ms >= 0) {
      long long z = konec - kom_Cas_ms();
      zbyva = z < 0 ? 0 : static_cast<int>(z);
    }
    int r = kom_Hodiny().cekej(&p, zbyva);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return true;  // let the read find out what is wrong
  }
}

// One read into the empty buffer. With `cekat` it blocks until input or its
// end; otherwise it takes only what is there now. true when bytes came.
bool dopln(bool cekat) {
  if (m_zacatek < m_konec) return true;
  if (m_eof) return false;
  m_zacatek = m_konec = 0;
  // Whatever was printed reaches a pipe or file before any wait on input.
  std::fflush(stdout);
  for (;;) {
    // poll() says readable at the end of a file or of /dev/null as well, so
    // only the read below tells a key from the end of input. A wait for
    // input is a poll too, so that a stop wakes it.
    if (!cekej_na_fd(cekat ? -1 : 0)) return false;
    ssize_t n = read(0, m_buf, sizeof m_buf);
    if (n > 0) {
      m_konec = static_cast<std::size_t>(n);
      return true;
    }
    if (n == 0) {
      m_eof = true;
      return false;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Descriptor left non-blocking by whoever started us.
      if (!cekat) return false;
      cekej_na_fd(-1);
      continue;
    }
    m_eof = true;  // EIO on a hung-up terminal and the like: nothing more will come
    return false;
  }
}

// Next byte of input, waiting for it; -1 at end of input.
int dalsi_bajt() {
  if (!dopln(true)) return -1;
  return m_buf[m_zacatek++];
}

// Next byte only if it is already there, without consuming it; -1 otherwise.
int nahled_bez_cekani() {
  if (!dopln(false)) return -1;
  return m_buf[m_zacatek];
}

// Next byte if it is there or comes within ms, without consuming it; -1
// otherwise.
int nahled(int ms) {
  if (dopln(false)) return m_buf[m_zacatek];
  if (m_eof || ms <= 0) return -1;
  cekej_na_fd(ms);
  return dopln(false) ? m_buf[m_zacatek] : -1;
}

// The bytes of one key press come in one burst; a slow link may split it,
// so the rest of a started key gets this long to arrive.
constexpr int ZBYTEK_KLAVESY_MS = 30;
constexpr int ESC = 0x1B;
constexpr int NEJDELSI_SEKVENCE = 32;  // bytes after ESC [ taken at most

// Consumes the next byte when it is there (or comes soon) and lies in lo..hi.
bool vezmi_z_rozsahu(int lo, int hi) {
  int d = nahled(ZBYTEK_KLAVESY_MS);
  if (d < lo || d > hi) return false;
  ++m_zacatek;
  return true;
}

// The continuation bytes of a UTF-8 letter whose lead byte was c.
void zbytek_znaku(int c) {
  int zbyva = c >= 0xF0 && c <= 0xF4 ? 3 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xC2 && c <= 0xDF ? 1 : 0;
  while (zbyva-- > 0 && vezmi_z_rozsahu(0x80, 0xBF)) {
  }
}

// What follows ESC within one key: a CSI sequence (arrows, function and
// editing keys), an SS3 sequence (arrows and F1-F4 in application mode), or
// the one letter of Alt+key. ESC alone (nothing follows soon) is a key too.
void zbytek_escape() {
  int d = nahled(ZBYTEK_KLAVESY_MS);
  if (d == '[') {
    ++m_zacatek;
    // Parameter and intermediate bytes, then the final byte.
    for (int i = 0; i < NEJDELSI_SEKVENCE; ++i) {
      if (vezmi_z_rozsahu(0x20, 0x3F)) continue;
      vezmi_z_rozsahu(0x40, 0x7E);
      return;
    }
  } else if (d == 'O') {
    ++m_zacatek;
    vezmi_z_rozsahu(0x40, 0x7E);
  } else if (d >= 0 && d != ESC) {
    ++m_zacatek;
    zbytek_znaku(d);
  }
}

bool je_mezera(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

void kon_Cti_token(char* buf, std::size_t size) {
  nastav_rezim(RADEK);
  std::fflush(stdout);
  int c;
  do {
    c = dalsi_bajt();
  } while (c >= 0 && je_mezera(c));
  if (c < 0) {
    if (size > 0) buf[0] = '\0';
    Konec_programu();
  }
  // The part of an over-long token that does not fit is read and dropped, so
  // it can neither overrun the buffer nor come back as the next answer.
  std::size_t n = 0;
  while (c >= 0 && !je_mezera(c)) {
    if (n + 1 < size) buf[n++] = static_cast<char>(c);
    c = dalsi_bajt();
  }
  if (size > 0) buf[n] = '\0';
  // The blank or line end that ended the token is consumed; after a blank the
  // rest of the blanks up to and including one line end go too, so the Enter
  // that ended an answer is never taken for a key. Only input that is
  // already there is looked at: an answer is never held up by waiting here.
  if (c == '\n' || c < 0) return;
  for (;;) {
    int d = nahled_bez_cekani();
    if (d < 0 || !je_mezera(d)) return;
    ++m_zacatek;
    if (d == '\n') return;
  }
}

int kon_kbhit() {
  nastav_rezim(KLAVESY);
  return dopln(false) ? 1 : 0;
}

int kon_getch() {
  nastav_rezim(KLAVESY);
  int c = dalsi_bajt();
  // One key press is one key: the rest of its bytes must not turn into the
  // next key or the next answer.
  if (c == ESC) {
    zbytek_escape();
  } else if (c >= 0x80) {
    zbytek_znaku(c);
  }
  return c;
}

int kon_Konec_vstupu() { return (m_zacatek >= m_konec && m_eof) ? 1 : 0; }

void kon_Zahod_klavesy() {
  while (kon_kbhit()) kon_getch();
}

int kon_Cekej_na_klavesu(int ms) {
  nastav_rezim(KLAVESY);
  std::fflush(stdout);
  long long konec = kom_Cas_ms() + (ms > 0 ? ms : 0);
  for (;;) {
    if (dopln(false)) return 1;
    long long zbyva = konec - kom_Cas_ms();
    if (zbyva <= 0) return 0;
    if (m_eof) {
      // Nothing will ever come: sleep the time out instead of polling an
      // end of input that is always readable.
      kom_Zpozdeni(static_cast<int>(zbyva));
      return 0;
    }
    cekej_na_fd(static_cast<int>(zbyva));
  }
}

void Konec_programu() {
  kom_Zavri_port();
  std::printf("--- program servis, byl ukoncen ---\n");
  std::fflush(stdout);
  kon_Obnov_terminal();
  // A one-pass run tells its pass; every other run ends with 0.
  std::exit(g_ukonceni_probehlo != 0 ? g_stav_pruchodu : 0);
}

void kon_Priprav_signaly() {
  static bool pripraveno = false;
  if (pripraveno) return;
  pripraveno = true;
  std::atexit(obnov_pri_konci);
  // The same ending whatever standard input is (a terminal, /dev/null under
  // a service manager, a pipe). Only a signal at its default action is
  // taken over: one found ignored (nohup) stays ignored, and a handler
  // someone installed before us (a sanitizer's) stays theirs.
  auto prevezmi = [](int sig, void (*obsluha)(int)) {
    struct sigaction stara {};
    if (sigaction(sig, nullptr, &stara) != 0 || (stara.sa_flags & SA_SIGINFO) || stara.sa_handler != SIG_DFL) return;
    struct sigaction nova {};
    nova.sa_handler = obsluha;
    sigfillset(&nova.sa_mask);
    nova.sa_flags = 0;  // no restart: a blocking call returns to its wait
    sigaction(sig, &nova, nullptr);
  };
  if (m_budik[0] < 0 && pipe2(m_budik, O_CLOEXEC | O_NONBLOCK) == 0) rs232_Nastav_buzeni(m_budik[0], zastav_po_signalu);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) prevezmi(sig, pri_signalu_zastaveni);
  // Every other signal whose default ends the program: the terminal and the
  // port back at once. SIGABRT is a failed assertion.
  for (int sig : {SIGQUIT, SIGABRT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSTKFLT,
                  SIGXCPU, SIGTRAP, SIGSYS, SIGSEGV, SIGBUS, SIGFPE, SIGILL})
    prevezmi(sig, obnov_po_signalu);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) prevezmi(sig, obnov_po_signalu);
  // A console pipe whose reader has gone must not end a sampling run in the
  // middle: writes to it fail and the records go on being written. Nor may a
  // file size limit kill the program in an append; the append fails instead.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  struct sigaction stara {};
  sigaction(SIGCONT, nullptr, &stara);
  if (stara.sa_handler == SIG_DFL) {
    struct sigaction pokracovani {};
    pokracovani.sa_handler = po_pokracovani;
    sigemptyset(&pokracovani.sa_mask);
    pokracovani.sa_flags = SA_RESTART;
    sigaction(SIGCONT, &pokracovani, nullptr);
  }
}

void kon_Obnov_terminal() {
  if (!m_terminal || !m_zmeneno) return;
  tcsetattr(0, TCSANOW, &m_puvodni);
  m_zmeneno = 0;
  m_rezim = NEZNAMY;
}

void kon_Novy_vstup() {
  kon_Obnov_terminal();
  m_zacatek = m_konec = 0;
  m_eof = false;
  m_pripraveno = false;
  m_terminal = false;
}
