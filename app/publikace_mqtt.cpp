// The publisher: a bounded queue filled by the program and one background
// thread that owns the broker connection (libmosquitto, used from that
// thread only). Every connection attempt gets a fresh client, so nothing the
// library kept from a lost connection is sent twice or out of order; the
// queue alone decides what goes out, oldest first.
#include "publikace.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ser.h"

#ifdef KVODA_S_MQTT

#include <mosquitto.h>
#include <pthread.h>
#include <signal.h>

#include <exception>
#include <thread>

#include "publikace_stav.h"

namespace mqtt_vnitrni {

std::string cil(const Stav& s) {
  const bool v6 = s.n.adresa.stroj.find(':') != std::string::npos;
  return (v6 ? "[" + s.n.adresa.stroj + "]" : s.n.adresa.stroj) + ":" + std::to_string(s.n.adresa.port);
}

namespace {

long expire_s(const Stav& s) {
  if (s.n.expire_s >= 0) return s.n.expire_s;
  switch (s.rezim) {
    case Rezim_publikace::JEDEN_PRUCHOD: return JEDEN_PRUCHOD_EXPIRE_S;
    case Rezim_publikace::SLUZBA: return 3 * s.perioda_s;  // none before a sampling run
    case Rezim_publikace::PREHRANI: break;
  }
  return 0;
}

}  // namespace

// --- queueing, under the lock ------------------------------------------------

// Queues one message; past the bound the oldest record goes, or, for a
// replay, waits for room as long as acknowledgements keep coming. false when
// it gave up waiting.
bool vloz(Stav& s, std::unique_lock<std::mutex>& z, Polozka_fronty p) {
  if (s.cekat_na_misto_s > 0) {
    std::uint64_t pokrok = s.pokrok;
    double posledni = ted_s();
    while (s.fronta.plna()) {
      if (s.hotovo) return false;
      if (s.pokrok != pokrok) {
        pokrok = s.pokrok;
        posledni = ted_s();
      }
      if (ted_s() - posledni > s.cekat_na_misto_s) return false;
      s.cv.wait_for(z, std::chrono::milliseconds(100));
    }
  }
  const std::uint64_t pred = s.fronta.zahozeno();
  s.fronta.vloz(std::move(p));
  const std::uint64_t nove = s.fronta.zahozeno() - pred;
  if (nove > 0 && s.zahozeno_hlaseni == 0)
    std::fprintf(stderr, "%s: MQTT: queue full (%zu records); the oldest are dropped from publishing\n",
                 s.program.c_str(), MEZ_FRONTY);
  s.zahozeno_hlaseni += nove;
  return true;
}

namespace {

Polozka_fronty zprava(std::string tema, std::string obsah, int cislo) {
  Polozka_fronty p;
  p.tema = std::move(tema);
  p.obsah = std::move(obsah);
  p.zaznam = false;
  p.cislo = cislo;
  return p;
}

bool vloz_objev(Stav& s, std::unique_lock<std::mutex>& z, int cislo) {
  Zprava_mqtt objev[2];
  Zpravy_objevu(s.n.predpona, s.n.objev, cislo, expire_s(s), objev, s.programu());
  for (const Zprava_mqtt& o : objev) {
    Polozka_fronty q = zprava(o.tema, o.obsah, cislo);
    // A replay leaves the program's own discovery alone.
    q.jen_bez_konfigurace = !s.programu();
    if (!vloz(s, z, std::move(q))) return false;
  }
  return true;
}

}  // namespace

bool vloz_dostupnost(Stav& s, std::unique_lock<std::mutex>& z, int cislo, bool online) {
  s.dostupnost[cislo] = online ? 1 : 0;
  return vloz(s, z, zprava(Tema_dostupnosti_vahy(s.n.predpona, cislo), online ? "online" : "offline", cislo));
}

// Home Assistant came back (perhaps with a broker that lost its retained
// messages), or expire_after changed: everything it needs, again.
void ohlas_znovu(Stav& s, std::unique_lock<std::mutex>& z, bool dostupnosti) {
  for (int c = 0; c < 256; ++c) {
    if (s.ohlaseno[c]) vloz_objev(s, z, c);
    if (dostupnosti && s.dostupnost[c] >= 0) vloz_dostupnost(s, z, c, s.dostupnost[c] == 1);
  }
}

void hlas_zahozene(Stav& s) {
  std::uint64_t n;
  {
    std::lock_guard<std::mutex> z(s.mx);
    n = s.zahozeno_hlaseni;
    s.zahozeno_hlaseni = 0;
  }
  if (n > 0)
    std::fprintf(stderr, "%s: MQTT: %llu %s dropped from the full queue (%zu) and not published; in the data file\n",
                 s.program.c_str(), static_cast<unsigned long long>(n), n == 1 ? "record was" : "records were",
                 MEZ_FRONTY);
}

}  // namespace mqtt_vnitrni

using namespace mqtt_vnitrni;

namespace {

std::shared_ptr<Stav> m_stav;
std::thread m_vlakno;

}  // namespace

int Publikace_start(const char* program, Rezim_publikace rezim, double cekat_na_misto_s) {
  if (m_stav != nullptr) return 1;
  Nastaveni_mqtt n;
  const int r = Nacti_nastaveni_mqtt(program, &n);
  if (r != 1) return r;

  mosquitto_lib_init();
  auto s = std::make_shared<Stav>();
  s->n = n;
  s->program = program;
  s->rezim = rezim;
  s->cekat_na_misto_s = cekat_na_misto_s;
  s->id_klienta = std::string(program) + "-" + std::to_string(getpid()) + "-" + n.stroj;

  // The thread takes no signals: they stay with the program's own handling.
  sigset_t vse, stare;
  sigfillset(&vse);
  pthread_sigmask(SIG_SETMASK, &vse, &stare);
  bool spusteno = true;
  try {
    m_vlakno = std::thread(smycka, s);
  } catch (const std::exception&) {
    spusteno = false;
  }
  pthread_sigmask(SIG_SETMASK, &stare, nullptr);
  if (!spusteno) {
    std::fprintf(stderr, "%s: MQTT: cannot start the publishing thread; running without publishing\n", program);
    mosquitto_lib_cleanup();
    return -1;
  }
  m_stav = std::move(s);
  return 1;
}

bool Publikace_zapnuta() { return m_stav != nullptr; }

bool Publikuj(const Zaznam_mqtt& zaznam) {
  if (!Publikace_zapnuta()) return false;
  Stav& s = *m_stav;
  Polozka_fronty p;
  p.obsah = Json_stavu(zaznam);
  p.cislo = zaznam.cislo;
  p.cas = Sekundy_zaznamu(zaznam);
  std::unique_lock<std::mutex> z(s.mx);
  if (zaznam.cislo >= 0 && zaznam.cislo < 256) {
    if (!s.ohlaseno[zaznam.cislo]) {
      s.ohlaseno[zaznam.cislo] = true;
      if (!vloz_objev(s, z, zaznam.cislo)) return false;
    }
    if (s.programu() && s.dostupnost[zaznam.cislo] != 1 && !vloz_dostupnost(s, z, zaznam.cislo, true)) return false;
  } else {
    p.tema = Tema_stavu(s.n.predpona, zaznam.cislo);  // no history kept for it
  }
  return vloz(s, z, std::move(p));
}

void Publikuj_dostupnost_vahy(int cislo, bool online) {
  if (!Publikace_zapnuta() || !m_stav->programu() || cislo < 0 || cislo > 255) return;
  Stav& s = *m_stav;
  std::unique_lock<std::mutex> z(s.mx);
  if (s.dostupnost[cislo] != (online ? 1 : 0)) vloz_dostupnost(s, z, cislo, online);
}

void Publikace_perioda(long perioda_s) {
  if (!Publikace_zapnuta()) return;
  Stav& s = *m_stav;
  std::unique_lock<std::mutex> z(s.mx);
  const long pred = expire_s(s);
  s.perioda_s = perioda_s > 0 ? perioda_s : 0;
  if (expire_s(s) != pred) ohlas_znovu(s, z, false);
}

Publikace_pocty Publikace_stav() {
  Publikace_pocty p;
  if (m_stav == nullptr) return p;
  std::lock_guard<std::mutex> z(m_stav->mx);
  const Fronta_mqtt& f = m_stav->fronta;
  p.prijato = f.prijato();
  p.potvrzeno = f.potvrzeno_zaznamu();
  p.zahozeno = f.zahozeno();
  p.odmitnuto = f.odmitnuto_zaznamu();
  p.cekajici = f.cekajicich_zaznamu();
  return p;
}

bool Publikace_dorucit(double bez_pokroku_s) {
  if (m_stav == nullptr) return true;
  Stav& s = *m_stav;
  std::unique_lock<std::mutex> z(s.mx);
  std::uint64_t pokrok = s.pokrok;
  double posledni = ted_s();
  for (;;) {
    if (s.fronta.prazdna()) return true;
    if (s.hotovo) return false;
    if (s.pokrok != pokrok) {
      pokrok = s.pokrok;
      posledni = ted_s();
    }
    if (ted_s() - posledni > bez_pokroku_s) return false;
    s.cv.wait_for(z, std::chrono::milliseconds(100));
  }
}

void Publikace_konec(double limit_s) {
  if (m_stav == nullptr) return;
  // Taken out first: publishing is off from here on, and a second call
  // returns at once.
  std::shared_ptr<Stav> sp = std::move(m_stav);
  Stav& s = *sp;
  bool skoncilo;
  {
    std::unique_lock<std::mutex> z(s.mx);
    s.konec = true;
    s.termin_konce = ted_s() + limit_s;
    s.cv.notify_all();
    // The thread's own limit, the "offline" and the disconnect, and a margin.
    skoncilo = s.cv.wait_for(z, std::chrono::duration<double>(limit_s + 1.0), [&] { return s.hotovo; });
  }
  if (!skoncilo) {
    // Stuck in a connect (a host that drops packets): the thread keeps its
    // own reference to the state and ends with the process.
    m_vlakno.detach();
    std::fprintf(stderr, "%s: MQTT: still connecting to %s at the end; not waiting for it\n", s.program.c_str(),
                 cil(s).c_str());
    return;
  }
  m_vlakno.join();
  std::size_t cekajici;
  bool pripojeno;
  {
    std::lock_guard<std::mutex> z(s.mx);
    cekajici = s.fronta.cekajicich_zaznamu();
    pripojeno = s.pripojeno_na_konci;
  }
  // Unreachable only when it was: a broker that took its time gets the
  // time said instead.
  if (cekajici > 0 && pripojeno)
    std::fprintf(stderr, "%s: MQTT: %zu %s not published in the %g s given at the end; in the data file\n",
                 s.program.c_str(), cekajici, cekajici == 1 ? "record" : "records", limit_s);
  else if (cekajici > 0)
    std::fprintf(stderr, "%s: MQTT: %zu %s not published (broker %s unreachable); in the data file\n",
                 s.program.c_str(), cekajici, cekajici == 1 ? "record" : "records", cil(s).c_str());
  hlas_zahozene(s);
  mosquitto_lib_cleanup();
}

#else  // built without libmosquitto

int Publikace_start(const char* program, Rezim_publikace, double) {
  const char* url = std::getenv("KVODA_MQTT");
  if (url == nullptr || *url == '\0') return 0;
  static bool receno = false;
  if (!receno)
    std::fprintf(stderr, "%s: KVODA_MQTT is set, but this build has no MQTT support; running without publishing\n",
                 program);
  receno = true;
  return -1;
}
bool Publikace_zapnuta() { return false; }
bool Publikuj(const Zaznam_mqtt&) { return false; }
Publikace_pocty Publikace_stav() { return {}; }
bool Publikace_dorucit(double) { return true; }
void Publikace_konec(double) {}
void Publikuj_dostupnost_vahy(int, bool) {}
void Publikace_perioda(long) {}

#endif

namespace {
void konec_pri_exit() { Publikace_konec(2.0); }
}  // namespace

void Publikace_programu() {
  // One pass (a cron line) leaves the status online between runs; its
  // sensors' expire_after tells a dead installation.
  const Rezim_publikace r = g_ukonceni != 0 ? Rezim_publikace::JEDEN_PRUCHOD : Rezim_publikace::SLUZBA;
  if (Publikace_start("kvoda_ser", r, 0) == 1) std::atexit(konec_pri_exit);
}

void Publikuj_zaznam(const Vysledek_mereni& v, const char* soubor) {
  if (!Publikace_zapnuta()) return;
  // The record's time came from localtime_r, which gives its offset too.
  Publikuj(Zaznam_z_mereni(v, v.cas.tm_gmtoff, soubor));
}

