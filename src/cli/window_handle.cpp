#include "window_handle.h"

#include <cstdint>
#include <cstdlib>

void *handle_argument(const char *text)
{
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    return reinterpret_cast<void *>(static_cast<intptr_t>(strtoll(text, nullptr, hex ? 16 : 10)));
}
