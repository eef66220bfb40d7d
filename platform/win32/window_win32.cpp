// The window on Win32: the class "Ventana", one fixed-size captioned window,
// a 24-bit top-down DIB section as back buffer copied with BitBlt on every
// paint, and the two message pumps.
// DEPENDS ON: USER32, GDI32, KERNEL32; icon resource 101 in the executable
// (optional: without it the class has no icon).
// LIMITATIONS: one window per process (the class is registered once and
// never unregistered); widths that are not a multiple of 4 get padded DIB
// rows, which the back buffer's addressing does not follow.
#include "platform/window.h"
#include "platform/window_internal.h"

#include <windows.h>

#include <cstdint>

namespace {

constexpr int ICON_RESOURCE = 101;
const char* const WINDOW_CLASS_NAME = "Ventana";

struct Win32Window {
    HWND window; // null before window_open succeeds and from the close on
    HBITMAP bitmap;
};

Win32Window win32_window;

void report_failure(const char* message)
{
    MessageBoxA(nullptr, message, "Error!", MB_ICONWARNING);
}

// Client coordinates from a mouse message: each half of lParam is a signed
// 16-bit number, so positions left of or above the client area come out
// negative.
std::int32_t low_signed(LPARAM l_param)
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(l_param & 0xFFFF));
}

std::int32_t high_signed(LPARAM l_param)
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>((l_param >> 16) & 0xFFFF));
}

// Resizes the window so that its client area is exactly width x height,
// keeping the top-left corner and whatever the frame and caption measure.
void window_fit_client(std::int32_t width, std::int32_t height)
{
    RECT client = {};
    RECT outer = {};
    GetClientRect(win32_window.window, &client);
    GetWindowRect(win32_window.window, &outer);
    const int outer_width = (outer.right - outer.left) - client.right + width;
    const int outer_height = (outer.bottom - outer.top) - client.bottom + height;
    MoveWindow(win32_window.window, outer.left, outer.top, outer_width, outer_height, FALSE);
}

// Centres the outer window on the primary screen; run after the fit, so the
// final size counts. Truncating division puts an odd pixel right/bottom.
void window_center()
{
    RECT outer = {};
    GetWindowRect(win32_window.window, &outer);
    const int left = (GetSystemMetrics(SM_CXSCREEN) - (outer.right - outer.left)) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - (outer.bottom - outer.top)) / 2;
    SetWindowPos(win32_window.window, HWND_TOP, left, top, 0, 0, SWP_NOSIZE);
}

// Copies the whole buffer to the window, whatever part was invalid.
void window_paint(HWND window)
{
    PAINTSTRUCT paint = {};
    HDC window_dc = BeginPaint(window, &paint);
    HDC memory_dc = CreateCompatibleDC(window_dc);
    HGDIOBJ previous = SelectObject(memory_dc, win32_window.bitmap);
    BitBlt(window_dc, 0, 0, back_buffer.width, back_buffer.height, memory_dc, 0, 0, SRCCOPY);
    SelectObject(memory_dc, previous);
    DeleteDC(memory_dc);
    EndPaint(window, &paint);
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM w_param, LPARAM l_param)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        win32_window.window = nullptr;
        return 0;
    case WM_PAINT:
        if (window_handlers.paint != nullptr) {
            window_handlers.paint();
        }
        window_paint(window);
        return 0;
    case WM_CLOSE:
        DestroyWindow(window);
        win32_window.window = nullptr;
        return 0;
    case WM_ERASEBKGND: // never erased: only the buffer copy reaches the screen
    case WM_KEYDOWN:
    case WM_CHAR: return 0;
    case WM_MOUSEMOVE:
        if (window_handlers.mouse_move != nullptr) {
            window_handlers.mouse_move(low_signed(l_param), high_signed(l_param));
        }
        return 0;
    case WM_LBUTTONDOWN:
        if (window_handlers.mouse_down != nullptr) {
            window_handlers.mouse_down(low_signed(l_param), high_signed(l_param), 0);
        }
        return 0;
    case WM_LBUTTONUP:
        if (window_handlers.mouse_up != nullptr) {
            window_handlers.mouse_up(low_signed(l_param), high_signed(l_param), 0);
        }
        return 0;
    default: return DefWindowProcA(window, message, w_param, l_param);
    }
}

} // namespace

int window_open(const char* title, std::int32_t width, std::int32_t height)
{
    HINSTANCE instance = GetModuleHandleA(nullptr);

    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof(WNDCLASSEXA);
    window_class.style = 0; // no redraw on resize, no double-click messages
    window_class.lpfnWndProc = window_proc;
    window_class.cbClsExtra = 0;
    window_class.cbWndExtra = 0;
    window_class.hInstance = instance;
    window_class.hIcon = static_cast<HICON>(
        LoadImageA(instance, MAKEINTRESOURCEA(ICON_RESOURCE), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
    window_class.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)); // IDC_ARROW
    window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    window_class.lpszMenuName = nullptr;
    window_class.lpszClassName = WINDOW_CLASS_NAME;
    window_class.hIconSm = static_cast<HICON>(
        LoadImageA(instance, MAKEINTRESOURCEA(ICON_RESOURCE), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    if (RegisterClassExA(&window_class) == 0) {
        report_failure("Window Registration Failed!");
        return 0;
    }

    // Hidden until window_show; the size is corrected right after.
    win32_window.window =
        CreateWindowExA(0, WINDOW_CLASS_NAME, title, WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                        CW_USEDEFAULT, width, height, nullptr, nullptr, instance, nullptr);
    if (win32_window.window == nullptr) {
        report_failure("Window Creation Failed!");
        return 0;
    }
    window_fit_client(width, height);
    window_center();

    // A size whose byte count does not fit the header's 32-bit field would
    // give a section smaller than the buffer its users address: refused.
    const std::int64_t image_bytes = std::int64_t{width} * 3 * std::int64_t{height};
    if (width <= 0 || height <= 0 || image_bytes > INT32_MAX) {
        report_failure("Image creation Failed!");
        return 0;
    }
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // negative: top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    info.bmiHeader.biSizeImage = static_cast<DWORD>(image_bytes);

    HDC window_dc = GetDC(win32_window.window);
    void* pixels = nullptr;
    win32_window.bitmap = CreateDIBSection(window_dc, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    ReleaseDC(win32_window.window, window_dc);
    if (win32_window.bitmap == nullptr || pixels == nullptr) {
        report_failure("Image creation Failed!");
        return 0;
    }
    // A new section's bits are zero: the buffer starts black.
    back_buffer.pixels = static_cast<std::uint8_t*>(pixels);
    back_buffer.width = width;
    back_buffer.height = height;
    return 1;
}

void window_show()
{
    ShowWindow(win32_window.window, SW_SHOWDEFAULT);
    UpdateWindow(win32_window.window);
}

int window_is_closed()
{
    return win32_window.window == nullptr ? 1 : 0;
}

void window_post_quit()
{
    PostQuitMessage(0);
}

int pump_pending()
{
    MSG message = {};
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE) != 0) {
        if (message.message == WM_QUIT) {
            return 0; // anything behind it stays queued
        }
        if (message.hwnd != nullptr) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return 1;
}

int pump_wait()
{
    if (win32_window.window == nullptr) {
        return 0;
    }
    MSG message = {};
    const BOOL got = GetMessageA(&message, nullptr, 0, 0);
    if (got == 0) {
        return 0; // the quit message
    }
    if (got == -1) {
        return 1; // a failed wait dispatches nothing
    }
    if (message.hwnd != nullptr) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 1;
}

void window_wait(int timeout_ms)
{
    if (win32_window.window == nullptr) {
        return;
    }
    // MWMO_INPUTAVAILABLE: a message already queued ends the wait too, not
    // only one that arrives later.
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(timeout_ms), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
}

void window_invalidate()
{
    if (win32_window.window != nullptr) {
        InvalidateRect(win32_window.window, nullptr, FALSE);
    }
}
