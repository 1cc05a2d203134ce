#include "prehrani.h"

int main(int argc, char** argv) { return pub::Spust(argc, argv); }
