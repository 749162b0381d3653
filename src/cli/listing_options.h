// The options of the listing commands (list, watch) and the census facts
// that they print.
#pragma once

#include <cstdint>

// The KESTAL_JSON_ options among the words after the command word; other
// words are ignored.
uint32_t json_options(int argc, char **argv);
// The census facts that those options print.
uint32_t census_facts(uint32_t json_options);
