// Console layer: token input and key polling share one input buffer, so
// typed-ahead input is never lost or read twice. Works on a terminal (a key
// counts without Enter while polling) and on a pipe or file (one byte is one key).
#pragma once

#include <cstddef>

// Reads one whitespace-delimited token into buf (at most size-1 characters,
// NUL-terminated; the rest of a longer token is read and discarded), then
// consumes the blanks after it up to and including one line end. Standard
// output is flushed first. At end of input the program ends as the menu's
// quit choice does (Konec_programu); the function does not return then.
void kon_Cti_token(char* buf, std::size_t size);

int kon_kbhit();              // 1 when a key (an unread input byte) is waiting
// Takes one key without echo, waiting for it; returns its first byte (-1 at
// end of input). A key is all the bytes one key press sends: an escape
// sequence (arrows, F-keys), Alt+key, or a UTF-8 letter. Input after it is kept.
int kon_getch();
void kon_Zahod_klavesy();     // takes and discards every waiting key
// Waits up to ms milliseconds in the kernel for a key; 1 when one is waiting.
// Standard output is flushed first, as before every wait on input.
int kon_Cekej_na_klavesu(int ms);
// 1 when standard input has ended and everything read from it is consumed:
// no key will ever come. Known once a poll or read has met the end.
int kon_Konec_vstupu();

// Ends the program as option n: closes the port, prints the closing line,
// restores the terminal, exit status 0.
[[noreturn]] void Konec_programu();

// Restores the terminal's own modes (also done on exit and on SIGINT,
// SIGTERM, SIGHUP, SIGQUIT and SIGABRT).
void kon_Obnov_terminal();

// Installs the program's handling of signals, once, before anything is
// opened: the terminating signals release the port, remove a copy in
// progress and restore the terminal, then end the program with that signal;
// SIGPIPE and SIGXFSZ are ignored (their writes fail instead).
void kon_Priprav_signaly();

// Forgets buffered input and the end-of-input mark and looks at descriptor 0
// afresh (terminal or not) at the next console call. For a process that has
// put something else on descriptor 0 after it had already read from it.
void kon_Novy_vstup();
