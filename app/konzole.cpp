// placeholder, replaced by its owner
#include "ser.h"
#include <cstdio>
#include <cstdlib>
void kon_Cti_token(char* buf, std::size_t size) { if (size) buf[0] = 0; Konec_programu(); }
int kon_kbhit() { return 0; }
int kon_getch() { return 0; }
void kon_Zahod_klavesy() {}
int kon_Cekej_na_klavesu(int ms) { kom_Zpozdeni(ms); return 0; }
void Konec_programu() { kom_Zavri_port(); std::printf("--- program servis, byl ukoncen ---\n"); std::exit(0); }
void kon_Obnov_terminal() {}
