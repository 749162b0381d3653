// What keep remembers of the person's changes, per program: kept in
// <rules>.remembered.json, which a person may read and edit, and given to
// the program's windows that open later, below the rules.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kestal_inprocess.h"
#include "keep_state.h"

// <rules>.remembered.json beside the rules file.
std::string remembered_path(const keep_state &state);
// Reads the file where the rules remember, or forgets everything where they
// do not. A missing file remembers nothing; one that cannot be read or is
// broken is said in one line, remembers nothing, and is never written over.
// The windows left as they were when a program was remembered stay so.
void load_remembered(keep_state &state);
// Reads the file again when its stamp is not the one last read or written:
// a person edited it. True when it was read.
bool note_remembered_change(keep_state &state);
// The remembered values for `window`, under what the rules then set.
rule_actions remembered_for(const keep_state &state, const kestal_window &window);
// A person gave `hwnd` the `attributes` (KESTAL_BY_HAND_ bits), which now
// have `now`'s values: each is remembered for the window's program, or
// forgotten where it was released (unpinned, opacity 100, click-through off).
void remember_change(keep_state &state, int64_t hwnd, uint32_t attributes, const rule_actions &now);
// Forgets the programs of `hwnds`, or every program where it is empty; false,
// with `why`, where nothing is remembered for them.
bool forget_programs(keep_state &state, const std::vector<int64_t> &hwnds, std::string &why);
// Forgets the `index`th program, as the icon's menu lists them.
void forget_program_at(keep_state &state, size_t index);
// The programs remembered, as the icon's menu names them.
std::vector<std::wstring> remembered_names(const keep_state &state);
