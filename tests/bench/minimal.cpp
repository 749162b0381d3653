// kestal-bench-minimal.exe: the yardstick for kestal-cli's start-up, a
// program built like it that prints an empty listing and does nothing else.
// The benchmark also asks it to load the window system first, to tell the
// start-up cost that any windowing program pays from kestal-cli's own:
//   (no argument)  print "[]" only
//   user32         load user32.dll and gdi32.dll, which kestal-cli imports
//   enum           as user32, then enumerate the windows with an empty callback
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>

namespace {

BOOL CALLBACK ignore_window(HWND, LPARAM)
{
    return TRUE;
}

} // namespace

int main(int argc, char **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    const bool enumerate = argc > 1 && strcmp(argv[1], "enum") == 0;
    if (argc > 1 && (enumerate || strcmp(argv[1], "user32") == 0)) {
        // Loaded by name, so that without an argument the program imports
        // neither and pays nothing for them.
        HMODULE user32 = LoadLibraryW(L"user32.dll");
        if (!user32 || !LoadLibraryW(L"gdi32.dll"))
            return 1;
        using enum_windows_fn = BOOL(WINAPI *)(WNDENUMPROC, LPARAM);
        auto enum_windows =
            reinterpret_cast<enum_windows_fn>(reinterpret_cast<void (*)()>(GetProcAddress(user32, "EnumWindows")));
        if (enumerate && (!enum_windows || !enum_windows(ignore_window, 0)))
            return 1;
    }
    fputs("[]\n", stdout);
    return 0;
}
