// Arithmetic and limits of the calibration dialogues (menu options 2, 3
// and *), apart from the dialogues themselves so that they can be checked
// without a scale.
#pragma once

#include <cstdint>

// Gain and zero through the points (R1, F1) and (R2, F2), where Ri is the
// ratio (Bi - Ni) / (Ai - Ni) of the raw counts of load i and Fi the load in
// 0.1 kg. Both results are truncated from the unrounded slope; a slope that
// is not finite (equal ratios) or out of range gives -2147483648.
struct Zesileni_a_nula {
  std::int32_t k1;
  std::int32_t k2;
};
Zesileni_a_nula Vypocet_zesileni_a_nuly(std::int32_t a1, std::int32_t b1, std::int32_t n1, std::int32_t a2,
                                        std::int32_t b2, std::int32_t n2, float f1, float f2);

// Correction that brings a measured weight to the wanted one, both in 0.1 kg:
// (wanted - measured) truncated toward zero.
std::int32_t Vypocet_korekce(int pozadovano, float zmereno);

// The scale's 32-bit sum: wraps around instead of overflowing, so a
// correction of -2147483648 still gives a defined value for the limits.
std::int32_t Soucet_32(std::int32_t a, std::int32_t b);

// Each returns the constant brought into its range, printing the warning
// lines with the value as computed when it had to be limited.
std::int32_t Omez_k1(std::int32_t k1);        // 1..32767
std::int32_t Omez_k2(std::int32_t k2);        // -32768..0
std::int32_t Omez_posun(std::int32_t posun);  // -3000..3000
