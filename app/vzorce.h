// Temperature and weight from the raw counts of a scale. The texts of a
// measurement (record line and console line) come with the record module.
#pragma once

#include <cstdint>

#include "zaznam.h"

// The four little-endian 24-bit counts from twelve reply data elements.
Surove_hodnoty Dekoduj_surove(const int data[12]);

// x - y with the wrap-around of 32-bit two's complement arithmetic.
std::int32_t Rozdil_32(std::int32_t x, std::int32_t y);

// Temperature in 0.01 degC from the two calibration points; false (tc not
// set) when t2 equals t1.
bool Vypocti_teplotu(std::int32_t tc1, std::int32_t tc2, std::int32_t t1, std::int32_t t2, std::int32_t t,
                     long double* tc);

// Ratio (B - N) / (A - N); false (m not set) when A equals N.
bool Vypocti_pomer(std::int32_t a, std::int32_t b, std::int32_t n, long double* m);

struct Konstanty_vahy {
  std::int32_t k1, k2, posun, tc0;
  float k4, k5;
};

// Weight in 0.1 kg from the ratio and the unrounded temperature; false (fk
// not set) when a temperature-correction denominator is zero. A NaN
// denominator is not zero.
bool Vypocti_hmotnost(long double m, long double tc, const Konstanty_vahy& k, long double* fk);
