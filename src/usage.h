#pragma once

// Prints the usage text on standard output.
void print_usage();
