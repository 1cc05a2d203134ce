// Arbitrary console input on a pipe as descriptor 0, through the token reader
// and the key polling in an order the input chooses: no overrun, no token with
// a blank in it or longer than its buffer, no byte invented.
//
// Input: byte 0 holds the number of operation bytes (low 4 bits, at least
// one); the operation bytes follow (bits 0-2 the operation, the rest its
// parameter); everything after them is what the console delivers. The
// operations repeat until the input is used up or 64 have run.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "konzole.h"

namespace {
bool je_mezera(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool init = [] {
    std::freopen("/dev/null", "w", stdout);
    return true;
  }();
  (void)init;
  if (size < 1) return 0;
  std::size_t pocet_op = (data[0] & 0x0F) + 1;
  if (1 + pocet_op > size) return 0;
  const std::uint8_t* op = data + 1;
  // The input ends in a non-blank byte, so a token read that starts while any
  // input is waiting finds a token before the end of input (which would end
  // the program as the quit choice does).
  std::vector<char> vstup(data + 1 + pocet_op, data + size);
  vstup.push_back('X');
  if (vstup.size() > 60000) return 0;  // what one pipe holds without a reader

  int p[2];
  if (pipe(p) != 0) __builtin_trap();
  if (write(p[1], vstup.data(), vstup.size()) != static_cast<ssize_t>(vstup.size())) __builtin_trap();
  close(p[1]);
  dup2(p[0], 0);
  close(p[0]);
  kon_Novy_vstup();

  for (int krok = 0; krok < 64; ++krok) {
    const unsigned o = op[krok % pocet_op];
    const unsigned parametr = o >> 3;
    if (!kon_kbhit()) break;
    switch (o & 7) {
      case 0:
      case 1: {
        // Heap buffer of exactly the size given, so an overrun is caught.
        const std::size_t velikost = parametr % 24 + 1;
        std::vector<char> buf(velikost, '\x7f');
        kon_Cti_token(buf.data(), velikost);
        const std::size_t n = strnlen(buf.data(), velikost);
        if (n >= velikost) __builtin_trap();
        // (A NUL byte in the input ends the token's text early; it is no blank.)
        for (std::size_t i = 0; i < n; ++i)
          if (je_mezera(buf[i])) __builtin_trap();
        if (n > 0 && memmem(vstup.data(), vstup.size(), buf.data(), n) == nullptr) __builtin_trap();
        break;
      }
      case 2:
      case 3: {
        const int c = kon_getch();
        if (c < 0 || c > 255) __builtin_trap();  // a key was waiting
        if (std::memchr(vstup.data(), c, vstup.size()) == nullptr) __builtin_trap();
        break;
      }
      case 4:
        kon_Zahod_klavesy();
        if (kon_kbhit()) __builtin_trap();
        break;
      case 5:
        if (kon_Cekej_na_klavesu(static_cast<int>(parametr % 4)) != 1) __builtin_trap();
        break;
      default:
        if (kon_kbhit() != 1) __builtin_trap();
        break;
    }
  }
  // What is left can all be taken as keys, then the input has ended.
  kon_Zahod_klavesy();
  if (kon_getch() != -1 || kon_Cekej_na_klavesu(1) != 0) __builtin_trap();
  return 0;
}
