// A line without hardware for the fuzz targets, on virtual time: the driver
// is replaced, the protocol and application code are the real ones.
#pragma once

#include <cstddef>
#include <cstdint>

// Far-end bytes that the next reads deliver (after the echo of what was sent).
// The flush before each request takes at most `podil_vyprazdneni` of them, so
// the rest reaches the reply reader; `bez_ozveny` makes a line that does not
// echo what was sent (the echo read then meets the far end's bytes or its
// deadline).
void linka_Nastav(const std::uint8_t* data, std::size_t size, std::size_t podil_vyprazdneni = 0,
                  bool bez_ozveny = false);
// Bytes sent since the last linka_Nastav.
std::size_t linka_Odeslano();
