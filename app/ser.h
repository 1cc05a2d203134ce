// Service application: the calibration record, measurement, sampling,
// start-up, menu, calibration and constant editor.
#pragma once

#include <cstddef>

#include "chyba.h"
#include "kom.h"
#include "konzole.h"

// --- start-up settings --------------------------------------------------------
extern int g_rychlost_zakladni;   // 4800
extern int g_com_port;            // 0, stored and never consulted
extern int g_autostart;           // 0
extern int g_perioda;             // 120 s
extern const char* g_soubor;      // "zaznam.txt"
extern int g_ukonceni;            // 0
extern int g_rok_zobr;            // 2018
extern int g_cislo_portu;         // 0
extern const char* g_kopie;       // "kopie.txt"
extern const char* g_zaloha;      // "zaloha.txt"
extern int g_ukonceni_probehlo;   // 0
extern int g_pocitadlo_bytu;      // 0, printed by option 5
// Exit status of a one-pass run (sixth parameter): 0 every scale found was
// measured and logged and the copy made, 1 a record, the copy or a found
// scale failed, 2 no adapter or no scale answered.
extern int g_stav_pruchodu;

constexpr int MIN_CISLO_ZARIZENI = 0;
constexpr int MAX_CISLO_ZARIZENI = 255;
constexpr int MIN_CISLO_ZAZNAMNIKU = 32;
constexpr int MAX_CISLO_ZAZNAMNIKU = 249;
constexpr int NEJVYSSI_SNIMANA_VAHA = 31;

// --- calibration and identification record -------------------------------------
extern int g_cislo_zarizeni;
extern int g_posun;
extern int g_pamet;
extern int g_pocet;
extern int g_tc1;
extern int g_tc2;
extern int g_t1;
extern int g_t2;
extern int g_tc0;
extern int g_k1;
extern int g_k2;
extern float g_k4;
extern float g_k5;
extern int g_vyrobni_cislo_snimace;
extern int g_typ_snimace;
extern int g_rok_vyroby_snimace;
extern int g_vyrobni_cislo_vahy;
extern int g_typ_vahy;
extern int g_rok_vyroby_vahy;

extern int c_vys[KOM_DELKA_ZPRAVY];
extern int c_pri[KOM_DELKA_ZPRAVY];
extern int z_vys[KOM_DELKA_ZPRAVY];
extern int z_pri[KOM_DELKA_ZPRAVY];

int Cteni_eeprom(int cislo_zarizeni, int cislo_eeprom);
int Zapis_eeprom(int cislo_zarizeni, int cislo_eeprom);

// --- measurement -----------------------------------------------------------------
extern int g_tx;
extern int g_tref;
extern int g_toff;
extern int g_t;
extern float g_tc;
extern float g_m;
extern float g_fk;

extern int h_vys[KOM_DELKA_ZPRAVY];
extern int h_pri[KOM_DELKA_ZPRAVY];

int Sejmi_hmotnost(int cislo_zarizeni, const char* soubor);

// --- console input -----------------------------------------------------------------
int Vstup_cisla(const char* text, int zobrazeno, int nejmene, int nejvice);
int Vstup_cisla_2(int stara, int nejmene, int nejvice);
float Vstup_float_cisla_2(float stara);
int Ano_ne(const char* text);

// --- search and periodic sampling -------------------------------------------------------
int Najdi_nejblizsi(int* p_cislo);
// Replaces `cil` by a copy of `zdroj` all or nothing. Returns 0; g_chyba is
// 0 afterwards exactly when the copy was made (24 or 25 otherwise, reported).
int Kopie(const char* zdroj, const char* cil);
// The sampling's copy: equal to the data file afterwards, as with Kopie, but
// brought up to date by appending what the data file gained when the copy
// is still a prefix of it (its last record equal to the data file's bytes
// at the same offset); otherwise the whole copy through Kopie. Returns 0.
int Kopie_dat(const char* zdroj, const char* cil);
// Pure: where the last line of buf[0..n) starts (after the last line end
// before its final byte), 0 when it is the only line.
std::size_t Zacatek_posledniho_radku(const unsigned char* buf, std::size_t n);
// Bytes written by the copy routines so far.
unsigned long long Kopie_zapsano_bajtu();
// Removes the temporary file of a copy in progress; async-signal-safe, for
// the exit on a signal.
void Kopie_Uklid();
// With konec_vstupu_zastavi the end of standard input stops the run as a
// key does (a calibration must not sample for ever once nobody can answer).
int Snimej_hmotnost_hledej(int a, bool konec_vstupu_zastavi = false);
// The weight the last sampling run measured for scale `cislo` (0..31), into
// *p_fk; false when that run measured none for it.
bool Vaha_z_behu(int cislo, float* p_fk);

// --- start-up ------------------------------------------------------------------------------
int Test_pripojeni_adapteru(int adresa);
void Tisk_napovedy_prikazove_radky();
// Parses the command line into the settings. Returns -1 to go on to
// discovery, or 0 when the program is to end (help or a rejected parameter).
int Zpracuj_prikazovou_radku(int argc, char** argv);
// Finds the adapter from index 255 down; leaves the port open when found.
void Pripoj_adapter();
// Discovery on port `port` alone: the adapter at 251 or a recorder walk.
// true with the port left open (g_cislo_portu, g_cislo_adapteru set).
bool Hledej_adapter_na_portu(int port);
// The open port died: closes it at once (a replugged adapter gets its old
// name back) and says so on standard error.
void Ztrata_adapteru();
bool Adapter_ztracen();  // since Ztrata_adapteru, until the adapter is back
// Discovery on `port` alone after a loss, its reports kept off the console;
// says on standard error when the adapter is back.
bool Navrat_adapteru(int port);
// After a loss: discovery on every port whose node exists. true when a port
// is open.
bool Najdi_adapter_znovu();

// --- menu, calibration, editor ----------------------------------------------------------------
void Hlavni_menu();          // the menu loop; does not return
void Kalibrace_zesileni();   // option 2
void Kalibrace_nuly();       // option 3
void Posun_ciste_vahy();     // option *
void Prime_nastaveni();      // option 8
