// What a sampling run says about each scale on standard error, for the
// journal of an unattended run: one line per change of a scale's state,
// never one per pass. Pure: it only makes the lines.
#pragma once

#include <cstddef>

#include "ser.h"

// The name of an error code ("CHYBA_CEKANI_PRIJEM"), or "unknown".
const char* Jmeno_chyby(int kod);

class Sledovani_vah {
 public:
  enum Stav : unsigned char { NEZNAMY, ODPOVIDA, SELHALA, NENALEZENA };

  // The result of a measurement of scale `cislo` (0..31): kod 0 when it
  // answered, else the error code. Fills `radek` and returns true when the
  // state changed in a way that is said.
  bool Vysledek(int cislo, int kod, char* radek, std::size_t n);
  // A whole pass's search went past scale `cislo` without finding it.
  bool Nenalezena(int cislo, char* radek, std::size_t n);
  // The adapter went away: every scale is unknown again (its own line
  // stands for all of them).
  void Zapomen();

  Stav stav(int cislo) const { return m_stav[cislo]; }

 private:
  Stav m_stav[NEJVYSSI_SNIMANA_VAHA + 1] = {};
};
