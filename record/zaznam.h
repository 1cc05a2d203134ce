// The data file's record line, one owner for both ends: the program writes
// it (and the console line of the same measurement), the plot program and
// the replay read it back. A change to the format is made here only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

struct Surove_hodnoty {
  std::int32_t a, b, n, t;  // A, B (reference), N (offset), T (temperature), 0..16777215
};

// What a measurement shows and records.
struct Vysledek_mereni {
  long cislo;  // device number
  std::tm cas;
  float fk, tc;
  Surove_hodnoty s;
};

// Longest text either line can take, its end included.
constexpr std::size_t DELKA_RADKU = 320;

// The weight in kg and the temperature in degC a record shows, from the
// stored single-precision values, divided in extended precision like the
// formulas: every reader of a measurement shows the same digits.
double Vaha_kg(float fk);
double Teplota_stupne(float tc);

// The data-file record line, its line end included. Returns its length.
int Radek_zaznamu(const Vysledek_mereni& v, char* buf, std::size_t velikost);
// The console line, its line end included. Returns its length.
int Radek_konzole(const Vysledek_mereni& v, char* buf, std::size_t velikost);

namespace zaznam {

// Longest line accepted; a real record is about 63 bytes, widened fields
// leave plenty of room below this.
constexpr std::size_t kMaxLine = 256;

constexpr int kMaxDevice = 255;           // the line addresses one byte
constexpr double kMaxWeightKg = 999999.99;
constexpr double kMinTempC = -100.0;      // beyond these the sensor or its
constexpr double kMaxTempC = 200.0;       // calibration is broken
constexpr std::int32_t kMaxRaw = 16777215;  // 24-bit counts

struct Record {
  int device = 0;
  std::int64_t time = 0;  // naive local time: seconds since 01.01.1970 00:00:00
  double weight = 0;      // kg
  double temp = 0;        // °C
  std::int32_t a = 0, b = 0, n = 0, t = 0;
};

enum class Fault {
  none,
  fields,    // not eight TAB-separated fields
  date,      // date or time malformed or not a calendar date
  number,    // a numeric field malformed
  range,     // a value outside its range
  length,    // longer than kMaxLine
  nul,       // contains a NUL byte
};

// Parses one line (without its '\n'; a trailing '\r' is allowed). Fills
// `rec` only when the result is Fault::none.
Fault ParseRecord(const char* line, std::size_t len, Record& rec);

// Days between 01.01.1970 and the given date of the proleptic Gregorian
// calendar, and back.
std::int64_t DaysFromCivil(int year, int month, int day);
void CivilFromDays(std::int64_t days, int& year, int& month, int& day);

int DaysInMonth(int year, int month);

// Naive local date-time <-> seconds.
std::int64_t SecondsFromCivil(int year, int month, int day, int hour, int min, int sec);
struct Civil {
  int year, month, day, hour, min, sec;
};
Civil CivilFromSeconds(std::int64_t s);

}  // namespace zaznam
