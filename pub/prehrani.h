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

// Reads `f` to its end and hands each record to `odevzdej`. Lines are cut
// at their line ends whatever bytes they hold: a malformed one (a NUL byte,
// too long, not a record) is counted and skipped alone. Stops when
// `odevzdej` returns false.
template <class F>
Pocty Cti_zaznamy(std::FILE* f, const std::string& soubor, F odevzdej) {
  Pocty p;
  char radek[zaznam::kMaxLine + 1];
  std::size_t n = 0;
  bool dlouhy = false;
  for (;;) {
    const int c = std::getc(f);
    if (c != '\n' && c != EOF) {
      if (n < sizeof radek) radek[n++] = static_cast<char>(c);
      else dlouhy = true;
      continue;
    }
    if (dlouhy || n > zaznam::kMaxLine) {
      ++p.vadnych;
    } else if (n > 0) {
      zaznam::Record r;
      if (zaznam::ParseRecord(radek, n, r) != zaznam::Fault::none) {
        ++p.vadnych;
      } else {
        ++p.zaznamu;
        if (!odevzdej(Zprava_ze_zaznamu(r, soubor))) {
          p.odevzdano = false;
          return p;
        }
      }
    }
    n = 0;
    dlouhy = false;
    if (c == EOF) break;
  }
  if (std::ferror(f)) p.precteno = false;
  return p;
}

// The whole program; returns the exit status.
int Spust(int argc, char** argv);

}  // namespace pub
