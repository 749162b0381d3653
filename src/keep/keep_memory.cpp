// What keep remembers is written whole to a new file that then takes the old
// one's place, so that no crash leaves it half written, and it is never
// written over while it cannot be read: a person's edit that went wrong is
// theirs to mend, not keep's to lose.
#include "keep_memory.h"

#include <windows.h>

#include <algorithm>
#include <iterator>

#include "control_text.h"
#include "keep_lines.h"
#include "keep_reload.h"
#include "keep_rules.h"
#include "keep_windows.h"
#include "window_selector.h"
#include "wide_text.h"

namespace {

struct remembered_member {
    const char *name;
    uint32_t bit;
    int32_t rule_actions::*value;
    int32_t released; // the value that releases it, and so forgets it
    bool as_bool;
};

constexpr remembered_member kMembers[] = {
    {"pin", KESTAL_BY_HAND_PIN, &rule_actions::pin, 0, true},
    {"opacity", KESTAL_BY_HAND_OPACITY, &rule_actions::opacity, 100, false},
    {"clickthrough", KESTAL_BY_HAND_CLICKTHROUGH, &rule_actions::clickthrough, 0, true},
};

bool same_text(const std::string &a, const std::string &b)
{
    const std::wstring wide_a = widen(a), wide_b = widen(b);
    return CompareStringOrdinal(wide_a.c_str(), static_cast<int>(wide_a.size()), wide_b.c_str(),
                                static_cast<int>(wide_b.size()), TRUE) == CSTR_EQUAL;
}

bool of_program(const remembered_program &program, const char *exe, const char *class_name)
{
    return same_text(program.exe, exe) && (program.class_name.empty() || program.class_name == class_name);
}

// The line that names a program and what of it was remembered or forgotten.
yyjson_mut_val *program_object(yyjson_mut_doc *doc, const char *event, const remembered_program &program)
{
    yyjson_mut_val *object = event_object(doc, event);
    yyjson_mut_obj_add_strcpy(doc, object, "exe", program.exe.c_str());
    if (!program.class_name.empty())
        yyjson_mut_obj_add_strcpy(doc, object, "class", program.class_name.c_str());
    return object;
}

void add_member(yyjson_mut_doc *doc, yyjson_mut_val *object, const remembered_member &member, int32_t value)
{
    yyjson_mut_obj_add_val(doc, object, member.name,
                           member.as_bool ? yyjson_mut_bool(doc, value != 0) : yyjson_mut_sint(doc, value));
}

void forgotten_line(keep_state &state, const remembered_program &program, const rule_actions &forgotten)
{
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *object = program_object(doc, "forgotten", program);
    yyjson_mut_val *members = yyjson_mut_arr(doc);
    for (const remembered_member &member : kMembers) {
        if (forgotten.*member.value >= 0)
            yyjson_mut_arr_add_str(doc, members, member.name);
    }
    yyjson_mut_obj_add_val(doc, object, "members", members);
    keep_line(state, doc, object);
}

bool read_program(yyjson_val *object, remembered_program &program, std::string &where, std::string &why)
{
    if (!yyjson_is_obj(object)) {
        why = "is not an object with \"exe\" and what is remembered";
        return false;
    }
    size_t index, count;
    yyjson_val *key, *value;
    yyjson_obj_foreach(object, index, count, key, value)
    {
        const std::string_view name = yyjson_get_str(key);
        where = "." + std::string(name);
        if (name == "exe" || name == "class") {
            if (!yyjson_is_str(value) || !*yyjson_get_str(value)) {
                why = "is not a name in a string";
                return false;
            }
            (name == "exe" ? program.exe : program.class_name) = yyjson_get_str(value);
            continue;
        }
        const int action = read_action(name, value, program.actions, why);
        if (action == 1)
            continue;
        if (action < 0)
            why = "is no member of a remembered program (exe, class, pin, opacity, clickthrough)";
        return false;
    }
    where.clear();
    if (program.exe.empty()) {
        why = "has no \"exe\"";
        return false;
    }
    return true;
}

bool read_remembered_text(const std::string &path, const std::string &text, std::vector<remembered_program> &read,
                          std::string &error)
{
    yyjson_doc *doc = parse_json_text(path, text, error);
    if (!doc)
        return false;
    yyjson_val *list = yyjson_obj_get(yyjson_doc_get_root(doc), "remembered");
    std::string where, why;
    if (!yyjson_is_obj(yyjson_doc_get_root(doc)) || !yyjson_is_arr(list)) {
        why = "is not a JSON object with an array \"remembered\"";
    } else {
        size_t index, count;
        yyjson_val *object;
        yyjson_arr_foreach(list, index, count, object)
        {
            remembered_program program;
            if (!read_program(object, program, where, why)) {
                where = "remembered[" + std::to_string(index) + "]" + where;
                break;
            }
            read.push_back(program);
        }
    }
    yyjson_doc_free(doc);
    if (!why.empty())
        error = path + ": " + (where.empty() ? "the file" : where) + " " + why;
    return why.empty();
}

// Writes the whole file anew; the old one stays whole until the new one has
// taken its place.
void save_remembered(keep_state &state)
{
    ++state.remembered_version;
    if (!state.remembered_error.empty())
        return;
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *root = yyjson_mut_obj(doc);
    yyjson_mut_doc_set_root(doc, root);
    yyjson_mut_val *list = yyjson_mut_arr(doc);
    for (const remembered_program &program : state.remembered) {
        yyjson_mut_val *object = yyjson_mut_obj(doc);
        yyjson_mut_obj_add_strcpy(doc, object, "exe", program.exe.c_str());
        if (!program.class_name.empty())
            yyjson_mut_obj_add_strcpy(doc, object, "class", program.class_name.c_str());
        for (const remembered_member &member : kMembers) {
            if (program.actions.*member.value >= 0)
                add_member(doc, object, member, program.actions.*member.value);
        }
        yyjson_mut_arr_append(list, object);
    }
    yyjson_mut_obj_add_val(doc, root, "remembered", list);
    size_t length = 0;
    char *text = yyjson_mut_write(doc, YYJSON_WRITE_PRETTY_TWO_SPACES, &length);
    yyjson_mut_doc_free(doc);
    if (!text)
        return;
    const std::string path = remembered_path(state);
    const std::wstring target = widen(path), fresh = target + L".new";
    HANDLE file = CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    bool saved = file != INVALID_HANDLE_VALUE && WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) &&
                 written == length && WriteFile(file, "\n", 1, &written, nullptr) && FlushFileBuffers(file);
    DWORD code = saved ? ERROR_SUCCESS : GetLastError();
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    free(text);
    if (saved && !MoveFileExW(fresh.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        code = GetLastError();
        saved = false;
    }
    if (!saved) {
        DeleteFileW(fresh.c_str());
        report_error(state, escaped_controls("error: " + path + " could not be written (win32 error " +
                                                 std::to_string(code) +
                                                 "); what keep remembers now lasts only while it runs",
                                             true));
        return;
    }
    stamp_of(path, state.remembered_stamp);
}

void read_file(keep_state &state)
{
    const std::string path = remembered_path(state);
    std::vector<remembered_program> read;
    std::string text, error;
    stamp_of(path, state.remembered_stamp);
    if (GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES &&
        (!read_rules_text(path, text, error) || !read_remembered_text(path, text, read, error))) {
        if (error != state.remembered_error)
            report_error(state, escaped_controls("error: " + error +
                                                     "; keep remembers nothing of it and leaves it as it is until "
                                                     "it is mended",
                                                 true));
        state.remembered_error = error;
        read.clear();
    } else {
        state.remembered_error.clear();
    }
    // The windows that were open when a program was remembered stay as they are.
    for (remembered_program &program : read) {
        for (const remembered_program &known : state.remembered) {
            if (same_text(known.exe, program.exe) && known.class_name == program.class_name)
                program.open_then = known.open_then;
        }
    }
    state.remembered = std::move(read);
    ++state.remembered_version;
}

} // namespace

std::string remembered_path(const keep_state &state)
{
    return state.path + ".remembered.json";
}

void load_remembered(keep_state &state)
{
    if (!state.rules.remember) {
        state.remembered.clear();
        ++state.remembered_version;
        state.remembered_error.clear();
        return;
    }
    read_file(state);
}

bool note_remembered_change(keep_state &state)
{
    if (!state.rules.remember)
        return false;
    file_stamp stamp = {};
    const bool there = stamp_of(remembered_path(state), stamp);
    const bool was_there = state.remembered_stamp.size || state.remembered_stamp.written.dwHighDateTime;
    if ((there && same_stamp(stamp, state.remembered_stamp)) || (!there && !was_there))
        return false;
    read_file(state);
    return true;
}

rule_actions remembered_for(const keep_state &state, const kestal_window &window)
{
    rule_actions wanted;
    for (const remembered_program &program : state.remembered) {
        if (!of_program(program, window.exe, window.class_name) ||
            std::find(program.open_then.begin(), program.open_then.end(), window.hwnd) != program.open_then.end())
            continue;
        for (const remembered_member &member : kMembers) {
            if (program.actions.*member.value >= 0)
                wanted.*member.value = program.actions.*member.value;
        }
    }
    return wanted;
}

void remember_change(keep_state &state, int64_t hwnd, uint32_t attributes, const rule_actions &now)
{
    if (!state.rules.remember || !attributes)
        return;
    // The program is its exe, and its class where the exe shows windows of
    // several: the census names both, and the program's other windows.
    remembered_program program;
    std::vector<int64_t> open_windows;
    lock_census();
    const kestal_window *listed = nullptr;
    const int32_t count = kestal_census(0, &listed);
    const kestal_window *window = nullptr;
    for (int32_t i = 0; i < count && !window; ++i) {
        if (listed[i].hwnd == hwnd)
            window = &listed[i];
    }
    if (window) {
        program.exe = window->exe;
        for (int32_t i = 0; i < count && program.class_name.empty(); ++i) {
            if (same_text(listed[i].exe, window->exe) && std::string_view(listed[i].class_name) != window->class_name)
                program.class_name = window->class_name;
        }
        for (int32_t i = 0; i < count; ++i) {
            if (of_program(program, listed[i].exe, listed[i].class_name))
                open_windows.push_back(listed[i].hwnd);
        }
    }
    unlock_census();
    // A window that the listing does not show (no title, hidden) names no program.
    if (program.exe.empty())
        return;
    auto known = std::find_if(state.remembered.begin(), state.remembered.end(), [&](const remembered_program &p) {
        return same_text(p.exe, program.exe) && p.class_name == program.class_name;
    });
    rule_actions remembered, forgotten;
    for (const remembered_member &member : kMembers) {
        const int32_t value = now.*member.value;
        if (!(attributes & member.bit) || value < 0)
            continue;
        const int32_t held = known != state.remembered.end() ? known->actions.*member.value : -1;
        if (value == member.released) {
            if (held >= 0)
                forgotten.*member.value = held;
        } else if (value != held) {
            remembered.*member.value = value;
        }
    }
    if (!holds_anything(remembered) && !holds_anything(forgotten))
        return;
    if (known == state.remembered.end()) {
        program.open_then = open_windows;
        state.remembered.push_back(program);
        known = state.remembered.end() - 1;
    } else {
        // Windows opened since the program was first remembered are open now.
        for (int64_t open : open_windows) {
            if (std::find(known->open_then.begin(), known->open_then.end(), open) == known->open_then.end())
                known->open_then.push_back(open);
        }
    }
    for (const remembered_member &member : kMembers) {
        if (forgotten.*member.value >= 0)
            known->actions.*member.value = -1;
        else if (remembered.*member.value >= 0)
            known->actions.*member.value = remembered.*member.value;
    }
    const remembered_program named = *known;
    if (!holds_anything(known->actions))
        state.remembered.erase(known);
    if (holds_anything(remembered)) {
        yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
        yyjson_mut_val *object = program_object(doc, "remembered", named);
        for (const remembered_member &member : kMembers) {
            if (remembered.*member.value >= 0)
                add_member(doc, object, member, remembered.*member.value);
        }
        keep_line(state, doc, object);
    }
    if (holds_anything(forgotten))
        forgotten_line(state, named, forgotten);
    save_remembered(state);
}

bool forget_programs(keep_state &state, const std::vector<int64_t> &hwnds, std::string &why)
{
    std::vector<remembered_program> gone;
    if (hwnds.empty()) {
        gone = std::move(state.remembered);
        state.remembered.clear();
    } else {
        lock_census();
        const kestal_window *listed = nullptr;
        const int32_t count = kestal_census(0, &listed);
        std::vector<std::string> names;
        for (int32_t i = 0; i < count; ++i) {
            if (std::find(hwnds.begin(), hwnds.end(), listed[i].hwnd) == hwnds.end())
                continue;
            names.push_back(listed[i].exe);
            const auto of_window = [&](const remembered_program &p) {
                return of_program(p, listed[i].exe, listed[i].class_name);
            };
            std::copy_if(state.remembered.begin(), state.remembered.end(), std::back_inserter(gone), of_window);
            std::erase_if(state.remembered, of_window);
        }
        unlock_census();
        if (gone.empty()) {
            std::string named;
            for (const std::string &name : names)
                named += (named.empty() ? "" : ", ") + name;
            why = "nothing is remembered for " + (named.empty() ? std::string("that window") : named);
            return false;
        }
    }
    for (const remembered_program &program : gone)
        forgotten_line(state, program, program.actions);
    if (!gone.empty())
        save_remembered(state);
    return true;
}

void forget_program_at(keep_state &state, size_t index)
{
    if (index >= state.remembered.size())
        return;
    const remembered_program program = state.remembered[index];
    state.remembered.erase(state.remembered.begin() + static_cast<std::ptrdiff_t>(index));
    forgotten_line(state, program, program.actions);
    save_remembered(state);
}

std::vector<std::wstring> remembered_names(const keep_state &state)
{
    std::vector<std::wstring> names;
    for (const remembered_program &program : state.remembered) {
        std::wstring name = widen(program.exe);
        if (!program.class_name.empty())
            name += L" (" + widen(program.class_name) + L")";
        std::wstring what;
        if (program.actions.pin == 1)
            what += L"pinned";
        if (program.actions.opacity >= 0)
            what += (what.empty() ? L"" : L", ") + std::to_wstring(program.actions.opacity) + L" %";
        if (program.actions.clickthrough == 1)
            what += (what.empty() ? L"" : L", ") + std::wstring(L"click-through");
        names.push_back(name + L": " + what);
    }
    return names;
}
