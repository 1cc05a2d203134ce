// The error report: at most one report per menu cycle. The codes and
// g_chyba live with the protocol layer, which reports through Tisk_chyby
// once it is installed (when the program starts).
#pragma once

#include "kom_chyba.h"

extern int g_tisk_chyby_jiz_proveden;

int Tisk_chyby(const char* jmeno);
