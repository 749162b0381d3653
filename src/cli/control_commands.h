// Reading "clickthrough" and "reset": the controls that have no number to give.
#pragma once

#include <span>
#include <string>

#include "window_command.h"

// As the readers of setter_commands.h.
bool read_clickthrough(std::span<const std::string> words, window_command &command, std::string &why);
bool read_reset(std::span<const std::string> words, window_command &command, std::string &why);
