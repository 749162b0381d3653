// "clickthrough" and "reset": the controls that have no number to give.
#include <string_view>

#include "cli.h"
#include "console_text.h"
#include "help_text.h"
#include "kestal_inprocess.h"
#include "window_selector.h"

int run_clickthrough(int argc, char **argv)
{
    if (argc < 3) {
        print_err("error: clickthrough: give the window: a handle or a selector\n");
        print_command_usage("clickthrough");
        return 2;
    }
    const std::string_view flag = argc >= 4 ? argv[3] : "on";
    const int32_t how = flag == "1" ? KESTAL_ON : flag == "0" ? KESTAL_OFF : switch_word(flag);
    if (how < 0) {
        print_err("error: clickthrough: the flag '%s' is none of on, off, toggle, 1 and 0\n", argv[3]);
        print_command_usage("clickthrough");
        return 2;
    }
    return run_on_target("clickthrough", argv[2], kestal_set_clickthrough, how);
}

int run_reset(int argc, char **argv)
{
    return argc < 3 ? run_on_every_marked(reset_window, 0) : run_on_target("reset", argv[2], reset_window, 0);
}
