// Periodic sampling of the scales 0..31 until a key is pressed: a search
// from each number, the measurement of every scale found, the copy of the
// data file, a line on standard error for every change of a scale's state,
// and the adapter looked for again when it went away.
#include <cstdio>

#include "mereni.h"
#include "publikace.h"
#include "rs232.h"
#include "ser.h"
#include "sledovani.h"

int g_stav_pruchodu = 0;

namespace {

constexpr long NEJKRATSI_CYKLUS = 10;
constexpr long NEJDELSI_CYKLUS = 86400;
constexpr int KROK_CEKANI_MS = 100;    // a key and the end of a cycle are seen this soon
constexpr long long POHLED_NA_UZLY_MS = 1000;  // the file system is looked at no oftener

// Weights of the scales 0..31 measured by the last sampling run (its last
// pass); the offset calibration takes the current scale's own from here.
float m_vaha_behu[NEJVYSSI_SNIMANA_VAHA + 1];
bool m_zmerena_behem[NEJVYSSI_SNIMANA_VAHA + 1];

void na_chybovy_vystup(const char* radek) {
  std::fputs(radek, stderr);
  std::fflush(stderr);
}

// One sampling run's view of the scales and the adapter, and the lines and
// availability that follow from it.
struct Beh {
  // Kept across runs: a scale's state is said once per change for the whole
  // life of the process, whatever starts its runs.
  static Sledovani_vah vahy;
  bool adapter_pryc = false;
  long long posledni_pohled_ms = -POHLED_NA_UZLY_MS;

  void vysledek(int cislo, int kod) {
    const auto byl = vahy.stav(cislo);
    char radek[160];
    if (vahy.Vysledek(cislo, kod, radek, sizeof radek)) na_chybovy_vystup(radek);
    const auto je = vahy.stav(cislo);
    if (je != byl && (je == Sledovani_vah::ODPOVIDA || byl == Sledovani_vah::ODPOVIDA))
      Publikuj_dostupnost_vahy(cislo, je == Sledovani_vah::ODPOVIDA);
  }
  void nenalezena(int cislo) {
    const bool byla_online = vahy.stav(cislo) == Sledovani_vah::ODPOVIDA;
    char radek[160];
    if (vahy.Nenalezena(cislo, radek, sizeof radek)) na_chybovy_vystup(radek);
    if (byla_online) Publikuj_dostupnost_vahy(cislo, false);
  }

  // The port died: its one line stands for every scale.
  void ztrata() {
    Ztrata_adapteru();
    for (int n = 0; n <= NEJVYSSI_SNIMANA_VAHA; ++n)
      if (vahy.stav(n) == Sledovani_vah::ODPOVIDA) Publikuj_dostupnost_vahy(n, false);
    vahy.Zapomen();
    adapter_pryc = true;
  }
  bool ztraceno() {
    if (g_fd >= 0 && kom_Port_ztracen()) ztrata();
    return adapter_pryc;
  }

  // At most once a second: a node of the pattern that appeared is searched
  // for the adapter, on its own; no frame goes to any other port. true when
  // the adapter is back.
  bool hledej_navrat() {
    const long long ted = kom_Cas_ms();
    if (ted - posledni_pohled_ms < POHLED_NA_UZLY_MS) return false;
    posledni_pohled_ms = ted;
    const int port = rs232_Novy_uzel();
    if (port < 0 || !Navrat_adapteru(port)) return false;
    adapter_pryc = false;
    return true;
  }
};

Sledovani_vah Beh::vahy;

}  // namespace

bool Vaha_z_behu(int cislo, float* p_fk) {
  if (cislo < 0 || cislo > NEJVYSSI_SNIMANA_VAHA || !m_zmerena_behem[cislo]) return false;
  *p_fk = m_vaha_behu[cislo];
  return true;
}

int Snimej_hmotnost_hledej(int a, bool konec_vstupu_zastavi) {
  g_chyba = 0;
  const int puvodni_cislo = g_cislo_zarizeni;
  for (bool& z : m_zmerena_behem) z = false;

  long perioda;
  if (g_autostart != 0) {
    perioda = g_perioda;
    if (perioda < NEJKRATSI_CYKLUS) perioda = NEJKRATSI_CYKLUS;
    if (perioda > NEJDELSI_CYKLUS) perioda = NEJDELSI_CYKLUS;
    std::printf("Doba cyklu je: %ld [s]\n", perioda);
  } else if (a > NEJDELSI_CYKLUS) {
    perioda = Vstup_cisla("Zadejte dobu cyklu cteni v sekundach [10..86400]", NEJDELSI_CYKLUS,
                          NEJKRATSI_CYKLUS, NEJDELSI_CYKLUS);
  } else if (a > 9) {
    perioda = Vstup_cisla("Zadejte dobu cyklu cteni v sekundach [10..86400]", a, NEJKRATSI_CYKLUS,
                          NEJDELSI_CYKLUS);
  } else {
    perioda = NEJKRATSI_CYKLUS;
  }
  std::printf("Pro ukonceni cteni stisknete libovolnou klavesu...\n");
  Publikace_perioda(perioda);

  bool chyba_souboru = false;
  if (!Test_souboru_dat(g_soubor)) {
    g_chyba = CHYBA_POCTU_OPAKOVANI_BLOKU;
    Tisk_chyby("Snimej_hmotnost_hledej");
    chyba_souboru = true;
  }

  Beh beh;
  // A key waiting; with konec_vstupu_zastavi the end of input counts as one,
  // since no key could ever stop the run after it.
  auto klavesa = [&] { return kon_kbhit() || (konec_vstupu_zastavi && kon_Konec_vstupu()); };
  bool kopie_dluzna = false;  // a scale was visited since the last copy
  bool kopie_selhala = false;
  auto kopie = [&] {
    Kopie_dat(g_soubor, g_kopie);
    kopie_selhala = kopie_selhala || g_chyba != 0;
    kopie_dluzna = false;
  };
  // Ends the run on a key: the key is taken and has no other meaning.
  auto konec_klavesou = [&](bool kopirovat) {
    kon_getch();
    if (kopirovat || kopie_dluzna) kopie();
    g_cislo_zarizeni = puvodni_cislo;
    return 0;
  };

  for (;;) {
    long long zacatek = 0;
    kom_Casovac_dobehl(&zacatek, 0);
    int nalezeno = 0;
    bool selhani = false;  // a scale or its record failed in this pass
    bool cely_pruchod = false;  // the search went past scale 31
    bool nalezena[NEJVYSSI_SNIMANA_VAHA + 1] = {};
    kopie_selhala = false;
    int n = 0;
    while (!beh.ztraceno()) {
      const int hledano = n;
      if (Najdi_nejblizsi(&n) != 0) {
        if (n <= NEJVYSSI_SNIMANA_VAHA) {
          std::printf("Nastala nejaka chyba v Snimej_hmotnost2...\n");
          selhani = true;
          break;
        }
        cely_pruchod = true;
        if (klavesa()) return konec_klavesou(true);
        break;
      }
      // A responder below the number asked for would make the pass measure
      // the same scales again and again, logging them without end.
      if (n < hledano) {
        std::printf("Nastala nejaka chyba v Snimej_hmotnost2...\n");
        selhani = true;
        break;
      }
      if (n > NEJVYSSI_SNIMANA_VAHA) {
        cely_pruchod = true;
        break;
      }

      g_cislo_zarizeni = n;
      ++nalezeno;
      nalezena[n] = true;
      const bool zmerena = Mereni_zarizeni(n, true, g_soubor, "Snimej_hmotnost_hledej") == 0;
      int kod = zmerena ? 0 : g_chyba;
      m_zmerena_behem[n] = zmerena;
      if (zmerena) m_vaha_behu[n] = g_fk;
      kopie_dluzna = true;
      kom_Napajeni_vahy(0);
      // A record that could not be written is the file's failure, not the
      // scale's: it answered.
      if (kod == CHYBA_POCTU_OPAKOVANI_BLOKU) {
        kod = 0;
        selhani = true;
      }
      if (kod != 0) selhani = true;
      if (!beh.ztraceno()) beh.vysledek(n, kod);
      ++n;
      if (n > NEJVYSSI_SNIMANA_VAHA) {
        cely_pruchod = true;
        break;
      }
      if (klavesa()) return konec_klavesou(true);
      if (kopie_dluzna) kopie();
    }

    // End of a pass: the copy catches up with the last scale, and the scales
    // a whole search went past are no longer there.
    if (kopie_dluzna) kopie();
    if (cely_pruchod && !beh.adapter_pryc)
      for (int v = 0; v <= NEJVYSSI_SNIMANA_VAHA; ++v)
        if (!nalezena[v]) beh.nenalezena(v);
    if (g_ukonceni != 0) {
      g_ukonceni_probehlo = 1;
      g_stav_pruchodu = nalezeno == 0 ? 2 : (selhani || kopie_selhala || chyba_souboru || beh.adapter_pryc) ? 1 : 0;
      kon_Zahod_klavesy();
      g_cislo_zarizeni = puvodni_cislo;
      return g_chyba != 0 ? 1 : 0;
    }
    if (klavesa()) return konec_klavesou(false);
    for (;;) {
      // A port that dies while idle is closed at once, not at the next pass.
      if (beh.ztraceno()) beh.hledej_navrat();
      if (!beh.adapter_pryc && kom_Casovac_dobehl(&zacatek, perioda)) break;
      if (kon_Cekej_na_klavesu(KROK_CEKANI_MS) || klavesa()) return konec_klavesou(false);
    }
  }
}
