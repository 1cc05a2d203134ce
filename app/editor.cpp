// Direct editor of the twelve calibration constants (menu option 8): the
// constants are edited in a working copy and reach the record and the
// scale's EEPROM only when the user confirms.
#include <cstdio>
#include <cstring>

#include "bloky.h"
#include "ser.h"

namespace {

// Lowest pamet accepted. The field holds -32768 as well, but the prompt
// shows -32767 to the user, so that is the bound enforced.
constexpr int NEJMENSI_PAMET = -32767;

struct Pracovni_kopie {
  int posun, pamet, pocet;
  int tc1, tc2, t1, t2, tc0;
  int k1, k2;
  float k4, k5;
};

Pracovni_kopie Ze_zaznamu() {
  Pracovni_kopie w;
  w.posun = g_posun;
  w.pamet = g_pamet;
  w.pocet = g_pocet;
  w.tc1 = g_tc1;
  w.tc2 = g_tc2;
  w.t1 = g_t1;
  w.t2 = g_t2;
  w.tc0 = g_tc0;
  w.k1 = g_k1;
  w.k2 = g_k2;
  w.k4 = g_k4;
  w.k5 = g_k5;
  return w;
}

void Do_zaznamu(const Pracovni_kopie& w) {
  g_posun = w.posun;
  g_pamet = w.pamet;
  g_pocet = w.pocet;
  g_tc1 = w.tc1;
  g_tc2 = w.tc2;
  g_t1 = w.t1;
  g_t2 = w.t2;
  g_tc0 = w.tc0;
  g_k1 = w.k1;
  g_k2 = w.k2;
  g_k4 = w.k4;
  g_k5 = w.k5;
}

void Tisk_obrazovky(const Pracovni_kopie& w) {
  std::printf("\n");
  std::printf("Cislo zarizeni: %ld\n", static_cast<long>(g_cislo_zarizeni));
  std::printf("Prime upravy kalibracnich konstant:\n");
  std::printf("UPOZORNENI!!! nevhodne nastaveni konstant\n");
  std::printf("muze zpusobit nefunkcnost vahy!!!\n");
  std::printf("--------------------------------------\n");
  std::printf("   (0) posun [0.1kg] : %ld\n", static_cast<long>(w.posun));
  std::printf("   (1) pamet [0.1kg] : %ld\n", static_cast<long>(w.pamet));
  std::printf("   (2) pocet [-]  >0 : %ld\n", static_cast<long>(w.pocet));
  std::printf("\n");
  std::printf("   (3) tc1 [0.01st.C]: %ld\n", static_cast<long>(w.tc1));
  std::printf("   (4) tc2 [0.01st.C]: %ld\n", static_cast<long>(w.tc2));
  std::printf("   (5) t1  [-]   >=0 : %ld\n", static_cast<long>(w.t1));
  std::printf("   (6) t2  [-]   >=0 : %ld\n", static_cast<long>(w.t2));
  std::printf("   (7) tc0 [0.01st.C]: %ld\n", static_cast<long>(w.tc0));
  std::printf("\n");
  std::printf("   (8) k1  [-]     >0: %ld\n", static_cast<long>(w.k1));
  std::printf("   (9) k2  [0.1kg]<=0: %ld\n", static_cast<long>(w.k2));
  std::printf("   (-) k4  [-] <-1;1>: %e\n", static_cast<double>(w.k4));
  std::printf("   (+) k5  [-] <-1;1>: %e\n", static_cast<double>(w.k5));
  std::printf("\n");
  std::printf("   (a) Ano, souhlasi, pokracovat\n");
  std::printf("   (n) Navrat (nic se nemeni)\n");
  std::printf("--------------------------------------\n");
}

// An integer constant: prompt, then the entry, the old value kept when the
// entry is outside lowest..highest.
void Uprav(int* hodnota, const char* vyzva, int nejmene, int nejvice) {
  std::printf("%s", vyzva);
  *hodnota = Vstup_cisla_2(*hodnota, nejmene, nejvice);
}

void Uprav_float(float* hodnota, const char* nadpis, const char* vyzva) {
  std::printf("%s\n", nadpis);
  std::printf("%s", vyzva);
  *hodnota = Vstup_float_cisla_2(*hodnota);
}

// Blocks 1, 2 and 3 in this order; a failed write leaves the later ones
// as they are in the scale. The editor never changes the number field, so
// the scale answers at g_cislo_zarizeni afterwards as before.
void Zapis_bloku_1_az_3() {
  static const int bloky[] = {1, 2, 3};
  kom_Napajeni_vahy(1);
  Uloz_bloky(g_cislo_zarizeni, bloky, 3);
  kom_Napajeni_vahy(0);
}

}  // namespace

void Prime_nastaveni() {
  kom_Napajeni_vahy(1);
  for (int blok = 1; blok <= 3; ++blok) {
    if (Cteni_eeprom(g_cislo_zarizeni, blok) != 0) {
      kom_Napajeni_vahy(0);
      return;
    }
  }
  kom_Napajeni_vahy(0);

  Pracovni_kopie w = Ze_zaznamu();
  char klic[80];
  for (;;) {
    Tisk_obrazovky(w);
    // Judged on the screen just shown: saving is refused while it warns.
    bool shoda_t1_t2 = false;
    if (w.t1 == w.t2) {
      std::printf("Pozor! (t2 se nesmi rovnat t1)\n");
      shoda_t1_t2 = true;
    }

    std::memset(klic, 0, sizeof klic);
    kon_Cti_token(klic, sizeof klic);
    switch (klic[0]) {
      case '0':
        Uprav(&w.posun, "posun [-32768..32767]: ", -32768, 32767);
        break;
      case '1':
        Uprav(&w.pamet, "pamet [-32767..32767]: ", NEJMENSI_PAMET, 32767);
        break;
      case '2':
        Uprav(&w.pocet, "pocet [1..10000]: ", 1, 10000);
        break;
      case '3':
        Uprav(&w.tc1, "tc1 [-10000..10000]: ", -10000, 10000);
        break;
      case '4':
        Uprav(&w.tc2, "tc2 [-10000..10000]: ", -10000, 10000);
        break;
      case '5':
        Uprav(&w.t1, "t1 [0..500000]: ", 0, 500000);
        break;
      case '6':
        Uprav(&w.t2, "t2 [0..500000]: ", 0, 500000);
        break;
      case '7':
        Uprav(&w.tc0, "tc0 [-10000..10000]: ", -10000, 10000);
        break;
      case '8':
        std::printf("nastaveni zesileni\n");
        Uprav(&w.k1, "k1 [1..32767]: ", 1, 32767);
        break;
      case '9':
        std::printf("nastaveni nuly\n");
        Uprav(&w.k2, "k2 [-32768..0]: ", -32768, 0);
        break;
      case '-':
        Uprav_float(&w.k4, "korekce teplotni zavislosti zesileni", "k4 [-1..1]: ");
        break;
      case '+':
        Uprav_float(&w.k5, "korekce teplotni zavislosti nuly", "k5 [-1..1]: ");
        break;
      case 'a':
        if (shoda_t1_t2) {
          std::printf("Nic zmeneno ani ulozeno nebylo.\n");
          return;
        }
        if (!Ano_ne("Ulozit tyto kalibracni hodnoty do vahy? [a/n]: ")) return;
        Do_zaznamu(w);
        Zapis_bloku_1_az_3();
        return;
      case 'n':
        std::printf("Nic zmeneno ani ulozeno nebylo.\n");
        return;
      default:
        break;
    }
  }
}
