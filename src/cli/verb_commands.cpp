// The window verbs: move, resize, minimize, maximize, restore, activate and
// close, on a window or on each window that a selector names.
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "cli.h"
#include "console_text.h"
#include "kestal_inprocess.h"
#include "window_selector.h"

namespace {

// A whole number in plain decimal, with an optional sign, that fits in 32
// bits; atoi would read "12px" as 12 and "left" as 0 and move the window
// somewhere that was never asked for.
bool read_coordinate(const char *text, int32_t &value)
{
    const char *digits = *text == '-' || *text == '+' ? text + 1 : text;
    if (*digits < '0' || *digits > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    const long long number = strtoll(text, &end, 10);
    if (*end != '\0' || errno == ERANGE || number < INT32_MIN || number > INT32_MAX)
        return false;
    value = static_cast<int32_t>(number);
    return true;
}

int usage_error(const char *verb, const char *form)
{
    print_err("error: %s: give %s\n", verb, form);
    print_usage();
    return 2;
}

struct pair {
    int32_t first, second;
};

// The two numbers after the target; false, with the error line and the
// usage text written, when one is missing or cannot be read.
bool read_pair(int argc, char **argv, const char *form, const char *const names[2], pair &numbers)
{
    if (argc < 5) {
        usage_error(argv[1], form);
        return false;
    }
    int32_t *slots[2] = {&numbers.first, &numbers.second};
    for (int i = 0; i < 2; ++i) {
        if (!read_coordinate(argv[3 + i], *slots[i])) {
            print_err("error: %s: the %s '%s' is not a whole number of pixels\n", argv[1], names[i], argv[3 + i]);
            print_usage();
            return false;
        }
    }
    return true;
}

int32_t move_to(void *hwnd, const void *context)
{
    const auto &at = *static_cast<const pair *>(context);
    return kestal_move_window(hwnd, at.first, at.second);
}

int32_t resize_to(void *hwnd, const void *context)
{
    const auto &size = *static_cast<const pair *>(context);
    return kestal_resize_window(hwnd, size.first, size.second);
}

// A verb that takes the target alone.
struct plain_verb {
    int32_t (*verb)(void *hwnd);
};

int32_t call_plain(void *hwnd, const void *context)
{
    return static_cast<const plain_verb *>(context)->verb(hwnd);
}

int run_plain(int argc, char **argv, int32_t (*verb)(void *hwnd))
{
    if (argc < 3)
        return usage_error(argv[1], "the window: a handle or a selector");
    const plain_verb call = {verb};
    return run_action_on_target(argv[2], call_plain, &call);
}

} // namespace

int run_move(int argc, char **argv)
{
    static constexpr const char *kNames[2] = {"x", "y"};
    pair at = {};
    if (!read_pair(argc, argv, "the window and the new x and y: move <hwnd> <x> <y>", kNames, at))
        return 2;
    return run_action_on_target(argv[2], move_to, &at);
}

int run_resize(int argc, char **argv)
{
    static constexpr const char *kNames[2] = {"width", "height"};
    pair size = {};
    if (!read_pair(argc, argv, "the window and the new width and height: resize <hwnd> <width> <height>", kNames,
                   size))
        return 2;
    return run_action_on_target(argv[2], resize_to, &size);
}

int run_minimize(int argc, char **argv)
{
    return run_plain(argc, argv, kestal_minimize_window);
}

int run_maximize(int argc, char **argv)
{
    return run_plain(argc, argv, kestal_maximize_window);
}

int run_restore(int argc, char **argv)
{
    return run_plain(argc, argv, kestal_restore_window);
}

int run_activate(int argc, char **argv)
{
    return run_plain(argc, argv, kestal_activate_window);
}

int run_close(int argc, char **argv)
{
    return run_plain(argc, argv, kestal_close_window);
}
