// Reading the window verbs (move, resize, minimize, maximize, restore,
// activate, close), and placing a window where move and resize ask.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "window_command.h"

// As the readers of setter_commands.h; read_plain_verb reads the verbs that
// take the target alone.
bool read_move(std::span<const std::string> words, window_command &command, std::string &why);
bool read_resize(std::span<const std::string> words, window_command &command, std::string &why);
bool read_plain_verb(std::span<const std::string> words, window_command &command, std::string &why);

struct placing {
    int32_t first, second; // x and y, or width and height
    bool size;             // the width and height were asked, else the top-left corner
};

// Moves or resizes the window; where it did not end as asked, `note` says
// where it ended and why.
int32_t place_window(void *hwnd, const placing &request, std::string &note);
