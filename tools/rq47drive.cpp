// rq47drive: drives a running configuration tool from the command line, one step per call,
// for the demonstration run (tools/run.sh) and for trying things by hand.
//
//   rq47drive show                   prints every control's state (UTF-8)
//   rq47drive port NAME              types NAME into the port field
//   rq47drive click open|apply       presses Open/Close or Apply
//   rq47drive channel N              picks channel N (1 to 16)
//   rq47drive wait-status TEXT MS    waits up to MS ms for the status line to read TEXT
//   rq47drive wait-hint TEXT MS      the same for the hint under it
//   rq47drive wait-channel N MS      waits up to MS ms for channel N to be read back
//   rq47drive device PORT NAME HWID  makes the system's record of an adapter named NAME (hardware
//                                    id HWID) on PORT, as Windows would, and says it arrived
//   rq47drive device PORT            removes that record again
//   rq47drive drop                   drops the port list down; prints the screen rectangle of
//                                    the window and the list together (WxH+X+Y)
//   rq47drive forget                 removes every serial adapter's record of the prefix (no
//                                    window needed)
//
// Exit code: 0 done, 1 the window was not found or a wait ran out, 2 bad arguments.
#include "driver.h"
#include "panel.h"
#include "records.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

static std::wstring Wide(const char *text)
{
    wchar_t wide[256];
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 256) == 0)
        wide[0] = 0;
    return wide;
}

static int Usage()
{
    fprintf(stderr, "usage: rq47drive show | port NAME | click open|apply | channel N | "
                    "wait-status TEXT MS | wait-hint TEXT MS | wait-channel N MS | "
                    "device PORT [NAME HWID] | drop | forget\n");
    return 2;
}

static void Show(HWND main, HWND panel)
{
    static const struct { int id; const char *name; } controls[] = {
        {IDC_PORT_LIST, "port"}, {IDC_OPEN_BUTTON, "open"}, {IDC_VERSION_TEXT, "version"},
        {IDC_CHANNEL_LIST, "channel"}, {IDC_APPLY_BUTTON, "apply"}, {IDC_STATUS_TEXT, "status"},
        {IDC_HINT_TEXT, "hint"},
    };
    printf("window  \"%s\"\n", DriveUtf8(DriveText(main)).c_str());
    for (const auto &c : controls)
        printf("%-8s\"%s\"%s\n", c.name, DriveUtf8(DriveItemText(panel, c.id)).c_str(),
               DriveEnabled(panel, c.id) ? "" : " (disabled)");
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    const char *verb = argv[1];
    if (strcmp(verb, "forget") == 0 && argc == 2) {
        printf("%d records removed\n", RecordRemoveEvery());
        return 0;
    }
    HWND main = DriveFindMain(30000);   // a first start in a fresh Wine prefix is slow
    HWND panel = main ? DrivePanel(main) : NULL;
    if (panel == NULL) {
        fprintf(stderr, "rq47drive: no configuration tool window found\n");
        return 1;
    }
    if (strcmp(verb, "show") == 0 && argc == 2) {
        Show(main, panel);
    } else if (strcmp(verb, "port") == 0 && argc == 3) {
        DriveSetText(panel, IDC_PORT_LIST, argv[2]);
    } else if (strcmp(verb, "click") == 0 && argc == 3) {
        if (strcmp(argv[2], "open") == 0)
            DriveClick(panel, IDC_OPEN_BUTTON);
        else if (strcmp(argv[2], "apply") == 0)
            DriveClick(panel, IDC_APPLY_BUTTON);
        else
            return Usage();
    } else if (strcmp(verb, "channel") == 0 && argc == 3) {
        int channel = atoi(argv[2]);
        if (channel < 1 || channel > 16)
            return Usage();
        DriveSelect(panel, IDC_CHANNEL_LIST, channel - 1);
    } else if ((strcmp(verb, "wait-status") == 0 || strcmp(verb, "wait-hint") == 0) && argc == 4) {
        // The argument arrives in the ANSI code page, GBK here, as the program's texts are.
        int id = strcmp(verb, "wait-status") == 0 ? IDC_STATUS_TEXT : IDC_HINT_TEXT;
        if (!DriveWaitText(panel, id, argv[2], DWORD(atoi(argv[3])))) {
            fprintf(stderr, "rq47drive: %s reads \"%s\"\n", verb + 5,
                    DriveUtf8(DriveItemText(panel, id)).c_str());
            return 1;
        }
    } else if (strcmp(verb, "wait-channel") == 0 && argc == 4) {
        if (!DriveWaitChannel(panel, atoi(argv[2]), DWORD(atoi(argv[3])))) {
            fprintf(stderr, "rq47drive: channel %s not read back\n", argv[2]);
            return 1;
        }
    } else if (strcmp(verb, "device") == 0 && (argc == 3 || argc == 5)) {
        // Arguments arrive in the ANSI code page; the record's texts are UTF-16.
        std::wstring port = Wide(argv[2]), instance = L"ROOT\\PORTS\\RQ47-" + port;
        if (argc == 3) {
            RecordRemove(instance.c_str());
        } else {
            if (!RecordAdd(instance.c_str(), port.c_str(), Wide(argv[3]).c_str(), Wide(argv[4]).c_str())) {
                fprintf(stderr, "rq47drive: could not make the record\n");
                return 1;
            }
            DriveNotice(main, DBT_DEVICEARRIVAL, port.c_str());
        }
    } else if (strcmp(verb, "drop") == 0 && argc == 2) {
        // The pointer out of the way, where it would highlight an entry of its own.
        HWND list = GetDlgItem(panel, IDC_PORT_LIST);
        SetCursorPos(0, 0);
        SendMessageW(list, CB_SHOWDROPDOWN, TRUE, 0);
        // The dropped list is a window of its own, of the tool's thread.
        RECT window, dropped = {};
        GetWindowRect(main, &window);
        DWORD thread = GetWindowThreadProcessId(panel, NULL);
        for (HWND w = NULL; (w = FindWindowExW(NULL, w, L"ComboLBox", NULL)) != NULL;) {
            if (GetWindowThreadProcessId(w, NULL) == thread && IsWindowVisible(w))
                GetWindowRect(w, &dropped);
        }
        UnionRect(&window, &window, &dropped);
        printf("%ldx%ld+%ld+%ld\n", window.right - window.left, window.bottom - window.top, window.left, window.top);
    } else {
        return Usage();
    }
    return 0;
}
