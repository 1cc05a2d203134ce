// A season unattended, on virtual time: periodic sampling of 3 scales every
// 15 minutes for a simulated year (35 040 passes) with the loads drifting.
// Prints the records logged, open descriptors and resident memory at the
// start and the end, and the bytes written into files per record (the
// record itself plus what keeping the copy cost). An argument runs that
// many days instead of 365.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "hodiny.h"
#include "prostredi.h"
#include "rs232.h"
#include "ser.h"
#include "sim.h"

namespace {

long long size_of(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  int days = argc > 1 ? std::atoi(argv[1]) : 365;
  if (days < 1) days = 365;
  Priprav_hlaseni_chyb();  // failures reported as the program reports them
  constexpr int PERIOD_S = 900;
  const long passes = static_cast<long>(days) * 86400 / PERIOD_S;
  const std::string d = Adresar_portu("kvoda_rok");
  if (d.empty()) return 1;
  std::FILE* report = Oddel_konzoli(true);

  const std::string data = d + "/zaznam.txt", kopie = d + "/kopie.txt";
  g_soubor = data.c_str();
  g_kopie = kopie.c_str();
  g_ukonceni = 1;  // one pass per call; the wait between passes is skipped on virtual time
  long rss0 = 0, rss1 = 0;
  int fds0 = 0, fds1 = 0;
  long long data0 = 0;
  unsigned long long copy0 = 0;
  long short_passes = 0;
  double w0 = wall_s();
  {
    sim::Line line(d + "/ttyS0");
    KomVirtualniHodiny hodiny;
    Virtualni_cas_s_linkou(hodiny, line);
    line.add_adapter(251);
    for (int n : {3, 7, 17}) {
      line.add_scale(n);
      line.set_load(n, 40.0 + n, 15.0);
    }
    line.set_drift(true);
    if (kom_Otevri_nebo_zavri_port(1, 0, 4800) != 0) {
      std::fprintf(report, "cannot open the simulated port\n");
      return 1;
    }
    long long zacatek = 0;
    for (long pass = 0; pass < passes; ++pass) {
      kom_Casovac_dobehl(&zacatek, 0);
      const long long ms0 = kom_Cas_ms();
      const long long before = size_of(data);
      g_tisk_chyby_jiz_proveden = 0;
      Snimej_hmotnost_hledej(0);
      if (g_stav_pruchodu != 0 || size_of(data) - before < 3 * 60) ++short_passes;
      if (pass == 0) {  // after the first pass has set up every buffer
        rss0 = Rezidentni_kb();
        fds0 = Otevrene_deskriptory();
        data0 = size_of(data);
        copy0 = Kopie_zapsano_bajtu();
      }
      line.clear_log();  // the simulator's request log would count as growth
      const long long spent = kom_Cas_ms() - ms0;
      if (spent < PERIOD_S * 1000LL) kom_Zpozdeni(static_cast<int>(PERIOD_S * 1000LL - spent));
    }
    rss1 = Rezidentni_kb();
    fds1 = Otevrene_deskriptory();
    kom_Zavri_port();
    Odpoj_virtualni_cas(line);
  }
  const double wall = wall_s() - w0;
  const long records = Pocet_radku(data);
  const long long grown = size_of(data) - data0;
  const unsigned long long copied = Kopie_zapsano_bajtu() - copy0;
  const long later = records - 3;  // the records after the first pass
  const bool same = size_of(data) == size_of(kopie);
  std::fprintf(report, "%d days at %d s: %ld passes in %.1f s of wall time\n", days, PERIOD_S, passes, wall);
  std::fprintf(report, "records logged %ld of %ld expected; passes not whole %ld\n", records, 3 * passes,
               short_passes);
  std::fprintf(report, "data file %lld bytes, copy %s\n", size_of(data), same ? "equal in size" : "DIFFERS in size");
  std::fprintf(report, "open descriptors %d after the first pass, %d at the end\n", fds0, fds1);
  std::fprintf(report, "resident memory %ld kB after the first pass, %ld kB at the end\n", rss0, rss1);
  if (later > 0) {
    std::fprintf(report, "bytes written per record: %.1f (the record %.1f, the copy %.1f)\n",
                 static_cast<double>(grown + static_cast<long long>(copied)) / later,
                 static_cast<double>(grown) / later, static_cast<double>(copied) / later);
  }
  std::remove(data.c_str());
  std::remove(kopie.c_str());
  rmdir(d.c_str());
  return records == 3 * passes && same && fds0 == fds1 ? 0 : 1;
}
