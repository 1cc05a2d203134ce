// Replay of data files onto the broker: each record line becomes the message
// the program would have published when it wrote the line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "publikace.h"
#include "zaznam.h"

namespace pub {

// A parsed record as published: its date and time are the local time of
// this machine (TZ), and the UTC offset is the one that time had there.
Zaznam_mqtt Zprava_ze_zaznamu(const zaznam::Record& r, const std::string& soubor);

struct Pocty {
  std::uint64_t zaznamu = 0, vadnych = 0;
  bool precteno = true;   // the whole input was read
  bool odevzdano = true;  // every record was handed to the publisher
};

// Reads `f` to its end and hands each record to `odevzdej`; malformed lines
// are counted and skipped. Stops when `odevzdej` returns false.
template <class F>
Pocty Cti_zaznamy(std::FILE* f, const std::string& soubor, F odevzdej) {
  Pocty p;
  char radek[zaznam::kMaxLine + 2];
  bool pokracovani = false;  // the rest of an over-long line
  while (std::fgets(radek, sizeof radek, f) != nullptr) {
    std::size_t n = std::char_traits<char>::length(radek);
    const bool cely = n > 0 && radek[n - 1] == '\n';
    if (pokracovani) {
      pokracovani = !cely;
      continue;
    }
    if (!cely && !std::feof(f)) {
      ++p.vadnych;  // longer than any record
      pokracovani = true;
      continue;
    }
    if (cely) --n;
    if (n == 0) continue;
    zaznam::Record r;
    if (zaznam::ParseRecord(radek, n, r) != zaznam::Fault::none) {
      ++p.vadnych;
      continue;
    }
    ++p.zaznamu;
    if (!odevzdej(Zprava_ze_zaznamu(r, soubor))) {
      p.odevzdano = false;
      return p;
    }
  }
  if (std::ferror(f)) p.precteno = false;
  return p;
}

// The whole program; returns the exit status.
int Spust(int argc, char** argv);

}  // namespace pub
