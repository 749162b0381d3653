#include "json_field.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The object whose "hwnd" is exactly `key`: the next character must end the
// number, or a handle whose digits merely begin with ours would answer for it.
static const char *find_object(const char *json, const char *key)
{
    const size_t key_length = strlen(key);
    for (const char *at = strstr(json, key); at; at = strstr(at + 1, key)) {
        if (!isdigit(static_cast<unsigned char>(at[key_length])))
            return at + key_length;
    }
    return nullptr;
}

// Where the value of `member` begins in the object that runs from `at`, or
// null. Titles and exe names hold any text, braces and member names
// included, so the object ends at the first '}' outside a string, and a
// string counts as the member's name only where a ':' follows it.
static const char *member_value(const char *at, const char *member)
{
    const size_t member_length = strlen(member);
    while (*at && *at != '}') {
        if (*at != '"') {
            ++at;
            continue;
        }
        const char *string = at;
        for (++at; *at && *at != '"'; ++at) {
            if (*at == '\\' && at[1])
                ++at;
        }
        if (*at)
            ++at;
        const char *after = at;
        while (*after == ' ' || *after == '\t')
            ++after;
        if (*after == ':' && static_cast<size_t>(at - string) == member_length &&
            strncmp(string, member, member_length) == 0)
            return after + 1;
    }
    return nullptr;
}

int32_t json_field(const char *json, const char *handle_text, const char *member)
{
    if (!json)
        return kFieldMissing;
    char key[64];
    snprintf(key, sizeof key, "\"hwnd\":%s", handle_text);
    const char *after_key = find_object(json, key);
    if (!after_key)
        return kFieldMissing;
    const char *value = member_value(after_key, member);
    if (!value)
        return kFieldMissing;

    while (*value == ' ' || *value == '\t')
        ++value;
    if (*value == '"')
        return kFieldIsString;
    if (strncmp(value, "true", 4) == 0)
        return 1;
    if (strncmp(value, "false", 5) == 0)
        return 0;
    return static_cast<int32_t>(strtoll(value, nullptr, 10));
}
