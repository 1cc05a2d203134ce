// Keyboard dialogues: a number within a range, a number or fraction that falls
// back to the old value, and a yes/no question. All read whitespace-delimited
// tokens, so answers may be typed ahead on one line.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "cisla.h"
#include "ser.h"

int Vstup_cisla(const char* text, int zobrazeno, int nejmene, int nejvice) {
  char buf[81];
  for (;;) {
    std::printf("%s (%6ld): ", text, static_cast<long>(zobrazeno));
    kon_Cti_token(buf, sizeof buf);
    long hodnota = Cislo_z_textu(buf);
    std::printf("  bylo zadano: %ld\n", hodnota);
    if (hodnota >= nejmene && hodnota <= nejvice) return static_cast<int>(hodnota);
    std::printf("  Chyba rozsahu !)\n");
  }
}

int Vstup_cisla_2(int stara, int nejmene, int nejvice) {
  char buf[81];
  kon_Cti_token(buf, sizeof buf);
  int hodnota = Cislo_z_textu(buf);
  if (hodnota >= nejmene && hodnota <= nejvice) return hodnota;
  return stara;
}

float Vstup_float_cisla_2(float stara) {
  char buf[81];
  kon_Cti_token(buf, sizeof buf);
  double d = std::strtod(buf, nullptr);  // 0.0 when the token holds no number
  // Anything this far out is rejected anyway; the test keeps the narrowing
  // below within the float range (and sends NaN back to the old value).
  if (!(d >= -2.0 && d <= 2.0)) return stara;
  float f = static_cast<float>(d);
  if (f >= -1.0f && f <= 1.0f) return f;
  return stara;
}

int Ano_ne(const char* text) {
  std::printf("%s", text);
  char buf[80] = {};
  for (;;) {
    kon_Cti_token(buf, sizeof buf);
    if (buf[0] == 'a') return 1;
    if (buf[0] == 'n') return 0;
  }
}
