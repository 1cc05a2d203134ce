// The set-up the benchmarks of the program's own code share: a private
// directory whose links the port table names, and the figures kept apart
// from the program's console.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "rs232.h"

// A fresh directory /tmp/<jmeno>.XXXXXX whose links ttyS0, ttyS1, ... are
// the ports the program tries. Empty when it cannot be made.
inline std::string Adresar_portu(const char* jmeno) {
  std::string d = std::string("/tmp/") + jmeno + ".XXXXXX";
  if (mkdtemp(&d[0]) == nullptr) return "";
  setenv("KVODA_PORT_PATTERN", (d + "/ttyS%d").c_str(), 1);
  char chyba[200];
  rs232_Nastav_jmena(chyba, sizeof chyba);
  return d;
}

// Standard input and output (with `i_chyby` standard error too) go to
// /dev/null: no key ever stops a run, and the program's console text stays
// out of the figures. Returns the stream the figures go to.
inline std::FILE* Oddel_konzoli(bool i_chyby) {
  std::FILE* report = fdopen(dup(1), "w");
  const int nul = open("/dev/null", O_RDWR);
  dup2(nul, 0);
  dup2(nul, 1);
  if (i_chyby) dup2(nul, 2);
  close(nul);
  return report;
}

// Resident memory of this process in kB, -1 when unknown.
inline long Rezidentni_kb() {
  std::ifstream f("/proc/self/status");
  std::string k;
  while (f >> k) {
    if (k == "VmRSS:") {
      long v = 0;
      f >> v;
      return v;
    }
  }
  return -1;
}

// Descriptors this process holds open, -1 when unknown.
inline int Otevrene_deskriptory() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n - 3;  // ".", ".." and the directory's own descriptor
}

// Line ends in a file, 0 when it cannot be read.
inline long Pocet_radku(const std::string& cesta) {
  std::FILE* f = std::fopen(cesta.c_str(), "r");
  if (f == nullptr) return 0;
  long n = 0;
  for (int c; (c = std::fgetc(f)) != EOF;) n += c == '\n';
  std::fclose(f);
  return n;
}
