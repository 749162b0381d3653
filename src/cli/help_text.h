// What kestal-cli says about itself: the usage text, the overview of every
// command, and each command's own help. The texts are data, so that the
// command table can check at compile time that no command goes without one.
#pragma once

#include <string_view>

// The seven lines that open every overview and that the usage errors of
// the commands in them print.
inline constexpr std::string_view kUsageText =
    "tinsmere-kestal CLI\n"
    "usage:\n"
    "  kestal-cli list                         list top-level windows (JSON)\n"
    "  kestal-cli pin <hwnd> [0|1]             set/clear always-on-top\n"
    "  kestal-cli opacity <hwnd> <20..100>     set opacity\n"
    "  kestal-cli test                         self-test roundtrip\n"
    "  kestal-cli lasterror                    print last error\n";

// The rest of the overview, after the usage text.
inline constexpr std::string_view kOverviewMore =
    "  kestal-cli pin <hwnd> on|off|toggle     pin, release, or flip the pin\n"
    "  kestal-cli opacity <hwnd> up|down [N]   step the opacity by N points (10)\n"
    "  kestal-cli clickthrough <hwnd> [on|off|toggle]  clicks pass through\n"
    "  kestal-cli reset [<hwnd>]               take back what kestal changed\n"
    "  kestal-cli move <hwnd> <x> <y>          move the top-left corner (pixels)\n"
    "  kestal-cli resize <hwnd> <w> <h>        set the size (pixels)\n"
    "  kestal-cli minimize <hwnd>              minimize\n"
    "  kestal-cli maximize <hwnd>              maximize\n"
    "  kestal-cli restore <hwnd>               back to the normal place and size\n"
    "  kestal-cli activate <hwnd>              bring to the front with the keyboard\n"
    "  kestal-cli close <hwnd>                 ask the window to close\n"
    "  kestal-cli monitors                     list the monitors (JSON)\n"
    "  kestal-cli snap <hwnd> <position>       a half or quarter of its monitor\n"
    "  kestal-cli send <hwnd> next|prev|N      to another monitor\n"
    "  kestal-cli watch [options]              the listing's changes, live\n"
    "  kestal-cli keep RULES [--at-logon]      keep windows by rules and hotkeys\n"
    "  kestal-cli keep --stop|--not-at-logon   stop the keep, or its start at logon\n"
    "  kestal-cli keep --pause|--resume        pause or resume the keep that runs\n"
    "  kestal-cli keep --reload                read its rules file again now\n"
    "  kestal-cli keep --reapply [<hwnd>]      hand a person's changes back to rules\n"
    "  kestal-cli keep --forget <hwnd>|all     forget what keep remembers of a program\n"
    "  kestal-cli help [COMMAND]               this text, or one command's help\n"
    "<hwnd> is a handle that list prints (decimal, or hex after 0x), or a selector,\n"
    "which acts on every listed window that it matches:\n"
    "  active                                  the foreground window\n"
    "  exe:NAME                                windows of program NAME (notepad.exe)\n"
    "  title:TEXT                              windows whose title contains TEXT\n"
    "  class:NAME                              windows of window class NAME\n"
    "  pid:N                                   windows of process N\n"
    "  pick                                    the window you click (Esc cancels)\n"
    "options:\n"
    "  list --long, watch --long               more members: pid, class, monitor...\n"
    "  list --ascii, watch --ascii             the JSON in pure ASCII\n"
    "  watch --interval MS                     list every MS milliseconds (250)\n"
    "  watch --count N                         stop after N changes\n"
    "  --version                               print the version\n"
    "kestal-cli help COMMAND tells more about one (so do COMMAND --help, -h and /?).\n";

// What a window argument may be; the help of every command that takes one
// ends with it.
inline constexpr std::string_view kTargetHelp =
    "\n"
    "<hwnd> is a window handle that list prints (decimal, or hex after 0x), or a\n"
    "selector, which acts on every listed window that it matches:\n"
    "  active        the foreground window\n"
    "  exe:NAME      the windows of the program NAME, such as exe:notepad.exe\n"
    "  title:TEXT    the windows whose title contains TEXT, case ignored\n"
    "  class:NAME    the windows of the window class NAME\n"
    "  pid:N         the windows of process N\n"
    "  pick          the window that you click next, with a cross for the cursor;\n"
    "                the click reaches no program. Esc, or 30 s without a click,\n"
    "                cancels with exit code 1\n"
    "A word with blanks goes in double quotes: \"title:My notes\".\n"
    "A window whose program does not answer within 5 s is reported and left.\n";

struct command_help {
    std::string_view word;
    // The usage lines: "usage: kestal-cli WORD ..." and further forms.
    std::string_view usage;
    // What the command does, its options and its exit codes.
    std::string_view text;
    std::string_view examples;
    bool takes_window;
    // One of the usage text's commands: its usage errors print that text.
    bool in_usage_text;
};

inline constexpr command_help kCommandHelp[] = {
    {"list", "usage: kestal-cli list [--long] [--ascii] [pick]\n",
     "Prints the visible top-level windows as one line of JSON: for each its hwnd,\n"
     "title, exe, pinned and opacity. Exit code 0; 1 when no listing could be taken.\n"
     "With pick, waits for a click and lists the window clicked alone; Esc, or 30 s\n"
     "without a click, prints [] with exit code 1.\n"
     "\n"
     "options:\n"
     "  --long    ten more members: pid, class, x, y, width, height, state,\n"
     "            foreground, clickthrough and monitor (the number that\n"
     "            kestal-cli monitors gives the monitor holding most of it)\n"
     "  --ascii   every character beyond ASCII as a \\u escape, so that the text\n"
     "            reads the same under any code page\n",
     "  kestal-cli list\n"
     "  kestal-cli list --long --ascii\n"
     "  kestal-cli list --long pick\n",
     false, true},
    {"pin",
     "usage: kestal-cli pin <hwnd> [0|1]\n"
     "       kestal-cli pin <hwnd> on|off|toggle\n",
     "Pins the window always-on-top (no flag, on, or any number but 0) or releases\n"
     "it (0 or off); toggle releases a pinned window and pins any other. Prints ok;\n"
     "exit code 1 when a window could not be changed.\n",
     "  kestal-cli pin 65644\n"
     "  kestal-cli pin exe:vlc.exe\n"
     "  kestal-cli pin active toggle\n"
     "  kestal-cli pin pick\n",
     true, true},
    {"opacity",
     "usage: kestal-cli opacity <hwnd> <20..100>\n"
     "       kestal-cli opacity <hwnd> up|down [N]\n",
     "Sets the window's opacity in percent, from 20 (faintest) to 100 (opaque).\n"
     "up and down step it by N percentage points (1 to 100, default 10), kept\n"
     "within 20..100. Prints ok; exit code 1 when a window could not be changed.\n",
     "  kestal-cli opacity exe:notepad.exe 70\n"
     "  kestal-cli opacity active down 20\n",
     true, true},
    {"test", "usage: kestal-cli test\n",
     "Runs a self-test on a window of its own: pins, releases and fades it through\n"
     "the library, reads each change back from the listing, and prints one PASS or\n"
     "FAIL line per check and the tally. Exit code 1 when a check failed.\n",
     "  kestal-cli test\n", false, true},
    {"lasterror", "usage: kestal-cli lasterror\n",
     "Prints the library's last-error text. Each run is a process of its own, so\n"
     "in a run of its own it prints \"no error\"; a host that loads the library\n"
     "reads the text with kestal_last_error.\n",
     "  kestal-cli lasterror\n", false, true},
    {"help",
     "usage: kestal-cli help [COMMAND]\n"
     "       kestal-cli COMMAND --help\n",
     "Without a command: every command, the selectors and the options. With one:\n"
     "that command's usage, options and examples. -h, --help and /? mean help,\n"
     "before a command or after it.\n",
     "  kestal-cli help watch\n"
     "  kestal-cli keep /?\n",
     false, true},
    {"watch", "usage: kestal-cli watch [--interval MS] [--count N] [--long] [--ascii]\n",
     "Writes the listing's changes as JSON Lines until stopped: one \"opened\" line\n"
     "per listed window, then {\"event\":\"ready\"}, then one line per change:\n"
     "\"opened\", \"closed\", or \"changed\" with the members that changed. Ends with\n"
     "exit code 0 on Ctrl+C, when its reader goes, or after --count changes; 1 when\n"
     "a listing fails.\n"
     "\n"
     "options:\n"
     "  --interval MS   list every MS milliseconds, 50 to 86400000 (default 250);\n"
     "                  window events bring a listing forward\n"
     "  --count N       stop after N change lines\n"
     "  --long          the windows as list --long writes them; moving, sizing and\n"
     "                  the foreground are changes too\n"
     "  --ascii         the windows as list --ascii writes them\n",
     "  kestal-cli watch\n"
     "  kestal-cli watch --long --count 1\n",
     false, false},
    {"clickthrough", "usage: kestal-cli clickthrough <hwnd> [on|off|toggle|1|0]\n",
     "Lets mouse clicks pass through the window to whatever lies beneath it (on,\n"
     "the default, or 1), stops that (off or 0), or flips it (toggle). Prints ok;\n"
     "exit code 1 when a window could not be changed.\n",
     "  kestal-cli clickthrough title:overlay\n"
     "  kestal-cli clickthrough active toggle\n",
     true, false},
    {"reset", "usage: kestal-cli reset [<hwnd>]\n",
     "Takes back what kestal changed on the window, or on every listed window\n"
     "without one: the pin it gave or took, the opacity, click-through. A window\n"
     "that its own program made topmost or layered keeps that. Prints ok, also\n"
     "when there was nothing to take back.\n",
     "  kestal-cli reset\n"
     "  kestal-cli reset active\n",
     true, false},
    {"keep",
     "usage: kestal-cli keep RULES\n"
     "       kestal-cli keep RULES --at-logon\n"
     "       kestal-cli keep --not-at-logon\n"
     "       kestal-cli keep --stop\n"
     "       kestal-cli keep --pause | --resume | --reload\n"
     "       kestal-cli keep --reapply [<hwnd>]\n"
     "       kestal-cli keep --forget <hwnd>|all\n",
     "Keeps the windows that the rules file RULES matches the way it says (pinned,\n"
     "faded, click-through) and runs its hotkeys' commands, writing JSON Lines, until\n"
     "stopped; then gives back every change it made. A window that no rule matches\n"
     "any more (retitled, or its rule removed) gets back what keep set there.\n"
     "\n"
     "  keep RULES                runs until keep --stop, Ctrl+C or the console closes\n"
     "  keep RULES --at-logon     checks RULES, then starts kestalw.exe keep RULES\n"
     "                            at each logon\n"
     "  keep --not-at-logon       no longer starts it at logon\n"
     "  keep --stop               stops the keep that runs, once it has given\n"
     "                            everything back; exit 1 names each window that\n"
     "                            did not answer and keeps its marks\n"
     "  keep --pause              stops applying the rules; nothing is given back\n"
     "  keep --resume             applies them again\n"
     "  keep --reload             reads RULES now; exit 1 with the file's first error\n"
     "  keep --reapply [<hwnd>]   what a person changed on the window (every window\n"
     "                            without one) goes back to the rules, at once\n"
     "  keep --forget <hwnd>|all  forgets what keep remembers of the window's program\n"
     "                            (of every program with all); its windows get back\n"
     "                            what they had from it\n"
     "\n"
     "A change by a person (a hotkey, or pin, opacity, clickthrough or reset from\n"
     "any console) wins over the rules for what it changed, until keep --reapply.\n"
     "\n"
     "A rules file is JSON; comments and trailing commas are welcome. Members:\n"
     "  rules          an array of rules, each with:\n"
     "    match        a selector, or an array of selectors that must all match\n"
     "    except       a selector, or an array of them, that leaves a window out\n"
     "    pin          true or false\n"
     "    opacity      20 to 100\n"
     "    clickthrough true or false\n"
     "                 a later rule wins over an earlier one\n"
     "    snap         a position of snap, when a window opens: \"left\", ...\n"
     "    monitor      a monitor's number, when a window opens\n"
     "  keys           keys and the command each runs: pin, opacity, clickthrough,\n"
     "                 reset, the window verbs, snap, send, or reapply <hwnd>;\n"
     "                 pick for <hwnd> waits for a click\n"
     "  border         true, or {\"color\": \"#RRGGBB\", \"thickness\": N}: a border\n"
     "                 around each window that keep pinned\n"
     "  tray           false: no icon in the notification area\n"
     "  remember       true: a pin, opacity or click-through that a person gives a\n"
     "                 window is remembered for its program (its exe, and its class\n"
     "                 where the exe shows several) in RULES.remembered.json, and\n"
     "                 given to the program's windows that open later, also after\n"
     "                 keep starts again; releasing it by hand forgets it, and so\n"
     "                 does choosing it under Forget in the icon's menu. A rule\n"
     "                 wins over what is remembered\n"
     "Keys are Ctrl, Alt, Shift and Win with A-Z, 0-9, F1-F24, Up, Down, Left,\n"
     "Right, Home, End, PgUp, PgDn, Ins, Del, Space, Esc, Tab, Enter, Backspace,\n"
     "PrintScreen, Pause, Minus, Plus, Comma, Period, ; / ` [ \\ ] ', Numpad0-9 and\n"
     "NumpadAdd, NumpadSubtract, NumpadMultiply, NumpadDivide, NumpadDecimal; each\n"
     "needs Ctrl, Alt or Win, but for F13-F24.\n"
     "kestalw.exe (keep RULES --at-logon) writes its lines to RULES.log.\n"
     "Exit code 2 for a rules file that cannot be used; 1 when a keep runs already.\n",
     "  kestal-cli keep rules.json\n"
     "    with rules.json:\n"
     "    {\"rules\": [{\"match\": \"exe:vlc.exe\", \"pin\": true}],\n"
     "     \"keys\": {\"Ctrl+Alt+T\": \"pin active toggle\",\n"
     "              \"Ctrl+Alt+R\": \"reset active\",\n"
     "              \"Ctrl+Alt+A\": \"reapply active\",\n"
     "              \"Ctrl+Alt+P\": \"pin pick toggle\"},\n"
     "     \"remember\": true}\n"
     "  kestal-cli keep --reapply active\n"
     "  kestal-cli keep --forget exe:vlc.exe\n"
     "  kestal-cli keep --stop\n",
     false, false},
    {"move", "usage: kestal-cli move <hwnd> <x> <y>\n",
     "Moves the window's top-left corner to x, y in screen pixels, as list --long\n"
     "gives them; the size stays. A minimized window stays minimized and comes back\n"
     "at the new place. When the window ends somewhere else, or on no screen, it\n"
     "still prints ok, and a note on stderr says where the window is.\n",
     "  kestal-cli move exe:notepad.exe 0 0\n"
     "  kestal-cli move 0x1006C -8 100\n",
     true, false},
    {"resize", "usage: kestal-cli resize <hwnd> <width> <height>\n",
     "Gives the window the size width x height in screen pixels, 1 or more each;\n"
     "the top-left corner stays. The window's program or the system may hold it to\n"
     "a smallest or largest size: then it still prints ok, and a note on stderr\n"
     "says the size that the window has.\n",
     "  kestal-cli resize exe:notepad.exe 960 1080\n", true, false},
    {"minimize", "usage: kestal-cli minimize <hwnd>\n", "Minimizes the window. Prints ok.\n",
     "  kestal-cli minimize active\n", true, false},
    {"maximize", "usage: kestal-cli maximize <hwnd>\n", "Maximizes the window. Prints ok.\n",
     "  kestal-cli maximize exe:notepad.exe\n", true, false},
    {"restore", "usage: kestal-cli restore <hwnd>\n",
     "Brings the window back to its normal place and size, from minimized or\n"
     "maximized (also a minimized window that was maximized before). Prints ok.\n",
     "  kestal-cli restore exe:notepad.exe\n", true, false},
    {"activate", "usage: kestal-cli activate <hwnd>\n",
     "Brings the window to the front and gives it the keyboard, restoring it first\n"
     "when it is minimized. Windows lets only the program that the user works in\n"
     "change the foreground; when it refuses, activate says so and exits with 1.\n",
     "  kestal-cli activate title:Calculator\n", true, false},
    {"close", "usage: kestal-cli close <hwnd>\n",
     "Asks the window to close, as its close button does; ok means it was asked.\n"
     "Its program may ask to save, or refuse; nothing is waited for, and no process\n"
     "is ended.\n",
     "  kestal-cli close title:Untitled\n", true, false},
    {"monitors", "usage: kestal-cli monitors\n",
     "Prints the monitors as one line of JSON, the primary first, then from left\n"
     "to right: for each its number, device name, place and size (x, y, width,\n"
     "height), work area (work_x, work_y, work_width, work_height: what the taskbar\n"
     "leaves), dpi (96 at 100 %) and primary, in physical pixels. snap, send and\n"
     "list --long's monitor use its numbers. Exit code 1 when none can be listed.\n",
     "  kestal-cli monitors\n", false, false},
    {"snap", "usage: kestal-cli snap <hwnd> <position>\n",
     "Places the window in the work area of the monitor that holds most of it:\n"
     "  left, right, top, bottom     a half\n"
     "  top-left, top-right,\n"
     "  bottom-left, bottom-right    a quarter\n"
     "  center                       the same size, centred\n"
     "  full                         the whole work area, not maximized\n"
     "A maximized or minimized window is restored first. The frame that shows is\n"
     "placed, so two halves meet without a gap. Prints ok; exit code 2 for a word\n"
     "that is no position.\n",
     "  kestal-cli snap active left\n"
     "  kestal-cli snap exe:notepad.exe top-right\n",
     true, false},
    {"send", "usage: kestal-cli send <hwnd> next|prev|N\n",
     "Takes the window to the next or previous monitor (coming round), or to\n"
     "monitor N as kestal-cli monitors numbers them. Its place in the work area and\n"
     "its size keep their proportion there, within the work area; a window snapped\n"
     "to a half, a quarter or the whole work area stays snapped, and a maximized\n"
     "one stays maximized. A minimized window is restored first. Prints ok; exit\n"
     "code 2 for a monitor that does not exist, or where there is only one.\n",
     "  kestal-cli send active next\n"
     "  kestal-cli send exe:vlc.exe 2\n",
     true, false},
    {"--version", "usage: kestal-cli --version\n", "Prints the version, such as kestal-cli 0.1.0.\n",
     "  kestal-cli --version\n", false, false},
};

// The words that ask for help, before a command or after it.
constexpr bool is_help_word(std::string_view word)
{
    return word == "help" || word == "-h" || word == "--help" || word == "/?";
}

// The help of the command `word` (any help word for help itself); null for
// a word that is no command.
constexpr const command_help *help_of(std::string_view word)
{
    const std::string_view wanted = is_help_word(word) ? "help" : word;
    for (const command_help &help : kCommandHelp) {
        if (help.word == wanted)
            return &help;
    }
    return nullptr;
}

// The usage text followed by the overview.
// The usage text, as the usage errors of list, pin and opacity print it.
void print_usage();
void print_overview();
// The whole help of the command `word`: its usage, options and examples.
// False, with nothing written, for a word that is no command.
bool print_command_help(std::string_view word);
// What a usage error of the command `word` prints after its error line: the
// command's usage lines, or the usage text for a command that is in it.
void print_command_usage(std::string_view word);
