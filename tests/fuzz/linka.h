// A line without hardware for the fuzz targets, on virtual time: the driver
// is replaced, the protocol and application code are the real ones.
#pragma once

#include <cstddef>
#include <cstdint>

// Far-end bytes that the next reads deliver (after the echo of what was sent).
void linka_Nastav(const std::uint8_t* data, std::size_t size);
// Bytes sent since the last linka_Nastav.
std::size_t linka_Odeslano();
