// Publishing: what a record costs the program's path and the broker
// connection on loopback, and how much longer a sampling pass takes with the
// broker up, down (nothing listens) and silent (accepts, never answers) than
// without publishing. Starts its own mosquitto on a free loopback port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "hodiny.h"
#include "prostredi.h"
#include "smycka.h"
#include "publikace.h"
#include "rs232.h"
#include "ser.h"
#include "sim.h"

namespace {

using smycka::Pripojitelny;
using smycka::Volny_port;

pid_t spust_broker(const std::string& dir, int port) {
  const std::string conf = dir + "/mosquitto.conf";
  std::FILE* f = std::fopen(conf.c_str(), "w");
  if (f == nullptr) return -1;
  std::fprintf(f, "listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n", port);
  std::fclose(f);
  const pid_t pid = fork();
  if (pid == 0) {
    int nul = open("/dev/null", O_RDWR);
    dup2(nul, 1);
    dup2(nul, 2);
    execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
    execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 500 && !Pripojitelny(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return Pripojitelny(port) ? pid : -1;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

Zaznam_mqtt vzorek(int i) {
  Zaznam_mqtt z;
  z.cislo = i % 32;
  z.cas.tm_year = 126;
  z.cas.tm_mon = 11;
  z.cas.tm_mday = 8;
  z.cas.tm_hour = 10;
  z.cas.tm_min = i / 60 % 60;
  z.cas.tm_sec = i % 60;
  z.posun_s = 3600;
  z.kg = 42.5 + i % 100 / 100.0;
  z.stupne = 18.5;
  z.a = 12000000;
  z.b = 5140000 + i;
  z.n = 4000000;
  z.t = 680000;
  z.soubor = "zaznam.txt";
  return z;
}

}  // namespace

int main(int argc, char** argv) {
  const int pruchodu = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::string d = Adresar_portu("kvoda_mqtt");
  if (d.empty()) return 1;
  setenv("KVODA_MQTT_TOPIC", "kvoda/bench", 1);
  std::FILE* report = Oddel_konzoli(true);  // and the publisher's lines about the broker

  const int port = Volny_port();
  const pid_t broker = spust_broker(d, port);
  if (broker < 0) {
    std::fprintf(report, "cannot start mosquitto\n");
    return 1;
  }
  const std::string url_broker = "mqtt://127.0.0.1:" + std::to_string(port);

  // 1. Throughput on loopback: records queued as fast as they come, until
  // the broker has acknowledged them all.
  {
    setenv("KVODA_MQTT", url_broker.c_str(), 1);
    Publikace_start("bench", Rezim_publikace::PREHRANI, 30);
    const int n = 20000;
    std::vector<Zaznam_mqtt> zaznamy;
    for (int i = 0; i < n; ++i) zaznamy.push_back(vzorek(i));
    const double w0 = wall_s(), c0 = cpu_s();
    for (const Zaznam_mqtt& z : zaznamy) Publikuj(z);
    const bool vse = Publikace_dorucit(30);
    const double w = wall_s() - w0, c = cpu_s() - c0;
    const Publikace_pocty p = Publikace_stav();
    Publikace_konec(1.0);
    std::fprintf(report,
                 "loopback broker: %d records acknowledged%s in %.2f s: %.1f us per record (%.0f records/s), "
                 "%.1f us of processor per record\n",
                 static_cast<int>(p.potvrzeno), vse ? "" : " (NOT ALL)", w, w / n * 1e6, n / w, c / n * 1e6);
  }

  // 2. What a record costs the program's path: one Publikuj_zaznam call,
  // with the broker up, and down (the queue only grows).
  for (const char* url : {url_broker.c_str(), "mqtt://127.0.0.1:1"}) {
    setenv("KVODA_MQTT", url, 1);
    Publikace_start("bench", Rezim_publikace::SLUZBA, 0);
    std::tm cas{};
    const std::time_t ted = std::time(nullptr);
    localtime_r(&ted, &cas);
    const int n = 5000;
    double nejdele = 0;
    const double w0 = wall_s();
    for (int i = 0; i < n; ++i) {
      const Vysledek_mereni v{i % 32, cas, 425.0f + i % 10, 1850.0f, {12000000, 5140000 + i, 4000000, 680000}};
      const double t = wall_s();
      Publikuj_zaznam(v, "zaznam.txt");
      nejdele = std::max(nejdele, wall_s() - t);
    }
    const double w = wall_s() - w0;
    const double t1 = wall_s();
    Publikace_konec(1.0);
    std::fprintf(report, "program's path, broker %s: %.1f us per record on average, %.2f ms at most; end of publishing %.2f s\n",
                 url == url_broker.c_str() ? "up" : "down", w / n * 1e6, nejdele * 1e3, wall_s() - t1);
  }

  // 3. Sampling passes over simulated scales without publishing and with
  // the broker up, down and silent.
  int tichy = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(tichy, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(tichy, 64);
  socklen_t an = sizeof a;
  getsockname(tichy, reinterpret_cast<sockaddr*>(&a), &an);
  struct Rezim {
    const char* jmeno;
    std::string url;
    double median = 0, konec = 0;
  };
  std::vector<Rezim> rezimy = {{"off", ""},
                               {"up", url_broker},
                               {"down", "mqtt://127.0.0.1:" + std::to_string(Volny_port())},
                               {"silent", "mqtt://127.0.0.1:" + std::to_string(ntohs(a.sin_port))}};
  const std::string data = d + "/zaznam.txt", kopie = d + "/kopie.txt";
  g_soubor = data.c_str();
  g_kopie = kopie.c_str();
  g_ukonceni = 1;
  {
    sim::Line line(d + "/ttyS0");
    line.add_adapter(251);
    for (int n = 0; n < 4; ++n) line.add_scale(n * 5);
    if (kom_Otevri_nebo_zavri_port(1, 0, 4800) != 0) {
      std::fprintf(report, "cannot open the simulated port\n");
      return 1;
    }
    Snimej_hmotnost_hledej(0);  // warm-up
    // Modes take turns, so that a change in the machine's load hits all alike.
    std::vector<std::vector<double>> doby(rezimy.size());
    for (int i = 0; i < pruchodu; ++i) {
      for (std::size_t m = 0; m < rezimy.size(); ++m) {
        if (rezimy[m].url.empty()) {
          unsetenv("KVODA_MQTT");
        } else {
          setenv("KVODA_MQTT", rezimy[m].url.c_str(), 1);
        }
        Publikace_start("bench", Rezim_publikace::SLUZBA, 0);
        const double t0 = wall_s();
        g_tisk_chyby_jiz_proveden = 0;
        Snimej_hmotnost_hledej(0);
        doby[m].push_back(wall_s() - t0);
        const double t1 = wall_s();
        Publikace_konec(1.0);
        rezimy[m].konec = std::max(rezimy[m].konec, wall_s() - t1);
      }
    }
    for (std::size_t m = 0; m < rezimy.size(); ++m) rezimy[m].median = median(doby[m]);
    kom_Otevri_nebo_zavri_port(0, 0, 4800);
  }
  close(tichy);
  std::fprintf(report, "sampling pass over 4 simulated scales, median of %d passes each:\n", pruchodu);
  for (const Rezim& r : rezimy)
    std::fprintf(report, "  broker %-6s %.3f s  (%+.1f ms against no publishing); end of publishing at most %.2f s\n",
                 r.jmeno, r.median, (r.median - rezimy[0].median) * 1e3, r.konec);

  kill(broker, SIGTERM);
  waitpid(broker, nullptr, 0);
  std::string rm = "rm -rf " + d;
  if (std::system(rm.c_str()) != 0) return 1;
  return 0;
}
