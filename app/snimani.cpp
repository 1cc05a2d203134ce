// placeholder, replaced by its owner
#include "ser.h"
int Najdi_nejblizsi(int*) { return 1; }
int Kopie(const char*, const char*) { return 0; }
int Snimej_hmotnost_hledej(int) { return 0; }
