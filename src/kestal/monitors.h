// The monitors in the order that numbers them, for the census and the verbs
// that place windows on them.
#pragma once

#include "internal.h"

struct monitor_place {
    HMONITOR handle;
    kestal_monitor facts;
};

// The monitors in their order, in physical pixels: the caller's thread must
// have entered them (enter_physical_pixels). How many, or -1 with the error
// set when the system lists none.
int32_t monitor_table(monitor_place (&table)[KESTAL_MAX_MONITORS]);
// The index of `monitor` in `table`; -1 when the table lacks it (a 33rd
// monitor, or none).
int32_t monitor_index(const monitor_place *table, int32_t count, HMONITOR monitor);
// The index in `table` of the monitor that holds most of `rect`, or of the
// nearest one where none holds any, as MonitorFromRect finds it, but from
// the table alone: under Wine each MonitorFromRect asks the server again.
// -1 for an empty table.
int32_t monitor_holding(const monitor_place *table, int32_t count, const RECT &rect);
// The work area of a monitor of the table as a rectangle.
RECT work_area_of(const kestal_monitor &monitor);
