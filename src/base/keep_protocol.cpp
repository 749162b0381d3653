#include "keep_protocol.h"

#include <cstring>

namespace {

constexpr DWORD kTurnWaitMs = 15000;

HANDLE g_answer = nullptr;
char *g_answer_view = nullptr;

std::wstring answer_name(DWORD pid)
{
    return L"Local\\KestalKeepAnswer-" + std::to_wstring(pid);
}

} // namespace

HWND find_running_keep(DWORD &pid)
{
    pid = 0;
    HWND window = FindWindowW(kKeepWindowClass, nullptr);
    if (window)
        GetWindowThreadProcessId(window, &pid);
    return window;
}

bool make_keep_answer()
{
    if (g_answer_view)
        return true;
    g_answer = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kKeepAnswerSize,
                                  answer_name(GetCurrentProcessId()).c_str());
    if (!g_answer)
        return false;
    g_answer_view = static_cast<char *>(MapViewOfFile(g_answer, FILE_MAP_WRITE, 0, 0, kKeepAnswerSize));
    if (!g_answer_view) {
        CloseHandle(g_answer);
        g_answer = nullptr;
    }
    return g_answer_view != nullptr;
}

void write_keep_answer(const std::string &text)
{
    if (!g_answer_view)
        return;
    const size_t length = text.size() < kKeepAnswerSize - 1 ? text.size() : kKeepAnswerSize - 1;
    memcpy(g_answer_view, text.data(), length);
    g_answer_view[length] = '\0';
}

void close_keep_answer()
{
    if (g_answer_view)
        UnmapViewOfFile(g_answer_view);
    if (g_answer)
        CloseHandle(g_answer);
    g_answer_view = nullptr;
    g_answer = nullptr;
}

HANDLE open_keep_answer(DWORD pid)
{
    return OpenFileMappingW(FILE_MAP_READ, FALSE, answer_name(pid).c_str());
}

std::string read_keep_answer(HANDLE answer)
{
    if (!answer)
        return {};
    const char *view = static_cast<const char *>(MapViewOfFile(answer, FILE_MAP_READ, 0, 0, kKeepAnswerSize));
    if (!view)
        return {};
    const std::string text(view, strnlen(view, kKeepAnswerSize));
    UnmapViewOfFile(view);
    return text;
}

HANDLE take_keep_ask_turn()
{
    HANDLE turn = CreateMutexW(nullptr, FALSE, L"Local\\KestalKeepAsk");
    if (!turn)
        return nullptr;
    const DWORD waited = WaitForSingleObject(turn, kTurnWaitMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        return turn;
    CloseHandle(turn);
    return nullptr;
}

void give_keep_ask_turn(HANDLE turn)
{
    if (!turn)
        return;
    ReleaseMutex(turn);
    CloseHandle(turn);
}
