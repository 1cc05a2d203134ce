// Publishing settings from the environment, checked before anything is
// started: a bad one is said once and the program runs on unpublished.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>

#include "publikace.h"

namespace {

constexpr long NEJDELSI_EXPIRE_S = 31536000;  // a year
constexpr std::size_t NEJDELSI_HESLO = 4096;

int spatne(const char* program, const std::string& co) {
  std::fprintf(stderr, "%s: %s; running without publishing\n", program, co.c_str());
  return -1;
}

}  // namespace

std::string Cti_heslo(const char* jmeno, std::string* heslo, std::string* varovani) {
  // Without O_NONBLOCK a FIFO nobody writes to would hold the open for ever.
  const int fd = open(jmeno, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::strerror(errno);
  struct stat st {};
  const bool zjisteno = fstat(fd, &st) == 0;
  if (!zjisteno || !S_ISREG(st.st_mode)) {
    const std::string proc = zjisteno ? "not a regular file" : std::strerror(errno);
    close(fd);
    return proc;
  }
  if ((st.st_mode & S_IROTH) != 0) *varovani = "readable by every user (chmod o-r it)";
  std::string obsah;
  char b[512];
  ssize_t n;
  while (obsah.size() <= NEJDELSI_HESLO && (n = read(fd, b, sizeof b)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      const std::string proc = std::strerror(errno);
      close(fd);
      return proc;
    }
    obsah.append(b, static_cast<std::size_t>(n));
    if (obsah.find('\n') != std::string::npos) break;
  }
  close(fd);
  const std::size_t konec = obsah.find('\n');
  if (konec == std::string::npos && obsah.size() > NEJDELSI_HESLO) return "the first line is too long";
  obsah.erase(std::min(konec, obsah.size()));
  if (!obsah.empty() && obsah.back() == '\r') obsah.pop_back();
  if (obsah.find('\0') != std::string::npos) return "a NUL byte in the password";
  *heslo = obsah;
  return "";
}

int Nacti_nastaveni_mqtt(const char* program, Nastaveni_mqtt* n) {
  *n = Nastaveni_mqtt{};
  const char* url = std::getenv("KVODA_MQTT");
  if (url == nullptr || *url == '\0') return 0;
  const std::string proc = Rozeber_mqtt_url(url, &n->adresa);
  if (!proc.empty()) return spatne(program, "KVODA_MQTT: " + proc);
  if (const char* soubor = std::getenv("KVODA_MQTT_PASSWORD_FILE"); soubor != nullptr && *soubor != '\0') {
    std::string varovani;
    const std::string duvod = Cti_heslo(soubor, &n->adresa.heslo, &varovani);
    if (!duvod.empty()) return spatne(program, std::string("KVODA_MQTT_PASSWORD_FILE ") + soubor + ": " + duvod);
    if (!varovani.empty())
      std::fprintf(stderr, "%s: warning: KVODA_MQTT_PASSWORD_FILE %s: %s\n", program, soubor, varovani.c_str());
    n->adresa.ma_heslo = true;
  }
  if (n->adresa.ma_heslo && n->adresa.uzivatel.empty())
    return spatne(program, "KVODA_MQTT: a password needs a user name (mqtt://user@host)");
  const char* ca = std::getenv("KVODA_MQTT_CAFILE");
  if (ca != nullptr && *ca != '\0') {
    if (access(ca, R_OK) != 0)
      return spatne(program, std::string("KVODA_MQTT_CAFILE ") + ca + ": " + std::strerror(errno));
    n->ca_soubor = ca;
  }
  if (const char* e = std::getenv("KVODA_MQTT_EXPIRE"); e != nullptr && *e != '\0') {
    long v = 0;
    for (const char* c = e; *c != '\0' && v <= NEJDELSI_EXPIRE_S; ++c)
      v = *c >= '0' && *c <= '9' ? v * 10 + (*c - '0') : NEJDELSI_EXPIRE_S + 1;
    if (v > NEJDELSI_EXPIRE_S)
      return spatne(program, "KVODA_MQTT_EXPIRE: not a number of seconds from 0 to 31536000");
    n->expire_s = v;
  }
  char stroj[256] = "";
  if (gethostname(stroj, sizeof stroj - 1) != 0) stroj[0] = '\0';
  n->stroj = Bezpecne_jmeno(stroj);
  n->predpona = Predpona_temat(std::getenv("KVODA_MQTT_TOPIC"), stroj);
  if (n->predpona.empty())
    return spatne(program, "KVODA_MQTT_TOPIC: not a topic to publish under (UTF-8, no wildcards)");
  n->objev = Predpona_objevu(std::getenv("KVODA_MQTT_DISCOVERY"));
  if (n->objev.empty())
    return spatne(program, "KVODA_MQTT_DISCOVERY: not a topic to publish under (UTF-8, no wildcards)");
  return 1;
}
