// Byte layout of a message frame: pure functions shared by the exchange and
// the tests.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int KOM_DELKA_ZPRAVY = 20;   // 7 header elements + 13 data
constexpr int KOM_HLAVICKA = 7;
constexpr int KOM_MAX_DATA = 13;
constexpr int KOM_START = 0x55;
constexpr int KOM_ADRESA_PC = 0xFD;
constexpr int KOM_VSICHNI = 0xFF;

// Header element indexes.
enum { Z_START = 0, Z_CIL = 1, Z_ZDROJ = 2, Z_POVEL = 3, Z_SUMA = 4, Z_DELKA = 5, Z_KLIC = 6, Z_DATA = 7 };

// Sum modulo 256 of elements 0 .. 6+length with element 4 counted as 0.
// A length above 13 is taken as 13 (the record holds no more).
int kom_Soucet(const int* zprava);

// Deadline group of a command: 2 s for 5, 6 and 10, otherwise 9 s.
int kom_Doba_cekani(int povel);

// Fills element 4 (checksum) and 6 (key) of `zprava` and writes the bytes the
// line carries: 0x00, start, keyed header, key in clear, keyed data.
// Returns the byte count (8 + length); `out` must hold 8 + 13 bytes.
int kom_Sestav_ramec(int* zprava, int klic, std::uint8_t* out);
