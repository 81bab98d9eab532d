#include "usage.h"

#include "messages.h"

void print_usage() {
  print_line("Usage:");
  // The synopsis carries a newline of its own, so an empty line follows it.
  print_line("  propslice [options] ZELK2_FILE...\n");
  print_line("Options:");
  print_line("  -h,--help   Print this help and exit.");
  print_line("  -v          Increase verbosity.");
  print_line("  -f          Overwrite output file if it already exists.");
  print_line("");
  // Kept word for word, the unmatched quote included: scripts and docs quote
  // this text. The names really produced are "<stem>-p<N><extension>".
  print_line(
      "Split multi-property ZELK2 files into single property files. For each\n"
      "property a new file '<basename>p[0-9]+.zelk is generated");
}
