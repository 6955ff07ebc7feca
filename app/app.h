// The application shell: entry point, main window and the resources it loads.
#ifndef APP_APP_H
#define APP_APP_H

#define IDS_APP_TITLE 103
#define IDS_WINDOW_CLASS 104
#define IDI_APP 104
#define IDI_SMALL 106

#ifndef RC_INVOKED
#include <windows.h>

// The window property other programs may look for on the main window.
#define MAIN_WINDOW_PROP L"Pellwick__20120902_QZ"

extern HINSTANCE g_hInst;           // this program's module
extern WCHAR g_szTitle[100];        // window title, string 103
extern WCHAR g_szWindowClass[100];  // window class name, string 104

ATOM RegisterMainClass(HINSTANCE instance);
BOOL InitInstance(HINSTANCE instance, int showCommand);
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
#endif

#endif
