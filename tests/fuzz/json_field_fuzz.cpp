// libFuzzer target for the self-test's read-back probe, built natively with
// clang (json_field needs no Windows headers); run it with tests/fuzz/run.sh.
// The input is split at NUL bytes into the listing text, the handle text and
// the member name; pieces that are missing are empty. Each piece gets a heap
// block of exactly its size, so that AddressSanitizer sees any read past it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "json_field.h"

namespace {

std::unique_ptr<char[]> piece(const uint8_t *&at, const uint8_t *end)
{
    const uint8_t *stop = static_cast<const uint8_t *>(memchr(at, 0, static_cast<size_t>(end - at)));
    if (!stop)
        stop = end;
    const size_t length = static_cast<size_t>(stop - at);
    std::unique_ptr<char[]> text(new char[length + 1]);
    memcpy(text.get(), at, length);
    text[length] = '\0';
    at = stop == end ? end : stop + 1;
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *at = data, *end = data + size;
    std::unique_ptr<char[]> json = piece(at, end);
    std::unique_ptr<char[]> handle = piece(at, end);
    std::unique_ptr<char[]> member = piece(at, end);
    const int32_t value = json_field(json.get(), handle.get(), member.get());
    // A window whose key is nowhere in the text is never found. The probe
    // keeps 63 characters of the key, and so does this check.
    char key[64];
    snprintf(key, sizeof key, "\"hwnd\":%s", handle.get());
    if (!strstr(json.get(), key) && value != kFieldMissing)
        __builtin_trap();
    if (json_field(nullptr, handle.get(), member.get()) != kFieldMissing)
        __builtin_trap();
    return 0;
}
