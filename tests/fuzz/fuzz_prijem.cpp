// Arbitrary far-end bytes through the real exchange: the flush before the
// request, the echo, reception, keying, length limit and checksum test, then
// a second exchange on what is left.
//
// Input: byte 0 chooses the request; byte 1 shapes the line (bits 0-5: how
// many far-end bytes each flush may take, bit 6: a line without echo); the
// rest are the far end's bytes, a reply as it is meant before keying.
#include <cstdio>
#include <cstring>

#include "chyba.h"
#include "kom.h"
#include "linka.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool init = [] {
    std::freopen("/dev/null", "w", stdout);
    Priprav_hlaseni_chyb();
    return true;
  }();
  (void)init;
  if (size < 2) return 0;
  static const int povely[] = {1, 2, 3, 5, 6};
  int vys[KOM_DELKA_ZPRAVY] = {};
  int pri[KOM_DELKA_ZPRAVY];
  std::memset(pri, 0, sizeof pri);
  vys[Z_START] = KOM_START;
  vys[Z_CIL] = data[0];
  vys[Z_ZDROJ] = KOM_ADRESA_PC;
  vys[Z_POVEL] = povely[data[0] % 5];
  vys[Z_DELKA] = (data[0] >> 4) % (KOM_MAX_DATA + 1);
  for (int i = 0; i < vys[Z_DELKA]; ++i) vys[Z_DATA + i] = (i * 37) & 0xFF;

  linka_Nastav(data + 2, size - 2, data[1] & 0x3F, (data[1] & 0x40) != 0);
  g_fd = 0;
  g_tisk_chyby_jiz_proveden = 0;
  for (int kolo = 0; kolo < 2; ++kolo) {
    int r = kom_Vysli_a_prijmi_zpravu(vys, pri);
    if (r != 0 && r != CHYBA_CEKANI_PRIJEM && r != CHYBA_VYSLI_1_BYTE) __builtin_trap();
    if (r == 0 && g_chyba != 0 && g_chyba != CHYBA_KONTROLNI_SUMY && g_chyba != CHYBA_MAX_DELKA_DAT) __builtin_trap();
    // A reply that passed carries a length the record holds and its own sum.
    if (r == 0 && g_chyba == 0 && (pri[Z_DELKA] > KOM_MAX_DATA || kom_Soucet(pri) != pri[Z_SUMA])) __builtin_trap();
    for (int v : pri) {
      if (v < 0 || v > 255) __builtin_trap();
    }
  }
  g_fd = -1;
  return 0;
}
