// How a second process reaches the running keep: the class of its hidden
// window, the messages that window takes, and the answer it leaves for the
// command that asked.
#pragma once

#include <windows.h>

#include <string>

inline constexpr wchar_t kKeepWindowClass[] = L"KestalKeep";

// Posted by `keep --stop`: keep gives everything back and ends.
inline constexpr UINT kKeepStopMessage = WM_APP + 1;
// Sent by `keep --pause`, `--resume` and `--reload`: 1 when done, 0 when not,
// with the reason in the answer.
inline constexpr UINT kKeepPauseMessage = WM_APP + 3;
inline constexpr UINT kKeepResumeMessage = WM_APP + 4;
inline constexpr UINT kKeepReloadMessage = WM_APP + 5;
// Posted by a command that changed a window by hand (lParam: the handle,
// wParam: the KESTAL_BY_HAND_ bits it changed), so that keep takes the
// person's change at once rather than at its next look.
inline constexpr UINT kKeepHandChangeMessage = WM_APP + 6;
// The icon's menu: every person's change goes back to the rules.
inline constexpr UINT kKeepReapplyAllMessage = WM_APP + 7;
// `keep --reapply`: WM_COPYDATA with this dwData and the handles (int64_t
// each) whose person's changes go back to the rules; none for every window.
inline constexpr ULONG_PTR kKeepReapplyData = 0x4B524150; // "KRAP"
// `keep --forget`: WM_COPYDATA with this dwData and the handles whose
// programs keep forgets; none for every program.
inline constexpr ULONG_PTR kKeepForgetData = 0x4B464754; // "KFGT"
// The icon's menu: forget the program at wParam of the remembered list whose
// version is lParam.
inline constexpr UINT kKeepForgetOneMessage = WM_APP + 11;

// The hidden window of the keep that runs on this desktop, and its process;
// null and 0 when none runs.
HWND find_running_keep(DWORD &pid);

// The answer that keep leaves for a request: a text of at most this many
// bytes, in shared memory of keep's that a command opens before it asks.
inline constexpr size_t kKeepAnswerSize = 8192;

// keep's side: makes its answer area, once, and writes the answer to each
// request there before the request returns.
bool make_keep_answer();
void write_keep_answer(const std::string &text);
void close_keep_answer();

// The asking side: the answer area of the keep in process `pid`, held open so
// that it outlives that keep; null where it cannot be opened. A second
// command that asks at the same time waits its turn (keep_ask_turn).
HANDLE open_keep_answer(DWORD pid);
std::string read_keep_answer(HANDLE answer);
// Taken around a request and the reading of its answer; null where the turn
// could not be had within a few seconds.
HANDLE take_keep_ask_turn();
void give_keep_ask_turn(HANDLE turn);
