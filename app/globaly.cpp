// Program-lifetime globals of the application, with the values it starts with.
#include "ser.h"

int g_rychlost_zakladni = 4800;
int g_com_port = 0;
int g_autostart = 0;
int g_perioda = 120;
const char* g_soubor = "zaznam.txt";
int g_ukonceni = 0;
int g_rok_zobr = 2018;
int g_cislo_portu = 0;
const char* g_kopie = "kopie.txt";
const char* g_zaloha = "zaloha.txt";
int g_ukonceni_probehlo = 0;
int g_pocitadlo_bytu = 0;

int g_cislo_zarizeni = 0;
int g_posun = 0;
int g_pamet = 0;
int g_pocet = 0;
int g_tc1 = 0;
int g_tc2 = 0;
int g_t1 = 0;
int g_t2 = 0;
int g_tc0 = 0;
int g_k1 = 0;
int g_k2 = 0;
float g_k4 = 0.0f;
float g_k5 = 0.0f;
int g_vyrobni_cislo_snimace = 0;
int g_typ_snimace = 0;
int g_rok_vyroby_snimace = 0;
int g_vyrobni_cislo_vahy = 0;
int g_typ_vahy = 0;
int g_rok_vyroby_vahy = 0;

int c_vys[KOM_DELKA_ZPRAVY];
int c_pri[KOM_DELKA_ZPRAVY];
int z_vys[KOM_DELKA_ZPRAVY];
int z_pri[KOM_DELKA_ZPRAVY];

int g_tx = 0;
int g_tref = 0;
int g_toff = 0;
int g_t = 0;
float g_tc = 0.0f;
float g_m = 0.0f;
float g_fk = 0.0f;

int h_vys[KOM_DELKA_ZPRAVY];
int h_pri[KOM_DELKA_ZPRAVY];
