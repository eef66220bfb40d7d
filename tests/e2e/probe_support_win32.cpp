// Win32 side of the window probe: the outer rectangle from the system, and
// failures made real (a class registered first, a creation refused by a
// hook), with a watcher thread that reads and dismisses the message box.
#include "tests/e2e/probe_support.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

HHOOK creation_hook;

LRESULT CALLBACK refuse_creation(int code, WPARAM w_param, LPARAM l_param)
{
    if (code == HCBT_CREATEWND) {
        char class_name[64] = {};
        GetClassNameA(reinterpret_cast<HWND>(w_param), class_name, sizeof class_name);
        if (std::strcmp(class_name, "Ventana") == 0) {
            return 1; // a nonzero result cancels the creation
        }
    }
    return CallNextHookEx(creation_hook, code, w_param, l_param);
}

struct DialogReport {
    char text[256];
    int warning_icon;
};

BOOL CALLBACK read_dialog_child(HWND child, LPARAM context)
{
    DialogReport* report = reinterpret_cast<DialogReport*>(context);
    char class_name[32] = {};
    GetClassNameA(child, class_name, sizeof class_name);
    if (std::strcmp(class_name, "Static") != 0) {
        return TRUE;
    }
    const LONG style = GetWindowLongA(child, GWL_STYLE);
    if ((style & SS_TYPEMASK) == SS_ICON) {
        const LRESULT icon = SendMessageA(child, STM_GETICON, 0, 0);
        const HICON warning = LoadIconA(nullptr, MAKEINTRESOURCEA(32515)); // IDI_WARNING
        report->warning_icon = reinterpret_cast<HICON>(icon) == warning ? 1 : 0;
    } else if (report->text[0] == 0) {
        GetWindowTextA(child, report->text, sizeof report->text);
    }
    return TRUE;
}

DWORD WINAPI dismiss_dialogs(LPVOID)
{
    for (int attempt = 0; attempt < 400; ++attempt) {
        HWND dialog = FindWindowA("#32770", nullptr);
        if (dialog != nullptr && IsWindowVisible(dialog)) {
            char caption[64] = {};
            GetWindowTextA(dialog, caption, sizeof caption);
            DialogReport report = {};
            EnumChildWindows(dialog, read_dialog_child, reinterpret_cast<LPARAM>(&report));
            std::printf("dialog caption=%s text=%s warning_icon=%d\n", caption, report.text,
                        report.warning_icon);
            std::fflush(stdout);
            PostMessageA(dialog, WM_COMMAND, IDOK, 0);
            return 0;
        }
        Sleep(25);
    }
    return 0;
}

} // namespace

int probe_outer_rect(const char* title, int* left, int* top, int* right, int* bottom)
{
    HWND window = FindWindowA("Ventana", title);
    RECT outer = {};
    if (window == nullptr || GetWindowRect(window, &outer) == 0) {
        return 0;
    }
    *left = outer.left;
    *top = outer.top;
    *right = outer.right;
    *bottom = outer.bottom;
    return 1;
}

int probe_post_negative_mouse(const char* title)
{
    HWND window = FindWindowA("Ventana", title);
    if (window == nullptr) {
        return 0;
    }
    // Each coordinate is the low 16 bits of its two's complement.
    const LPARAM position = static_cast<LPARAM>((0xFFF9u << 16) | 0xFFE7u); // (-25, -7)
    PostMessageA(window, WM_MOUSEMOVE, 0, position);
    PostMessageA(window, WM_LBUTTONUP, 0, position);
    return 1;
}

void probe_log_icon(const char* title)
{
    // The group directory: a 6-byte header, then 14 bytes per image (width,
    // height, colours, reserved, planes, bit count, size, id).
    char sizes[128] = "none";
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(101), MAKEINTRESOURCEA(14));
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const unsigned char* group =
        loaded != nullptr ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
    if (group != nullptr && SizeofResource(module, found) >= 6) {
        const int count = group[4] | (group[5] << 8);
        int used = 0;
        sizes[0] = 0;
        for (int i = 0;
             i < count && 6 + (i + 1) * 14 <= static_cast<int>(SizeofResource(module, found));
             ++i) {
            const unsigned char* entry = group + 6 + i * 14;
            const int width = entry[0] == 0 ? 256 : entry[0];
            const int height = entry[1] == 0 ? 256 : entry[1];
            const int bits = entry[6] | (entry[7] << 8);
            used += std::snprintf(sizes + used, sizeof sizes - static_cast<unsigned>(used),
                                  "%s%dx%dx%d", i == 0 ? "" : ",", width, height, bits);
            if (used >= static_cast<int>(sizeof sizes)) {
                break;
            }
        }
    }
    HWND window = FindWindowA("Ventana", title);
    const int class_icon = window != nullptr && GetClassLongPtrA(window, GCLP_HICON) != 0 ? 1 : 0;
    const int small_icon = window != nullptr && GetClassLongPtrA(window, GCLP_HICONSM) != 0 ? 1 : 0;
    std::printf("icon group=%s class_icon=%d small_icon=%d\n", sizes, class_icon, small_icon);
    std::fflush(stdout);
}

int probe_break_setup(const char* step)
{
    if (std::strcmp(step, "register") == 0) {
        WNDCLASSEXA taken = {};
        taken.cbSize = sizeof taken;
        taken.lpfnWndProc = DefWindowProcA;
        taken.hInstance = GetModuleHandleA(nullptr);
        taken.lpszClassName = "Ventana";
        if (RegisterClassExA(&taken) == 0) {
            return 0;
        }
    } else if (std::strcmp(step, "create") == 0) {
        creation_hook = SetWindowsHookExA(WH_CBT, refuse_creation, nullptr, GetCurrentThreadId());
        if (creation_hook == nullptr) {
            return 0;
        }
    } else if (std::strcmp(step, "image") != 0) {
        return 0;
    }
    HANDLE watcher = CreateThread(nullptr, 0, dismiss_dialogs, nullptr, 0, nullptr);
    if (watcher == nullptr) {
        return 0;
    }
    CloseHandle(watcher);
    return 1;
}
