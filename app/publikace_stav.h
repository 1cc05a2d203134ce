// The publisher's state shared by the program's side (queueing) and the
// thread that owns the broker connection. Only with libmosquitto.
#pragma once

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "publikace.h"
#include "publikace_fronta.h"

namespace mqtt_vnitrni {

inline constexpr std::size_t MEZ_FRONTY = 10000;  // records kept while the broker is away
inline constexpr int OKNO = 20;                   // messages sent and not yet acknowledged
inline constexpr int KEEPALIVE_S = 30;
inline constexpr double TERMIN_PRIPOJENI_S = 10;  // for the broker's answer to CONNECT
inline constexpr double NEJDELSI_PRODLEVA_S = 30; // between connection attempts
inline constexpr double CTENI_STAVU_S = 2;        // at most, for the retained states after connecting
inline constexpr double TICHO_PO_STAVECH_S = 0.3; // no more retained states: the broker has sent them all
inline constexpr long long DEN_S = 86400;
inline constexpr long JEDEN_PRUCHOD_EXPIRE_S = 3 * 3600;  // a cron interval the program cannot know

inline double ted_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// State shared by the program and the thread; the thread holds its own
// reference, so a thread left behind at the end never sees it freed.
struct Stav {
  std::mutex mx;
  std::condition_variable cv;
  Fronta_mqtt fronta{MEZ_FRONTY, OKNO};
  bool ohlaseno[256] = {};            // discovery queued in this process
  signed char dostupnost[256];        // each scale's availability said: -1 not yet, 0 offline, 1 online
  bool ma_konfiguraci[256] = {};      // a replay found the scale's discovery retained
  long long posledni[256];            // newest moment on each state topic
  long perioda_s = 0;                 // of the sampling run, 0 none yet
  std::uint64_t zahozeno_hlaseni = 0; // dropped since the last report
  bool odmitnuti_hlaseno = false;
  bool konec = false;
  double termin_konce = 0;
  bool hotovo = false;                // the thread has finished
  bool pripojeno = false;
  bool pripojeno_na_konci = false;    // the thread ended connected
  std::uint64_t pokrok = 0;           // acknowledgements so far (for waiting)

  // Settings, fixed before the thread starts.
  Nastaveni_mqtt n;
  std::string id_klienta, program;
  Rezim_publikace rezim = Rezim_publikace::SLUZBA;
  double cekat_na_misto_s = 0;  // 0: a full queue drops its oldest

  Stav() {
    for (auto& d : dostupnost) d = -1;
    for (auto& p : posledni) p = LLONG_MIN;
  }
  bool programu() const { return rezim != Rezim_publikace::PREHRANI; }
};

// Under the lock (`z` holds s.mx).
bool vloz(Stav& s, std::unique_lock<std::mutex>& z, Polozka_fronty p);
bool vloz_dostupnost(Stav& s, std::unique_lock<std::mutex>& z, int cislo, bool online);
void ohlas_znovu(Stav& s, std::unique_lock<std::mutex>& z, bool dostupnosti);
// Without the lock.
void hlas_zahozene(Stav& s);
std::string cil(const Stav& s);

// The thread: connects, sends, reconnects, until the end is asked for.
void smycka(std::shared_ptr<Stav> s);

}  // namespace mqtt_vnitrni
