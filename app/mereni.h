// The measurement of one scale, shared by the one-shot reading and the
// periodic sampling.
#pragma once

// Steps from power-on to the record line: power on, EEPROM blocks 1, 2 and 3,
// the weight command, temperature, ratio and weight, the console line and the
// record appended to `soubor`. `cislo` is the number shown and recorded; with
// `adresa_ze_zaznamu` every request goes to g_cislo_zarizeni as it stands just
// before it (so after block 1 to the number the scale stores), otherwise to
// `cislo`. Errors are reported under `jmeno`. Does not switch the power off.
// Returns 0 when the record was written, 1 when a step failed (including a
// data file that could not be appended to).
int Mereni_zarizeni(int cislo, bool adresa_ze_zaznamu, const char* soubor, const char* jmeno);

// The file test before a measurement or a sampling run: the data file is
// opened for appending and closed again, which creates a missing one. true
// when it could be; a FIFO, a directory or the like is refused at once.
bool Test_souboru_dat(const char* soubor);
