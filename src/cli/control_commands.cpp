// "clickthrough" and "reset": the controls that have no number to give.
#include "control_commands.h"

#include "kestal_inprocess.h"
#include "setter_commands.h"

bool read_clickthrough(std::span<const std::string> words, window_command &command, std::string &why)
{
    if (words.size() < 2) {
        why = "clickthrough: give the window: a handle or a selector";
        return false;
    }
    const std::string flag = words.size() >= 3 ? words[2] : "on";
    command.verb = window_verb::clickthrough;
    command.first = flag == "1" ? KESTAL_ON : flag == "0" ? KESTAL_OFF : switch_word(flag);
    if (command.first < 0) {
        why = "clickthrough: the flag '" + flag + "' is none of on, off, toggle, 1 and 0";
        return false;
    }
    return read_window_target("clickthrough", words[1], command.target, why);
}

bool read_reset(std::span<const std::string> words, window_command &command, std::string &why)
{
    command.verb = window_verb::reset;
    if (words.size() < 2) {
        command.target = {target_kind::every_marked, 0, {}, {}};
        return true;
    }
    return read_window_target("reset", words[1], command.target, why);
}
