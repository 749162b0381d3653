// "pin" and "opacity": read the numbers, call the setter on the window (or on
// each window that a selector names), report.
#include <cstdio>
#include <cstdlib>

#include "cli.h"
#include "console_text.h"
#include "kestal_inprocess.h"
#include "window_handle.h"
#include "window_selector.h"

static int report(int32_t result)
{
    if (result == 1) {
        write_out("ok\n");
        return 0;
    }
    print_err("error: %s\n", kestal_last_error());
    return 1;
}

// What atoi reads as a number: blanks, an optional sign, then a digit. A
// word such as "true" would read as 0 and release the window it meant to pin.
static bool is_number_text(const char *text)
{
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    if (*text == '+' || *text == '-')
        ++text;
    return *text >= '0' && *text <= '9';
}

int run_pin(int argc, char **argv)
{
    if (argc < 3) {
        print_usage();
        return 2;
    }
    if (argc >= 4 && !is_number_text(argv[3])) {
        print_err("error: pin: the flag '%s' is not a number: give 1 to pin the window or 0 to release it\n", argv[3]);
        print_usage();
        return 2;
    }
    int32_t topmost = argc >= 4 ? atoi(argv[3]) : 1;
    const int selected = run_on_selected(argv[2], kestal_set_topmost, topmost);
    return selected >= 0 ? selected : report(kestal_set_topmost(handle_argument(argv[2]), topmost));
}

int run_opacity(int argc, char **argv)
{
    if (argc < 4) {
        print_usage();
        return 2;
    }
    const int32_t pct = atoi(argv[3]);
    const int selected = run_on_selected(argv[2], kestal_set_opacity, pct);
    return selected >= 0 ? selected : report(kestal_set_opacity(handle_argument(argv[2]), pct));
}
