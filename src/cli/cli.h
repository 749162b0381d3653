// The front end's commands; each takes the whole command line and returns the exit code.
#pragma once

#include <cstdint>
#include <string_view>

void print_usage();
// The KESTAL_JSON_ options among the words after the command word; other
// words are ignored.
uint32_t json_options(int argc, char **argv);
// The census facts that those options print.
uint32_t census_facts(uint32_t json_options);
int run_pin(int argc, char **argv);
int run_opacity(int argc, char **argv);
int run_self_test(int argc, char **argv);
int run_watch(int argc, char **argv);
int run_clickthrough(int argc, char **argv);
int run_reset(int argc, char **argv);
// The switch words of the controls: KESTAL_ON for "on", KESTAL_OFF for
// "off", KESTAL_TOGGLE for "toggle"; -1 for any other word.
int32_t switch_word(std::string_view word);
