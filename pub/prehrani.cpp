#include "prehrani.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace pub {

namespace {

const char* const kNapoveda =
    "usage: kvoda_pub [-w SECONDS] FILE...\n"
    "Publishes the records of kvoda_ser data files (zaznam.txt, kopie.txt,\n"
    "zaloha.txt, kalzesil.txt, kalnuly.txt) to the MQTT broker named by\n"
    "KVODA_MQTT, each with its own date and time, as kvoda_ser publishes them.\n"
    "  FILE        a data file; - for standard input\n"
    "  -w SECONDS  give up when the broker acknowledges nothing for so long (30)\n"
    "  -h, --help  this text\n"
    "Times are taken as local times of this machine (set TZ for another zone).\n"
    "Exit status: 0 all published, 1 a file unreadable or records unpublished,\n"
    "2 bad command line or no broker set.\n";

}  // namespace

Zaznam_mqtt Zprava_ze_zaznamu(const zaznam::Record& r, const std::string& soubor) {
  const zaznam::Civil c = zaznam::CivilFromSeconds(r.time);
  Zaznam_mqtt z;
  z.cislo = r.device;
  z.cas.tm_year = c.year - 1900;
  z.cas.tm_mon = c.month - 1;
  z.cas.tm_mday = c.day;
  z.cas.tm_hour = c.hour;
  z.cas.tm_min = c.min;
  z.cas.tm_sec = c.sec;
  // The offset the record's wall-clock time has here; the time itself is
  // published as written, even where mktime would move it (a DST gap).
  std::tm k = z.cas;
  k.tm_isdst = -1;
  z.posun_s = std::mktime(&k) == static_cast<std::time_t>(-1) ? 0 : k.tm_gmtoff;
  z.kg = r.weight;
  z.stupne = r.temp;
  z.a = r.a;
  z.b = r.b;
  z.n = r.n;
  z.t = r.t;
  z.soubor = soubor;
  return z;
}

int Spust(int argc, char** argv) {
  double cekani = 30;
  std::vector<std::string> soubory;
  bool jen_soubory = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (!jen_soubory && (a == "-h" || a == "--help")) {
      std::fputs(kNapoveda, stdout);
      return 0;
    }
    if (!jen_soubory && a == "--") {
      jen_soubory = true;
    } else if (!jen_soubory && a == "-w") {
      char* konec = nullptr;
      cekani = i + 1 < argc ? std::strtod(argv[i + 1], &konec) : -1;
      if (konec == nullptr || *konec != '\0' || !(cekani > 0 && cekani <= 86400)) {
        std::fprintf(stderr, "kvoda_pub: -w needs a number of seconds, 1 to 86400\nTry 'kvoda_pub --help'.\n");
        return 2;
      }
      ++i;
    } else if (!jen_soubory && a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "kvoda_pub: unknown option %s\nTry 'kvoda_pub --help'.\n", a.c_str());
      return 2;
    } else {
      soubory.push_back(a);
    }
  }
  if (soubory.empty()) {
    std::fprintf(stderr, "kvoda_pub: no file given\nTry 'kvoda_pub --help'.\n");
    return 2;
  }
  const int r = Publikace_start("kvoda_pub", false, cekani);
  if (r == 0) std::fprintf(stderr, "kvoda_pub: KVODA_MQTT is not set: no broker to publish to\n");
  if (r != 1) return 2;

  int vysledek = 0;
  std::uint64_t celkem = 0;
  bool odevzdano = true;
  for (const std::string& jmeno : soubory) {
    std::FILE* f = jmeno == "-" ? stdin : std::fopen(jmeno.c_str(), "r");
    if (f == nullptr) {
      std::fprintf(stderr, "kvoda_pub: %s: %s\n", jmeno.c_str(), std::strerror(errno));
      vysledek = 1;
      continue;
    }
    const Pocty p = Cti_zaznamy(f, jmeno == "-" ? "stdin" : jmeno, [](const Zaznam_mqtt& z) { return Publikuj(z); });
    if (!p.precteno) {
      std::fprintf(stderr, "kvoda_pub: %s: read error\n", jmeno.c_str());
      vysledek = 1;
    }
    if (f != stdin) std::fclose(f);
    std::printf("kvoda_pub: %s: %llu records, %llu malformed lines skipped\n", jmeno.c_str(),
                static_cast<unsigned long long>(p.zaznamu), static_cast<unsigned long long>(p.vadnych));
    celkem += p.zaznamu;
    if (!p.odevzdano) {
      odevzdano = false;
      break;
    }
  }
  std::fflush(stdout);
  const bool vse = Publikace_dorucit(cekani) && odevzdano;
  const Publikace_pocty pocty = Publikace_stav();
  Publikace_konec(1.0);
  std::printf("kvoda_pub: %llu of %llu records published\n", static_cast<unsigned long long>(pocty.potvrzeno),
              static_cast<unsigned long long>(celkem));
  if (!vse) {
    std::fprintf(stderr, "kvoda_pub: the broker acknowledged nothing for %g s: giving up\n", cekani);
    vysledek = 1;
  }
  return vysledek;
}

}  // namespace pub
