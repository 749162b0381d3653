// The rules file of `keep`: which windows are kept how, and the hotkeys.
#pragma once

#include <windows.h>
#include <yyjson.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "window_command.h"
#include "window_selector.h"

// What a rule keeps; -1 where it says nothing.
struct rule_actions {
    int32_t pin = -1;          // 1 pinned, 0 released
    int32_t opacity = -1;      // 20 to 100
    int32_t clickthrough = -1; // 1 on, 0 off
};

// Where a rule puts a window once, when it opens; -1 where it says nothing.
struct rule_placement {
    int32_t monitor = -1; // a monitor's number
    int32_t snap = -1;    // a kestal_snap_position
};

struct keep_rule {
    std::vector<window_selector> match;  // all must match
    std::vector<window_selector> except; // any excludes
    rule_actions actions;
    rule_placement placement;
};

struct keep_hotkey {
    std::string keys;               // as the file writes them
    UINT modifiers;                 // MOD_ flags
    UINT key;                       // virtual-key code
    std::vector<std::string> words; // the command line, without the program name
    // The command, read once: a change of windows, or keep's own "reapply"
    // of `command.target`.
    window_command command;
    bool reapply;
};

// The border that keep draws around the windows it pinned.
struct keep_border {
    bool shown = false;
    bool accent = true;   // the system's accent colour rather than `color`
    COLORREF color = 0;
    int32_t thickness = 3; // pixels at 100 % scale
};

struct keep_rules {
    std::vector<keep_rule> rules;
    std::vector<keep_hotkey> hotkeys;
    keep_border border;
    bool tray = true; // the icon in the notification area
    // What a person gives a window by hand is remembered for its program
    // (<rules>.remembered.json) and given to its windows that open later.
    bool remember = false;
};

// The rules file's text at `path` as UTF-8: read from UTF-8, with or
// without a byte order mark, or from UTF-16LE with its mark. False, with
// `error` holding the one line to print (without "error: " and the line
// break), for a file that is missing, a folder, empty, unreadable or in
// another encoding.
bool read_rules_text(const std::string &path, std::string &text, std::string &error);
// Checks the rules file's text (from `path`, which the errors name). False,
// with `error` as above, for a text that is not JSON or holds anything that
// is not a rule, a key or a command that kestal-cli takes.
bool parse_keep_rules(const std::string &path, const std::string &text, keep_rules &rules, std::string &error);

// The words of a command line: split at blanks, with double quotes around a
// word that holds blanks.
std::vector<std::string> command_words(const std::string &line);

// A JSON text as the rules file allows it (comments, trailing commas); null,
// with `error` naming `path`, the line and the column, where it is no JSON.
// The caller frees the document.
yyjson_doc *parse_json_text(const std::string &path, const std::string &text, std::string &error);
// Reads `value` into `actions` where `name` is one of pin, opacity and
// clickthrough: 1 when read, 0 with `why` set when its value is wrong, -1
// for any other name.
int read_action(std::string_view name, yyjson_val *value, rule_actions &actions, std::string &why);
