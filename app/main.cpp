// Start-up, the main window and the message loop. The panel inside the window starts the
// serial link's threads; they, and an open port, end with the process.
#include "app.h"

#include "panel.h"

HINSTANCE g_hInst;
char g_szTitle[100];
char g_szWindowClass[100];

ATOM RegisterMainClass(HINSTANCE instance)
{
    WNDCLASSEXA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_APP));
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = g_szWindowClass;
    wc.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(IDI_SMALL));
    return RegisterClassExA(&wc);
}

BOOL InitInstance(HINSTANCE instance, int showCommand)
{
    g_hInst = instance;
    // Caption, system menu, minimise and maximise boxes; no sizing border.
    const DWORD style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
    HWND window = CreateWindowExA(0, g_szWindowClass, g_szTitle, style, 550, 180, 411, 313,
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
        SetPropA(window, MAIN_WINDOW_PROP, reinterpret_cast<HANDLE>(1));
        CreateDialogParamA(g_hInst, MAKEINTRESOURCEA(IDD_PANEL), window, PanelDlgProc, 0);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(window, &ps);
        EndPaint(window, &ps);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    LoadStringA(instance, IDS_APP_TITLE, g_szTitle, sizeof g_szTitle);
    LoadStringA(instance, IDS_WINDOW_CLASS, g_szWindowClass, sizeof g_szWindowClass);
    RegisterMainClass(instance);
    if (!InitInstance(instance, showCommand))
        return 0;

    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return int(msg.wParam);
}
