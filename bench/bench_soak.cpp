// Soak: periodic sampling passes over 32 simulated scales with random faults.
// Prints passes per minute, the processor share, and whether memory or open
// descriptors grew; checks every pass's record count against the scales that
// answered. Run the AddressSanitizer build of it for leaks.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "rs232.h"
#include "ser.h"
#include "hodiny.h"
#include "prostredi.h"
#include "virtualni_hodiny.h"
#include "sim.h"

int main(int argc, char** argv) {
  int passes = argc > 1 ? std::atoi(argv[1]) : 300;
  if (passes < 1) passes = 300;
  const std::string d = Adresar_portu("kvoda_soak");
  if (d.empty()) return 1;
  std::FILE* report = Oddel_konzoli(false);
  Priprav_hlaseni_chyb();  // failures reported as the program reports them

  std::string data = d + "/zaznam.txt", kopie = d + "/kopie.txt";
  g_soubor = data.c_str();
  g_kopie = kopie.c_str();
  g_ukonceni = 1;  // one pass per call
  long mismatches = 0, records = 0, expected_total = 0;
  long rss0 = 0, rss1 = 0;
  int fds0 = 0, fds1 = 0;
  double w0 = 0, c0 = 0;
  {
    sim::Line line(d + "/ttyS0");
    KomVirtualniHodiny hodiny;
    Virtualni_cas_s_linkou(hodiny, line);
    line.add_adapter(251);
    for (int n = 0; n < 32; ++n) {
      line.add_scale(n);
      line.set_load(n, 20.0 + n, 15.0 + n % 10);
    }
    if (kom_Otevri_nebo_zavri_port(1, 0, 4800) != 0) {
      std::fprintf(report, "cannot open the simulated port\n");
      return 1;
    }
    std::mt19937 rng(12345);
    // Faults that make a scale's measurement fail, and ones that do not.
    const sim::Fault failing[] = {sim::Fault::BadChecksum, sim::Fault::WrongCode, sim::Fault::WrongDest,
                                  sim::Fault::LongLength, sim::Fault::Partial};
    const sim::Fault harmless[] = {sim::Fault::BadStatus, sim::Fault::CorruptEcho, sim::Fault::WrongResponder};
    w0 = wall_s();
    c0 = cpu_s();
    for (int pass = 0; pass < passes; ++pass) {
      if (pass == 1) {  // after the first pass has set up every buffer
        rss0 = Rezidentni_kb();
        fds0 = Otevrene_deskriptory();
      }
      line.clear_faults();
      line.clear_log();  // the simulator's request log would count as growth
      int expected = 32;
      for (int n = 0; n < 32; ++n) {
        int r = static_cast<int>(rng() % 100);
        sim::FaultRule f;
        f.device = n;
        f.count = 1;
        if (r < 8) {
          f.command = 3;
          f.fault = failing[rng() % 5];
          // A partial reply waits out the 9-second deadline (virtually): keep it rare.
          if (f.fault == sim::Fault::Partial && rng() % 10 != 0) f.fault = sim::Fault::WrongCode;
          --expected;
        } else if (r < 12) {
          f.command = 2;
          f.fault = sim::Fault::BadChecksum;
          --expected;
        } else if (r < 20) {
          f.command = 3;
          f.fault = harmless[rng() % 3];
        } else {
          continue;
        }
        line.add_fault(f);
      }
      long before = Pocet_radku(data);
      g_tisk_chyby_jiz_proveden = 0;
      Snimej_hmotnost_hledej(0);
      long got = Pocet_radku(data) - before;
      records += got;
      expected_total += expected;
      if (got != expected) {
        ++mismatches;
        std::fprintf(report, "pass %d: %ld records, %d scales answered\n", pass, got, expected);
        std::fflush(report);
      }
    }
    rss1 = Rezidentni_kb();
    fds1 = Otevrene_deskriptory();
    kom_Zavri_port();
    Odpoj_virtualni_cas(line);
  }
  double wall = wall_s() - w0;
  double cpu = cpu_s() - c0;
  std::fprintf(report, "%d passes over 32 scales in %.1f s: %.1f passes per minute (virtual time)\n",
               passes, wall, 60.0 * passes / wall);
  std::fprintf(report, "records %ld of %ld expected, %ld passes with a wrong count\n", records, expected_total,
               mismatches);
  std::fprintf(report, "processor share %.1f %% of wall time\n", 100.0 * cpu / wall);
  std::fprintf(report, "resident memory %ld kB after the first pass, %ld kB at the end; open descriptors %d, %d\n",
               rss0, rss1, fds0, fds1);
  std::remove(data.c_str());
  std::remove(kopie.c_str());
  rmdir(d.c_str());
  return mismatches == 0 && fds0 == fds1 ? 0 : 1;
}
