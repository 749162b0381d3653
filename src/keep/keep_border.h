// keep's borders: a window of kestal's own just outside the frame of each
// window that keep pinned, drawn on a thread of its own.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "keep_rules.h"

// The windows that carry a border from now on, in that style: a border goes
// from a window that is no longer among them, and comes to one that is new.
// Each border follows its window's place until the next call; an empty list
// removes every border.
void show_borders(const std::vector<HWND> &windows, const keep_border &style);
// Removes every border and ends the thread that draws them.
void end_borders();
// The colour of `"border": true`: the system's accent colour (Windows 10
// and later), else the colour of selected items.
COLORREF accent_color();
// The pixels of a border of `width` x `height` (top-down rows, premultiplied
// BGRA, as UpdateLayeredWindow takes them): opaque in `color` `thickness`
// wide, clear inside, with corners rounded by `radius` on the inside (the
// frame's own, as Windows 11 rounds it) and `radius` plus the thickness
// outside; square where `radius` is 0.
void border_pixels(uint32_t *pixels, int width, int height, int thickness, int radius, COLORREF color);
// A bitmap of 32-bit pixels in top-down rows, which `bits` points at: the
// border's picture and the icon's.
HBITMAP pixel_bitmap(int width, int height, void *&bits);
