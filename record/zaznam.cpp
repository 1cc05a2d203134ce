#include "zaznam.h"

#include <cstdio>
#include <cstring>

namespace {

int hotovo(int n, std::size_t velikost) {
  if (n < 0) return 0;
  return static_cast<std::size_t>(n) < velikost ? n : static_cast<int>(velikost) - 1;
}

}  // namespace

double Vaha_kg(float fk) { return static_cast<double>(static_cast<long double>(fk) / 10); }
double Teplota_stupne(float tc) { return static_cast<double>(static_cast<long double>(tc) / 100); }

int Radek_zaznamu(const Vysledek_mereni& v, char* buf, std::size_t velikost) {
  const int n = std::snprintf(buf, velikost,
                              "%2ld\t%02d.%02d.%04d %02d:%02d:%02d\t%#7.2f\t%#5.1f\t%6ld\t%6ld\t%6ld\t%5ld\n",
                              v.cislo, v.cas.tm_mday, v.cas.tm_mon + 1, v.cas.tm_year + 1900, v.cas.tm_hour,
                              v.cas.tm_min, v.cas.tm_sec, Vaha_kg(v.fk), Teplota_stupne(v.tc), static_cast<long>(v.s.a),
                              static_cast<long>(v.s.b), static_cast<long>(v.s.n), static_cast<long>(v.s.t));
  return hotovo(n, velikost);
}

int Radek_konzole(const Vysledek_mereni& v, char* buf, std::size_t velikost) {
  const int n = std::snprintf(buf, velikost,
                              "v:%2ld dat:%02d.%02d_%02d:%02d:%02d fk:%#7.2f tc:%#5.1f A:%6ld B:%6ld N:%6ld T:%5ld\n",
                              v.cislo, v.cas.tm_mday, v.cas.tm_mon + 1, v.cas.tm_hour, v.cas.tm_min, v.cas.tm_sec,
                              Vaha_kg(v.fk), Teplota_stupne(v.tc), static_cast<long>(v.s.a), static_cast<long>(v.s.b),
                              static_cast<long>(v.s.n), static_cast<long>(v.s.t));
  return hotovo(n, velikost);
}

namespace zaznam {

namespace {

struct Field {
  const char* p;
  const char* e;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

void SkipBlanks(Field& f) {
  while (f.p < f.e && *f.p == ' ') ++f.p;
}

// Unsigned decimal after optional leading blanks; at most `max_digits`
// digits so that the value can't overflow.
Fault ParseUnsigned(Field f, int max_digits, std::int64_t& out) {
  SkipBlanks(f);
  if (f.p == f.e) return Fault::number;
  std::int64_t v = 0;
  int digits = 0;
  for (const char* q = f.p; q < f.e; ++q) {
    if (!IsDigit(*q)) return Fault::number;
    if (++digits > max_digits) return Fault::range;
    v = v * 10 + (*q - '0');
  }
  out = v;
  return Fault::none;
}

// Fixed-point number "[-]D+.F" with exactly `decimals` digits after the
// point, after optional leading blanks; the value in units of 10^-decimals.
Fault ParseFixed(Field f, int decimals, int max_int_digits, std::int64_t& out) {
  SkipBlanks(f);
  bool neg = false;
  if (f.p < f.e && *f.p == '-') {
    neg = true;
    ++f.p;
  }
  std::int64_t v = 0;
  int int_digits = 0;
  while (f.p < f.e && IsDigit(*f.p)) {
    if (++int_digits > max_int_digits) return Fault::range;
    v = v * 10 + (*f.p++ - '0');
  }
  if (int_digits == 0 || f.p == f.e || *f.p != '.') return Fault::number;
  ++f.p;
  if (f.e - f.p != decimals) return Fault::number;
  for (; f.p < f.e; ++f.p) {
    if (!IsDigit(*f.p)) return Fault::number;
    v = v * 10 + (*f.p - '0');
  }
  out = neg ? -v : v;
  return Fault::none;
}

// Exactly `n` digits starting at p.
bool Digits(const char* p, int n, int& out) {
  int v = 0;
  for (int i = 0; i < n; ++i) {
    if (!IsDigit(p[i])) return false;
    v = v * 10 + (p[i] - '0');
  }
  out = v;
  return true;
}

// "DD.MM.YYYY HH:MM:SS", nothing else.
Fault ParseDate(Field f, std::int64_t& out) {
  if (f.e - f.p != 19) return Fault::date;
  const char* p = f.p;
  if (p[2] != '.' || p[5] != '.' || p[10] != ' ' || p[13] != ':' || p[16] != ':') return Fault::date;
  int d, mo, y, h, mi, s;
  if (!Digits(p, 2, d) || !Digits(p + 3, 2, mo) || !Digits(p + 6, 4, y) || !Digits(p + 11, 2, h) ||
      !Digits(p + 14, 2, mi) || !Digits(p + 17, 2, s))
    return Fault::date;
  // A leap second (:60) can come from the system clock; it is kept.
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo) || h > 23 || mi > 59 || s > 60)
    return Fault::date;
  out = SecondsFromCivil(y, mo, d, h, mi, s);
  return Fault::none;
}

}  // namespace

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  if (month == 2) {
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return leap ? 29 : 28;
  }
  return kDays[month - 1];
}

// The era-based conversion: exact for every date of the proleptic
// Gregorian calendar, no table, no time zone.
std::int64_t DaysFromCivil(int year, int month, int day) {
  std::int64_t y = year - (month <= 2 ? 1 : 0);
  std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  std::int64_t yoe = y - era * 400;
  std::int64_t mp = (month + 9) % 12;
  std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
  std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  std::int64_t doe = z - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t y = yoe + era * 400;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2 ? 1 : 0));
}

std::int64_t SecondsFromCivil(int year, int month, int day, int hour, int min, int sec) {
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + min * 60 + sec;
}

Civil CivilFromSeconds(std::int64_t s) {
  std::int64_t days = s >= 0 ? s / 86400 : -((-s + 86399) / 86400);
  std::int64_t rest = s - days * 86400;
  Civil c{};
  CivilFromDays(days, c.year, c.month, c.day);
  c.hour = static_cast<int>(rest / 3600);
  c.min = static_cast<int>(rest / 60 % 60);
  c.sec = static_cast<int>(rest % 60);
  return c;
}

Fault ParseRecord(const char* line, std::size_t len, Record& rec) {
  if (len > kMaxLine) return Fault::length;
  if (std::memchr(line, '\0', len) != nullptr) return Fault::nul;
  if (len > 0 && line[len - 1] == '\r') --len;

  Field f[8];
  int nf = 0;
  const char* p = line;
  const char* end = line + len;
  while (true) {
    const char* tab = static_cast<const char*>(std::memchr(p, '\t', static_cast<std::size_t>(end - p)));
    const char* e = tab ? tab : end;
    if (nf == 8) return Fault::fields;
    f[nf++] = Field{p, e};
    if (!tab) break;
    p = tab + 1;
  }
  if (nf != 8) return Fault::fields;

  Record r;
  std::int64_t v;
  Fault x;
  if ((x = ParseUnsigned(f[0], 3, v)) != Fault::none) return x;
  if (v > kMaxDevice) return Fault::range;
  r.device = static_cast<int>(v);

  if ((x = ParseDate(f[1], r.time)) != Fault::none) return x;

  if ((x = ParseFixed(f[2], 2, 6, v)) != Fault::none) return x;
  r.weight = static_cast<double>(v) / 100.0;

  if ((x = ParseFixed(f[3], 1, 4, v)) != Fault::none) return x;
  r.temp = static_cast<double>(v) / 10.0;
  if (r.temp < kMinTempC || r.temp > kMaxTempC) return Fault::range;

  std::int32_t* raw[4] = {&r.a, &r.b, &r.n, &r.t};
  for (int i = 0; i < 4; ++i) {
    if ((x = ParseUnsigned(f[4 + i], 8, v)) != Fault::none) return x;
    if (v > kMaxRaw) return Fault::range;
    *raw[i] = static_cast<std::int32_t>(v);
  }
  rec = r;
  return Fault::none;
}

}  // namespace zaznam
