// Figures of the simulated line with its timing: a one-shot reading and one
// sampling pass over 8 scales, each against its physical floor (the fixed
// pauses, 10 bit times for every byte on the line, the devices' turnaround
// and the adapter's latency). bench_exchange gives the round trip without
// line timing.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hodiny.h"
#include "prostredi.h"
#include "kom.h"
#include "rs232.h"
#include "ser.h"
#include "sim.h"

namespace {

constexpr int BAUD = 4800;
constexpr double LATENCY_S = 0.001;

// The least time the logged exchanges can take on the line: every request
// goes out (and comes back as its echo) at the line rate; a reply the
// program waits for follows after the turnaround; the last byte of each
// reaches the program after the adapter's latency; each power switch keeps
// its 200 ms and 150 ms pauses.
double floor_of(const std::vector<sim::Request>& log) {
  const double byte = 10.0 / BAUD;
  double f = 0;
  for (const auto& r : log) {
    f += (8 + r.len) * byte + LATENCY_S;
    const bool switch_ = r.cmd == 5 && !r.data.empty() && r.data[0] <= 1;
    if (switch_) f += 0.350;
    const bool power_on = switch_ && r.data[0] == 1;  // sent without waiting for a reply
    if (!power_on && r.replied > 0) f += sim::TURNAROUND_S + r.replied * byte;
  }
  return f;
}

void figure(std::FILE* out, const char* what, double took, const std::vector<sim::Request>& log) {
  const double f = floor_of(log);
  std::fprintf(out, "%s: %zu requests, floor %.3f s, took %.3f s, ratio %.4f\n", what, log.size(), f, took,
               took / f);
}

}  // namespace

int main() {
  const std::string d = Adresar_portu("kvoda_line");
  if (d.empty()) return 1;
  const std::string data = d + "/zaznam.txt", kopie = d + "/kopie.txt";
  std::FILE* report = Oddel_konzoli(false);
  g_soubor = data.c_str();
  g_kopie = kopie.c_str();
  int status = 0;
  {
    sim::Line line(d + "/ttyS0");
    line.add_adapter(251);
    for (int n = 0; n < 8; ++n) {
      line.add_scale(n);
      line.set_load(n, 20.0 + n, 15.0);
    }
    line.set_line_timing(true);
    line.set_latency_ms(LATENCY_S * 1000);
    if (kom_Otevri_nebo_zavri_port(1, 0, BAUD) != 0) {
      std::fprintf(report, "cannot open the simulated port\n");
      return 1;
    }
    std::fprintf(report, "line timing at %d Bd, %.0f ms latency:\n", BAUD, LATENCY_S * 1000);
    kom_Napajeni_vahy(0);  // a valid adapter reply for the power-on checks

    // The menu cycle's power-off, then '7'.
    line.clear_log();
    double t0 = wall_s();
    kom_Napajeni_vahy(0);
    if (Sejmi_hmotnost(3, g_soubor) != 0) status = 1;
    figure(report, "one-shot reading", wall_s() - t0, line.requests());

    // One pass over scales 0..7; the adapter's answer to the search from 8
    // ends it.
    line.clear_log();
    g_ukonceni = 1;
    t0 = wall_s();
    if (Snimej_hmotnost_hledej(0) != 0) status = 1;
    figure(report, "sampling pass over 8 scales", wall_s() - t0, line.requests());

    kom_Zavri_port();
  }
  std::remove(data.c_str());
  std::remove(kopie.c_str());
  rmdir(d.c_str());
  std::fclose(report);
  return status;
}
