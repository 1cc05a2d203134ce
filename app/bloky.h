// The four EEPROM blocks of a scale: where they lie, how each field of the
// calibration record is laid out in bytes, and the scale's own float layout.
#pragma once

#include <cstdint>

struct Blok_eeprom {
  int adresa;        // EEPROM address of the first byte
  int pocet;         // bytes in the block
  int delka_zapisu;  // data length of a write request: the address and the bytes
};

constexpr int POCET_BLOKU = 4;
constexpr int NEJVETSI_BLOK = 12;  // bytes of the longest block

// Block 1..4; nullptr for any other number.
const Blok_eeprom* Blok(int cislo_eeprom);

// IEEE single-precision bits to the scale's layout and back: sign and
// exponent moved, nothing computed, so every bit pattern survives.
std::uint32_t Ieee_na_zarizeni(std::uint32_t ieee);
std::uint32_t Zarizeni_na_ieee(std::uint32_t zarizeni);

// The same on a float and its four EEPROM bytes (lowest address first).
void Float_do_bajtu(float f, std::uint8_t e[4]);
float Float_z_bajtu(const std::uint8_t e[4]);

// Encodes block `cislo_eeprom` from the record globals into `bajty`
// (Blok(cislo)->pocet bytes; each field keeps only its lowest bits).
// Returns 0, or 1 for a block number outside 1..4 (nothing written).
int Zakoduj_blok(int cislo_eeprom, std::uint8_t bajty[NEJVETSI_BLOK]);

// Decodes the block's bytes into the record globals: signed 16-bit fields
// sign-extended, the unsigned ones zero-extended. Returns 0, or 1 for a
// block number outside 1..4 (nothing changed).
int Dekoduj_blok(int cislo_eeprom, const std::uint8_t bajty[NEJVETSI_BLOK]);
