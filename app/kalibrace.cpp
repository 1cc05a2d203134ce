// Calibration dialogues of the main menu: gain and zero from two loads
// (option 2), zero shift (option 3) and net-weight offset (option *). Each
// measures live, computes the new constant, limits it and stores it in the
// scale's EEPROM on request.
#include "kalibrace.h"

#include <cstdio>

#include "bloky.h"
#include "cisla.h"
#include "ser.h"

namespace {

constexpr int NEJMENSI_ZATEZ = -3000;
constexpr int NEJVETSI_ZATEZ = 3000;

const char* const SOUBOR_ZESILENI = "kalzesil.txt";
const char* const SOUBOR_NULY = "kalnuly.txt";

// One block saved between power on and off. 0 when written; on a failed
// write the supply is switched off all the same. None of the dialogues
// changes the number field, so block 1 is read back from the same number.
int Zapis_bloku(int blok) {
  kom_Napajeni_vahy(1);
  const int r = Uloz_bloky(g_cislo_zarizeni, &blok, 1);
  kom_Napajeni_vahy(0);
  return r;
}

// Blocks 1 to 3 into the record, then the repair of a t1/t2 pair that
// would make the temperature formula divide by zero. 0 to go on, 1 when the
// procedure is to end (a failed access, or the user declined the repair).
int Nacteni_a_kontrola() {
  kom_Napajeni_vahy(1);
  for (int blok = 1; blok <= 3; ++blok) {
    // The number is taken afresh each time: block 1 replaces it with the
    // one the scale stores.
    if (Cteni_eeprom(g_cislo_zarizeni, blok) != 0) {
      kom_Napajeni_vahy(0);
      return 1;
    }
  }
  kom_Napajeni_vahy(0);

  if (g_t1 == g_t2) {
    std::printf("\nByla zjistena shoda konstant t1 a t2 z EEPROM, coz\n");
    std::printf("neni pripustne. Hodnota t2 bude nyni proto upravena\n");
    std::printf("na t2+1. ");
    if (!Ano_ne("Pokracovat? [a/n]: ")) return 1;
    g_t2 = Soucet_32(g_t2, 1);
    if (Zapis_bloku(2) != 0) return 1;
  }
  return 0;
}

void Vysvetleni_zesileni() {
  std::printf("Kalibrace nuly a zesileni se provadi zmerenim zatizeni ve\n");
  std::printf("dvou bodech (napr. pri 0kg a 50kg), pri ustalene teplote a\n");
  std::printf("bez zahrnuti teplotnich korekci. Konstanta POSUN je pri tom\n");
  std::printf("vynulovana.");
  std::printf("Hodnoty konstant teplotnich korekci se nemeni, kalibrace dle\n");
  std::printf("teploty by se mela provest az po tomto zakladnim\n");
  std::printf("nakalibrovani zesileni a nuly.\n");
}

void Vysvetleni_nuly() {
  std::printf("Kalibrace nuly se provadi zmerenim vahy pri zadanem\n");
  std::printf("zatizeni a nasledne odpovidajicim posunem vystupu\n");
  std::printf("pomoci zmeny konstanty k2.\n");
  std::printf("Soucasne se vynuluje konstanta posun v EEPROM vahy.\n");
  std::printf("Teplotni korekce se nemeni.\n");
}

}  // namespace

Zesileni_a_nula Vypocet_zesileni_a_nuly(std::int32_t a1, std::int32_t b1, std::int32_t n1, std::int32_t a2,
                                        std::int32_t b2, std::int32_t n2, float f1, float f2) {
  // The counts enter exactly; the differences are formed in extended
  // precision too, so no pair of counts can overflow.
  const long double r1 = (static_cast<long double>(b1) - n1) / (static_cast<long double>(a1) - n1);
  const long double r2 = (static_cast<long double>(b2) - n2) / (static_cast<long double>(a2) - n2);
  const long double F1 = f1, F2 = f2;
  const long double k = (F2 - F1) / (r2 - r1);
  Zesileni_a_nula v;
  v.k1 = Na_int32(k);
  v.k2 = Na_int32(F1 - r1 * k);
  return v;
}

std::int32_t Vypocet_korekce(int pozadovano, float zmereno) {
  return Na_int32(static_cast<long double>(pozadovano) - static_cast<long double>(zmereno));
}

std::int32_t Soucet_32(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

std::int32_t Omez_k1(std::int32_t k1) {
  if (k1 < 1) {
    std::printf("Pozor, hodnota konstanty K1 je %ld a bude omezena na 1 !\n", static_cast<long>(k1));
    std::printf("(pro odstraneni tohoto problemu zkuste snizit pocet\n");
    std::printf(" merenych period konstantou POCET)\n");
    return 1;
  }
  if (k1 > 32767) {
    std::printf("Pozor, hodnota konstanty K1 je %ld a bude omezena na 32767 !\n", static_cast<long>(k1));
    std::printf("(pro odstraneni tohoto problemu zkuste zvysit pocet\n");
    std::printf(" merenych period konstantou POCET)\n");
    return 32767;
  }
  return k1;
}

std::int32_t Omez_k2(std::int32_t k2) {
  if (k2 < -32768) {
    std::printf("Pozor, hodnota konstanty K2 je %ld a bude omezena na -32768 !\n", static_cast<long>(k2));
    std::printf("(pro odstraneni tohoto problemu zkuste snizit bud pocet\n");
    std::printf(" merenych period konstantou POCET, anebo konstantu pro\n");
    std::printf(" zesileni K1)\n");
    return -32768;
  }
  if (k2 > 0) {
    std::printf("Pozor, hodnota konstanty K2 je %ld a bude omezena na 0 !\n", static_cast<long>(k2));
    std::printf("(pro odstraneni tohoto problemu zkuste zmenit bud pocet\n");
    std::printf(" merenych period konstantou POCET, anebo konstantu pro\n");
    std::printf(" zesileni K1, anebo je problem spise jinde)\n");
    return 0;
  }
  return k2;
}

std::int32_t Omez_posun(std::int32_t posun) {
  if (posun < -3000) {
    std::printf("Pozor, hodnota konstanty POSUN je %ld a bude omezena na -3000 !\n", static_cast<long>(posun));
    std::printf("(pro odstraneni tohoto problemu zkuste znovu nakalibrovat\n");
    std::printf(" zesileni a nulu vahy)\n");
    return -3000;
  }
  if (posun > 3000) {
    std::printf("Pozor, hodnota konstanty POSUN je %ld a bude omezena na 3000 !\n", static_cast<long>(posun));
    std::printf("(pro odstraneni tohoto problemu zkuste znovu nakalibrovat\n");
    std::printf(" zesileni a nulu vahy)\n");
    return 3000;
  }
  return posun;
}

void Kalibrace_zesileni() {
  Vysvetleni_zesileni();
  if (!Ano_ne("Pokracovat? (a/n) : ")) return;
  if (Nacteni_a_kontrola() != 0) return;

  // The two loads must be measured without the offset; it is cleared in
  // the scale before the first of them.
  if (g_posun != 0) {
    g_posun = 0;
    if (Zapis_bloku(1) != 0) return;
  }

  const float f1 =
      static_cast<float>(Vstup_cisla("\nZadejte hodnotu prvni zateze [0.1kg]", 0, NEJMENSI_ZATEZ, NEJVETSI_ZATEZ));
  std::printf("Vlozte na vahu prvni zatez. ");
  if (!Ano_ne("Pokracovat? (a/n) : ")) return;
  if (Sejmi_hmotnost(g_cislo_zarizeni, SOUBOR_ZESILENI) != 0) return;
  const std::int32_t a1 = g_tx, b1 = g_tref, n1 = g_toff;

  float f2;
  for (;;) {
    f2 = static_cast<float>(
        Vstup_cisla("\nZadejte hodnotu druhe zateze [0.1kg]", 500, NEJMENSI_ZATEZ, NEJVETSI_ZATEZ));
    if (f2 != f1) break;
    std::printf("Prvni a druha zatez musi mit odlisne hodnoty!");
  }
  std::printf("Vlozte na vahu druhou zatez. ");
  if (!Ano_ne("Pokracovat? [a/n] : ")) return;
  if (Sejmi_hmotnost(g_cislo_zarizeni, SOUBOR_ZESILENI) != 0) return;

  const Zesileni_a_nula v = Vypocet_zesileni_a_nuly(a1, b1, n1, g_tx, g_tref, g_toff, f1, f2);
  g_k1 = Omez_k1(v.k1);
  g_k2 = Omez_k2(v.k2);

  if (!Ano_ne("\nUlozit nove kalibracni konstanty do vahy? [a/n]: ")) return;
  if (Zapis_bloku(3) != 0) return;
  // Control measurement with the new constants; its result ends the dialogue
  // either way.
  Sejmi_hmotnost(g_cislo_zarizeni, SOUBOR_ZESILENI);
}

void Kalibrace_nuly() {
  Vysvetleni_nuly();
  if (!Ano_ne("Pokracovat? [a/n]: ")) return;
  if (Nacteni_a_kontrola() != 0) return;

  if (g_posun != 0) {
    std::printf("\nByla zjistena nenulova hodnota konstanty posun.\n");
    if (Ano_ne("Vynulovat konstantu posun? [a/n]: ")) {
      g_posun = 0;
      if (Zapis_bloku(1) != 0) return;
    }
  }

  const int pozadovano = Vstup_cisla("\nZadejte pozadovanou hodnotu vystupu po kalibraci nuly [0.1kg]", 0,
                                     NEJMENSI_ZATEZ, NEJVETSI_ZATEZ);
  std::printf("Ponechte vahu bez zatizeni nebo vlozte odpovidajici zatizeni.\n");
  if (!Ano_ne("Pokracovat? [a/n]: ")) return;
  if (Sejmi_hmotnost(g_cislo_zarizeni, SOUBOR_NULY) != 0) return;

  // g_k2 is the value this measurement has just read from block 3.
  g_k2 = Omez_k2(Soucet_32(g_k2, Vypocet_korekce(pozadovano, g_fk)));

  if (!Ano_ne("\nUlozit nove kalibracni konstanty do vahy? (a/n): ")) return;
  if (Zapis_bloku(3) != 0) return;
  Sejmi_hmotnost(g_cislo_zarizeni, SOUBOR_NULY);
}

void Posun_ciste_vahy() {
  if (Nacteni_a_kontrola() != 0) return;

  const int pozadovano = Vstup_cisla("\nZadejte pozadovanou hodnotu hmotnosti [0.1kg] [-3000..3000]", 0,
                                     NEJMENSI_ZATEZ, NEJVETSI_ZATEZ);
  std::printf("Ponechte vahu pripojenu, nyni bude sejmuta soucasna hmotnost.\n");
  if (Snimej_hmotnost_hledej(0, true) != 0) return;

  // The run measures every scale on the line; only the current scale's own
  // weight may set its offset.
  float zmereno = 0;
  if (!Vaha_z_behu(g_cislo_zarizeni, &zmereno)) {
    std::printf("Vaha %d nebyla pri snimani zmerena, konstanta posun nebyla zmenena.\n", g_cislo_zarizeni);
    return;
  }
  // The run left the record of the last scale it read; block 1 of the
  // current scale is read again so that only its offset changes in it.
  kom_Napajeni_vahy(1);
  if (Cteni_eeprom(g_cislo_zarizeni, 1) != 0) {
    kom_Napajeni_vahy(0);
    return;
  }
  kom_Napajeni_vahy(0);
  g_posun = Omez_posun(Soucet_32(g_posun, Vypocet_korekce(pozadovano, zmereno)));

  if (!Ano_ne("\nUlozit novou konstantu posunu do vahy? (a/n): ")) return;
  if (Zapis_bloku(1) != 0) return;
  Snimej_hmotnost_hledej(0, true);
}
