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

int32_t json_field(const char *json, const char *handle_text, const char *member)
{
    if (!json)
        return kFieldMissing;
    char key[64];
    snprintf(key, sizeof key, "\"hwnd\":%s", handle_text);
    const char *after_key = find_object(json, key);
    if (!after_key)
        return kFieldMissing;

    const char *object_end = strchr(after_key, '}');
    if (!object_end)
        object_end = after_key + strlen(after_key);
    const char *name = strstr(after_key, member);
    if (!name || name > object_end)
        return kFieldMissing;
    const char *colon = strchr(name, ':');
    if (!colon || colon > object_end)
        return kFieldMissing;

    const char *value = colon + 1;
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
