// Request/reply exchange with a device on the open port.
#include "kom.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "kom_chyba.h"
#include "rs232.h"
#include "stopa.h"

int g_fd = -1;
long long g_casovac_prijmu = 0;
unsigned char g_buf_com[4096];

namespace {
int m_sifra = 0;
int m_doba_cekani = 9;

// Length and checksum test; `prebytek` is the plain sum of surplus data bytes.
void test_sumy(int* pri, int prebytek) {
  g_chyba = 0;
  if (pri[Z_DELKA] > KOM_MAX_DATA) {
    g_chyba = CHYBA_MAX_DELKA_DAT;
    kom_Hlas_chybu("Test_chyby_sumy");
  }
  // kom_Soucet stops at the 13 stored data bytes; the surplus read off the
  // line counts too, so an over-long frame with a consistent sum shows as 9.
  int soucet = (kom_Soucet(pri) + prebytek) & 0xFF;
  if (soucet != pri[Z_SUMA]) {
    g_chyba = CHYBA_KONTROLNI_SUMY;
    kom_Hlas_chybu("Test_chyby_sumy");
  }
}

// A reply cut off by the deadline after `bajtu` bytes.
int termin(const int* pri, int bajtu) {
  stopa_Prijato(pri, StopaVysledek::Termin, bajtu, false);
  return CHYBA_CEKANI_PRIJEM;
}
}  // namespace

int kom_Casovac_dobehl(long long* casovac, long sekundy) {
  long long ted = kom_Cas_s();
  if (sekundy <= 0) {
    *casovac = ted;
    return 1;
  }
  return (ted - *casovac >= sekundy) ? 1 : 0;
}

void kom_Cekej_na_vysilac() { std::fflush(nullptr); }

int Vyprazdni_prijimac() { return PollComport(g_fd, g_buf_com, 4095); }

int Sifra() {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  return std::rand() % 256;
}

int kom_Vysli_1_byte(int prvek) {
  g_chyba = 0;
  if (g_fd < 0) return 0;
  if (SendByte(g_fd, prvek & 0xFF) != 0) {
    g_chyba = CHYBA_VYSLI_1_BYTE;
    kom_Hlas_chybu("kom_Vysli_1_byte");
  }
  return 0;
}

int kom_Prijmi_1_byte(int* prvek) {
  g_chyba = 0;
  for (;;) {
    // The poll comes first: a byte already waiting is taken even when the
    // deadline has just passed.
    if (PollComport(g_fd, g_buf_com, 1) == 1) {
      *prvek = g_buf_com[0];
      return 0;
    }
    long long ted = kom_Cas_ms();
    if (ted / 1000 - g_casovac_prijmu >= m_doba_cekani) {
      g_chyba = CHYBA_CEKANI_PRIJEM;
      return CHYBA_CEKANI_PRIJEM;
    }
    // Sleep in the kernel until a byte arrives or the whole second at which
    // the deadline passes; a dead port is slept out there, not spun on.
    long long konec = (g_casovac_prijmu + m_doba_cekani) * 1000;
    long long zbyva = konec - ted;
    if (zbyva < 1) zbyva = 1;
    kom_Cekej_na_port(g_fd, static_cast<int>(zbyva));
  }
}

int kom_Vysli_povel(int* vys) {
  g_chyba = 0;
  kom_Cekej_na_vysilac();
  Vyprazdni_prijimac();
  m_sifra = Sifra();
  m_doba_cekani = kom_Doba_cekani(vys[Z_POVEL]);
  kom_Casovac_dobehl(&g_casovac_prijmu, 0);

  std::uint8_t ramec[1 + KOM_HLAVICKA + KOM_MAX_DATA];
  int n = kom_Sestav_ramec(vys, m_sifra, ramec);
  // The leading 0x00 is not part of the frame; a failure on it is reported
  // and sending goes on.
  kom_Vysli_1_byte(ramec[0]);
  for (int i = 1; i < n; ++i) {
    kom_Vysli_1_byte(ramec[i]);
    if (g_chyba != 0) {
      stopa_Vyslano(vys, StopaVysledek::ChybaVysilani, 0);
      return g_chyba;
    }
  }
  // The line echoes every byte we sent: read them back and drop them.
  for (int i = 0; i < n; ++i) {
    int b = 0;
    if (kom_Prijmi_1_byte(&b) != 0) {
      stopa_Vyslano(vys, StopaVysledek::Termin, i);
      return CHYBA_CEKANI_PRIJEM;
    }
  }
  stopa_Vyslano(vys, StopaVysledek::Ok, n);
  kom_Cekej_na_vysilac();
  return 0;
}

int kom_Prijmi_odpoved(int* pri) {
  g_chyba = 0;
  int soucet_prebytku = 0;  // plain sum of data bytes beyond the 13 the record holds
  int b = 0;
  if (kom_Prijmi_1_byte(&b) != 0) return termin(pri, 0);
  pri[Z_START] = b;
  for (int i = 1; i < KOM_HLAVICKA; ++i) {
    if (kom_Prijmi_1_byte(&b) != 0) return termin(pri, i);
    pri[i] = b ^ m_sifra;
  }
  int delka = pri[Z_DELKA];
  for (int i = 0; i < delka; ++i) {
    if (kom_Prijmi_1_byte(&b) != 0) return termin(pri, KOM_HLAVICKA + i);
    int hodnota = b ^ m_sifra;
    if (i < KOM_MAX_DATA) {
      pri[Z_DATA + i] = hodnota;
    } else {
      // Never stored beyond element 19, but read off the line so that the
      // surplus cannot pass for the start of the next reply.
      soucet_prebytku += hodnota;
    }
  }
  kom_Cekej_na_vysilac();
  test_sumy(pri, soucet_prebytku);
  stopa_Prijato(pri, StopaVysledek::Ok, KOM_HLAVICKA + delka, g_chyba != CHYBA_KONTROLNI_SUMY);
  return 0;
}

int Test_chyby_sumy(int* pri) {
  test_sumy(pri, 0);
  return 0;
}

int kom_Vysli_a_prijmi_zpravu(int* vys, int* pri) {
  int r = kom_Vysli_povel(vys);
  if (r != 0) return r;
  return kom_Prijmi_odpoved(pri);
}

int kom_Vysli_a_prijmi_platnou_zpravu(int* vys, int* pri) {
  int r = kom_Vysli_a_prijmi_zpravu(vys, pri);
  if (r != 0) return r;
  // A corrupt reply must never reach the calibration record, a data file
  // or, through a later block write, a scale's EEPROM.
  if (g_chyba == CHYBA_KONTROLNI_SUMY || g_chyba == CHYBA_MAX_DELKA_DAT) return g_chyba;
  return 0;
}
