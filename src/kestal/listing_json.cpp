// The listing's JSON text: one object per window, members in a fixed order.
#include "listing_json.h"

#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>

#include "control_text.h"

namespace {

constexpr const char *kStateNames[] = {"normal", "minimized", "maximized"};

const char *text_or_empty(const char *text)
{
    return text ? text : "";
}

const char *state_name(int32_t state)
{
    return state > 0 && state < static_cast<int32_t>(std::size(kStateNames)) ? kStateNames[state] : kStateNames[0];
}

} // namespace

static void add_members(yyjson_mut_doc *doc, yyjson_mut_val *object, const kestal_window &entry, uint32_t options)
{
    // A member that does not fit is left out; the rest of the listing stands.
    yyjson_mut_obj_add_sint(doc, object, "hwnd", entry.hwnd);
    yyjson_mut_obj_add_str(doc, object, "title", text_or_empty(entry.title));
    yyjson_mut_obj_add_str(doc, object, "exe", text_or_empty(entry.exe));
    yyjson_mut_obj_add_bool(doc, object, "pinned", entry.pinned);
    yyjson_mut_obj_add_sint(doc, object, "opacity", entry.opacity);
    if (!(options & KESTAL_JSON_LONG))
        return;
    yyjson_mut_obj_add_uint(doc, object, "pid", entry.pid);
    yyjson_mut_obj_add_str(doc, object, "class", text_or_empty(entry.class_name));
    yyjson_mut_obj_add_sint(doc, object, "x", entry.x);
    yyjson_mut_obj_add_sint(doc, object, "y", entry.y);
    yyjson_mut_obj_add_sint(doc, object, "width", entry.width);
    yyjson_mut_obj_add_sint(doc, object, "height", entry.height);
    yyjson_mut_obj_add_str(doc, object, "state", state_name(entry.state));
    yyjson_mut_obj_add_bool(doc, object, "foreground", entry.foreground);
    yyjson_mut_obj_add_bool(doc, object, "clickthrough", entry.clickthrough);
    yyjson_mut_obj_add_sint(doc, object, "monitor", entry.monitor);
}

// yyjson escapes only C0 controls. The others go out as \u escapes too,
// which every JSON reader reads back to the same text; a text without any
// (nearly every one) is handed on as it is.
static char *escape_controls(char *text)
{
    const std::string_view written(text);
    size_t extra = 0;
    unsigned code = 0;
    for (size_t at = 0; at < written.size(); ++at) {
        if (const size_t length = control_at(written, at, code)) {
            extra += 6 - length;
            at += length - 1;
        }
    }
    if (extra == 0)
        return text;
    char *escaped = static_cast<char *>(malloc(written.size() + extra + 1));
    if (escaped) {
        char *out = escaped;
        for (size_t at = 0; at < written.size(); ++at) {
            const size_t length = control_at(written, at, code);
            if (length == 0) {
                *out++ = written[at];
                continue;
            }
            snprintf(out, 7, "\\u%04x", code);
            out += 6;
            at += length - 1;
        }
        *out = '\0';
    }
    free(text);
    return escaped;
}

// Writes the document that `root` heads and frees it.
static char *written(yyjson_mut_doc *doc, yyjson_mut_val *root, uint32_t options, const char **failure)
{
    yyjson_mut_doc_set_root(doc, root);
    const yyjson_write_flag flags = options & KESTAL_JSON_ASCII ? YYJSON_WRITE_ESCAPE_UNICODE : YYJSON_WRITE_NOFLAG;
    char *text = yyjson_mut_write(doc, flags, nullptr);
    yyjson_mut_doc_free(doc);
    if (text)
        text = escape_controls(text);
    if (!text)
        *failure = "yyjson write failed";
    return text;
}

// A document whose root `make_root` makes; null, with the reason in
// `*failure`, when memory runs out.
static yyjson_mut_doc *new_document(yyjson_mut_val *(*make_root)(yyjson_mut_doc *), yyjson_mut_val **root,
                                    const char **failure)
{
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    *root = doc ? make_root(doc) : nullptr;
    if (*root)
        return doc;
    *failure = "yyjson out of memory";
    yyjson_mut_doc_free(doc);
    return nullptr;
}

char *listing_json(const kestal_window *entries, int32_t count, uint32_t options, const char **failure)
{
    yyjson_mut_val *root = nullptr;
    yyjson_mut_doc *doc = new_document(yyjson_mut_arr, &root, failure);
    if (!doc)
        return nullptr;
    // The document points at the entries' strings, which outlive the write.
    for (int32_t i = 0; i < count; ++i) {
        if (yyjson_mut_val *object = yyjson_mut_arr_add_obj(doc, root))
            add_members(doc, object, entries[i], options);
    }
    return written(doc, root, options, failure);
}

char *window_json(const kestal_window &entry, uint32_t options, const char **failure)
{
    yyjson_mut_val *root = nullptr;
    yyjson_mut_doc *doc = new_document(yyjson_mut_obj, &root, failure);
    if (!doc)
        return nullptr;
    add_members(doc, root, entry, options);
    return written(doc, root, options, failure);
}

char *monitors_json(const kestal_monitor *monitors, int32_t count, const char **failure)
{
    yyjson_mut_val *root = nullptr;
    yyjson_mut_doc *doc = new_document(yyjson_mut_arr, &root, failure);
    if (!doc)
        return nullptr;
    for (int32_t i = 0; i < count; ++i) {
        yyjson_mut_val *object = yyjson_mut_arr_add_obj(doc, root);
        if (!object)
            continue;
        const kestal_monitor &monitor = monitors[i];
        yyjson_mut_obj_add_sint(doc, object, "number", monitor.number);
        yyjson_mut_obj_add_str(doc, object, "device", monitor.device);
        const std::pair<const char *, int32_t> numbers[] = {
            {"x", monitor.x},           {"y", monitor.y},
            {"width", monitor.width},   {"height", monitor.height},
            {"work_x", monitor.work_x}, {"work_y", monitor.work_y},
            {"work_width", monitor.work_width}, {"work_height", monitor.work_height},
            {"dpi", monitor.dpi}};
        for (const auto &[name, value] : numbers)
            yyjson_mut_obj_add_sint(doc, object, name, value);
        yyjson_mut_obj_add_bool(doc, object, "primary", monitor.primary);
    }
    return written(doc, root, 0, failure);
}
