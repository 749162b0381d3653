// Reading the rules file of `keep`, as people write JSON: comments and
// trailing commas are welcome, anything else that is off is named.
#include "keep_rules.h"

#include <yyjson.h>

#include <cstdlib>
#include <string_view>

#include "monitor_commands.h"
#include "setter_commands.h"
#include "console_text.h"
#include "keep_keys.h"

namespace {

// Why kestal-cli would refuse the command line, or "" when it takes it. Only
// the commands that act on windows belong to a hotkey.
std::string refusal(const std::vector<std::string> &words, keep_hotkey &hotkey)
{
    if (words.empty())
        return "is empty";
    const std::string &command = words[0];
    const size_t count = words.size();
    // The target is replaced below; what it was must be readable itself.
    window_selector selector;
    if (count >= 2 && words[1] != "pick" && !read_selector(words[1].c_str(), selector) &&
        !is_number_text(words[1].c_str()))
        return "has the target " + no_selector_text(words[1]) + ", nor a window handle, nor pick";
    if (command == "pin") {
        if (count < 2)
            return "needs a window";
        if (count >= 3 && !is_number_text(words[2].c_str()) && switch_word(words[2]) < 0)
            return "has the flag '" + words[2] + "', which is none of on, off, toggle or a number";
    } else if (command == "opacity") {
        if (count < 3)
            return "needs a window and a percentage, up or down";
        int32_t points = 0;
        if ((words[2] == "up" || words[2] == "down") && count >= 4 && !parse_points(words[3].c_str(), points))
            return "has the step '" + words[3] + "', which is no number of points from 1 to 100";
        // The command line reads the percentage as atoi does; the library refuses it outside 20..100.
        if (words[2] != "up" && words[2] != "down" && (atoi(words[2].c_str()) < 20 || atoi(words[2].c_str()) > 100))
            return "has the percentage '" + words[2] + "', which is not from 20 to 100";
    } else if (command == "clickthrough") {
        if (count < 2)
            return "needs a window";
        if (count >= 3 && words[2] != "1" && words[2] != "0" && switch_word(words[2]) < 0)
            return "has the flag '" + words[2] + "', which is none of on, off, toggle, 1 and 0";
    } else if (command == "move" || command == "resize") {
        if (count < 4)
            return "needs a window and two numbers";
    } else if (command == "snap" || command == "send") {
        if (count < 3)
            return command == "snap" ? "needs a window and a position" : "needs a window and a monitor";
    } else if (command == "minimize" || command == "maximize" || command == "restore" || command == "activate" ||
               command == "close") {
        if (count < 2)
            return "needs a window";
    } else if (command == "reapply") {
        // keep's own: the person's changes of the target go back to the rules.
        std::string why;
        if (count != 2)
            return "needs one window: reapply <hwnd|selector>";
        hotkey.reapply = true;
        hotkey.command.word = command;
        if (!read_window_target("reapply", words[1], hotkey.command.target, why))
            return "is refused: " + why;
        return "";
    } else if (command != "reset") {
        return "is no command that changes windows";
    }
    command_refusal refused;
    if (read_window_command(words, hotkey.command, refused))
        return "";
    return "is refused by the command line" + (refused.line.empty() ? std::string() : ": " + refused.line);
}

// Selectors, as one word or an array of words; false with `why` set otherwise.
bool read_selectors(yyjson_val *value, std::vector<window_selector> &selectors, std::string &why)
{
    auto read_one = [&](yyjson_val *word) {
        window_selector selector;
        if (!yyjson_is_str(word) || !read_selector(yyjson_get_str(word), selector)) {
            why = yyjson_is_str(word) ? no_selector_text(yyjson_get_str(word))
                                      : "is neither a selector nor an array of selectors";
            return false;
        }
        selectors.push_back(selector);
        return true;
    };
    if (!yyjson_is_arr(value))
        return read_one(value);
    size_t index, count;
    yyjson_val *word;
    yyjson_arr_foreach(value, index, count, word)
    {
        if (!read_one(word))
            return false;
    }
    if (selectors.empty()) {
        why = "is an empty array";
        return false;
    }
    return true;
}

bool read_switch(yyjson_val *value, int32_t &into, std::string &why)
{
    if (!yyjson_is_bool(value)) {
        why = "is not true or false";
        return false;
    }
    into = yyjson_get_bool(value) ? 1 : 0;
    return true;
}

} // namespace

int read_action(std::string_view name, yyjson_val *value, rule_actions &actions, std::string &why)
{
    if (name == "pin")
        return read_switch(value, actions.pin, why) ? 1 : 0;
    if (name == "clickthrough")
        return read_switch(value, actions.clickthrough, why) ? 1 : 0;
    if (name != "opacity")
        return -1;
    const int64_t percent = yyjson_is_int(value) ? yyjson_get_sint(value) : -1;
    if (percent < 20 || percent > 100) {
        why = "is not a whole number from 20 to 100";
        return 0;
    }
    actions.opacity = static_cast<int32_t>(percent);
    return 1;
}

namespace {

// One rule; false with `where` naming the member and `why` what is wrong.
bool read_rule(yyjson_val *object, keep_rule &rule, std::string &where, std::string &why)
{
    if (!yyjson_is_obj(object)) {
        why = "is not an object";
        return false;
    }
    size_t index, count;
    yyjson_val *key, *value;
    yyjson_obj_foreach(object, index, count, key, value)
    {
        const std::string_view name = yyjson_get_str(key);
        where = "." + std::string(name);
        bool read = true;
        if (name == "match") {
            read = read_selectors(value, rule.match, why);
        } else if (name == "except") {
            read = read_selectors(value, rule.except, why);
        } else if (const int action = read_action(name, value, rule.actions, why); action >= 0) {
            read = action == 1;
        } else if (name == "snap") {
            rule.placement.snap = yyjson_is_str(value) ? snap_position_of(yyjson_get_str(value)) : -1;
            read = rule.placement.snap >= 0;
            if (!read)
                why = "is no position of snap: give " + snap_position_words();
        } else if (name == "monitor") {
            const int64_t number = yyjson_is_int(value) ? yyjson_get_sint(value) : 0;
            read = number >= 1 && number <= KESTAL_MAX_MONITORS;
            if (read)
                rule.placement.monitor = static_cast<int32_t>(number);
            else
                why = "is not a monitor's number from 1 (kestal-cli monitors lists them)";
        } else {
            why = "is no member of a rule (match, except, pin, opacity, clickthrough, snap, monitor)";
            read = false;
        }
        if (!read)
            return false;
    }
    where.clear();
    if (rule.match.empty()) {
        why = "has no \"match\"";
        return false;
    }
    if (rule.actions.pin < 0 && rule.actions.opacity < 0 && rule.actions.clickthrough < 0 &&
        rule.placement.snap < 0 && rule.placement.monitor < 0) {
        why = "has no action: give it \"pin\", \"opacity\", \"clickthrough\", \"snap\" or \"monitor\"";
        return false;
    }
    return true;
}

// "#RRGGBB", case ignored.
bool read_color(yyjson_val *value, COLORREF &color)
{
    const char *text = yyjson_is_str(value) ? yyjson_get_str(value) : "";
    if (strlen(text) != 7 || text[0] != '#')
        return false;
    uint32_t rgb = 0;
    for (const char *digit = text + 1; *digit; ++digit) {
        const char c = static_cast<char>(*digit | 0x20);
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
        rgb = rgb << 4 | static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    color = RGB(rgb >> 16, (rgb >> 8) & 0xFF, rgb & 0xFF);
    return true;
}

// `true`, `false`, or {"color": "#RRGGBB", "thickness": N}; false with
// `where` naming the member and `why` what is wrong.
bool read_border(yyjson_val *value, keep_border &border, std::string &where, std::string &why)
{
    where = "border";
    if (yyjson_is_bool(value)) {
        border.shown = yyjson_get_bool(value);
        return true;
    }
    if (!yyjson_is_obj(value)) {
        why = "is neither true, false nor an object with \"color\" and \"thickness\"";
        return false;
    }
    border.shown = true;
    size_t index, count;
    yyjson_val *key, *member;
    yyjson_obj_foreach(value, index, count, key, member)
    {
        const std::string_view name = yyjson_get_str(key);
        where = "border." + std::string(name);
        if (name == "color") {
            border.accent = false;
            if (!read_color(member, border.color)) {
                why = "is not a colour written as \"#RRGGBB\"";
                return false;
            }
        } else if (name == "thickness") {
            const int64_t pixels = yyjson_is_int(member) ? yyjson_get_sint(member) : 0;
            if (pixels < 1 || pixels > 16) {
                why = "is not a whole number of pixels from 1 to 16";
                return false;
            }
            border.thickness = static_cast<int32_t>(pixels);
        } else {
            why = "is no member of a border (color, thickness)";
            return false;
        }
    }
    return true;
}

bool read_document(yyjson_val *root, keep_rules &rules, std::string &where, std::string &why)
{
    if (!yyjson_is_obj(root)) {
        why = "is not a JSON object with \"rules\" and \"keys\"";
        return false;
    }
    size_t index, count;
    yyjson_val *key, *value;
    yyjson_obj_foreach(root, index, count, key, value)
    {
        const std::string_view name = yyjson_get_str(key);
        if (name == "rules" && yyjson_is_arr(value)) {
            size_t at, rule_count;
            yyjson_val *object;
            yyjson_arr_foreach(value, at, rule_count, object)
            {
                keep_rule rule;
                std::string member;
                if (!read_rule(object, rule, member, why)) {
                    where = "rules[" + std::to_string(at) + "]" + member;
                    return false;
                }
                rules.rules.push_back(rule);
            }
        } else if (name == "keys" && yyjson_is_obj(value)) {
            size_t at, key_count;
            yyjson_val *keys, *command;
            yyjson_obj_foreach(value, at, key_count, keys, command)
            {
                keep_hotkey hotkey = {yyjson_get_str(keys), 0, 0, {}, {}, false};
                where = "keys.\"" + hotkey.keys + "\"";
                if (!read_keys(hotkey.keys, hotkey.modifiers, hotkey.key, why))
                    return false;
                // Registered twice, the second would be reported as taken by another program.
                for (const keep_hotkey &earlier : rules.hotkeys) {
                    if (earlier.modifiers == hotkey.modifiers && earlier.key == hotkey.key) {
                        why = "is the same keys as keys.\"" + earlier.keys + "\": keep one of the two";
                        return false;
                    }
                }
                if (!yyjson_is_str(command)) {
                    why = "is not a command line in a string";
                    return false;
                }
                hotkey.words = command_words(yyjson_get_str(command));
                const std::string refused = refusal(hotkey.words, hotkey);
                if (!refused.empty()) {
                    why = "the command '" + std::string(yyjson_get_str(command)) + "' " + refused;
                    return false;
                }
                rules.hotkeys.push_back(hotkey);
            }
        } else if (name == "border") {
            if (!read_border(value, rules.border, where, why))
                return false;
        } else if (name == "tray" || name == "remember") {
            int32_t on = 1;
            where = std::string(name);
            if (!read_switch(value, on, why))
                return false;
            (name == "tray" ? rules.tray : rules.remember) = on != 0;
        } else {
            where = std::string(name);
            why = name == "rules"  ? "is not an array of rules"
                  : name == "keys" ? "is not an object of keys and commands"
                                   : "is no member of a rules file (rules, keys, border, tray, remember)";
            return false;
        }
    }
    return true;
}

} // namespace

std::vector<std::string> command_words(const std::string &line)
{
    std::vector<std::string> words;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
            ++at;
        if (at == line.size())
            break;
        std::string word;
        bool quoted = false;
        for (; at < line.size() && (quoted || (line[at] != ' ' && line[at] != '\t')); ++at) {
            if (line[at] == '"')
                quoted = !quoted;
            else
                word += line[at];
        }
        words.push_back(word);
    }
    return words;
}

yyjson_doc *parse_json_text(const std::string &path, const std::string &text, std::string &error)
{
    yyjson_read_err failure = {};
    yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(text.data()), text.size(),
                                       YYJSON_READ_ALLOW_COMMENTS | YYJSON_READ_ALLOW_TRAILING_COMMAS, nullptr,
                                       &failure);
    if (!doc) {
        size_t line = 0, column = 0, character = 0;
        yyjson_locate_pos(text.data(), text.size(), failure.pos, &line, &column, &character);
        error = path + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + failure.msg;
    }
    return doc;
}

bool parse_keep_rules(const std::string &path, const std::string &text, keep_rules &rules, std::string &error)
{
    rules = {};
    yyjson_doc *doc = parse_json_text(path, text, error);
    if (!doc)
        return false;
    std::string where, why;
    const bool read = read_document(yyjson_doc_get_root(doc), rules, where, why);
    yyjson_doc_free(doc);
    if (!read)
        error = path + ": " + (where.empty() ? "the file" : where) + " " + why;
    return read;
}
