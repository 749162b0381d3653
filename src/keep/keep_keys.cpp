// The keys of a hotkey: the names people reach for, and the combinations
// that would surprise them, refused before they are registered.
#include "keep_keys.h"

namespace {

struct named_key {
    std::string_view name; // lower case
    UINT key;
};

// Besides A-Z, 0-9, F1-F24 and Numpad0-Numpad9. The punctuation keys are
// named by what a US layout prints on them, and may be written as that
// character, too; the virtual-key code is the key's place, whatever another
// layout prints there.
constexpr named_key kNamedKeys[] = {
    {"up", VK_UP},
    {"down", VK_DOWN},
    {"left", VK_LEFT},
    {"right", VK_RIGHT},
    {"home", VK_HOME},
    {"end", VK_END},
    {"pageup", VK_PRIOR},
    {"pgup", VK_PRIOR},
    {"pagedown", VK_NEXT},
    {"pgdn", VK_NEXT},
    {"insert", VK_INSERT},
    {"ins", VK_INSERT},
    {"delete", VK_DELETE},
    {"del", VK_DELETE},
    {"space", VK_SPACE},
    {"esc", VK_ESCAPE},
    {"tab", VK_TAB},
    {"enter", VK_RETURN},
    {"backspace", VK_BACK},
    {"printscreen", VK_SNAPSHOT},
    {"pause", VK_PAUSE},
    {"numpadadd", VK_ADD},
    {"numpadsubtract", VK_SUBTRACT},
    {"numpadmultiply", VK_MULTIPLY},
    {"numpaddivide", VK_DIVIDE},
    {"numpaddecimal", VK_DECIMAL},
    {"minus", VK_OEM_MINUS},
    {"-", VK_OEM_MINUS},
    {"plus", VK_OEM_PLUS},
    {"=", VK_OEM_PLUS},
    {"comma", VK_OEM_COMMA},
    {",", VK_OEM_COMMA},
    {"period", VK_OEM_PERIOD},
    {".", VK_OEM_PERIOD},
    {"semicolon", VK_OEM_1},
    {";", VK_OEM_1},
    {"slash", VK_OEM_2},
    {"/", VK_OEM_2},
    {"backquote", VK_OEM_3},
    {"`", VK_OEM_3},
    {"bracketleft", VK_OEM_4},
    {"[", VK_OEM_4},
    {"backslash", VK_OEM_5},
    {"\\", VK_OEM_5},
    {"bracketright", VK_OEM_6},
    {"]", VK_OEM_6},
    {"quote", VK_OEM_7},
    {"'", VK_OEM_7},
};

constexpr char kKeyNames[] =
    "A-Z, 0-9, F1-F24, Up, Down, Left, Right, Home, End, PageUp or PgUp, PageDown or PgDn, Insert or Ins, "
    "Delete or Del, Space, Esc, Tab, Enter, Backspace, PrintScreen, Pause, Numpad0-Numpad9, NumpadAdd, "
    "NumpadSubtract, NumpadMultiply, NumpadDivide, NumpadDecimal, Minus or -, Plus or =, Comma or ',', "
    "Period or '.', Semicolon or ;, Slash or /, Backquote or `, BracketLeft or [, Backslash or \\, "
    "BracketRight or ], Quote or '";

struct named_modifier {
    std::string_view name;
    UINT modifier;
};

constexpr named_modifier kModifiers[] = {
    {"ctrl", MOD_CONTROL}, {"alt", MOD_ALT}, {"shift", MOD_SHIFT}, {"win", MOD_WIN}};

// What Windows does with these keys itself: a hotkey there would never
// come, or would take the key from Windows.
struct kept_keys {
    UINT modifiers;
    UINT key;
    std::string_view why;
};

constexpr kept_keys kKeptByWindows[] = {
    {0, VK_F12, "is kept by Windows for debuggers"},
    {MOD_CONTROL | MOD_ALT, VK_DELETE, "is kept by Windows for its security screen"},
    {MOD_CONTROL | MOD_ALT | MOD_SHIFT, VK_DELETE, "is kept by Windows for its security screen"},
    {MOD_WIN, 'L', "is kept by Windows to lock the computer"},
    {MOD_CONTROL | MOD_SHIFT, VK_ESCAPE, "is kept by Windows to open the Task Manager"},
    {MOD_CONTROL, VK_ESCAPE, "is kept by Windows to open the Start menu"},
    {MOD_ALT, VK_TAB, "is kept by Windows to switch windows"},
    {MOD_ALT | MOD_SHIFT, VK_TAB, "is kept by Windows to switch windows"},
};

// What Ctrl with a letter does in most programs: a hotkey there takes it from
// every one of them while keep runs.
struct common_use {
    UINT key;
    std::string_view use;
};

constexpr common_use kCtrlLetters[] = {
    {'A', "select all"}, {'C', "copy"},        {'F', "find"},  {'N', "new window"}, {'O', "open"},
    {'P', "print"},      {'R', "reload"},      {'S', "save"},  {'T', "new tab"},    {'V', "paste"},
    {'W', "close tab"},  {'X', "cut"},         {'Y', "redo"},  {'Z', "undo"},
};

std::string lower(std::string_view text)
{
    std::string folded(text);
    for (char &c : folded)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return folded;
}

// A number of 1 or 2 digits from `low` to `high` after `prefix`; 0 otherwise.
UINT numbered(std::string_view name, std::string_view prefix, UINT low, UINT high)
{
    if (!name.starts_with(prefix) || name.size() == prefix.size() || name.size() > prefix.size() + 2)
        return 0;
    UINT value = 0;
    for (char c : name.substr(prefix.size())) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + static_cast<UINT>(c - '0');
    }
    return value >= low && value <= high ? value : 0;
}

UINT key_of(std::string_view name)
{
    if (name.size() == 1 && ((name[0] >= 'a' && name[0] <= 'z') || (name[0] >= '0' && name[0] <= '9')))
        return static_cast<UINT>(name[0] >= 'a' ? name[0] - 'a' + 'A' : name[0]);
    if (UINT f = numbered(name, "f", 1, 24))
        return VK_F1 + f - 1;
    if (name.starts_with("numpad") && name.size() == 7 && name[6] >= '0' && name[6] <= '9')
        return VK_NUMPAD0 + static_cast<UINT>(name[6] - '0');
    for (const named_key &named : kNamedKeys) {
        if (named.name == name)
            return named.key;
    }
    return 0;
}

// Modifiers, each once, then one key; false when a part is none of them.
bool parse_keys(std::string_view text, UINT &modifiers, UINT &key)
{
    const std::string folded = lower(text);
    std::string_view rest = folded;
    modifiers = 0;
    for (;;) {
        const size_t plus = rest.find('+');
        const std::string_view part = rest.substr(0, plus);
        if (plus == std::string_view::npos) {
            key = key_of(part);
            return key != 0;
        }
        UINT modifier = 0;
        for (const named_modifier &named : kModifiers) {
            if (named.name == part)
                modifier = named.modifier;
        }
        if (!modifier || (modifiers & modifier))
            return false;
        modifiers |= modifier;
        rest = rest.substr(plus + 1);
    }
}

} // namespace

bool read_keys(std::string_view text, UINT &modifiers, UINT &key, std::string &why)
{
    if (!parse_keys(text, modifiers, key)) {
        why = std::string("cannot be read as keys: write modifiers (Ctrl, Alt, Shift, Win) and one key, such as "
                          "Ctrl+Alt+T; the keys are ") +
              kKeyNames;
        return false;
    }
    for (const kept_keys &kept : kKeptByWindows) {
        if (kept.modifiers == modifiers && kept.key == key) {
            why = std::string(kept.why) + ": choose other keys";
            return false;
        }
    }
    // Keys that no keyboard types by accident may stand alone.
    if (!(modifiers & (MOD_CONTROL | MOD_ALT | MOD_WIN)) && (key < VK_F13 || key > VK_F24)) {
        why = "has no Ctrl, Alt or Win, so every program would lose that key while keep runs: add Ctrl, Alt or Win "
              "(Shift alone is not enough), or take one of F13 to F24";
        return false;
    }
    return true;
}

std::string shadowed_use(UINT modifiers, UINT key)
{
    const bool letter_or_digit = (key >= 'A' && key <= 'Z') || (key >= '0' && key <= '9');
    if (!letter_or_digit || (modifiers != MOD_CONTROL && modifiers != (MOD_CONTROL | MOD_SHIFT)))
        return {};
    std::string why = "takes that key from every program while keep runs";
    for (const common_use &common : kCtrlLetters) {
        if (common.key == key && modifiers == MOD_CONTROL)
            why += ", where it means " + std::string(common.use);
    }
    return why + ": add Alt or Win to leave it to them";
}
