// Device protocol: framed, checksummed and keyed exchange over the open port,
// port control and the scale supply switched through the adapter.
#pragma once

#include <ctime>

#include "frame.h"

// --- exchange ---------------------------------------------------------------
extern int g_fd;                    // index of the open port, -1 when none
extern long long g_casovac_prijmu;  // start of the current exchange, whole seconds
extern unsigned char g_buf_com[4096];

int kom_Vysli_a_prijmi_zpravu(int* vys, int* pri);
// The exchange for a reply whose contents are used (EEPROM blocks, counts, a
// device found): a reply that failed the length or checksum test, already
// reported by the test, counts as failed and its code (9 or 2) is returned.
int kom_Vysli_a_prijmi_platnou_zpravu(int* vys, int* pri);
int kom_Vysli_povel(int* vys);
int kom_Prijmi_odpoved(int* pri);
int Test_chyby_sumy(int* pri);
int kom_Vysli_1_byte(int prvek);
int kom_Prijmi_1_byte(int* prvek);
int Vyprazdni_prijimac();
void kom_Cekej_na_vysilac();
int Sifra();

// Timer in whole seconds of the monotonic clock: with sekundy <= 0 stores the
// current time and returns 1; otherwise 1 when that many seconds have passed.
int kom_Casovac_dobehl(long long* casovac, long sekundy);
void kom_Zpozdeni(int ms);

// The monotonic clock, the time base of all deadlines: whole seconds and
// milliseconds (kom_Cas_s() == kom_Cas_ms() / 1000).
long long kom_Cas_s();
long long kom_Cas_ms();
// Waits until a byte is readable on port `port` or `ms` milliseconds have
// passed: 1 readable, 0 timed out, -1 the port is dead (hang-up or error); a
// dead port, or none, is slept out, never spun on.
int kom_Cekej_na_port(int port, int ms);

// --- port control and scale power -----------------------------------------------
constexpr int ODPOJ = 0;
constexpr int PRIPOJ = 1;
constexpr int TEST_ADAPTERU = 2;
constexpr int ADRESA_ADAPTERU = 251;

extern int g_cislo_adapteru;
extern int g_vys[KOM_DELKA_ZPRAVY];
extern int g_pri[KOM_DELKA_ZPRAVY];

// Fills an adapter request (command 5) to `cil` with the one data byte.
void kom_Povel_adapteru(int* zprava, int cil, int data);

int kom_Otevri_nebo_zavri_port(int akce, int port, int rychlost);
int kom_Zavri_port();
// 1 when the open port has died (its adapter unplugged or reset): every
// exchange on it fails until it is closed and the adapter found again.
int kom_Port_ztracen();
int Povel_napajeni(int akce);
int kom_Napajeni_vahy(int zapnout);
