// keep's icon in the notification area, with its tooltip and its menu, on a
// thread of its own.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "keep_rules.h"

// The icon's hidden window: the notification area sends it the icon's mouse
// messages, and its menu sends it WM_COMMAND with one of the kMenu words.
inline constexpr wchar_t kTrayWindowClass[] = L"KestalKeepTray";
inline constexpr UINT kTrayCallbackMessage = WM_APP + 1;
inline constexpr UINT kMenuPause = 1;
inline constexpr UINT kMenuResume = 2;
inline constexpr UINT kMenuReload = 3;
inline constexpr UINT kMenuEditRules = 4;
inline constexpr UINT kMenuOpenLog = 5;
inline constexpr UINT kMenuStop = 6;
inline constexpr UINT kMenuReapply = 7;
// The items of the remembered programs, each of which forgets its program.
inline constexpr UINT kMenuForgetFirst = 100;
inline constexpr UINT kMenuForgetMost = 50;

// Adds the icon, once, drawn in the border's colour: its menu's actions go
// to `keep_window` as keep's messages; "Open log" is there when `log_path`
// is not empty. Where the
// notification area is missing (Explorer has not started yet, or has
// ended), the icon comes when it starts.
void show_tray(HWND keep_window, const std::string &rules_path, const std::wstring &log_path,
               const keep_border &border);
// The tooltip's text, and whether the menu offers Pause or Resume.
void set_tray_state(const std::wstring &tip, bool paused);
// The programs that keep remembers, as its menu lists them, and the version
// of that list that a chosen item names to keep (kKeepForgetOneMessage).
void set_tray_remembered(const std::vector<std::wstring> &names, uint32_t version);
// The latest problem (a rules file that cannot be used, a hotkey taken or
// failed, a window that refused): the icon turns to its warning colour, the
// tooltip names the problem, and a notification says it once, never more
// often than every 10 s. "" clears it. May come before the icon is shown.
void set_tray_problem(const std::wstring &problem);
// Removes the icon and ends its thread.
void end_tray();
// The icon's picture in `frame`'s colour, at the size of a small icon at
// `dpi`; null where it cannot be made. The caller destroys it.
HICON make_tray_icon(COLORREF frame, UINT dpi);
