// The transmitter on the far end of a serial line: answers the configuration tool's poll,
// channel query and set-channel requests, optionally slow, silent or faulty, or plays a line
// that is wrong in one of the ways the tool's hint tells apart; logs every frame it receives
// and sends.
//
//   rq47sim --port COM40 [options]        rq47sim --help lists them
#include "line.h"

#include <windows.h>

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <string>
#include <vector>

namespace {

enum { kPoll = 0x01, kVersion = 0x02, kQuery = 0x03, kChannel = 0x04, kSet = 0x05, kResult = 0x06 };
const BYTE kForeign = 0x42;   // a command the tool does not know
enum { kSplit = 1, kDouble = 2, kStray = 4, kNoZero = 8 };

const DWORD kMaxDelayMs = 60000;
const DWORD kNoiseBytesPerSecond = 11520;   // what 115200 8N1 carries
const DWORD kStaleMs = 300;                 // an unfinished request this quiet is given up
const size_t kMaxPending = 256;             // answers waiting out their delay
const DWORD kAnswerGapMs = 20;              // between answers that waited for one another

struct Options {
    char port[8];
    const char *version;
    int channel;                  // 1..16
    int acceptLo, acceptHi;       // 1..16
    DWORD delayMs;
    bool randomSetDelay;
    DWORD setDelayMin, setDelayMax;
    DWORD setSilencePercent;
    bool silent;
    bool echo;                    // every byte received goes straight back: TX and RX shorted
    bool wrongBaud;               // answers go out at 9600 baud
    bool foreign;                 // polls are answered with a frame of command kForeign
    long stopAfter;               // polls answered before going mute; -1: never
    unsigned faults;
    DWORD noiseMs;
    DWORD timeLimitMs;            // 0: none
    bool quiet;
};

// An answer waiting for its time: frames are built when they are due to go out.
struct Pending {
    DWORD due;                    // ms since start
    BYTE cmd, n;
    BYTE payload[255];
    std::string what;             // for the log
};

struct State {
    HANDLE line;
    int index;                    // current channel, 0..15
    long pollsAnswered;
    unsigned rng;
    BYTE buf[2048];               // received bytes not yet taken as a request or garbage
    DWORD len;
    std::deque<Pending> pending;  // in order of the requests; each waits for the one before
};

const char kUsage[] =
    "usage: rq47sim --port COMn [options]\n"
    "  --version TEXT       version text in the poll answer (default V1.0)\n"
    "  --channel K          initial channel 1..16 (default 1)\n"
    "  --accept A-B         channels a set request may choose (default 1-16); others get 0\n"
    "  --delay MS           wait before every answer (default 0)\n"
    "  --set-delay MIN-MAX  random wait before set-channel results instead of --delay\n"
    "  --set-silence P      percent of set requests dropped: neither applied nor answered\n"
    "  --silent             answer nothing\n"
    "  --echo               send every byte received straight back (TX and RX shorted)\n"
    "  --wrong-baud         answer at 9600 baud: the tool reads garbage\n"
    "  --foreign            answer polls with frames of a command the tool does not know\n"
    "  --stop-after N       answer nothing once N polls have been answered\n"
    "  --fault MODE         split | double | stray | nozero (may be given more than once)\n"
    "  --noise SECONDS      random bytes at line rate from the start, nothing answered\n"
    "  --time-limit SECONDS exit 0 after this long (default: until Ctrl+C)\n"
    "  --quiet              do not log frames\n";

HANDLE g_stop;                    // set by Ctrl+C and friends
HANDLE g_done;                    // set once the port is closed, for the close-window event
ULONGLONG g_start;
bool g_quiet;

DWORD Now() { return (DWORD)(GetTickCount64() - g_start); }

BOOL WINAPI OnCtrl(DWORD type)
{
    SetEvent(g_stop);
    // On closing the console the process is ended when this returns: let main tidy up first.
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        WaitForSingleObject(g_done, 3000);
    return TRUE;
}

bool Stopping(const Options &o)
{
    return WaitForSingleObject(g_stop, 0) == WAIT_OBJECT_0 ||
           (o.timeLimitMs && Now() >= o.timeLimitMs);
}

unsigned Random(State &st)        // xorshift32: rand()'s 15 bits fall short of 60000 ms
{
    st.rng ^= st.rng << 13;
    st.rng ^= st.rng >> 17;
    st.rng ^= st.rng << 5;
    return st.rng;
}

void Log(bool frame, const char *fmt, ...)
{
    if (frame && g_quiet)
        return;
    DWORD t = Now();
    printf("%lu.%03lu ", (unsigned long)(t / 1000), (unsigned long)(t % 1000));
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    putchar('\n');
    fflush(stdout);
}

std::string Hex(const BYTE *p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

// The version text as a quoted string; control bytes escaped so they cannot upset the log.
std::string Quoted(const BYTE *p, size_t n)
{
    std::string s = "\"";
    char b[8];
    for (size_t i = 0; i < n; i++) {
        if (p[i] == '"' || p[i] == '\\') {
            s += '\\';
            s += (char)p[i];
        } else if (p[i] < 0x20 || p[i] == 0x7F) {
            snprintf(b, sizeof b, "\\x%02X", p[i]);
            s += b;
        } else {
            s += (char)p[i];
        }
    }
    return s + "\"";
}

std::string Frame(BYTE cmd, const BYTE *payload, BYTE n)
{
    const char head[] = {(char)0x55, (char)0xAA, 0, (char)cmd, (char)n};
    const char tail[] = {(char)0xAA, 0x55};
    return std::string(head, 5) + std::string((const char *)payload, n) + std::string(tail, 2);
}

// Answers the request `delayMs` after it came in or, like a transmitter that does one thing
// at a time, after the answer before it went out, whichever is later. Answers queued behind
// one another keep a short gap, as separate replies on a real line do; written back to back
// they would reach the tool as one piece.
void Queue(State &st, BYTE cmd, const BYTE *payload, BYTE n, const std::string &what,
           DWORD delayMs)
{
    if (st.pending.size() >= kMaxPending) {
        Log(true, "not answered: %u answers already waiting", (unsigned)kMaxPending);
        return;
    }
    DWORD now = Now();
    DWORD after = st.pending.empty() ? now : st.pending.back().due + kAnswerGapMs;
    Pending a = {(after < now ? now : after) + delayMs, cmd, n, {}, what};
    memcpy(a.payload, payload, n);
    st.pending.push_back(a);
}

// What a receiver at 115200 baud reads of `sent` transmitted at 9600 baud, 8N1, where one bit
// lasts 12 of its own. The receiver is a 16550-like UART: it starts a character at a falling
// edge, samples each bit at its middle, delivers the byte whatever the stop bit was (a framing
// error, which a pty cannot carry), and after a bad stop bit takes that bit for the start of the
// next character. The line idles high before and after.
std::string AtWrongBaud(const std::string &sent)
{
    const int kStretch = 115200 / 9600;
    std::vector<bool> line(kStretch, true);         // one level per bit time at 115200
    for (unsigned char byte : sent) {
        const int bits[10] = {0, byte & 1, byte >> 1 & 1, byte >> 2 & 1, byte >> 3 & 1,
                              byte >> 4 & 1, byte >> 5 & 1, byte >> 6 & 1, byte >> 7 & 1, 1};
        for (int bit : bits)
            line.insert(line.end(), kStretch, bit != 0);
    }
    line.insert(line.end(), kStretch, true);
    std::string read;
    size_t t = 1;
    while (t + 10 <= line.size()) {
        if (line[t] || !line[t - 1]) {              // no falling edge here
            t++;
            continue;
        }
        for (;;) {                                  // a character from t: start, 8 data, stop
            unsigned char byte = 0;
            for (int k = 1; k <= 8; k++)
                byte |= (unsigned char)(line[t + k] << (k - 1));
            read += (char)byte;
            bool framed = line[t + 9];
            t += framed ? 10 : 9;
            if (framed || t + 10 > line.size())
                break;
        }
    }
    return read;
}

// Writes one answer, shaped by the fault modes in force.
void Send(State &st, const Options &o, const Pending &a)
{
    std::string out = Frame(a.cmd, a.payload, a.n), note;
    if (a.cmd == kVersion && (o.faults & kDouble)) {
        out += out;
        note += " (twice)";
    }
    if (o.faults & kStray) {
        out.insert(out.begin(), '\0');
        note += " (stray 00 first)";
    }
    if (o.wrongBaud) {
        note += " (" + Hex((const BYTE *)out.data(), out.size()) + " at 9600 baud, as read at 115200)";
        out = AtWrongBaud(out);
    }
    const BYTE *p = (const BYTE *)out.data();
    DWORD first = (o.faults & kSplit) && out.size() > 4 ? 4 : 0;
    if (first) {
        bool ok = LineWrite(st.line, p, first);
        Log(true, "tx %s (first piece)%s", Hex(p, first).c_str(), ok ? "" : " - write failed");
        if (!ok || WaitForSingleObject(g_stop, 20) == WAIT_OBJECT_0)
            return;
    }
    bool ok = LineWrite(st.line, p + first, (DWORD)out.size() - first);
    Log(true, "tx %s %s%s%s", Hex(p + first, out.size() - first).c_str(), a.what.c_str(),
        note.c_str(), ok ? "" : " - write failed");
}

bool NoiseOn(const Options &o) { return Now() < o.noiseMs; }

// Acts on one whole request `f` of `n` bytes.
void Handle(State &st, const Options &o, const BYTE *f, DWORD n)
{
    BYTE cmd = f[3], len = f[4];
    const BYTE *p = f + 5;
    std::string rx = Hex(f, n);
    const char *mute = o.silent ? "silent"
                       : NoiseOn(o) ? "noise"
                       : (o.stopAfter >= 0 && st.pollsAnswered >= o.stopAfter) ? "stop-after"
                       : NULL;
    const char *name = cmd == kPoll ? "poll" : cmd == kQuery ? "channel query"
                       : cmd == kSet ? "set channel" : NULL;
    if (name == NULL) {
        Log(true, "rx %s unknown command 0x%02X, ignored", rx.c_str(), cmd);
        return;
    }
    if (len != (cmd == kSet ? 1 : 0)) {
        Log(true, "rx %s %s with %u payload bytes, ignored", rx.c_str(), name, len);
        return;
    }
    char what[48];
    if (cmd != kSet)
        snprintf(what, sizeof what, "%s", name);
    else if (p[0] < 16)
        snprintf(what, sizeof what, "set channel %u", p[0] + 1u);
    else
        snprintf(what, sizeof what, "set channel index %u (no such channel)", p[0]);
    if (mute) {
        Log(true, "rx %s %s - not answered (%s)", rx.c_str(), what, mute);
        return;
    }
    if (cmd == kSet && o.setSilencePercent && Random(st) % 100 < o.setSilencePercent) {
        Log(true, "rx %s %s - dropped (set-silence)", rx.c_str(), what);
        return;
    }
    Log(true, "rx %s %s", rx.c_str(), what);

    if (cmd == kPoll) {
        // The zero byte after the text comes with it: strlen stops there.
        BYTE tl = (BYTE)strlen(o.version), nozero = (o.faults & kNoZero) != 0;
        std::string v = "version " + Quoted((const BYTE *)o.version, tl) +
                        (nozero ? " (no zero byte)" : "");
        st.pollsAnswered++;
        Queue(st, o.foreign ? kForeign : (BYTE)kVersion, (const BYTE *)o.version,
              (BYTE)(nozero ? tl : tl + 1), o.foreign ? "foreign " + v : v, o.delayMs);
    } else if (cmd == kQuery) {
        BYTE c = (BYTE)st.index;
        char b[24];
        snprintf(b, sizeof b, "channel %d", st.index + 1);
        Queue(st, kChannel, &c, 1, b, o.delayMs);
    } else {
        BYTE ok = p[0] >= o.acceptLo - 1 && p[0] <= o.acceptHi - 1;
        if (ok)
            st.index = p[0];
        DWORD delay = o.randomSetDelay
            ? o.setDelayMin + Random(st) % (o.setDelayMax - o.setDelayMin + 1) : o.delayMs;
        Queue(st, kResult, &ok, 1, ok ? "set result 1 (accepted)" : "set result 0 (refused)",
              delay);
    }
}

// Takes whole requests off the front of the buffer; bytes that cannot start one are logged
// as garbage. An unfinished request stays for more bytes unless `stale`, when its leading
// 55 is given up so the scan can look for a request inside what followed.
void Consume(State &st, const Options &o, bool stale)
{
    DWORD pos = 0, junk = 0;   // junk: garbage bytes just before pos, not yet logged
    while (pos + junk < st.len) {
        const BYTE *f = st.buf + pos + junk;
        DWORD have = st.len - pos - junk, need = have >= 5 ? 7u + f[4] : 7;
        bool bad = f[0] != 0x55 || (have > 1 && f[1] != 0xAA) || (have > 2 && f[2] != 0x00) ||
                   (have >= need && (f[need - 2] != 0xAA || f[need - 1] != 0x55));
        if (!bad && have < need && !stale)
            break;
        if (bad || have < need) {
            junk++;
            continue;
        }
        if (junk)
            Log(true, "rx ?? %s garbage", Hex(st.buf + pos, junk).c_str());
        pos += junk;
        junk = 0;
        Handle(st, o, f, need);
        pos += need;
    }
    if (junk)
        Log(true, "rx ?? %s garbage", Hex(st.buf + pos, junk).c_str());
    pos += junk;
    memmove(st.buf, st.buf + pos, st.len - pos);
    st.len -= pos;
}

// Keeps the line busy with random bytes at the line rate since the start.
void NoiseTick(State &st, DWORD *sent)
{
    DWORD due = (DWORD)((ULONGLONG)Now() * kNoiseBytesPerSecond / 1000);
    if (due <= *sent)
        return;
    BYTE chunk[512];
    DWORD n = due - *sent < sizeof chunk ? due - *sent : (DWORD)sizeof chunk;
    for (DWORD i = 0; i < n; i++)
        chunk[i] = (BYTE)(Random(st) >> 24);
    // A line nobody drains fills up; skip ahead rather than burst to catch up later.
    *sent = LineWrite(st.line, chunk, n) ? *sent + n : due;
}

[[noreturn]] void Fail(const char *fmt, ...)
{
    fputs("rq47sim: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    exit(2);
}

// A whole decimal number lo..hi: no sign, no spaces, nothing after it.
bool Number(const char *s, unsigned long lo, unsigned long hi, unsigned long *out)
{
    if (*s < '0' || *s > '9')
        return false;
    char *end;
    errno = 0;
    unsigned long v = strtoul(s, &end, 10);
    if (errno || *end || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

unsigned long WantNumber(const char *opt, const char *v, unsigned long lo, unsigned long hi)
{
    unsigned long n;
    if (!Number(v, lo, hi, &n))
        Fail("%s wants a number %lu..%lu, not \"%s\"", opt, lo, hi, v);
    return n;
}

// "A-B" (or a lone "A") with lo <= A <= B <= hi.
void WantRange(const char *opt, const char *v, unsigned long lo, unsigned long hi,
               unsigned long *a, unsigned long *b)
{
    const char *dash = strchr(v, '-');
    std::string left = dash ? std::string(v, dash) : v;
    if (!Number(left.c_str(), lo, hi, a) || !Number(dash ? dash + 1 : v, *a, hi, b))
        Fail("%s wants A-B with %lu <= A <= B <= %lu, not \"%s\"", opt, lo, hi, v);
}

// True when argv[*i] is option `name`, which takes a value: *v gets it.
bool Takes(int argc, char **argv, int *i, const char *name, const char **v)
{
    if (strcmp(argv[*i], name) != 0)
        return false;
    if (*i + 1 >= argc)
        Fail("%s needs a value", name);
    *v = argv[++*i];
    return true;
}

Options Parse(int argc, char **argv)
{
    Options o = {};
    o.version = "V1.0";
    o.channel = 1;
    o.acceptLo = 1;
    o.acceptHi = 16;
    o.stopAfter = -1;
    for (int i = 1; i < argc; i++) {
        const char *opt = argv[i], *v;
        unsigned long a, b;
        if (!strcmp(opt, "--help")) {
            fputs(kUsage, stdout);
            exit(0);
        } else if (!strcmp(opt, "--silent")) {
            o.silent = true;
        } else if (!strcmp(opt, "--echo")) {
            o.echo = true;
        } else if (!strcmp(opt, "--wrong-baud")) {
            o.wrongBaud = true;
        } else if (!strcmp(opt, "--foreign")) {
            o.foreign = true;
        } else if (!strcmp(opt, "--quiet")) {
            o.quiet = true;
        } else if (Takes(argc, argv, &i, "--port", &v)) {
            // Only COMn: the name goes behind \\.\, where it could name any device at all.
            if (_strnicmp(v, "COM", 3) != 0 || strlen(v) > 6 || !Number(v + 3, 1, 255, &a))
                Fail("--port wants COM1..COM255, not \"%s\"", v);
            snprintf(o.port, sizeof o.port, "COM%lu", a);
        } else if (Takes(argc, argv, &i, "--version", &v)) {
            o.version = v;
        } else if (Takes(argc, argv, &i, "--channel", &v)) {
            o.channel = (int)WantNumber(opt, v, 1, 16);
        } else if (Takes(argc, argv, &i, "--accept", &v)) {
            WantRange(opt, v, 1, 16, &a, &b);
            o.acceptLo = (int)a;
            o.acceptHi = (int)b;
        } else if (Takes(argc, argv, &i, "--delay", &v)) {
            o.delayMs = WantNumber(opt, v, 0, kMaxDelayMs);
        } else if (Takes(argc, argv, &i, "--set-delay", &v)) {
            WantRange(opt, v, 0, kMaxDelayMs, &a, &b);
            o.randomSetDelay = true;
            o.setDelayMin = a;
            o.setDelayMax = b;
        } else if (Takes(argc, argv, &i, "--set-silence", &v)) {
            o.setSilencePercent = WantNumber(opt, v, 0, 100);
        } else if (Takes(argc, argv, &i, "--stop-after", &v)) {
            o.stopAfter = (long)WantNumber(opt, v, 0, 1000000000);
        } else if (Takes(argc, argv, &i, "--fault", &v)) {
            unsigned f = !strcmp(v, "split") ? kSplit : !strcmp(v, "double") ? kDouble
                         : !strcmp(v, "stray") ? kStray : !strcmp(v, "nozero") ? kNoZero : 0;
            if (f == 0)
                Fail("--fault wants split, double, stray or nozero, not \"%s\"", v);
            o.faults |= f;
        } else if (Takes(argc, argv, &i, "--noise", &v)) {
            o.noiseMs = WantNumber(opt, v, 1, 3600) * 1000;
        } else if (Takes(argc, argv, &i, "--time-limit", &v)) {
            o.timeLimitMs = WantNumber(opt, v, 1, 604800) * 1000;
        } else {
            Fail("unknown option \"%s\" (see --help)", opt);
        }
    }
    if (!o.port[0])
        Fail("--port COMn is required (see --help)");
    // The length byte counts the text and, unless left out, its closing zero.
    size_t room = (o.faults & kNoZero) ? 255 : 254;
    if (strlen(o.version) > room)
        Fail("--version text is %u bytes, at most %u fit in a frame",
             (unsigned)strlen(o.version), (unsigned)room);
    return o;
}

} // namespace

int main(int argc, char **argv)
{
    Options o = Parse(argc, argv);
    g_quiet = o.quiet;

    static State st;   // static: the receive buffer need not sit on the stack
    st.line = LineOpen(o.port);
    if (st.line == INVALID_HANDLE_VALUE)
        Fail("cannot open %s (error %lu)", o.port, GetLastError());
    st.index = o.channel - 1;
    st.rng = (GetTickCount() ^ (GetCurrentProcessId() << 16)) | 1;

    g_stop = CreateEventA(NULL, TRUE, FALSE, NULL);
    g_done = CreateEventA(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(OnCtrl, TRUE);
    g_start = GetTickCount64();

    std::string version = Quoted((const BYTE *)o.version, strlen(o.version));
    Log(false, "listening on %s: version %s, channel %d, accept %d-%d", o.port, version.c_str(),
        o.channel, o.acceptLo, o.acceptHi);
    if (o.noiseMs)
        Log(false, "noise for %lu s, nothing answered meanwhile", o.noiseMs / 1000);
    if (o.echo)
        Log(false, "echo: every byte received goes straight back, nothing answered");

    DWORD noiseSent = 0, lastActivity = 0;
    bool noisy = o.noiseMs != 0;
    while (!Stopping(o)) {
        if (noisy && !NoiseOn(o)) {
            noisy = false;
            Log(false, "noise over: %lu random bytes written", noiseSent);
        }
        if (noisy)
            NoiseTick(st, &noiseSent);
        while (!st.pending.empty() && st.pending.front().due <= Now()) {
            Send(st, o, st.pending.front());
            st.pending.pop_front();
        }
        // Short reads keep the stop flag, the noise and the next answer's time in view.
        DWORD wait = noisy ? 10 : 50;
        if (!st.pending.empty()) {
            DWORD due = st.pending.front().due, now = Now();
            wait = due <= now ? 1 : due - now < wait ? due - now : wait;
        }
        DWORD got = LineRead(st.line, st.buf + st.len, sizeof st.buf - st.len, wait);
        if (got && o.echo) {
            bool ok = LineWrite(st.line, st.buf + st.len, got);
            Log(true, "echo %s%s", Hex(st.buf + st.len, got).c_str(), ok ? "" : " - write failed");
        } else if (got) {
            st.len += got;
            lastActivity = Now();
            Consume(st, o, false);
        } else if (st.len && Now() - lastActivity >= kStaleMs) {
            Consume(st, o, true);
        }
    }
    if (st.len)
        Consume(st, o, true);   // log what was left unfinished rather than lose it silently
    Log(false, "%s%s", WaitForSingleObject(g_stop, 0) == WAIT_OBJECT_0 ? "stopped"
                                                                     : "time limit reached",
        st.pending.empty() ? "" : ", answers still waiting not sent");
    LineClose(st.line);
    SetEvent(g_done);
    return 0;
}
