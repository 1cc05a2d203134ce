// The one open port and the scale supply switched through the adapter.
#include <cassert>
#include <cstdio>

#include "kom.h"
#include "kom_chyba.h"
#include "rs232.h"

int g_cislo_adapteru = ADRESA_ADAPTERU;
int g_vys[KOM_DELKA_ZPRAVY];
int g_pri[KOM_DELKA_ZPRAVY];

void kom_Povel_adapteru(int* zprava, int cil, int data) {
  zprava[Z_START] = KOM_START;
  zprava[Z_CIL] = cil;
  zprava[Z_ZDROJ] = KOM_ADRESA_PC;
  zprava[Z_POVEL] = 5;
  zprava[Z_SUMA] = 0;
  zprava[Z_DELKA] = 1;
  zprava[Z_KLIC] = 0;
  zprava[Z_DATA] = data;
}

int kom_Otevri_nebo_zavri_port(int akce, int port, int rychlost) {
  g_chyba = 0;
  if (akce == 1) {
    if (g_fd >= 0) return 0;  // the open port stays, whatever was asked for
    if (OpenComport(static_cast<unsigned>(port), rychlost) != 0) {
      g_chyba = CHYBA_OTEVRENI_COM;
      return CHYBA_OTEVRENI_COM;
    }
    g_fd = port;
    return 0;
  }
  if (g_fd >= 0) {
    CloseComport(g_fd);
    g_fd = -1;
  }
  return 0;
}

int kom_Zavri_port() {
  int chyba = g_chyba;
  kom_Otevri_nebo_zavri_port(0, 0, 0);
  g_chyba = chyba;
  return 0;
}

int kom_Port_ztracen() { return (g_fd >= 0 && rs232_Duvod_ztraty(g_fd) != nullptr) ? 1 : 0; }

int Povel_napajeni(int akce) {
  g_chyba = 0;
  assert((akce >= ODPOJ)&&(akce <=PRIPOJ));
  kom_Povel_adapteru(g_vys, g_cislo_adapteru, akce);

  // Power-on is never confirmed by a reply; the checks below then look at
  // the record the last power-off or adapter test left.
  int r = (akce == PRIPOJ) ? kom_Vysli_povel(g_vys) : kom_Vysli_a_prijmi_zpravu(g_vys, g_pri);
  if (r != 0) kom_Hlas_chybu("Povel_napajeni");

  if (g_pri[Z_CIL] != KOM_ADRESA_PC) {
    g_chyba = CHYBA_CISLA_PC;
    kom_Hlas_chybu("Povel_napajeni");
  }
  if (g_pri[Z_ZDROJ] != g_cislo_adapteru) {
    g_chyba = CHYBA_CISLA_USB1;
    kom_Hlas_chybu("Povel_napajeni");
  }
  if (g_pri[Z_POVEL] != 0x85) {
    g_chyba = CHYBA_KODU_ODPOVEDI;
    kom_Hlas_chybu("Povel_napajeni");
  }
  if (g_pri[Z_KLIC] != 0) {
    g_chyba = CHYBA_PROVEDENI_POVELU;
    kom_Hlas_chybu("Povel_napajeni");
  }
  return 0;
}

int kom_Napajeni_vahy(int zapnout) {
  g_chyba = 0;
  kom_Zpozdeni(200);
  if (zapnout == 1) {
    std::fflush(nullptr);
    Povel_napajeni(PRIPOJ);
    Vyprazdni_prijimac();  // whatever the adapter said meanwhile
  } else if (zapnout == 0) {
    std::fflush(nullptr);
    Povel_napajeni(ODPOJ);
  }
  kom_Zpozdeni(150);
  return 0;
}
