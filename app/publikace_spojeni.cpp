// The publisher's thread: one broker connection at a time, each with a
// fresh client. After connecting it first reads the retained states, so
// that a state topic only ever moves forward in time, then sends the queue
// oldest first within the acknowledgement window.
#ifdef KVODA_S_MQTT

#include <mosquitto.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "publikace_stav.h"

namespace mqtt_vnitrni {

namespace {

using Klient = std::unique_ptr<mosquitto, void (*)(mosquitto*)>;

struct Spojeni {
  Stav* s = nullptr;
  Klient m{nullptr, mosquitto_destroy};
  enum { ODPOJENO, PRIPOJOVANI, CTENI, PRIPOJENO } stav = ODPOJENO;
  bool ztraceno = false;  // the callback saw the end of the connection
  std::string duvod;
  int mid_offline = 0;
  bool offline_potvrzeno = false;
  int mid_odberu = 0;           // the last subscription of the retained read
  bool odber_potvrzen = false;
  double pripojeno_v = 0, posledni_zprava = 0;
  bool znovu_ohlasit = false;   // Home Assistant said online
};

bool je_pripojeno(const Spojeni& c) { return c.stav == Spojeni::CTENI || c.stav == Spojeni::PRIPOJENO; }

std::string tema_stavu_vse(const Stav& s) { return s.n.predpona + "/scale/+/state"; }
std::string tema_objevu_vse(const Stav& s) { return s.n.objev + "/sensor/+/weight/config"; }
std::string tema_ha(const Stav& s) { return s.n.objev + "/status"; }

// The number in "<zacatek><n><konec>", or -1.
int cislo_v_tematu(const std::string& t, const std::string& zacatek, const std::string& konec) {
  if (t.size() <= zacatek.size() + konec.size() || t.compare(0, zacatek.size(), zacatek) != 0 ||
      t.compare(t.size() - konec.size(), konec.size(), konec) != 0)
    return -1;
  const std::string c = t.substr(zacatek.size(), t.size() - zacatek.size() - konec.size());
  if (c.empty() || c.size() > 3 || c.find_first_not_of("0123456789") != std::string::npos) return -1;
  const int n = std::stoi(c);
  return n <= 255 ? n : -1;
}

void po_pripojeni(mosquitto*, void* u, int rc) {
  auto* c = static_cast<Spojeni*>(u);
  if (rc == 0) {
    c->stav = Spojeni::CTENI;
    c->pripojeno_v = c->posledni_zprava = ted_s();
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
  ++s.pokrok;
  if (s.fronta.potvrzeno(mid)) s.cv.notify_all();
}

void po_odberu(mosquitto*, void* u, int mid, int, const int*) {
  auto* c = static_cast<Spojeni*>(u);
  if (mid == c->mid_odberu) {
    c->odber_potvrzen = true;
    c->posledni_zprava = ted_s();
  }
}

void po_zprave(mosquitto*, void* u, const mosquitto_message* m) {
  auto* c = static_cast<Spojeni*>(u);
  Stav& s = *c->s;
  const std::string tema = m->topic != nullptr ? m->topic : "";
  const std::string obsah(static_cast<const char*>(m->payload), m->payload != nullptr ? m->payloadlen : 0);
  // Home Assistant's birth message; a retained one is old news.
  if (tema == tema_ha(s)) {
    if (!m->retain && obsah == "online") c->znovu_ohlasit = true;
    return;
  }
  if (c->stav != Spojeni::CTENI || !m->retain) return;
  c->posledni_zprava = ted_s();
  std::lock_guard<std::mutex> z(s.mx);
  int n = cislo_v_tematu(tema, s.n.predpona + "/scale/", "/state");
  long long cas;
  if (n >= 0 && Cas_stavu(obsah, &cas)) {
    // A board without a real-time clock may have stamped it in the future.
    if (cas <= static_cast<long long>(std::time(nullptr)) + DEN_S && cas > s.posledni[n]) s.posledni[n] = cas;
    return;
  }
  const std::string id = Jednoznacne_id(s.n.predpona, 0);
  n = cislo_v_tematu(tema, s.n.objev + "/sensor/" + id.substr(0, id.size() - 1), "/weight/config");
  if (n >= 0 && !obsah.empty()) s.ma_konfiguraci[n] = true;
}

void zahod_klienta(Spojeni& c) {
  c.m.reset();
  c.stav = Spojeni::ODPOJENO;
}

// A fresh client and a connection attempt; false when it failed at once.
bool pripoj(Spojeni& c) {
  Stav& s = *c.s;
  c.ztraceno = false;
  c.duvod.clear();
  c.odber_potvrzen = false;
  c.znovu_ohlasit = false;
  c.m.reset(mosquitto_new(s.id_klienta.c_str(), true, &c));
  if (c.m == nullptr) {
    c.duvod = std::strerror(errno);
    return false;
  }
  mosquitto* m = c.m.get();
  mosquitto_connect_callback_set(m, po_pripojeni);
  mosquitto_disconnect_callback_set(m, po_odpojeni);
  mosquitto_publish_callback_set(m, po_odeslani);
  mosquitto_subscribe_callback_set(m, po_odberu);
  mosquitto_message_callback_set(m, po_zprave);
  mosquitto_max_inflight_messages_set(m, OKNO + 2);
  if (s.programu()) {
    const std::string t = Tema_dostupnosti(s.n.predpona);
    mosquitto_will_set(m, t.c_str(), 7, "offline", 1, true);
  }
  const Mqtt_adresa& a = s.n.adresa;
  if (!a.uzivatel.empty()) mosquitto_username_pw_set(m, a.uzivatel.c_str(), a.ma_heslo ? a.heslo.c_str() : nullptr);
  if (a.tls) {
    const bool vlastni = !s.n.ca_soubor.empty();
    const int rc = mosquitto_tls_set(m, vlastni ? s.n.ca_soubor.c_str() : nullptr, vlastni ? nullptr : "/etc/ssl/certs",
                                     nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      c.duvod = std::string("TLS set-up: ") + mosquitto_strerror(rc);
      zahod_klienta(c);
      return false;
    }
  }
  // A blocking connect, but in this thread only: name lookup and TCP
  // connect never touch the program's path.
  const int rc = mosquitto_connect(m, a.stroj.c_str(), a.port, KEEPALIVE_S);
  if (rc != MOSQ_ERR_SUCCESS) {
    c.duvod = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    zahod_klienta(c);
    return false;
  }
  c.stav = Spojeni::PRIPOJOVANI;
  return true;
}

// Just connected: the program says online and listens for Home Assistant;
// everyone asks for the retained states (a replay also for the discovery).
void po_spojeni(Spojeni& c) {
  Stav& s = *c.s;
  mosquitto* m = c.m.get();
  if (s.programu()) {
    const std::string t = Tema_dostupnosti(s.n.predpona);
    mosquitto_publish(m, nullptr, t.c_str(), 6, "online", 1, true);
    mosquitto_subscribe(m, nullptr, tema_ha(s).c_str(), 1);
  } else {
    mosquitto_subscribe(m, nullptr, tema_objevu_vse(s).c_str(), 1);
  }
  if (mosquitto_subscribe(m, &c.mid_odberu, tema_stavu_vse(s).c_str(), 1) != MOSQ_ERR_SUCCESS) c.stav = Spojeni::PRIPOJENO;
}

// The retained read is over when the broker has been quiet for a moment
// after the subscription, or at the latest after CTENI_STAVU_S.
void cteni_hotovo(Spojeni& c) {
  const double ted = ted_s();
  if (!(c.odber_potvrzen && ted - c.posledni_zprava > TICHO_PO_STAVECH_S) && ted - c.pripojeno_v < CTENI_STAVU_S) return;
  Stav& s = *c.s;
  mosquitto_unsubscribe(c.m.get(), nullptr, tema_stavu_vse(s).c_str());
  if (!s.programu()) mosquitto_unsubscribe(c.m.get(), nullptr, tema_objevu_vse(s).c_str());
  c.stav = Spojeni::PRIPOJENO;
}

bool nevhodna(int rc) {
  return rc == MOSQ_ERR_INVAL || rc == MOSQ_ERR_PAYLOAD_SIZE || rc == MOSQ_ERR_MALFORMED_UTF8 ||
         rc == MOSQ_ERR_OVERSIZE_PACKET || rc == MOSQ_ERR_QOS_NOT_SUPPORTED;
}

// Hands queued messages to the client, oldest first, up to the window. A
// record's topic is chosen the first time it goes: the state while it is the
// newest of its scale, else the record topic, not retained.
void odesli(Spojeni& c) {
  Stav& s = *c.s;
  for (;;) {
    std::string tema, obsah;
    bool zachovat;
    std::uint64_t poradi;
    {
      std::lock_guard<std::mutex> z(s.mx);
      Polozka_fronty* p = s.fronta.dalsi();
      if (p == nullptr) return;
      if (p->jen_bez_konfigurace && p->cislo >= 0 && s.ma_konfiguraci[p->cislo]) {
        s.fronta.vynech(p->poradi);
        continue;
      }
      if (p->zaznam && p->tema.empty()) {
        long long& posledni = s.posledni[p->cislo];
        p->zachovat = p->cas > posledni;
        if (p->zachovat) posledni = p->cas;
        p->tema = p->zachovat ? Tema_stavu(s.n.predpona, p->cislo) : Tema_zaznamu(s.n.predpona, p->cislo);
      }
      tema = p->tema;
      obsah = p->obsah;
      zachovat = p->zachovat;
      poradi = p->poradi;
    }
    int mid = 0;
    const int rc = mosquitto_publish(c.m.get(), &mid, tema.c_str(), static_cast<int>(obsah.size()), obsah.data(), 1,
                                     zachovat);
    std::lock_guard<std::mutex> z(s.mx);
    if (rc == MOSQ_ERR_SUCCESS) {
      s.fronta.odeslano(poradi, mid);
    } else if (nevhodna(rc)) {
      // It would be refused for ever: dropped and counted, said once.
      s.fronta.odmitnuto(poradi);
      ++s.pokrok;
      s.cv.notify_all();
      if (!s.odmitnuti_hlaseno)
        std::fprintf(stderr, "%s: MQTT: a message to %s refused (%s) and dropped\n", s.program.c_str(), tema.c_str(),
                     mosquitto_strerror(rc));
      s.odmitnuti_hlaseno = true;
    } else {
      return;  // the loop notices a lost connection
    }
  }
}

void znovu_ohlas(Spojeni& c) {
  c.znovu_ohlasit = false;
  Stav& s = *c.s;
  const std::string t = Tema_dostupnosti(s.n.predpona);
  mosquitto_publish(c.m.get(), nullptr, t.c_str(), 6, "online", 1, true);
  std::unique_lock<std::mutex> z(s.mx);
  ohlas_znovu(s, z, true);
}

// The end: "offline" said while connected (a service only: after one pass
// the sensors stay available until the next), then a clean disconnect.
void rozluc_se(Spojeni& c) {
  Stav& s = *c.s;
  if (s.rezim == Rezim_publikace::SLUZBA) {
    const std::string t = Tema_dostupnosti(s.n.predpona);
    if (mosquitto_publish(c.m.get(), &c.mid_offline, t.c_str(), 7, "offline", 1, true) == MOSQ_ERR_SUCCESS) {
      const double do_kdy = ted_s() + 0.5;
      while (!c.offline_potvrzeno && !c.ztraceno && ted_s() < do_kdy)
        if (mosquitto_loop(c.m.get(), 20, 1) != MOSQ_ERR_SUCCESS) break;
    }
  }
  mosquitto_disconnect(c.m.get());
  mosquitto_loop(c.m.get(), 0, 1);
}

double dalsi_prodleva(double prodleva) { return prodleva * 2 > NEJDELSI_PRODLEVA_S ? NEJDELSI_PRODLEVA_S : prodleva * 2; }

}  // namespace

void smycka(std::shared_ptr<Stav> sp) {
  Stav& s = *sp;
  Spojeni c;
  c.s = sp.get();
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
        prodleva = dalsi_prodleva(prodleva);
      }
      continue;
    }

    const bool bylo_pripojeno = je_pripojeno(c);
    const int rc = mosquitto_loop(c.m.get(), 50, 1);
    if (!bylo_pripojeno && je_pripojeno(c) && !c.ztraceno) {
      prodleva = 1;
      po_spojeni(c);
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
        const char* co = je_pripojeno(c) ? "lost" : "not reachable";
        std::fprintf(stderr, "%s: MQTT broker %s %s (%s); records are queued until it is back\n", s.program.c_str(),
                     cil(s).c_str(), co, c.duvod.c_str());
      }
      hlaseno_ztraceno = true;
      zahod_klienta(c);
      {
        std::lock_guard<std::mutex> z(s.mx);
        s.fronta.vrat_neodeslane();
        s.pripojeno = false;
        s.cv.notify_all();
      }
      pristi_pokus = ted_s() + prodleva;
      prodleva = dalsi_prodleva(prodleva);
      continue;
    }
    if (!je_pripojeno(c)) {
      if (konec) break;  // no broker to deliver to: go at once
      continue;
    }
    if (c.stav == Spojeni::CTENI) {
      cteni_hotovo(c);
      if (c.stav == Spojeni::CTENI) {
        if (konec && ted_s() > termin_konce) break;
        continue;
      }
    }
    if (c.znovu_ohlasit) znovu_ohlas(c);
    odesli(c);
    if (konec) {
      bool prazdna;
      {
        std::lock_guard<std::mutex> z(s.mx);
        prazdna = s.fronta.prazdna();
      }
      if (prazdna || ted_s() > termin_konce) break;
    }
  }

  const bool pripojeno = je_pripojeno(c);
  if (pripojeno) rozluc_se(c);
  zahod_klienta(c);
  std::lock_guard<std::mutex> z(s.mx);
  s.pripojeno = false;
  s.pripojeno_na_konci = pripojeno;
  s.hotovo = true;
  s.cv.notify_all();
}

}  // namespace mqtt_vnitrni

#endif
