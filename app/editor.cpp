// placeholder, replaced by its owner
#include "ser.h"
void Prime_nastaveni() {}
