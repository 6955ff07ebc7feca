// The serial link to the transmitter: frame format, receive assembly, transmit queue and
// port access.
//
// Every message in either direction is one frame:
//     55 AA | 00 | command | N | N payload bytes | AA 55
// The tool asks (odd command codes) and the transmitter answers with the code plus one.
//
// Three worker threads move the bytes; none of them ever ends:
//   reader  (RxReaderThread)  waits on the open port and hands what it reads to RxAppend;
//   parser  (RxParserThread)  recognises a frame in the assembly buffer and calls the report
//                             operations below, holding the receive lock while they run;
//   writer  (TxWriterThread)  takes one queued frame every 100 ms and writes it to the port.
// and the opener opens ports for the user-interface thread: each open that SerialOpenLater asks
// for is made by a thread of its own, which ends with it. The open port is made the open port
// and closed on the user-interface thread only.
#ifndef LINK_LINK_H
#define LINK_LINK_H

#include <windows.h>

enum {
    CMD_POLL = 0x01,          // tool -> transmitter, no payload; answered by CMD_VERSION
    CMD_VERSION = 0x02,       // payload: version text ending in a zero byte
    CMD_QUERY_CHANNEL = 0x03, // no payload; answered by CMD_CHANNEL
    CMD_CHANNEL = 0x04,       // payload: channel index 0..15
    CMD_SET_CHANNEL = 0x05,   // payload: channel index; answered by CMD_SET_RESULT
    CMD_SET_RESULT = 0x06     // payload: non-zero when the channel was set
};

enum {
    FRAME_MIN_LEN = 7,        // a frame with no payload
    RX_BUF_SIZE = 1024,       // assembly buffer capacity; bytes beyond it are dropped
    RX_IDLE_LOOKS = 50,       // looks at a stalled short run before it is thrown away
    TX_SLOTS = 12,            // ring slots; one stays free, so 11 frames can wait
    TX_PERIOD_MS = 100,       // writer sleep before each look at the queue
    TX_WRITE_WAIT_MS = 1000,  // longest wait for one write before it is cancelled
    CLOSE_WAIT_MS = 2000,     // longest wait of a close for the reader and writer
    OPENS_MAX = 4,            // opens under way at once: the one wanted, and given-up ones
    PORT_NAME_MAX = 9         // bytes of a port name (GBK) that the port field can hold
};

// SerialOpen's own reasons for failing, in the range the system leaves to applications (bit 29).
enum {
    SERIAL_ERROR_NOT_A_PORT = 0x20000001, // the path opened something with no line state
    SERIAL_ERROR_CLOSING = 0x20000002     // the last port's driver has not given it back yet
};

extern const BYTE FRAME_POLL[FRAME_MIN_LEN];          // 55 AA 00 01 00 AA 55
extern const BYTE FRAME_QUERY_CHANNEL[FRAME_MIN_LEN]; // 55 AA 00 03 00 AA 55

// --- Report operations: defined by the configuration panel, called on the parser thread with
// --- the receive lock held.

// A version report. `text` is zero-terminated and valid only during the call.
void OnVersionReport(const char *text);
// A channel report; `index` is the byte received (0..15 for channels 1..16).
void OnChannelReport(BYTE index);
// The answer to a set-channel request: non-zero means the channel was set.
void OnConfigResult(BYTE result);

// --- Receive assembly (rx.cpp).

// The receive lock: held while bytes are appended and while a frame is handed on. Initialised
// by SerialInit.
extern CRITICAL_SECTION g_rxLock;

// Appends `count` received bytes to the assembly buffer under the receive lock; what does not
// fit in the 1024 bytes is dropped.
void RxAppend(const BYTE *bytes, DWORD count);

// What one look at the assembly buffer did.
enum RxLookResult {
    RX_EMPTY,      // nothing held
    RX_WAITING,    // a short run that may still grow
    RX_DISCARDED,  // the buffer was thrown away (bad marks, or stalled for 50 looks)
    RX_DISPATCHED  // a frame was handed on (or consumed, for an unknown command)
};

// One look at the buffer: the parser thread's decision, without its sleep. `afterSleep` says
// that the look follows a 1 ms sleep, which is what counts towards the 50-look discard;
// `idle` is the parser's count of such looks.
RxLookResult RxLook(DWORD *idle, bool afterSleep);

// The parser thread: loops over RxLook, sleeping 1 ms whenever it did not hand on a frame.
DWORD WINAPI RxParserThread(LPVOID);

// Bytes held in the assembly buffer now (for tests and diagnostics).
DWORD RxPending();

// --- Transmit queue and writer (tx.cpp).

// Initialises the receive lock and the queue, then starts the parser and writer threads.
// Called once, before any port is opened.
void SerialInit();

// Queues a copy of a frame. 0 queued; -1 queue full (frame dropped); -2 no memory.
int SerialSendFrame(const BYTE *bytes, DWORD length);

// Queues the set-channel frame 55 AA 00 05 01 c AA 55, c the low 8 bits of `index`.
// A full queue or a failed allocation drops it.
void SerialSendChannel(int index);

// Takes the oldest queued frame, if any: fills `frame` and `length` and returns true; the caller
// owns the storage and releases it with free(). The writer's own step, open to tests.
bool TxTake(BYTE **frame, DWORD *length);

// Writes one frame to `port` with an overlapped write, waiting at most 1000 ms; a write still
// pending then is cancelled, and its end awaited, before this returns. `ev` is a manual-reset
// event. Errors are not reported, only counted (SerialCountWrite).
void TxWrite(HANDLE port, HANDLE ev, const BYTE *frame, DWORD length);

// The writer thread: every 100 ms takes at most one frame and writes it to the open port.
DWORD WINAPI TxWriterThread(LPVOID);

// --- What the line did (port.cpp): counted by the worker threads as they go, with atomic adds
// --- and never a wait, so that the panel can tell why the transmitter does not answer.

enum SerialCount {
    COUNT_BYTES_IN,       // bytes received
    COUNT_REQUESTS_IN,    // frames received with a request's command (0x01, 0x03, 0x05): our own
    COUNT_REPORTS_IN,     // channel reports and set results received
    COUNT_LINE_ERRORS,    // readings of the line's error state that found framing, parity, break
                          // or overrun errors
    COUNT_KINDS
};

void SerialCountAdd(SerialCount what, DWORD n);

// Every count since the program started. Each wraps round at 2^32: compare two readings by
// subtraction.
void SerialReadCounts(DWORD counts[COUNT_KINDS]);

// Counts how one write ended: refused when the driver failed it, it was cancelled, or it wrote
// fewer bytes than asked (a write time-out); otherwise it went through. TxWrite's own step.
void SerialCountWrite(bool ok, DWORD done, DWORD length);

// Writes refused in a row since the last one that went through, or since the port was opened.
DWORD SerialRefusedRun();

// Reads and clears the port's error state (ClearCommError), counting a line error if it held one.
void SerialClearErrors(HANDLE port);

// --- Port access (port.cpp).

// Bit n-1 set when COMn (1..32) answers an open with no access rights.
DWORD SerialProbePorts();

// The ports the system's serial device map names (such as COM40 or CNCA0) that answer an open
// with no access rights: at most `max` names, GBK, each of at most PORT_NAME_MAX bytes (longer
// ones are left out). Returns how many it wrote. Reads the registry and opens no other port.
int SerialMappedPorts(char names[][PORT_NAME_MAX + 1], int max);

// Opens the port at `path` as SerialOpenLater does and waits for it, however long it takes:
// closes the port open before, if any, first. False when it did not open, or while another
// open is wanted (ERROR_BUSY); no port is open then, and GetLastError says why.
bool SerialOpen(const char *path);

// Asks the opener to open and configure the port at `path` (such as \\.\COM3, GBK): 115200 8N1,
// no flow control, overlapped; returns at once, and OnOpenDone says when it has ended. The open
// port, if any, stays as it is meanwhile. An open of a port that a given-up open still holds
// waits for that one to end first: never two opens of one port at once. False, and nothing
// asked, while another open is wanted (one at a time), when all OPENS_MAX are under way
// (ERROR_BUSY), or for a path no open can take (ERROR_INVALID_NAME).
bool SerialOpenLater(const char *path);

// Waits at most `ms` (INFINITE: no bound) for the open asked to end; at once when none is asked.
void SerialOpenWait(DWORD ms);

// Takes the open asked, once it has ended: 1, the port is now the open port (the one open
// before, if any, closed); 0, it failed, and `error` says why: the system's error for the open
// (ERROR_INVALID_NAME for a name no path can hold), SERIAL_ERROR_NOT_A_PORT, or
// SERIAL_ERROR_CLOSING while a closed port is still held by a borrower; -1, none has ended (or
// none was asked), `error` untouched. User-interface thread.
int SerialOpenedLater(DWORD *error);

// The open asked for is no longer wanted: a port it already opened is closed now, one still
// being opened is closed the moment its open ends, and OnOpenDone is not called for it.
void SerialOpenLaterCancel();

// Opens under way: the one asked and not yet taken or given up, and given-up ones until what
// they opened is closed (for tests).
int SerialOpensUnderWay();

// Called on an opener thread when an open asked by SerialOpenLater has ended and is still
// wanted (it may be given up by the time it is handled). Defined by the configuration panel; it
// must not wait for the user-interface thread.
void OnOpenDone();

// Closes the open port, if any; pending reads, waits and writes on it are cancelled. Returns
// once neither the reader nor the writer holds the handle, and closes it; or after 2 s with a
// borrower still out, which then closes the handle when it gives it back.
void SerialClose();

// True while a port is open.
bool SerialIsOpen();

// Borrows the open port for one I/O step of the reader or writer thread: returns the handle, or
// INVALID_HANDLE_VALUE when no port is open (or one is being closed). A valid handle must be
// given back with SerialPortRelease; SerialClose does not close it before then, so a borrowed
// handle never stands for another object. Never held across RxAppend.
HANDLE SerialPortBorrow();
void SerialPortRelease();

// --- The devices behind the ports (devices.cpp): the Plug and Play records the system keeps of
// --- each serial adapter (Ports class). Ports with no record (virtual drivers, Wine's own) have
// --- no device. Reading them opens no port.

enum {
    DEVICE_NAME_MAX = 64,   // characters of a device's name that are kept; the rest is cut
    DEVICE_ID_MAX = 200,    // characters of an instance or hardware id (the system's limit)
    DEVICES_MAX = 64        // records read at most
};

// A serial port and the device the system says it belongs to.
struct SerialDevice {
    WCHAR port[PORT_NAME_MAX + 1];      // the port's name, such as COM4: 1 to 9 characters
    WCHAR name[DEVICE_NAME_MAX + 1];    // such as USB-SERIAL CH340; may be empty
    WCHAR instance[DEVICE_ID_MAX + 1];  // its instance id; empty when unknown
    WCHAR hardware[DEVICE_ID_MAX + 1];  // its first hardware id; empty when unknown
};

// Reads the records of the ports the system has: at most `max`, the first record for each port
// name (case aside); a record with no usable port name is left out. Returns how many it wrote;
// 0 when the system has none or cannot say.
int SerialDevices(SerialDevice devices[], int max);

// A device's name from its friendly name (or description) `text`: without the " (COM4)" the
// system appends for `port` (case aside), cut to DEVICE_NAME_MAX characters.
void SerialDeviceName(const WCHAR *text, const WCHAR *port, WCHAR name[DEVICE_NAME_MAX + 1]);

// The reader thread: idles while no port is open, otherwise waits for received bytes, reads
// at most 1024 at a time and hands them to RxAppend.
DWORD WINAPI RxReaderThread(LPVOID);

#endif
