// What the program runs from its command line on (the parameters, the
// adapter search, then the menu until it ends), for tests that run it as a
// routine in a forked child on virtual time: their subject is a dialogue,
// not the line's real deadlines.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"
#include "konzole.h"
#include "rs232.h"
#include "ser.h"

namespace program {

inline void Program(std::vector<std::string> args = {}) {
  kon_Novy_vstup();
  std::vector<char*> argv{const_cast<char*>("kvoda_ser")};
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  if (Zpracuj_prikazovou_radku(static_cast<int>(args.size() + 1), argv.data()) == 0) return;
  char chyba[200];
  if (rs232_Nastav_jmena(chyba, sizeof chyba) != 0) {
    std::fprintf(stderr, "kvoda_ser: %s\n", chyba);
    std::exit(2);
  }
  Pripoj_adapter();
  Hlavni_menu();
}

// `o` with the program run as a routine in a child of the test on `cas`'s
// virtual time, from its command line (`o.args`) on: for runs whose
// deadlines and pauses are not the subject.
inline harness::Options Na_virtualnim_case(harness::Options o, harness::VirtualClock& cas) {
  const std::vector<std::string> args = o.args;
  o.routine = [args] { Program(args); };
  o.clock = &cas;
  return o;
}

}  // namespace program
