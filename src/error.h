#pragma once

// Prints "error: ", the formatted message and a newline on standard error,
// then ends the process with status 1. The only way this tool fails.
// Callers pass names and paths as arguments, never inside the format.
[[noreturn]] void exit_with_error(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// The text of the error number `error`, the same on every system: the C
// libraries word some differently (musl says "Out of memory" for ENOMEM),
// and the messages are part of the tool's interface. Others as the system
// has them.
const char* error_text(int error);
