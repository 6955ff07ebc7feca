// Start-up, the main window and the message loop. The panel inside the window starts the
// serial link's threads; they, and an open port, end with the process. The window is a Unicode
// one, so its texts read the same whatever the system's ANSI code page.
#include "app.h"

#include "panel.h"

HINSTANCE g_hInst;
WCHAR g_szTitle[100];
WCHAR g_szWindowClass[100];

ATOM RegisterMainClass(HINSTANCE instance)
{
    WNDCLASSEXW wc;
    ZeroMemory(&wc, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
    wc.hCursor = LoadCursorW(NULL, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = g_szWindowClass;
    wc.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SMALL));
    return RegisterClassExW(&wc);
}

BOOL InitInstance(HINSTANCE instance, int showCommand)
{
    g_hInst = instance;
    // Caption, system menu, minimise and maximise boxes; no sizing border.
    const DWORD style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
    HWND window = CreateWindowExW(0, g_szWindowClass, g_szTitle, style, 550, 180, 411, 313,
                                  NULL, NULL, instance, NULL);
    if (window == NULL)
        return 0;

    int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    RECT rc;
    GetWindowRect(window, &rc);
    int width = rc.right - rc.left, height = rc.bottom - rc.top;
    SetWindowPos(window, HWND_NOTOPMOST, (screenWidth - width) / 2, (screenHeight - height) / 2,
                 width, height, SWP_SHOWWINDOW);
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    return 1;
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        SetPropW(window, MAIN_WINDOW_PROP, reinterpret_cast<HANDLE>(1));
        CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(IDD_PANEL), window, PanelDlgProc, 0);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(window, &ps);
        EndPaint(window, &ps);
        return 0;
    }
    case WM_DEVICECHANGE:
        PanelDeviceChange(wParam, lParam);   // the default answer follows
        break;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    LoadStringW(instance, IDS_APP_TITLE, g_szTitle, ARRAYSIZE(g_szTitle));
    LoadStringW(instance, IDS_WINDOW_CLASS, g_szWindowClass, ARRAYSIZE(g_szWindowClass));
    RegisterMainClass(instance);
    if (!InitInstance(instance, showCommand))
        return 0;

    MSG msg;
    while (GetMessageW(&msg, NULL, 0, 0)) {
        if (PanelDialogMessage(&msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return int(msg.wParam);
}
