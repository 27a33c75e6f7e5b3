// The preview window on Win32 and GDI. The present buffer is handed to
// StretchDIBits as a top-down 32-bit DIB, source and destination the same
// size, so the window shows its words unscaled.
#include <windows.h>

#include <cstdint>

#include "app/buffers.h"
#include "app/frame.h"
#include "app/window.h"

constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // 0x00CA0000: fixed size
constexpr WORD kPresentBits = 32;                                         // one word per pixel
constexpr WPARAM kQuitKey = 'Q';  // virtual-key code of the Q key, whatever Shift or Caps Lock say

static_assert(kWindowStyle == 0x00CA0000);

HWND win_hwnd = nullptr;  // the preview window; null until created
BITMAPINFO win_bmi = {};  // describes win_present_buf: 720 x 480, top row first, 32-bit BI_RGB

// Draws rows [first, end) of win_present_buf to the same rows of the client
// area. The header is that of the band alone (its height, top-down) and the
// bits start at the band's first row, so no source origin has to be worked out
// for a top-down DIB.
static void drawRows(HDC dc, int first, int end) {
    if (win_present_buf == nullptr || first < 0 || end > kFrameRows || first >= end) return;
    BITMAPINFO band = win_bmi;
    band.bmiHeader.biHeight = -(end - first);
    StretchDIBits(dc, 0, first, kFrameWidth, end - first, 0, 0, kFrameWidth, end - first,
                  win_present_buf + static_cast<size_t>(first) * kFrameWidth, &band, DIB_RGB_COLORS,
                  SRCCOPY);
}

// The window procedure: the system's only input. Keys held with Alt arrive
// as WM_SYSKEYDOWN and are left to DefWindowProcA, which turns Alt+F4 into
// WM_CLOSE.
static LRESULT CALLBACK winProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    switch (msg) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(hwnd, &paint);
            drawRows(dc, 0, kFrameRows);
            EndPaint(hwnd, &paint);
            return 0;
        }
        case WM_CLOSE:  // the window stays until shutdown destroys it
        case WM_DESTROY:
            run = false;
            PostQuitMessage(0);
            return 0;
        case WM_KEYDOWN:
            if (wparam == VK_ESCAPE || wparam == kQuitKey) run = false;
            return 0;
        default:
            return DefWindowProcA(hwnd, msg, wparam, lparam);
    }
}

bool winCreate() {
    win_bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    win_bmi.bmiHeader.biWidth = kFrameWidth;
    win_bmi.bmiHeader.biHeight = -kFrameRows;  // negative: the first row in memory is the top row
    win_bmi.bmiHeader.biPlanes = 1;
    win_bmi.bmiHeader.biBitCount = kPresentBits;
    win_bmi.bmiHeader.biCompression = BI_RGB;

    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA wc = {};
    wc.lpfnWndProc = winProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.lpszClassName = kWindowClass;
    if (RegisterClassA(&wc) == 0) return false;

    RECT outer = {0, 0, kFrameWidth, kFrameRows};
    AdjustWindowRect(&outer, kWindowStyle, FALSE);
    win_hwnd = CreateWindowExA(0, kWindowClass, kWindowTitle, kWindowStyle, CW_USEDEFAULT,
                               CW_USEDEFAULT, outer.right - outer.left, outer.bottom - outer.top,
                               nullptr, nullptr, instance, nullptr);
    if (win_hwnd == nullptr) return false;
    ShowWindow(win_hwnd, SW_SHOW);
    return true;
}

void winPresent() {
    if (win_hwnd == nullptr) return;
    HDC dc = GetDC(win_hwnd);
    drawRows(dc, present_first_row, present_end_row);
    ReleaseDC(win_hwnd, dc);
}

void winPump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void winDestroy() {
    if (win_hwnd != nullptr) DestroyWindow(win_hwnd);
    win_hwnd = nullptr;
}
