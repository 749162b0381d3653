// Writing the help texts: the overview, a command's help, and the usage
// lines that follow a usage error.
#include "help_text.h"

#include <string>

#include "console_text.h"

void print_usage()
{
    write_out(kUsageText);
}

void print_overview()
{
    write_out(std::string(kUsageText) + std::string(kOverviewMore));
}

bool print_command_help(std::string_view word)
{
    const command_help *help = help_of(word);
    if (!help)
        return false;
    std::string text = std::string(help->usage) + "\n" + std::string(help->text);
    if (help->takes_window)
        text += kTargetHelp;
    text += "\nexamples:\n" + std::string(help->examples);
    write_out(text);
    return true;
}

void print_command_usage(std::string_view word)
{
    const command_help *help = help_of(word);
    if (!help || help->in_usage_text) {
        print_usage();
        return;
    }
    write_out(std::string(help->usage) + "kestal-cli help " + std::string(help->word) +
              " tells more, with examples.\n");
}
