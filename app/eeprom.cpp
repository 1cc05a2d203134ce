// placeholder, replaced by its owner
#include "ser.h"
int Cteni_eeprom(int, int) { return 1; }
int Zapis_eeprom(int, int) { return 1; }
