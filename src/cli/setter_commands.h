// Reading "pin" and "opacity": the description's numbers, and the switch
// words and steps of the controls.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "window_command.h"

// Each reads the words after the command word (words[0]) into `command`.
// False with `why` (no "error: ") for words the command does not take; an
// empty `why` where the usage alone says it.
bool read_pin(std::span<const std::string> words, window_command &command, std::string &why);
bool read_opacity(std::span<const std::string> words, window_command &command, std::string &why);

// The switch words of the controls: KESTAL_ON for "on", KESTAL_OFF for
// "off", KESTAL_TOGGLE for "toggle"; -1 for any other word.
int32_t switch_word(std::string_view word);
// What atoi reads as a number: blanks, an optional sign, then a digit.
bool is_number_text(const char *text);
// The points of an opacity step: 1 to 100 in plain decimal digits.
bool parse_points(const char *text, int32_t &points);
