// Line trace: with KVODA_TRACE naming a file, every frame sent and every
// reply received is appended there as one decoded line.
#pragma once

#include <cstddef>

// How a frame or reply ended.
enum class StopaVysledek { Ok, Termin, ChybaVysilani };

// One trace line (ending in '\n') for a request: `cas_ms` is the local wall
// time in milliseconds since the epoch, `ozvena` the echo bytes that arrived.
// Returns the length written (the text is cut to fit `size`).
std::size_t stopa_Radek_vyslano(char* out, std::size_t size, long long cas_ms, const int* zprava,
                                 StopaVysledek vysledek, int ozvena);
// One trace line for a reply: `bajtu` the bytes that arrived, `suma_ok` the
// checksum verdict (only meaningful for a complete reply).
std::size_t stopa_Radek_prijato(char* out, std::size_t size, long long cas_ms, const int* zprava,
                                StopaVysledek vysledek, int bajtu, bool suma_ok);

// Append a line for the frame just sent / the reply just received, when
// tracing is on. Opening the file is tried once; a failure is said once on
// standard error and the program runs on untraced.
void stopa_Vyslano(const int* zprava, StopaVysledek vysledek, int ozvena);
void stopa_Prijato(const int* zprava, StopaVysledek vysledek, int bajtu, bool suma_ok);
