// The error report: at most one report per menu cycle. The codes and
// g_chyba live with the protocol layer, which reports through Tisk_chyby
// once Priprav_hlaseni_chyb has installed it.
#pragma once

#include "kom_chyba.h"

extern int g_tisk_chyby_jiz_proveden;

int Tisk_chyby(const char* jmeno);

// Makes the protocol layer report its failures through Tisk_chyby; called
// once where the program (or a test of its reports) starts.
void Priprav_hlaseni_chyb();
