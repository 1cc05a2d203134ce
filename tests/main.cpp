// The tests' entry point: GoogleTest's, after the set-up the program makes
// when it starts, so that in-process runs report failures as it does.
#include <gtest/gtest.h>

#include "chyba.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  Priprav_hlaseni_chyb();
  return RUN_ALL_TESTS();
}
