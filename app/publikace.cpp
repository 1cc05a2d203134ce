// The pure parts of publishing: the broker's URL, topic names, the JSON of
// a record and the discovery messages.
#include "publikace.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool je_ridici(unsigned char c) { return c < 0x20 || c == 0x7F; }

int hex_cislice(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX escapes of the user part; false on a broken escape or a NUL.
bool dekoduj(const std::string& s, std::string* out) {
  out->clear();
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out->push_back(s[i]);
      continue;
    }
    if (i + 2 >= s.size()) return false;
    const int h = hex_cislice(s[i + 1]), l = hex_cislice(s[i + 2]);
    if (h < 0 || l < 0 || (h == 0 && l == 0)) return false;
    out->push_back(static_cast<char>(h * 16 + l));
    i += 2;
  }
  return true;
}

// A topic we publish under: UTF-8 (the broker and the library refuse
// anything else), no wildcards, no control characters, no empty level at the
// end.
bool platne_tema(const std::string& t) {
  if (t.empty() || t.size() > 200 || t.back() == '/' || !Platne_utf8(t)) return false;
  for (unsigned char c : t)
    if (c == '+' || c == '#' || je_ridici(c)) return false;
  return true;
}

// Reads `n` digits at `s`; -1 when one is missing.
long long cislice(const char* s, int n) {
  long long v = 0;
  for (int i = 0; i < n; ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
    v = v * 10 + (s[i] - '0');
  }
  return v;
}

std::string cislo_json(double x, int desetin) {
  if (!std::isfinite(x)) return "null";
  char b[64];
  std::snprintf(b, sizeof b, "%.*f", desetin, x);
  return b;
}

}  // namespace

std::string Rozeber_mqtt_url(const char* url, Mqtt_adresa* a) {
  *a = Mqtt_adresa{};
  if (url == nullptr || *url == '\0') return "empty URL";
  std::string u = url;
  for (unsigned char c : u)
    if (je_ridici(c) || c == ' ') return "blank or control character in the URL";
  std::string zbytek;
  if (u.compare(0, 7, "mqtt://") == 0) {
    zbytek = u.substr(7);
    a->port = 1883;
  } else if (u.compare(0, 8, "mqtts://") == 0) {
    zbytek = u.substr(8);
    a->tls = true;
    a->port = 8883;
  } else {
    return "the URL must start with mqtt:// or mqtts://";
  }
  // Only a bare trailing slash may follow the authority.
  const std::size_t lomitko = zbytek.find('/');
  if (lomitko != std::string::npos) {
    if (lomitko + 1 != zbytek.size()) return "a path is not allowed in the URL";
    zbytek.erase(lomitko);
  }
  const std::size_t zavinac = zbytek.rfind('@');
  if (zavinac != std::string::npos) {
    const std::string info = zbytek.substr(0, zavinac);
    zbytek.erase(0, zavinac + 1);
    const std::size_t dvojtecka = info.find(':');
    const std::string uzivatel = info.substr(0, dvojtecka);
    if (uzivatel.empty()) return "empty user name before '@'";
    if (!dekoduj(uzivatel, &a->uzivatel)) return "bad %-escape in the user name";
    if (dvojtecka != std::string::npos) {
      if (!dekoduj(info.substr(dvojtecka + 1), &a->heslo)) return "bad %-escape in the password";
      a->ma_heslo = true;
    }
  }
  std::string port;
  if (!zbytek.empty() && zbytek[0] == '[') {
    const std::size_t konec = zbytek.find(']');
    if (konec == std::string::npos) return "missing ']' after the IPv6 address";
    a->stroj = zbytek.substr(1, konec - 1);
    const std::string za = zbytek.substr(konec + 1);
    if (!za.empty()) {
      if (za[0] != ':') return "junk after the IPv6 address";
      port = za.substr(1);
      if (port.empty()) return "empty port";
    }
  } else {
    const std::size_t dvojtecka = zbytek.find(':');
    a->stroj = zbytek.substr(0, dvojtecka);
    if (dvojtecka != std::string::npos) {
      port = zbytek.substr(dvojtecka + 1);
      if (port.empty()) return "empty port";
    }
  }
  if (a->stroj.empty()) return "no host in the URL";
  for (char c : a->stroj)
    if (c == '[' || c == ']' || c == '@' || (c == ':' && zbytek[0] != '[')) return "bad character in the host";
  if (!port.empty()) {
    if (port.size() > 5) return "port out of range 1..65535";
    long p = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return "the port is not a number";
      p = p * 10 + (c - '0');
    }
    if (p < 1 || p > 65535) return "port out of range 1..65535";
    a->port = static_cast<int>(p);
  }
  return "";
}

std::string Predpona_temat(const char* nastaveni, const char* stroj) {
  if (nastaveni != nullptr && *nastaveni != '\0') return platne_tema(nastaveni) ? nastaveni : "";
  std::string s = (stroj != nullptr && *stroj != '\0') ? stroj : "unknown";
  return "kvoda/" + Bezpecne_jmeno(s);
}

std::string Predpona_objevu(const char* nastaveni) {
  if (nastaveni == nullptr || *nastaveni == '\0') return "homeassistant";
  return platne_tema(nastaveni) ? nastaveni : "";
}

std::string Tema_stavu(const std::string& predpona, int cislo) {
  return predpona + "/scale/" + std::to_string(cislo) + "/state";
}

std::string Tema_dostupnosti(const std::string& predpona) { return predpona + "/status"; }

std::string Tema_zaznamu(const std::string& predpona, int cislo) {
  return predpona + "/scale/" + std::to_string(cislo) + "/record";
}

std::string Tema_dostupnosti_vahy(const std::string& predpona, int cislo) {
  return predpona + "/scale/" + std::to_string(cislo) + "/availability";
}

std::string Bezpecne_jmeno(std::string s) {
  for (char& c : s) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '/' || c == '+' || c == '#' || c == ' ' || je_ridici(u) || u >= 0x80) c = '_';
  }
  return s;
}

bool Platne_utf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c == 0) return false;
      ++i;
      continue;
    }
    int n;
    unsigned long kod;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
      kod = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      kod = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      kod = c & 0x07;
    } else {
      return false;  // a continuation byte first, an overlong lead, or past U+10FFFF
    }
    if (i + n >= s.size()) return false;  // cut short
    for (int k = 1; k <= n; ++k) {
      const unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      kod = kod << 6 | (d & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((n == 2 && kod < 0x800) || (n == 3 && kod < 0x10000) || kod > 0x10FFFF || (kod >= 0xD800 && kod <= 0xDFFF))
      return false;
    i += n + 1;
  }
  return true;
}

long long Sekundy_zaznamu(const Zaznam_mqtt& z) {
  return zaznam::SecondsFromCivil(z.cas.tm_year + 1900, z.cas.tm_mon + 1, z.cas.tm_mday, z.cas.tm_hour, z.cas.tm_min,
                                  z.cas.tm_sec) -
         z.posun_s;
}

bool Cas_stavu(const std::string& json, long long* sekundy) {
  const std::string klic = "\"time\":\"";
  const std::size_t i = json.find(klic);
  // 2026-12-07T08:15:30+01:00
  if (i == std::string::npos || json.size() - (i + klic.size()) < 26) return false;
  const char* c = json.c_str() + i + klic.size();
  const long long r = cislice(c, 4), mes = cislice(c + 5, 2), d = cislice(c + 8, 2), h = cislice(c + 11, 2),
                  min = cislice(c + 14, 2), sek = cislice(c + 17, 2), ph = cislice(c + 20, 2), pm = cislice(c + 23, 2);
  if (c[4] != '-' || c[7] != '-' || c[10] != 'T' || c[13] != ':' || c[16] != ':' || (c[19] != '+' && c[19] != '-') ||
      c[22] != ':' || c[25] != '"')
    return false;
  if (r < 0 || mes < 1 || mes > 12 || d < 1 || d > 31 || h < 0 || h > 23 || min < 0 || min > 59 || sek < 0 ||
      sek > 60 || ph < 0 || ph > 23 || pm < 0 || pm > 59)
    return false;
  const long long posun = (ph * 3600 + pm * 60) * (c[19] == '-' ? -1 : 1);
  *sekundy = zaznam::SecondsFromCivil(static_cast<int>(r), static_cast<int>(mes), static_cast<int>(d), static_cast<int>(h),
                                      static_cast<int>(min), static_cast<int>(sek)) -
             posun;
  return true;
}

std::string Iso_cas(const std::tm& c, long posun_s) {
  const char znamenko = posun_s < 0 ? '-' : '+';
  const long p = std::labs(posun_s);
  char b[64];
  std::snprintf(b, sizeof b, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", c.tm_year + 1900, c.tm_mon + 1, c.tm_mday,
                c.tm_hour, c.tm_min, c.tm_sec, znamenko, p / 3600, p / 60 % 60);
  return b;
}

Zaznam_mqtt Zaznam_z_mereni(const Vysledek_mereni& v, long posun_s, const char* soubor) {
  Zaznam_mqtt z;
  z.cislo = static_cast<int>(v.cislo);
  z.cas = v.cas;
  z.posun_s = posun_s;
  z.kg = Vaha_kg(v.fk);
  z.stupne = Teplota_stupne(v.tc);
  z.a = v.s.a;
  z.b = v.s.b;
  z.n = v.s.n;
  z.t = v.s.t;
  z.soubor = soubor != nullptr ? soubor : "";
  return z;
}

std::string Json_text(const std::string& s) {
  std::string o = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      o.push_back('\\');
      o.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == 0x7F) {
      char b[8];
      std::snprintf(b, sizeof b, "\\u%04x", c);
      o += b;
    } else {
      o.push_back(static_cast<char>(c));
    }
  }
  return o + "\"";
}

std::string Json_stavu(const Zaznam_mqtt& z) {
  return "{\"scale\":" + std::to_string(z.cislo) + ",\"time\":" + Json_text(Iso_cas(z.cas, z.posun_s)) +
         ",\"weight_kg\":" + cislo_json(z.kg, 2) + ",\"temperature_c\":" + cislo_json(z.stupne, 1) +
         ",\"raw\":{\"a\":" + std::to_string(z.a) + ",\"b\":" + std::to_string(z.b) + ",\"n\":" +
         std::to_string(z.n) + ",\"t\":" + std::to_string(z.t) + "},\"file\":" + Json_text(z.soubor) + "}";
}

std::string Jednoznacne_id(const std::string& predpona, int cislo) {
  std::string s = predpona;
  for (char& c : s) {
    const bool dobre = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!dobre) c = '_';
  }
  return s + "_" + std::to_string(cislo);
}

void Zpravy_objevu(const std::string& predpona, const std::string& objev, int cislo, long expire_s,
                   Zprava_mqtt out[2], bool s_dostupnosti) {
  const std::string id = Jednoznacne_id(predpona, cislo);
  const std::string zarizeni = "\"device\":{\"identifiers\":[" + Json_text(id) + "],\"name\":" +
                               Json_text("Hive scale " + std::to_string(cislo) + " (" + predpona + ")") +
                               ",\"model\":\"hive scale\"}";
  // Available only while both the program and this scale say so.
  const std::string dostupnost =
      ",\"availability\":[{\"topic\":" + Json_text(Tema_dostupnosti(predpona)) + "},{\"topic\":" +
      Json_text(Tema_dostupnosti_vahy(predpona, cislo)) +
      "}],\"availability_mode\":\"all\",\"payload_available\":\"online\",\"payload_not_available\":\"offline\"";
  const std::string spolecne =
      ",\"state_topic\":" + Json_text(Tema_stavu(predpona, cislo)) + (s_dostupnosti ? dostupnost : std::string()) +
      (expire_s > 0 ? ",\"expire_after\":" + std::to_string(expire_s) : std::string()) +
      ",\"state_class\":\"measurement\"," + zarizeni + "}";
  out[0].tema = objev + "/sensor/" + id + "/weight/config";
  out[0].obsah = "{\"name\":\"Weight\",\"unique_id\":" + Json_text(id + "_weight") +
                 ",\"device_class\":\"weight\",\"unit_of_measurement\":\"kg\","
                 "\"value_template\":\"{{ value_json.weight_kg }}\",\"suggested_display_precision\":2" +
                 spolecne;
  out[1].tema = objev + "/sensor/" + id + "/temperature/config";
  out[1].obsah = "{\"name\":\"Temperature\",\"unique_id\":" + Json_text(id + "_temperature") +
                 ",\"device_class\":\"temperature\",\"unit_of_measurement\":\"\xC2\xB0" "C\","
                 "\"value_template\":\"{{ value_json.temperature_c }}\",\"suggested_display_precision\":1" +
                 spolecne;
}
