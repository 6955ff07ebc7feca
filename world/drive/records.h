// The Plug and Play records Windows keeps for serial adapters (Ports class), made and removed
// by the test world: Wine makes none for its ports. Under Wine any process of the prefix may;
// on Windows it would take an administrator. For the tests and the run command, never the
// product. Records stay in the prefix's registry until removed.
#ifndef WORLD_RECORDS_H
#define WORLD_RECORDS_H

#include <windows.h>

// Makes the record of device `instance` (its instance id, such as USB\VID_1A86&PID_7523\5&1&2)
// with a PortName value `port`, a friendly name and a first hardware id; each of the three is
// left out when NULL; one made before for `instance` goes. False when it could not be made.
bool RecordAdd(const wchar_t *instance, const wchar_t *port, const wchar_t *friendly, const wchar_t *hardware);

// Removes the record of device `instance`; false when there was none.
bool RecordRemove(const wchar_t *instance);

// Removes every record this process made and has not removed yet.
void RecordRemoveAll();

// Removes every record of the Ports class the prefix holds, whoever made it (a test killed
// before its tear-down leaves its records behind); returns how many went.
int RecordRemoveEvery();

#endif
