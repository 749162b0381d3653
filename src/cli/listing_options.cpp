#include "listing_options.h"

#include <string_view>

#include "console_text.h"
#include "kestal_inprocess.h"

uint32_t json_options(int argc, char **argv)
{
    uint32_t options = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--long")
            options |= KESTAL_JSON_LONG;
        else if (word == "--ascii")
            options |= KESTAL_JSON_ASCII;
    }
    return options;
}

uint32_t census_facts(uint32_t json_options)
{
    return json_options & KESTAL_JSON_LONG ? KESTAL_CENSUS_PLACEMENT : 0;
}

int print_json_array(char *text)
{
    write_out(text ? text : "[]");
    write_out("\n");
    kestal_free_string(text);
    if (text)
        return 0;
    print_err("error: %s\n", kestal_last_error());
    return 1;
}
