// kestal-list-bench.exe: what one listing costs, set against the system calls
// that no listing can avoid, and what `kestal-cli list` costs as a whole
// process. Runs on the virtual desktop:
//   tools/winrun build/mingw/bin/kestal-list-bench.exe --windows 1000 --processes 10
// See docs/performance.md for the measures and how to read them.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "internal.h"
#include "kestal_inprocess.h"
#include "test_support.h"

namespace {

struct options {
    int windows = 1000;
    int processes = 10;
    int repeats = 15;
    bool json = false;
};

bool parse_options(int argc, char **argv, options &opts)
{
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--json") {
            opts.json = true;
            continue;
        }
        int *target = arg == "--windows" ? &opts.windows
                      : arg == "--processes" ? &opts.processes
                      : arg == "--repeats" ? &opts.repeats
                                             : nullptr;
        if (!target || i + 1 >= argc)
            return false;
        *target = atoi(argv[++i]);
    }
    return opts.windows >= 1 && opts.processes >= 1 && opts.processes <= opts.windows && opts.repeats >= 1;
}

double now_ms()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

struct summary {
    double median = 0, min = 0, max = 0, q1 = 0, q3 = 0;
};

// Quartiles by linear interpolation between the sorted samples.
summary summarise(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    auto at = [&](double fraction) {
        double position = fraction * static_cast<double>(samples.size() - 1);
        size_t low = static_cast<size_t>(position);
        size_t high = std::min(low + 1, samples.size() - 1);
        return samples[low] + (samples[high] - samples[low]) * (position - static_cast<double>(low));
    };
    return {at(0.5), samples.front(), samples.back(), at(0.25), at(0.75)};
}

// ---- the floor --------------------------------------------------------------

// The calls a listing cannot do without, resolved the way the library
// resolves them, so that the floor pays for the same cloak query.
DwmIsWindowCloaked_fn g_is_cloaked = nullptr;
DwmGetWindowAttribute_fn g_window_attribute = nullptr;
QueryFullProcessImageNameW_fn g_image_query = nullptr;

void resolve_floor_calls()
{
    if (HMODULE dwm = LoadLibraryW(L"dwmapi.dll")) {
        g_is_cloaked = reinterpret_cast<DwmIsWindowCloaked_fn>(
            reinterpret_cast<void (*)()>(GetProcAddress(dwm, "DwmIsWindowCloaked")));
        if (!g_is_cloaked)
            g_window_attribute = reinterpret_cast<DwmGetWindowAttribute_fn>(
                reinterpret_cast<void (*)()>(GetProcAddress(dwm, "DwmGetWindowAttribute")));
    }
    g_image_query = reinterpret_cast<QueryFullProcessImageNameW_fn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryFullProcessImageNameW")));
}

struct floor_pass {
    bool query_every_window = false;
    bool ask_cloak = true;
    HWND shell[2] = {};
    DWORD pids[4096 + 64];
    int pid_count = 0;
    int captured = 0;
};

void query_image(DWORD pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return;
    wchar_t path[1024];
    DWORD chars = static_cast<DWORD>(std::size(path));
    g_image_query(process, 0, path, &chars);
    CloseHandle(process);
}

// Whether the DWM calls the window cloaked; a DWM that cannot tell for one
// window cannot tell for any, and is not asked again in this pass.
bool is_cloaked(floor_pass &pass, HWND window)
{
    if (!pass.ask_cloak)
        return false;
    if (g_is_cloaked) {
        BOOL cloaked = FALSE;
        return g_is_cloaked(window, &cloaked) && cloaked;
    }
    if (!g_window_attribute)
        return false;
    DWORD cloaked = 0;
    const HRESULT answer = g_window_attribute(window, 14, &cloaked, sizeof cloaked);
    pass.ask_cloak = answer != E_NOTIMPL && answer != E_INVALIDARG;
    return answer == S_OK && cloaked;
}

// The calls a listing makes per window: the style, whose WS_VISIBLE is a
// top-level window's visibility, the cloak, the extended style, the layered
// attributes of a layered window, the title and the process; the shell's
// windows found once per pass by class.
BOOL CALLBACK floor_window(HWND window, LPARAM param)
{
    floor_pass &pass = *reinterpret_cast<floor_pass *>(param);
    if (!(GetWindowLongPtrW(window, GWL_STYLE) & WS_VISIBLE))
        return TRUE;
    if (window == pass.shell[0] || window == pass.shell[1] || is_cloaked(pass, window))
        return TRUE;
    if (GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_LAYERED) {
        COLORREF key;
        BYTE alpha;
        DWORD flags;
        GetLayeredWindowAttributes(window, &key, &alpha, &flags);
    }
    wchar_t title[1024];
    GetWindowTextW(window, title, static_cast<int>(std::size(title)));
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    bool seen = std::find(pass.pids, pass.pids + pass.pid_count, pid) != pass.pids + pass.pid_count;
    if (pass.query_every_window || !seen) {
        query_image(pid);
        if (!seen && pass.pid_count < static_cast<int>(std::size(pass.pids)))
            pass.pids[pass.pid_count++] = pid;
    }
    ++pass.captured;
    return TRUE;
}

int run_floor(bool query_every_window)
{
    static floor_pass pass;
    pass.query_every_window = query_every_window;
    pass.ask_cloak = true;
    pass.shell[0] = FindWindowExW(nullptr, nullptr, L"Progman", nullptr);
    pass.shell[1] = FindWindowExW(nullptr, nullptr, L"WorkerW", nullptr);
    pass.pid_count = 0;
    pass.captured = 0;
    EnumWindows(floor_window, reinterpret_cast<LPARAM>(&pass));
    return pass.captured;
}

// ---- the calls one by one --------------------------------------------------------

// What each kind of call costs, timed in a loop of its own over the windows
// (or processes) one listing makes it for.
struct call_kind {
    const char *key;
    const char *label;
    std::vector<double> samples; // ms for all calls of one listing
    int calls = 0;
};

struct desktop_snapshot {
    std::vector<HWND> all, listed, layered;
    std::vector<DWORD> pids;
};

BOOL CALLBACK snapshot_window(HWND window, LPARAM param)
{
    reinterpret_cast<desktop_snapshot *>(param)->all.push_back(window);
    return TRUE;
}

desktop_snapshot take_snapshot()
{
    desktop_snapshot snapshot;
    EnumWindows(snapshot_window, reinterpret_cast<LPARAM>(&snapshot));
    for (HWND window : snapshot.all) {
        wchar_t class_name[64];
        int length = GetClassNameW(window, class_name, static_cast<int>(std::size(class_name)));
        std::wstring_view name(class_name, length > 0 ? static_cast<size_t>(length) : 0);
        if (!IsWindowVisible(window) || name == L"Progman" || name == L"WorkerW")
            continue;
        snapshot.listed.push_back(window);
        if (GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_LAYERED)
            snapshot.layered.push_back(window);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (std::find(snapshot.pids.begin(), snapshot.pids.end(), pid) == snapshot.pids.end())
            snapshot.pids.push_back(pid);
    }
    return snapshot;
}

BOOL CALLBACK ignore_window(HWND, LPARAM)
{
    return TRUE;
}

// Runs call kind `which` once over the snapshot; the time it took.
double time_call_kind(int which, const desktop_snapshot &snapshot)
{
    wchar_t text[1024];
    double start = now_ms();
    switch (which) {
    case 0:
        EnumWindows(ignore_window, 0);
        break;
    case 1:
        for (HWND window : snapshot.all)
            GetWindowLongPtrW(window, GWL_STYLE);
        break;
    case 2:
        for (HWND window : snapshot.listed)
            GetClassLongW(window, GCW_ATOM);
        break;
    case 3:
        for (HWND window : snapshot.listed) {
            BOOL cloaked = FALSE;
            DWORD attribute = 0;
            if (g_is_cloaked)
                g_is_cloaked(window, &cloaked);
            else if (g_window_attribute)
                g_window_attribute(window, 14, &attribute, sizeof attribute);
        }
        break;
    case 4:
        for (HWND window : snapshot.listed)
            GetWindowLongPtrW(window, GWL_EXSTYLE);
        break;
    case 5:
        for (HWND window : snapshot.layered) {
            COLORREF key;
            BYTE alpha;
            DWORD flags;
            GetLayeredWindowAttributes(window, &key, &alpha, &flags);
        }
        break;
    case 6:
        for (HWND window : snapshot.listed)
            GetWindowTextW(window, text, static_cast<int>(std::size(text)));
        break;
    case 7:
        for (HWND window : snapshot.listed) {
            DWORD pid;
            GetWindowThreadProcessId(window, &pid);
        }
        break;
    case 8:
        for (DWORD pid : snapshot.pids)
            query_image(pid);
        break;
    default:
        for (HWND window : snapshot.listed) {
            RECT rect;
            GetWindowRect(window, &rect);
        }
        break;
    }
    return now_ms() - start;
}

// ---- whole processes ----------------------------------------------------------

// Start to exit of one program, its output thrown away; negative, with the
// reason on stderr, when it does not start or does not succeed.
double time_process(const std::wstring &program, const wchar_t *arguments)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE sink = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = sink;
    startup.hStdOutput = sink;
    startup.hStdError = sink;
    std::wstring command_line = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION info = {};
    double start = now_ms();
    BOOL started = kt::create_process(program, command_line, 0, nullptr, startup, info);
    const DWORD launch_error = GetLastError();
    CloseHandle(sink);
    if (!started) {
        fprintf(stderr, "could not start it: win32 error %lu\n", launch_error);
        return -1;
    }
    DWORD exit_code = 1;
    if (WaitForSingleObject(info.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(info.hProcess, &exit_code);
    else
        TerminateProcess(info.hProcess, 1);
    double elapsed = now_ms() - start;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    if (exit_code != 0)
        fprintf(stderr, "it ended with exit code %lu\n", exit_code);
    return exit_code == 0 ? elapsed : -1;
}

// ---- the desktop ----------------------------------------------------------------

// Makes the windows, some layered and some pinned, spread over the helper
// children; the number of windows made.
int populate(const options &opts, const std::string &title, std::vector<kt::child_windows> &children)
{
    int made = 0;
    for (int p = 0; p < opts.processes; ++p) {
        kt::child_windows child;
        if (!kt::start_child(child)) {
            fprintf(stderr, "error: helper child %d did not start\n", p + 1);
            return made;
        }
        children.push_back(child);
        int share = opts.windows / opts.processes + (p < opts.windows % opts.processes ? 1 : 0);
        int layered = share / 5, pinned = share / 10;
        const std::pair<int, const char *> batches[] = {
            {share - layered - pinned, "-"}, {layered, "layered=160"}, {pinned, "topmost"}};
        for (const auto &[count, flags] : batches) {
            if (count > 0) {
                std::string answer = kt::child_command(
                    children.back(), "makemany " + std::to_string(count) + " " + flags + " " + title);
                made += atoi(answer.c_str());
            }
        }
    }
    return made;
}

int count_occurrences(const char *text, const std::string &needle)
{
    int count = 0;
    for (const char *at = text ? strstr(text, needle.c_str()) : nullptr; at; at = strstr(at + 1, needle.c_str()))
        ++count;
    return count;
}

// ---- the report -------------------------------------------------------------------

struct measure {
    const char *key;
    const char *label;
    std::vector<double> samples;
    summary stats;
};

enum : size_t {
    kList,
    kFloor,
    kPerWindow,
    kLong,
    kCliList,
    kCliHelp,
    kMinimal,
    kMinimalUser32,
    kMinimalEnum,
    kMeasures
};

struct report {
    options opts;
    int listed = 0, ours = 0;
    measure measures[kMeasures];
    call_kind calls[10];
    double ratios[5] = {};
};

constexpr const char *kRatioKeys[] = {"a_over_b", "c_over_a", "cli_list_over_minimal", "cli_help_over_minimal",
                                      "long_over_a"};

void print_table(const report &r)
{
    printf("kestal-list-bench: %d windows over %d processes, %d repeats; the listing holds %d windows, %d of "
           "ours\n\n",
           r.opts.windows, r.opts.processes, r.opts.repeats, r.listed, r.ours);
    printf("%-46s %10s %10s %10s %10s %10s\n", "measure", "median ms", "min ms", "max ms", "IQR ms", "us/window");
    for (size_t i = 0; i < kMeasures; ++i) {
        const summary &s = r.measures[i].stats;
        printf("%-46s %10.3f %10.3f %10.3f %10.3f", r.measures[i].label, s.median, s.min, s.max, s.q3 - s.q1);
        if (i <= kLong && r.listed > 0)
            printf(" %10.2f", s.median * 1000.0 / r.listed);
        printf("\n");
    }
    printf("\na/b %.3f   c/a %.3f   cli list/minimal %.3f   cli help/minimal %.3f   long/a %.3f\n", r.ratios[0],
           r.ratios[1], r.ratios[2], r.ratios[3], r.ratios[4]);
    printf("\n%-46s %10s %10s %10s\n", "call, each kind timed alone", "calls", "median ms", "us/call");
    for (const call_kind &call : r.calls) {
        double median = summarise(call.samples).median;
        printf("%-46s %10d %10.3f %10.2f\n", call.label, call.calls, median,
               call.calls ? median * 1000.0 / call.calls : 0.0);
    }
}

void print_json(const report &r)
{
    printf("{\"windows\":%d,\"processes\":%d,\"repeats\":%d,\"listed\":%d,\"ours\":%d,\"measures_ms\":{",
           r.opts.windows, r.opts.processes, r.opts.repeats, r.listed, r.ours);
    for (size_t i = 0; i < kMeasures; ++i) {
        const summary &s = r.measures[i].stats;
        printf("%s\"%s\":{\"median\":%.4f,\"min\":%.4f,\"max\":%.4f,\"q1\":%.4f,\"q3\":%.4f}", i ? "," : "",
               r.measures[i].key, s.median, s.min, s.max, s.q1, s.q3);
    }
    printf("},\"ratios\":{");
    for (size_t i = 0; i < std::size(r.ratios); ++i)
        printf("%s\"%s\":%.4f", i ? "," : "", kRatioKeys[i], r.ratios[i]);
    printf("},\"calls\":{");
    for (size_t i = 0; i < std::size(r.calls); ++i)
        printf("%s\"%s\":{\"count\":%d,\"median_ms\":%.4f}", i ? "," : "", r.calls[i].key, r.calls[i].calls,
               summarise(r.calls[i].samples).median);
    printf("}}\n");
}

// What `list --long` asks of the library.
void list_long()
{
    const kestal_window *windows = nullptr;
    const int32_t count = kestal_census(KESTAL_CENSUS_PLACEMENT, &windows);
    kestal_free_string(kestal_census_json(windows, count, KESTAL_JSON_LONG));
    kestal_census_release();
}

// Times the in-process measures and the call kinds. They take turns in a
// rotating order, so that a slow spell of the shared machine hits each alike.
void time_listings(report &r, const desktop_snapshot &snapshot)
{
    constexpr int kListings = kLong + 1;
    const int kTurns = kListings + static_cast<int>(std::size(r.calls));
    for (int round = 0; round < r.opts.repeats; ++round) {
        for (int k = 0; k < kTurns; ++k) {
            int which = (round + k) % kTurns;
            if (which >= kListings) {
                r.calls[which - kListings].samples.push_back(time_call_kind(which - kListings, snapshot));
                continue;
            }
            double start = now_ms();
            if (which == kList)
                kestal_free_string(kestal_list());
            else if (which == kLong)
                list_long();
            else
                run_floor(which == kPerWindow);
            r.measures[which].samples.push_back(now_ms() - start);
        }
    }
}

bool time_processes(report &r)
{
    const std::wstring cli = kt::program_path(L"kestal-cli.exe"), minimal = kt::program_path(L"kestal-bench-minimal.exe");
    const struct {
        size_t measure;
        const std::wstring &program;
        const wchar_t *arguments;
    } runs[] = {{kCliList, cli, L"list"},
                {kCliHelp, cli, L"help"},
                {kMinimal, minimal, L""},
                {kMinimalUser32, minimal, L"user32"},
                {kMinimalEnum, minimal, L"enum"}};
    constexpr int kRuns = static_cast<int>(std::size(runs));
    for (int round = 0; round <= r.opts.repeats; ++round) {
        for (int k = 0; k < kRuns; ++k) {
            const auto &run = runs[(round + k) % kRuns];
            double elapsed = time_process(run.program, run.arguments);
            if (elapsed < 0) {
                fprintf(stderr, "error: %s %s did not run to success\n", kt::narrow(run.program).c_str(),
                        kt::narrow(run.arguments).c_str());
                return false;
            }
            // Round 0 only brings the programs' files into the cache.
            if (round > 0)
                r.measures[run.measure].samples.push_back(elapsed);
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    report r = {.opts = {},
                .measures = {{"list", "(a) kestal_list + kestal_free_string", {}, {}},
                             {"floor", "(b) floor: unavoidable calls only", {}, {}},
                             {"per_window_query", "(c) floor + process query per window", {}, {}},
                             {"long", "(d) census + JSON as list --long", {}, {}},
                             {"cli_list", "process: kestal-cli list", {}, {}},
                             {"cli_help", "process: kestal-cli help (no listing)", {}, {}},
                             {"minimal", "process: minimal, prints [] (yardstick)", {}, {}},
                             {"minimal_user32", "process: minimal + load user32, gdi32", {}, {}},
                             {"minimal_enum", "process: minimal + user32 + EnumWindows", {}, {}}},
                .calls = {{"enum_windows", "EnumWindows, empty callback (1 call)", {}, 1},
                          {"style", "GetWindowLongPtrW(GWL_STYLE), every top-level window", {}, 0},
                          {"class_atom", "GetClassLongW(GCW_ATOM) (list --long only)", {}, 0},
                          {"cloak", "cloak query", {}, 0},
                          {"ex_style", "GetWindowLongPtrW(GWL_EXSTYLE)", {}, 0},
                          {"layered", "GetLayeredWindowAttributes, layered only", {}, 0},
                          {"text", "GetWindowTextW", {}, 0},
                          {"pid", "GetWindowThreadProcessId", {}, 0},
                          {"image", "OpenProcess+image query+CloseHandle, per pid", {}, 0},
                          {"rect", "GetWindowRect (list --long only)", {}, 0}}};
    options &opts = r.opts;
    if (!parse_options(argc, argv, opts)) {
        fputs("usage: kestal-list-bench [--windows N] [--processes P] [--repeats R] [--json]\n"
              "  N windows (1000) over P helper processes (10, at most N), R timed repeats (15)\n",
              stderr);
        return 2;
    }
    resolve_floor_calls();
    if (!g_image_query) {
        fputs("error: QueryFullProcessImageNameW is missing\n", stderr);
        return 1;
    }

    // The process id in the title keeps two runs on one desktop apart.
    std::string title = "kestal bench " + std::to_string(GetCurrentProcessId());
    std::vector<kt::child_windows> children;
    int made = populate(opts, title, children);
    bool ok = made == opts.windows;
    if (!ok)
        fprintf(stderr, "error: made %d of %d windows\n", made, opts.windows);

    if (ok) {
        // One untimed round first: the image query is resolved and the heap
        // has grown to a listing's size before anything is timed.
        char *text = kestal_list();
        r.ours = count_occurrences(text, "\"title\":\"" + title + " ");
        r.listed = count_occurrences(text, "{\"hwnd\":");
        kestal_free_string(text);
        run_floor(false);
        run_floor(true);
        // A full table (4096 windows) may leave some of ours out.
        ok = r.ours == opts.windows || r.listed >= 4096;
        if (!ok)
            fprintf(stderr, "error: the listing holds %d of our %d windows\n", r.ours, opts.windows);
    }
    if (ok) {
        desktop_snapshot snapshot = take_snapshot();
        const size_t counts[] = {1, snapshot.all.size(), snapshot.listed.size(), snapshot.listed.size(),
                                 snapshot.listed.size(), snapshot.layered.size(), snapshot.listed.size(),
                                 snapshot.listed.size(), snapshot.pids.size(), snapshot.listed.size()};
        for (size_t i = 0; i < std::size(r.calls); ++i)
            r.calls[i].calls = static_cast<int>(counts[i]);
        time_listings(r, snapshot);
        ok = time_processes(r);
    }
    for (kt::child_windows &child : children)
        kt::stop_child(child);
    if (!ok)
        return 1;

    for (measure &m : r.measures)
        m.stats = summarise(m.samples);
    const summary *s[kMeasures];
    for (size_t i = 0; i < kMeasures; ++i)
        s[i] = &r.measures[i].stats;
    r.ratios[0] = s[kList]->median / s[kFloor]->median;
    r.ratios[1] = s[kPerWindow]->median / s[kList]->median;
    r.ratios[2] = s[kCliList]->median / s[kMinimal]->median;
    r.ratios[3] = s[kCliHelp]->median / s[kMinimal]->median;
    r.ratios[4] = s[kLong]->median / s[kList]->median;
    if (opts.json)
        print_json(r);
    else
        print_table(r);
    return 0;
}
