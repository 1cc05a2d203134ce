// placeholder, replaced by its owner
#include "ser.h"
int Vstup_cisla(const char*, int, int nejmene, int) { return nejmene; }
int Vstup_cisla_2(int stara, int, int) { return stara; }
float Vstup_float_cisla_2(float stara) { return stara; }
int Ano_ne(const char*) { return 0; }
