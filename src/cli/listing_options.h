// The options of the listing commands (list, watch) and the census facts
// that they print.
#pragma once

#include <cstdint>

// The KESTAL_JSON_ options among the words after the command word; other
// words are ignored.
uint32_t json_options(int argc, char **argv);
// The census facts that those options print.
uint32_t census_facts(uint32_t json_options);

// Prints a JSON array that the library wrote and releases it; where it
// wrote none, "[]", as for an empty desktop, and the library's error on
// stderr. The exit code: 0, or 1 for the failure.
int print_json_array(char *text);
