// Device search with the broadcast search command.
#include <cassert>

#include "ser.h"

namespace {

constexpr int ZADNE_ZARIZENI = 256;  // what a search that nobody answered leaves

void chyba(int kod, const char* jmeno) {
  g_chyba = kod;
  Tisk_chyby(jmeno);
}

}  // namespace

int Najdi_nejblizsi(int* p_cislo) {
  g_chyba = 0;
  assert((*p_cislo >= MIN_CISLO_ZARIZENI)&& (*p_cislo <=MAX_CISLO_ZARIZENI));
  if (kom_Napajeni_vahy(1) != 0) return 1;

  c_vys[Z_START] = KOM_START;
  c_vys[Z_CIL] = 255;
  c_vys[Z_ZDROJ] = KOM_ADRESA_PC;
  c_vys[Z_POVEL] = 6;
  c_vys[Z_SUMA] = 0;
  c_vys[Z_DELKA] = 1;
  c_vys[Z_KLIC] = 0;
  c_vys[Z_DATA] = *p_cislo;

  int r = kom_Vysli_a_prijmi_platnou_zpravu(c_vys, c_pri);
  if (r != 0) {
    if (r == CHYBA_CEKANI_PRIJEM) *p_cislo = ZADNE_ZARIZENI;
    kom_Napajeni_vahy(0);
    return 1;
  }
  if (c_pri[Z_CIL] != KOM_ADRESA_PC) {
    chyba(CHYBA_CISLA_PC, "Najdi_nejblizsi");
    kom_Napajeni_vahy(0);
    return 1;
  }
  if (c_pri[Z_POVEL] != 0x86) {
    chyba(CHYBA_ODPOVED_HLEDEJ, "Najdi_nejblizsi");
    kom_Napajeni_vahy(0);
    return 1;
  }
  *p_cislo = c_pri[Z_ZDROJ];
  kom_Napajeni_vahy(0);
  return 0;
}
