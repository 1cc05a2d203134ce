// Publishing of records to an MQTT broker: every record appended to a data
// file is also sent as one JSON message, with Home Assistant discovery per
// scale. Off unless KVODA_MQTT names a broker. The program's own path only
// puts a finished record into a bounded queue; a background thread owns the
// connection, so a broker that is down or silent never holds up the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "vzorce.h"

// --- pure parts: addresses, topics, payloads ------------------------------------

struct Mqtt_adresa {
  bool tls = false;            // mqtts://
  std::string uzivatel;        // empty: anonymous
  std::string heslo;
  bool ma_heslo = false;       // a password was given (it may be empty)
  std::string stroj;           // host name or address (IPv6 without brackets)
  int port = 0;
};

// Parses mqtt://[user[:password]@]host[:port] and mqtts://...; user and
// password may carry %XX escapes. Returns "" on success, otherwise the reason
// (and `a` is left unspecified).
std::string Rozeber_mqtt_url(const char* url, Mqtt_adresa* a);

// The topic prefix: `nastaveni` (KVODA_MQTT_TOPIC) when given, otherwise
// "kvoda/<host>" with the host name made safe for a topic level. Returns ""
// when the given prefix is not a valid publishing topic (not UTF-8, empty
// levels at the end, wildcards, control characters).
std::string Predpona_temat(const char* nastaveni, const char* stroj);
// Discovery prefix from KVODA_MQTT_DISCOVERY (default "homeassistant"); ""
// when invalid as above.
std::string Predpona_objevu(const char* nastaveni);
bool Platne_utf8(const std::string& s);  // and no NUL
// Every character that may not stand in a topic level or a client id
// (separators, wildcards, blanks, control and non-ASCII bytes) made '_'.
std::string Bezpecne_jmeno(std::string s);

std::string Tema_stavu(const std::string& predpona, int cislo);            // <prefix>/scale/<n>/state
std::string Tema_zaznamu(const std::string& predpona, int cislo);          // <prefix>/scale/<n>/record
std::string Tema_dostupnosti_vahy(const std::string& predpona, int cislo); // <prefix>/scale/<n>/availability
std::string Tema_dostupnosti(const std::string& predpona);                 // <prefix>/status

// Local time with its offset east of UTC, "2026-12-07T08:15:30+01:00".
std::string Iso_cas(const std::tm& cas, long posun_s);

// One record as published.
struct Zaznam_mqtt {
  int cislo = 0;
  std::tm cas{};
  long posun_s = 0;            // UTC offset of `cas`
  double kg = 0, stupne = 0;   // as printed in the record line (2 and 1 decimals)
  std::int32_t a = 0, b = 0, n = 0, t = 0;
  std::string soubor;          // the file the record went to
};

// The record's moment, seconds since the epoch.
long long Sekundy_zaznamu(const Zaznam_mqtt& z);
// The moment of a state payload (its "time"); false when it has none.
bool Cas_stavu(const std::string& json, long long* sekundy);

// A record of the program with its local time's offset.
Zaznam_mqtt Zaznam_z_mereni(const Vysledek_mereni& v, long posun_s, const char* soubor);

// {"scale":3,"time":"...","weight_kg":42.50,"temperature_c":18.0,
//  "raw":{"a":..,"b":..,"n":..,"t":..},"file":"zaznam.txt"}; a value that is
// not a finite number is null.
std::string Json_stavu(const Zaznam_mqtt& z);
std::string Json_text(const std::string& s);  // a JSON string literal, quotes included

// Stable identifier base for a scale: the prefix with every character other
// than letters, digits, '_' and '-' replaced by '_', then "_<n>".
std::string Jednoznacne_id(const std::string& predpona, int cislo);

struct Zprava_mqtt {
  std::string tema, obsah;
};
// Discovery config messages of one scale: [0] weight, [1] temperature,
// bound to the program's status and the scale's availability (both must say
// online); `expire_s` above 0 becomes expire_after. Without `s_dostupnosti`
// (a replay, which publishes no availability) they are bound to none, or the
// sensors would wait for it as unavailable.
void Zpravy_objevu(const std::string& predpona, const std::string& objev, int cislo, long expire_s,
                   Zprava_mqtt out[2], bool s_dostupnosti = true);

// --- settings ----------------------------------------------------------------------

struct Nastaveni_mqtt {
  Mqtt_adresa adresa;
  std::string predpona, objev;
  std::string ca_soubor;   // certificates to trust instead of the system's
  long expire_s = -1;      // KVODA_MQTT_EXPIRE; -1 unset
  std::string stroj;       // this machine's name, made safe
};

// Reads KVODA_MQTT, KVODA_MQTT_TOPIC, KVODA_MQTT_DISCOVERY, KVODA_MQTT_EXPIRE,
// KVODA_MQTT_CAFILE and KVODA_MQTT_PASSWORD_FILE. Returns 1 when publishing
// is asked for and every setting holds, 0 when KVODA_MQTT is unset or empty,
// -1 after saying on standard error which setting is bad.
int Nacti_nastaveni_mqtt(const char* program, Nastaveni_mqtt* n);

// The password: the first line of a regular file, opened without blocking
// (a FIFO or a device never holds the program up). Returns "" or the reason;
// `varovani` gets a warning when every user may read the file.
std::string Cti_heslo(const char* jmeno, std::string* heslo, std::string* varovani);

// --- the publisher ----------------------------------------------------------------

enum class Rezim_publikace {
  SLUZBA,          // the program: sampling runs or the menu
  JEDEN_PRUCHOD,   // the program stopping after one pass (a cron line)
  PREHRANI,        // kvoda_pub: files of records, no availability
};

// Starts publishing with the settings of Nacti_nastaveni_mqtt. With KVODA_MQTT
// unset or empty nothing happens (no library call, no thread). A bad setting
// is said once on standard error and the program runs on unpublished. The
// program's modes keep the status topic "online" while connected, with
// "offline" as will (and at the end of SLUZBA), the scales' availability,
// and answer Home Assistant's "online" with the discovery again. With
// `cekat_na_misto_s` above 0 a full queue makes Publikuj wait for room
// (giving up after so many seconds without an acknowledgement) instead of
// dropping the oldest. Returns 1 when publishing is on, 0 when off, -1 on a
// bad setting.
int Publikace_start(const char* program, Rezim_publikace rezim, double cekat_na_misto_s);
// For the program: Publikace_start in its mode, and the end at exit.
void Publikace_programu();

bool Publikace_zapnuta();
// Queues a record (and, the first time for its scale, the discovery). false
// when publishing is off or waiting for room gave up.
bool Publikuj(const Zaznam_mqtt& z);
// A record just appended to `soubor` by the program.
void Publikuj_zaznam(const Vysledek_mereni& v, const char* soubor);
// Sampling's word on one scale, for its own availability topic: online after
// a record; offline when it fails, stops answering, is no longer found by a
// pass's search, or the adapter is away.
void Publikuj_dostupnost_vahy(int cislo, bool online);
// The cycle time of the sampling run now starting, in seconds: the sensors'
// expire_after follows it.
void Publikace_perioda(long perioda_s);

struct Publikace_pocty {
  std::uint64_t prijato = 0;     // records queued
  std::uint64_t potvrzeno = 0;   // records the broker acknowledged
  std::uint64_t zahozeno = 0;    // records dropped from the full queue
  std::uint64_t odmitnuto = 0;   // records the library refused as malformed
  std::size_t cekajici = 0;      // records still queued or unacknowledged
};
Publikace_pocty Publikace_stav();

// Waits until every queued message is acknowledged; gives up when none has
// been acknowledged for `bez_pokroku_s` seconds. true when all went out.
bool Publikace_dorucit(double bez_pokroku_s);

// Stops publishing: gives queued messages at most `limit_s` to be delivered,
// says "offline" (SLUZBA only), disconnects. Records left undelivered are
// said in one line on standard error. Safe to call more than once.
void Publikace_konec(double limit_s = 2.0);
