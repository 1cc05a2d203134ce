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

#ifdef KVODA_S_MQTT

#include <mosquitto.h>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace {

constexpr std::size_t MEZ_FRONTY = 10000;  // records kept while the broker is away
constexpr int OKNO = 20;                   // messages sent and not yet acknowledged
constexpr int KEEPALIVE_S = 30;
constexpr double TERMIN_PRIPOJENI_S = 10;  // for the broker's answer to CONNECT
constexpr double NEJDELSI_PRODLEVA_S = 30; // between connection attempts

using Hodiny = std::chrono::steady_clock;

double ted_s() { return std::chrono::duration<double>(Hodiny::now().time_since_epoch()).count(); }

struct Polozka {
  std::string tema, obsah;
  int cislo = -1;        // scale of the last discovery message of a pair, else -1
  bool zaznam = true;    // a record (counted), not a discovery message
  std::uint64_t poradi = 0;  // order of queueing
  int mid = 0;           // message id while sent and unacknowledged
  bool odeslano = false;
  bool potvrzeno = false;
};

// State shared by the program and the thread. Allocated once and never
// freed while a thread may still use it.
struct Stav {
  std::mutex mx;
  std::condition_variable cv;
  std::deque<Polozka> fronta;
  std::uint64_t poradi = 0;
  bool ohlaseno[256] = {};
  Publikace_pocty pocty;
  std::uint64_t zahozeno_hlaseni = 0;   // dropped since the last report
  bool konec = false;
  double termin_konce = 0;
  bool hotovo = false;                  // the thread has finished
  bool pripojeno = false;
  std::uint64_t pokrok = 0;             // acknowledgements so far (for waiting)

  // Settings, fixed before the thread starts.
  Mqtt_adresa adresa;
  std::string predpona, objev, id_klienta, program;
  std::string ca_soubor;  // certificates to trust instead of the system's
  bool dostupnost = false;
  double cekat_na_misto_s = 0;  // 0: a full queue drops its oldest
};

Stav* m_stav = nullptr;
std::thread* m_vlakno = nullptr;
bool m_ukonceno = false;

std::string cil(const Stav& s) {
  const bool v6 = s.adresa.stroj.find(':') != std::string::npos;
  return (v6 ? "[" + s.adresa.stroj + "]" : s.adresa.stroj) + ":" + std::to_string(s.adresa.port);
}

// --- the thread ------------------------------------------------------------------

struct Spojeni {
  Stav* s = nullptr;
  mosquitto* m = nullptr;
  enum { ODPOJENO, PRIPOJOVANI, PRIPOJENO } stav = ODPOJENO;
  bool ztraceno = false;           // the callback saw the end of the connection
  std::string duvod;
  int mid_offline = 0;
  bool offline_potvrzeno = false;
};

void po_pripojeni(mosquitto*, void* u, int rc) {
  auto* c = static_cast<Spojeni*>(u);
  if (rc == 0) {
    c->stav = Spojeni::PRIPOJENO;
  } else {
    c->ztraceno = true;
    c->duvod = mosquitto_connack_string(rc);
  }
}

void po_odpojeni(mosquitto*, void* u, int rc) {
  auto* c = static_cast<Spojeni*>(u);
  c->ztraceno = true;
  if (c->duvod.empty()) c->duvod = rc == 0 ? "disconnected" : mosquitto_strerror(rc);
}

void po_odeslani(mosquitto*, void* u, int mid) {
  auto* c = static_cast<Spojeni*>(u);
  if (mid == c->mid_offline) {
    c->offline_potvrzeno = true;
    return;
  }
  Stav& s = *c->s;
  std::lock_guard<std::mutex> z(s.mx);
  for (Polozka& p : s.fronta) {
    if (!p.odeslano) break;
    if (p.mid == mid && !p.potvrzeno) {
      p.potvrzeno = true;
      break;
    }
  }
  bool uvolneno = false;
  while (!s.fronta.empty() && s.fronta.front().potvrzeno) {
    if (s.fronta.front().zaznam) ++s.pocty.potvrzeno;
    s.fronta.pop_front();
    uvolneno = true;
  }
  ++s.pokrok;
  if (uvolneno) s.cv.notify_all();
}

void zahod_klienta(Spojeni& c) {
  if (c.m != nullptr) mosquitto_destroy(c.m);
  c.m = nullptr;
  c.stav = Spojeni::ODPOJENO;
}

// A fresh client and a connection attempt; false when it failed at once.
bool pripoj(Spojeni& c) {
  Stav& s = *c.s;
  c.ztraceno = false;
  c.duvod.clear();
  c.m = mosquitto_new(s.id_klienta.c_str(), true, &c);
  if (c.m == nullptr) {
    c.duvod = "out of memory";
    return false;
  }
  mosquitto_connect_callback_set(c.m, po_pripojeni);
  mosquitto_disconnect_callback_set(c.m, po_odpojeni);
  mosquitto_publish_callback_set(c.m, po_odeslani);
  mosquitto_max_inflight_messages_set(c.m, OKNO + 2);
  if (s.dostupnost) {
    const std::string t = Tema_dostupnosti(s.predpona);
    mosquitto_will_set(c.m, t.c_str(), 7, "offline", 1, true);
  }
  if (!s.adresa.uzivatel.empty())
    mosquitto_username_pw_set(c.m, s.adresa.uzivatel.c_str(), s.adresa.ma_heslo ? s.adresa.heslo.c_str() : nullptr);
  if (s.adresa.tls) {
    const bool vlastni = !s.ca_soubor.empty();
    const int rc = mosquitto_tls_set(c.m, vlastni ? s.ca_soubor.c_str() : nullptr, vlastni ? nullptr : "/etc/ssl/certs",
                                     nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      c.duvod = std::string("TLS set-up: ") + mosquitto_strerror(rc);
      zahod_klienta(c);
      return false;
    }
  }
  // A blocking connect, but in this thread only: name lookup and TCP
  // connect never touch the program's path.
  const int rc = mosquitto_connect(c.m, s.adresa.stroj.c_str(), s.adresa.port, KEEPALIVE_S);
  if (rc != MOSQ_ERR_SUCCESS) {
    c.duvod = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    zahod_klienta(c);
    return false;
  }
  c.stav = Spojeni::PRIPOJOVANI;
  return true;
}

// Hands queued messages to the client, oldest first, up to the window.
void odesli(Spojeni& c) {
  Stav& s = *c.s;
  for (;;) {
    std::string tema, obsah;
    std::uint64_t poradi;
    {
      std::lock_guard<std::mutex> z(s.mx);
      int v_letu = 0;
      Polozka* dalsi = nullptr;
      for (Polozka& p : s.fronta) {
        if (!p.odeslano) {
          dalsi = &p;
          break;
        }
        if (!p.potvrzeno) ++v_letu;
      }
      if (dalsi == nullptr || v_letu >= OKNO) return;
      tema = dalsi->tema;
      obsah = dalsi->obsah;
      poradi = dalsi->poradi;
    }
    int mid = 0;
    const int rc = mosquitto_publish(c.m, &mid, tema.c_str(), static_cast<int>(obsah.size()), obsah.data(), 1, true);
    if (rc != MOSQ_ERR_SUCCESS) return;  // the loop notices a lost connection
    std::lock_guard<std::mutex> z(s.mx);
    // The program may have dropped it from the front meanwhile.
    if (!s.fronta.empty() && poradi >= s.fronta.front().poradi) {
      Polozka& p = s.fronta[poradi - s.fronta.front().poradi];
      p.odeslano = true;
      p.mid = mid;
    }
  }
}

// Everything sent and not acknowledged goes again on the next connection.
void vrat_neodeslane(Stav& s) {
  std::lock_guard<std::mutex> z(s.mx);
  for (Polozka& p : s.fronta) {
    if (!p.odeslano) break;
    if (!p.potvrzeno) {
      p.odeslano = false;
      p.mid = 0;
    }
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

void smycka(Stav* sp) {
  Stav& s = *sp;
  Spojeni c;
  c.s = sp;
  double prodleva = 1, pristi_pokus = 0, termin = 0;
  bool hlaseno_ztraceno = false;
  for (;;) {
    bool konec;
    double termin_konce;
    {
      std::lock_guard<std::mutex> z(s.mx);
      konec = s.konec;
      termin_konce = s.termin_konce;
    }
    const double ted = ted_s();
    if (c.stav == Spojeni::ODPOJENO) {
      if (konec) break;
      if (ted < pristi_pokus) {
        std::unique_lock<std::mutex> z(s.mx);
        s.cv.wait_for(z, std::chrono::duration<double>(pristi_pokus - ted), [&] { return s.konec; });
        continue;
      }
      if (pripoj(c)) {
        termin = ted_s() + TERMIN_PRIPOJENI_S;
      } else {
        if (!hlaseno_ztraceno)
          std::fprintf(stderr, "%s: MQTT broker %s not reachable (%s); records are queued until it is back\n",
                       s.program.c_str(), cil(s).c_str(), c.duvod.c_str());
        hlaseno_ztraceno = true;
        pristi_pokus = ted_s() + prodleva;
        prodleva = prodleva * 2 > NEJDELSI_PRODLEVA_S ? NEJDELSI_PRODLEVA_S : prodleva * 2;
      }
      continue;
    }

    const bool bylo_pripojeno = c.stav == Spojeni::PRIPOJENO;
    int rc = mosquitto_loop(c.m, 50, 1);
    if (!bylo_pripojeno && c.stav == Spojeni::PRIPOJENO && !c.ztraceno) {
      // Connected: availability first, then whatever waited.
      prodleva = 1;
      if (s.dostupnost) {
        const std::string t = Tema_dostupnosti(s.predpona);
        mosquitto_publish(c.m, nullptr, t.c_str(), 6, "online", 1, true);
      }
      {
        std::lock_guard<std::mutex> z(s.mx);
        s.pripojeno = true;
      }
      if (hlaseno_ztraceno) {
        std::fprintf(stderr, "%s: MQTT broker %s is back; sending the queued records\n", s.program.c_str(),
                     cil(s).c_str());
        hlas_zahozene(s);
      }
      hlaseno_ztraceno = false;
    }
    if (c.stav == Spojeni::PRIPOJOVANI && ted_s() > termin && !c.ztraceno) {
      c.ztraceno = true;
      c.duvod = "no answer to the connection request";
    }
    if (rc != MOSQ_ERR_SUCCESS && !c.ztraceno) {
      c.ztraceno = true;
      c.duvod = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    }
    if (c.ztraceno) {
      if (!hlaseno_ztraceno) {
        const char* co = c.stav == Spojeni::PRIPOJENO ? "lost" : "not reachable";
        std::fprintf(stderr, "%s: MQTT broker %s %s (%s); records are queued until it is back\n", s.program.c_str(),
                     cil(s).c_str(), co, c.duvod.c_str());
      }
      hlaseno_ztraceno = true;
      zahod_klienta(c);
      vrat_neodeslane(s);
      {
        std::lock_guard<std::mutex> z(s.mx);
        s.pripojeno = false;
        s.cv.notify_all();
      }
      pristi_pokus = ted_s() + prodleva;
      prodleva = prodleva * 2 > NEJDELSI_PRODLEVA_S ? NEJDELSI_PRODLEVA_S : prodleva * 2;
      continue;
    }
    if (c.stav != Spojeni::PRIPOJENO) {
      if (konec) break;  // no broker to deliver to: go at once
      continue;
    }
    odesli(c);
    if (konec) {
      bool prazdna;
      {
        std::lock_guard<std::mutex> z(s.mx);
        prazdna = s.fronta.empty();
      }
      if (prazdna || ted_s() > termin_konce) break;
    }
  }

  // The end: "offline" said while connected, then a clean disconnect.
  if (c.stav == Spojeni::PRIPOJENO) {
    if (s.dostupnost) {
      const std::string t = Tema_dostupnosti(s.predpona);
      if (mosquitto_publish(c.m, &c.mid_offline, t.c_str(), 7, "offline", 1, true) == MOSQ_ERR_SUCCESS) {
        const double do_kdy = ted_s() + 0.5;
        while (!c.offline_potvrzeno && !c.ztraceno && ted_s() < do_kdy)
          if (mosquitto_loop(c.m, 20, 1) != MOSQ_ERR_SUCCESS) break;
      }
    }
    mosquitto_disconnect(c.m);
    mosquitto_loop(c.m, 0, 1);
  }
  zahod_klienta(c);
  std::lock_guard<std::mutex> z(s.mx);
  s.pripojeno = false;
  s.hotovo = true;
  s.cv.notify_all();
}

// Queues one message under the lock; drops the oldest past the bound, or
// waits for room as long as acknowledgements keep coming. false when it gave
// up waiting.
bool vloz(Stav& s, std::unique_lock<std::mutex>& z, Polozka p) {
  if (s.cekat_na_misto_s > 0) {
    std::uint64_t pokrok = s.pokrok;
    double posledni = ted_s();
    while (s.fronta.size() >= MEZ_FRONTY) {
      if (s.hotovo) return false;
      if (s.pokrok != pokrok) {
        pokrok = s.pokrok;
        posledni = ted_s();
      }
      if (ted_s() - posledni > s.cekat_na_misto_s) return false;
      s.cv.wait_for(z, std::chrono::milliseconds(100));
    }
  } else {
    while (s.fronta.size() >= MEZ_FRONTY) {
      const Polozka& stara = s.fronta.front();
      if (stara.zaznam) {
        ++s.pocty.zahozeno;
        if (s.zahozeno_hlaseni++ == 0)
          std::fprintf(stderr, "%s: MQTT: queue full (%zu records); the oldest are dropped from publishing\n",
                       s.program.c_str(), MEZ_FRONTY);
      } else if (stara.cislo >= 0 && stara.cislo < 256) {
        s.ohlaseno[stara.cislo] = false;  // announced again with the next record
      }
      s.fronta.pop_front();
    }
  }
  p.poradi = ++s.poradi;
  s.fronta.push_back(std::move(p));
  return true;
}

bool cti_heslo(const char* jmeno, std::string* heslo, std::string* proc) {
  std::FILE* f = std::fopen(jmeno, "r");
  if (f == nullptr) {
    *proc = std::strerror(errno);
    return false;
  }
  char b[1024] = "";
  const bool ok = std::fgets(b, sizeof b, f) != nullptr || !std::ferror(f);
  if (!ok) *proc = std::strerror(errno);
  std::fclose(f);
  if (!ok) return false;
  std::size_t n = std::strlen(b);
  while (n > 0 && (b[n - 1] == '\n' || b[n - 1] == '\r')) b[--n] = '\0';
  *heslo = b;
  return true;
}

}  // namespace

int Publikace_start(const char* program, bool dostupnost, double cekat_na_misto_s) {
  if (m_stav != nullptr) return 1;
  const char* url = std::getenv("KVODA_MQTT");
  if (url == nullptr || *url == '\0') return 0;
  Mqtt_adresa a;
  const std::string proc = Rozeber_mqtt_url(url, &a);
  if (!proc.empty()) {
    std::fprintf(stderr, "%s: KVODA_MQTT: %s; running without publishing\n", program, proc.c_str());
    return -1;
  }
  if (const char* soubor = std::getenv("KVODA_MQTT_PASSWORD_FILE"); soubor != nullptr && *soubor != '\0') {
    std::string duvod;
    if (!cti_heslo(soubor, &a.heslo, &duvod)) {
      std::fprintf(stderr, "%s: KVODA_MQTT_PASSWORD_FILE %s: %s; running without publishing\n", program, soubor,
                   duvod.c_str());
      return -1;
    }
    a.ma_heslo = true;
  }
  if (a.ma_heslo && a.uzivatel.empty()) {
    std::fprintf(stderr, "%s: KVODA_MQTT: a password needs a user name (mqtt://user@host); running without publishing\n",
                 program);
    return -1;
  }
  const char* ca = std::getenv("KVODA_MQTT_CAFILE");
  if (ca != nullptr && *ca != '\0' && access(ca, R_OK) != 0) {
    std::fprintf(stderr, "%s: KVODA_MQTT_CAFILE %s: %s; running without publishing\n", program, ca,
                 std::strerror(errno));
    return -1;
  }
  char stroj[256] = "";
  if (gethostname(stroj, sizeof stroj - 1) != 0) stroj[0] = '\0';
  const std::string predpona = Predpona_temat(std::getenv("KVODA_MQTT_TOPIC"), stroj);
  if (predpona.empty()) {
    std::fprintf(stderr, "%s: KVODA_MQTT_TOPIC: not a topic to publish under; running without publishing\n", program);
    return -1;
  }
  const std::string objev = Predpona_objevu(std::getenv("KVODA_MQTT_DISCOVERY"));
  if (objev.empty()) {
    std::fprintf(stderr, "%s: KVODA_MQTT_DISCOVERY: not a topic to publish under; running without publishing\n",
                 program);
    return -1;
  }

  mosquitto_lib_init();
  m_stav = new Stav;
  Stav& s = *m_stav;
  s.adresa = a;
  s.predpona = predpona;
  s.objev = objev;
  s.program = program;
  s.dostupnost = dostupnost;
  s.cekat_na_misto_s = cekat_na_misto_s;
  if (ca != nullptr) s.ca_soubor = ca;
  s.id_klienta = std::string(program) + "-" + std::to_string(getpid()) + "-" + stroj;

  // The thread takes no signals: they stay with the program's own handling.
  sigset_t vse, stare;
  sigfillset(&vse);
  pthread_sigmask(SIG_SETMASK, &vse, &stare);
  try {
    m_vlakno = new std::thread(smycka, m_stav);
  } catch (const std::exception&) {
    m_vlakno = nullptr;
  }
  pthread_sigmask(SIG_SETMASK, &stare, nullptr);
  if (m_vlakno == nullptr) {
    std::fprintf(stderr, "%s: MQTT: cannot start the publishing thread; running without publishing\n", program);
    delete m_stav;
    m_stav = nullptr;
    mosquitto_lib_cleanup();
    return -1;
  }
  return 1;
}

bool Publikace_zapnuta() { return m_stav != nullptr && !m_ukonceno; }

bool Publikuj(const Zaznam_mqtt& zaznam) {
  if (!Publikace_zapnuta()) return false;
  Stav& s = *m_stav;
  Polozka p;
  p.tema = Tema_stavu(s.predpona, zaznam.cislo);
  p.obsah = Json_stavu(zaznam);
  std::unique_lock<std::mutex> z(s.mx);
  if (zaznam.cislo >= 0 && zaznam.cislo < 256 && !s.ohlaseno[zaznam.cislo]) {
    s.ohlaseno[zaznam.cislo] = true;
    Zprava_mqtt objev[2];
    Zpravy_objevu(s.predpona, s.objev, zaznam.cislo, objev);
    for (const Zprava_mqtt& o : objev) {
      Polozka q;
      q.tema = o.tema;
      q.obsah = o.obsah;
      q.zaznam = false;
      // Dropping the pair's last message means announcing the scale again.
      q.cislo = &o == &objev[1] ? zaznam.cislo : -1;
      if (!vloz(s, z, std::move(q))) return false;
    }
  }
  if (!vloz(s, z, std::move(p))) return false;
  ++s.pocty.prijato;
  return true;
}

Publikace_pocty Publikace_stav() {
  Publikace_pocty p;
  if (m_stav == nullptr) return p;
  std::lock_guard<std::mutex> z(m_stav->mx);
  p = m_stav->pocty;
  for (const Polozka& q : m_stav->fronta)
    if (q.zaznam) ++p.cekajici;
  return p;
}

bool Publikace_dorucit(double bez_pokroku_s) {
  if (m_stav == nullptr) return true;
  Stav& s = *m_stav;
  std::unique_lock<std::mutex> z(s.mx);
  std::uint64_t pokrok = s.pokrok;
  double posledni = ted_s();
  for (;;) {
    if (s.fronta.empty()) return true;
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
  if (m_stav == nullptr || m_ukonceno) return;
  m_ukonceno = true;
  Stav& s = *m_stav;
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
    // Stuck in a connect (a host that drops packets): leave it to the exit.
    m_vlakno->detach();
    std::fprintf(stderr, "%s: MQTT: still connecting to %s at the end; not waiting for it\n", s.program.c_str(),
                 cil(s).c_str());
    // The thread keeps its state; the process is about to end.
    delete m_vlakno;
    m_vlakno = nullptr;
    m_stav = nullptr;
    m_ukonceno = false;
    return;
  }
  m_vlakno->join();
  delete m_vlakno;
  m_vlakno = nullptr;
  const Publikace_pocty p = Publikace_stav();
  if (p.cekajici > 0)
    std::fprintf(stderr, "%s: MQTT: %zu %s not published (broker %s unreachable); in the data file\n",
                 s.program.c_str(), p.cekajici, p.cekajici == 1 ? "record" : "records", cil(s).c_str());
  hlas_zahozene(s);
  mosquitto_lib_cleanup();
  // Publishing may be started afresh.
  delete m_stav;
  m_stav = nullptr;
  m_ukonceno = false;
}

#else  // built without libmosquitto

int Publikace_start(const char* program, bool, double) {
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

#endif

namespace {
void konec_pri_exit() { Publikace_konec(1.0); }
}  // namespace

void Publikace_programu() {
  if (Publikace_start("kvoda_ser", true, 0) == 1) std::atexit(konec_pri_exit);
}

void Publikuj_zaznam(const Vysledek_mereni& v, const char* soubor) {
  if (!Publikace_zapnuta()) return;
  // The record's time came from localtime_r, which gives its offset too.
  Publikuj(Zaznam_z_mereni(v, v.cas.tm_gmtoff, soubor));
}

void Publikuj_dostupnost_vahy(int, bool) {}

void Publikace_perioda(long) {}
