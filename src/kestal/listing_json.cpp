// The listing's JSON text: one object per window, members in a fixed order.
#include "listing_json.h"

#include <yyjson.h>

static void add_entry(yyjson_mut_doc *doc, yyjson_mut_val *root, const listing_entry &entry)
{
    yyjson_mut_val *object = yyjson_mut_arr_add_obj(doc, root);
    if (!object)
        return;
    // A member that does not fit is left out; the rest of the listing stands.
    yyjson_mut_obj_add_sint(doc, object, "hwnd", entry.hwnd);
    yyjson_mut_obj_add_str(doc, object, "title", entry.title ? entry.title : "");
    yyjson_mut_obj_add_str(doc, object, "exe", entry.exe ? entry.exe : "");
    yyjson_mut_obj_add_bool(doc, object, "pinned", entry.pinned);
    yyjson_mut_obj_add_sint(doc, object, "opacity", entry.opacity);
}

char *listing_json(const listing_entry *entries, int32_t count, const char **failure)
{
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    if (!doc) {
        *failure = "yyjson out of memory";
        return nullptr;
    }
    yyjson_mut_val *root = yyjson_mut_arr(doc);
    if (!root) {
        *failure = "yyjson out of memory";
        yyjson_mut_doc_free(doc);
        return nullptr;
    }
    yyjson_mut_doc_set_root(doc, root);
    // The document points at the entries' strings, which outlive the write.
    for (int32_t i = 0; i < count; ++i)
        add_entry(doc, root, entries[i]);

    char *text = yyjson_mut_write(doc, YYJSON_WRITE_NOFLAG, nullptr);
    yyjson_mut_doc_free(doc);
    if (!text)
        *failure = "yyjson write failed";
    return text;
}
