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

// The error code that keeps a read reply of block `cislo_eeprom`, asked of
// device `cil`, out of the record: 21 not addressed to the PC, 20 from
// another responder, 22 not a read reply, 23 the scale refused, 9 not the
// block's length plus the leading byte. 0 for a reply that is whole and ours.
int Chyba_odpovedi_cteni(const int* pri, int cil, int cislo_eeprom);

// What became of one block of a save, as the technician is told it.
enum class Osud_bloku { Zapsan, Nezapsan, Stejny, Jiny, Neprecten };

// One stderr line "kvoda_ser: scale N: " naming each block with its fate,
// blocks of one fate together in the order they first appear, fates joined
// by "; " ("block 1, block 2 written; block 3 not written"). Cut to fit
// `size`, always ending in '\n'. Returns the length.
int Popis_ulozeni(char* out, int size, int cislo, const int* bloky, const Osud_bloku* osud, int pocet);

// Saves the record's blocks `bloky[0..pocet)` in this order to device
// `cislo`, stopping at the first write that fails or that the scale refuses.
// The written ones are then read back, without touching the record, from the
// number the scale answers to afterwards (the number field of a block 1
// written, else `cislo`) and compared byte for byte. A block not written, or
// read back different or not at all, is said in one stderr line each for the
// writes and the read-back. The scale must be powered. 0 when every block
// was written, 1 otherwise.
int Uloz_bloky(int cislo, const int* bloky, int pocet);
