// The keys of `keep`'s hotkeys as the rules file writes them: "Ctrl+Alt+T".
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// Reads "Modifier+...+Key", case ignored, each modifier once, into MOD_
// flags and a virtual-key code. False, with `why` saying what is wrong and
// what to write instead, for keys that cannot be read, that every program
// would lose (no Ctrl, Alt or Win, other than F13 to F24) or that Windows
// keeps for itself.
bool read_keys(std::string_view text, UINT &modifiers, UINT &key, std::string &why);
// Why keys made of Ctrl (or Ctrl+Shift) and a letter or digit, which keep
// takes, surprise: they are every program's, and the common use of the
// letter is named where it is well known (copy, save, new tab). "" for
// other keys.
std::string shadowed_use(UINT modifiers, UINT key);
