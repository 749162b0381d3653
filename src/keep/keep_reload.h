// The rules file, read again when it changes: a change is taken once the
// file has settled, by keep's loop as time goes, never by a wait of keep's
// thread.
#pragma once

#include <windows.h>

#include <string>

#include "keep_state.h"

// False where the file is not there.
bool stamp_of(const std::string &path, file_stamp &stamp);
bool same_stamp(const file_stamp &a, const file_stamp &b);
// A change in the rules file's folder; null where the folder cannot be
// watched, and then the file is looked at with every listing.
HANDLE watch_rules_folder(const std::string &path);
// Notes that the file may have changed: when its stamp differs from the one
// last read, it is read once it has settled (read_settled_rules).
void note_rules_change(keep_state &state);
// When a noted change has settled (its size and time unchanged for a short
// while, as a save in parts or a truncation followed by a write are not the
// file), reads it: a text like the one read before is passed over in
// silence, a bad one is reported once and the rules read before stay, and a
// file that cannot be read now (an editor holds it) is read at a later look.
// True when new rules were taken. `next_look_ms` tells when to call again
// while a change waits; 0 when none does.
bool read_settled_rules(keep_state &state, DWORD &next_look_ms);
// Reads the rules file now, whatever its stamp says: true when the rules are
// the file's, false with `error` (the first error, file:line:column) when
// they could not be read and the rules read before stay.
bool reload_now(keep_state &state, std::string &error);
