// Store apps by their own process: the frame that the system draws around a
// store app belongs to ApplicationFrameHost.exe, whichever app it holds.
#include "internal.h"

// The app's own window is a child of the frame, of class
// Windows.UI.Core.CoreWindow, made by the app's process. While the app
// starts, or is suspended, the frame holds no such child (or only one of
// its own process), and the frame has no other owner to name.
DWORD store_app_process(HWND frame, DWORD frame_pid)
{
    HWND child = nullptr;
    while ((child = FindWindowExW(frame, child, L"Windows.UI.Core.CoreWindow", nullptr)) != nullptr) {
        DWORD pid = 0;
        if (GetWindowThreadProcessId(child, &pid) && pid != 0 && pid != frame_pid)
            return pid;
    }
    return 0;
}
