// How a command that runs until it is stopped (`watch`, `keep`) learns that
// it should stop: Ctrl+C, Ctrl+Break or the end of its console, on the
// control handler's own thread, or a request of the command's own.
#pragma once

#include <windows.h>

// Set when a stop is requested; the command's wait includes it.
extern HANDLE g_stop_wake;

// Makes the events and installs the console's control handler. Called once,
// before the command's loop.
void start_stop_signal();
void request_stop();
// The console's control handler, which Windows calls on a thread of its own:
// any event asks the command to stop; after the console's close, the end of
// the log-on or a shutdown it waits, at most 4 s, until the command has
// finished, since the process ends as soon as it returns.
BOOL WINAPI take_console_control(DWORD kind);
bool stop_requested();
// Says that the command has finished: its last line is out and everything it
// changed is given back. A console that closes waits for this, a while.
void signal_finished();
