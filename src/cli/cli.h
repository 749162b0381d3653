// The front end's commands; each takes the whole command line and returns the exit code.
#pragma once

#include <cstdint>
#include <string_view>

// The usage text (help_text.h), as the usage errors of list, pin and opacity
// print it.
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
int run_move(int argc, char **argv);
int run_resize(int argc, char **argv);
int run_minimize(int argc, char **argv);
int run_maximize(int argc, char **argv);
int run_restore(int argc, char **argv);
int run_activate(int argc, char **argv);
int run_close(int argc, char **argv);
// The switch words of the controls: KESTAL_ON for "on", KESTAL_OFF for
// "off", KESTAL_TOGGLE for "toggle"; -1 for any other word.
int32_t switch_word(std::string_view word);
// What atoi reads as a number: blanks, an optional sign, then a digit.
bool is_number_text(const char *text);
// The points of an opacity step: 1 to 100 in plain decimal digits.
bool parse_points(const char *text, int32_t &points);
// Runs the command that the words name, as main does with its command line
// (words[0] is the program's name); returns the exit code.
int run_command_words(int argc, char **argv);
int run_keep(int argc, char **argv);
