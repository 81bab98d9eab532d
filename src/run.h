#pragma once

#include "command_line.h"

// Makes the process safe to run: standard streams that were closed are
// opened on /dev/null (so that no output file takes their place; a message
// then fails as on the closed stream), SIGPIPE is ignored (a message to a
// reader that went away fails with EPIPE), and signals are set up so that
// an interrupted output leaves nothing behind and a lease break on an input
// is heard at once.
void prepare_process();

// Handles the inputs one by one, in command-line order: scans each, prints a
// notice when it has fewer than two properties, and splits it otherwise.
void run(const settings& run);
