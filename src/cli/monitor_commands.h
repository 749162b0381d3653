// The monitors: listing them, and reading "snap" and "send", which place
// windows on them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "window_command.h"

// `kestal-cli monitors`: the monitors as JSON; 1 when they cannot be listed.
int run_monitors(int argc, char **argv);

// As the readers of setter_commands.h.
bool read_snap(std::span<const std::string> words, window_command &command, std::string &why);
bool read_send(std::span<const std::string> words, window_command &command, std::string &why);

// A snap position by its word (left, top-right, center, ...), -1 for a word
// that is none; and the word of a position.
int32_t snap_position_of(std::string_view word);
std::string_view snap_position_word(int32_t position);
// The words of every position, for the lines that list them.
std::string snap_position_words();
// Whether the monitor that `send` asks for (a number, or
// KESTAL_MONITOR_NEXT or KESTAL_MONITOR_PREVIOUS) exists on this desktop
// now; false, with `failure` set (KESTAL_FAILURE_ARGUMENT where it does not),
// otherwise.
bool monitor_exists(int32_t monitor, kestal_failure &failure);
