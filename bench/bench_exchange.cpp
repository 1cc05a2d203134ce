// Figures of the frame exchange: processor share while waiting on a silent
// device, and the round-trip time of exchanges with the simulator.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "chyba.h"
#include "kom.h"
#include "rs232.h"
#include "hodiny.h"
#include "prostredi.h"
#include "sim.h"

namespace {

void request(int* z, int dest, int cmd, int data) {
  for (int i = 0; i < KOM_DELKA_ZPRAVY; ++i) z[i] = 0;
  z[Z_START] = KOM_START;
  z[Z_CIL] = dest;
  z[Z_ZDROJ] = KOM_ADRESA_PC;
  z[Z_POVEL] = cmd;
  z[Z_DELKA] = 1;
  z[Z_DATA] = data;
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 1000;
  if (count < 1) count = 1000;
  const std::string dir = Adresar_portu("kvoda_bench");
  if (dir.empty()) return 1;

  int vys[KOM_DELKA_ZPRAVY], pri[KOM_DELKA_ZPRAVY];
  {
    sim::Line line(dir + "/ttyS0");
    line.set_baud(115200);
    if (kom_Otevri_nebo_zavri_port(1, 0, 115200) != 0) {
      std::fprintf(stderr, "cannot open the simulated port\n");
      return 1;
    }

    // A search nobody answers: the whole 2-second group deadline is waited.
    request(vys, 255, 6, 0);
    double w0 = wall_s(), c0 = cpu_s();
    int r = kom_Vysli_a_prijmi_zpravu(vys, pri);
    double w = wall_s() - w0, c = cpu_s() - c0;
    std::printf("silent device (2 s group): result %d after %.3f s wall, %.4f s processor = %.2f %% of wall time\n",
                r, w, c, 100.0 * c / w);

    line.add_adapter(251);
    std::vector<double> rtt;
    rtt.reserve(static_cast<size_t>(count));
    request(vys, 251, 5, 2);
    int failures = 0;
    for (int i = 0; i < count; ++i) {
      double t0 = wall_s();
      if (kom_Vysli_a_prijmi_zpravu(vys, pri) != 0 || g_chyba != 0) ++failures;
      rtt.push_back(wall_s() - t0);
    }
    std::sort(rtt.begin(), rtt.end());
    std::printf("%d adapter-test exchanges with the simulator: median %.3f ms, 90th percentile %.3f ms, %d failed\n",
                count, 1000 * rtt[rtt.size() / 2], 1000 * rtt[rtt.size() * 9 / 10], failures);
    kom_Zavri_port();
  }
  rmdir(dir.c_str());
  return 0;
}
