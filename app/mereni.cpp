// placeholder, replaced by its owner
#include "ser.h"
int Sejmi_hmotnost(int, const char*) { return 1; }
#include "mereni.h"
int Mereni_zarizeni(int, bool, const char*, const char*) { return 1; }
