// kvoda_plot: a season of weight and temperature from the data file, as SVG.
#include <cstdio>

#include "program.h"

int main(int argc, char** argv) { return plot::Run(argc, argv, stdin, stdout, stderr); }
