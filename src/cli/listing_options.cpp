#include "listing_options.h"

#include <string_view>

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
