#include "prehrani.h"

#include <getopt.h>

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
    "  --version   the version\n"
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
  // getopt names the program by argv[0]: the messages say kvoda_pub however
  // it was started.
  std::vector<char*> args(argv, argv + argc);
  char jmeno[] = "kvoda_pub";
  if (!args.empty()) args[0] = jmeno;
  args.push_back(nullptr);
  static const option dlouhe[] = {{"help", no_argument, nullptr, 'h'},
                                  {"version", no_argument, nullptr, 'V'},
                                  {nullptr, 0, nullptr, 0}};
  optind = 0;  // a fresh parse, also when called again in one process
  opterr = 1;
  for (int o; (o = getopt_long(argc, args.data(), "hw:", dlouhe, nullptr)) != -1;) {
    if (o == 'h') {
      std::fputs(kNapoveda, stdout);
      return 0;
    }
    if (o == 'V') {
      std::puts("kvoda_pub " KVODA_VERSION);
      return 0;
    }
    if (o == 'w') {
      char* konec = nullptr;
      cekani = std::strtod(optarg, &konec);
      if (konec == optarg || *konec != '\0' || !(cekani > 0 && cekani <= 86400)) {
        std::fprintf(stderr, "kvoda_pub: -w needs a number of seconds, 1 to 86400\nTry 'kvoda_pub --help'.\n");
        return 2;
      }
      continue;
    }
    std::fputs("Try 'kvoda_pub --help'.\n", stderr);  // getopt has said what was wrong
    return 2;
  }
  const std::vector<std::string> soubory(args.begin() + optind, args.begin() + argc);
  if (soubory.empty()) {
    std::fprintf(stderr, "kvoda_pub: no file given\nTry 'kvoda_pub --help'.\n");
    return 2;
  }
  const int r = Publikace_start("kvoda_pub", Rezim_publikace::PREHRANI, cekani);
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
  if (!vse) std::fprintf(stderr, "kvoda_pub: the broker acknowledged nothing for %g s: giving up\n", cekani);
  if (!vse || pocty.potvrzeno < celkem) vysledek = 1;
  return vysledek;
}

}  // namespace pub
