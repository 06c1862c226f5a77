// The virtual board: the CD4094/CD4021 board behind a pseudo-terminal, for
// the program running under Wine on Linux.
//
// Loaded into the Wine process with LD_PRELOAD, it takes over the modem-line
// requests that Wine's serial driver makes on the pseudo-terminals named
// below - TIOCMGET, TIOCMSET, TIOCMBIS, TIOCMBIC, TIOCSBRK, TIOCCBRK - and
// answers them from a board model of its own behind each (platform/board.h):
//
//      RTS ---> 4094 STR and 4021 P/S      TXD (break = 1) ---> 4094 DATA
//      DTR ---> 4094 CLK and 4021 CLK      DCD <--- 4021 Q8
//
// Every other descriptor and every other request goes to the real call
// untouched. A pseudo-terminal has no modem lines of its own, so without this
// library every line request of the program fails.
//
// Environment, read once when the library loads:
//
//     SERIO8_VBOARD_PORTS  N=PATH[,N=PATH...]: a board behind ComN, whose
//                          device is the pseudo-terminal (slave) at PATH
//     SERIO8_VBOARD_DIR    a directory: the library reads DIR/control and
//                          appends to DIR/comN.log, one log per board
//
// Without both the library does nothing but pass every call on.
//
// The control file (DIR/control) says how each board behaves now. The test
// may rewrite it at any time (best by writing a new file and renaming it over
// the old one); it is read again at the next request that finds it changed.
// It describes the whole state: a setting it leaves out takes its default.
//
//     # comments and blank lines are ignored
//     com3 inputs loopback     the 4021's inputs P1..P8 wired to the 4094's
//                              outputs Q1..Q8, so an exchange reads back what
//                              the one before it sent
//     com3 inputs A5           the 4021's inputs set to this byte, hex,
//                              D7..D0 (default: 00)
//     com3 fail 1              every request fails with EIO, as after the USB
//                              adapter was pulled (default: 0)
//     com3 delay_us 1000       every request takes at least this long
//                              (default: 0)
//     fail 1                   a setting without a port applies to every board
//
// The log (DIR/comN.log) has the first line "# serio8 vboard log 1", then one
// line per request on the board's device:
//
//     <t_ns> <EVENT> <rts> <dtr> <txd> <dcd>
//
// t_ns is CLOCK_MONOTONIC in nanoseconds, taken when the request took effect
// (after any delay). EVENT is OPEN, CLOSE, GET, SET, BIS, BIC, SBRK or CBRK
// for a request that was served; the four levels (0/1) are the lines after it,
// dcd being what the board presents (for GET: what was returned). A request
// failed on purpose is FAIL-<EVENT> with the levels unchanged. INPUT marks a
// new value of the 4021's inputs and carries a 7th field, the byte in hex,
// D7..D0. Lines starting with '#' are comments; among them
// "# <t_ns> OUTPUTS <hex>" reports the 4094's outputs, D7..D0, whenever they
// change, and "# <t_ns> CONTROL ..." each change of the other settings.
//
// Opening and closing: the device is opened by the wineserver, which passes
// the descriptor to the program, so OPEN is logged at the first request on a
// descriptor of the device and CLOSE when that descriptor is closed. Which
// descriptor is a board's is decided anew on every request by its device
// number (fstat), never remembered past a close: descriptor numbers are
// reused. When the last descriptor of a board closes, DTR, RTS and the break
// drop, as a real port's do when it is closed. A process that ends without
// closing the port leaves no CLOSE, so counting OPEN and CLOSE lines tells
// whether every open was closed.
//
// The board's state lives in the process that drives it; each process that
// loads the library powers up boards of its own, all 0.
#include "board.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const int MaxBoards = 16;
const int MaxTrackedDescriptors = 65536;

struct Settings {
    bool loopback = false;
    int inputs = 0;  // D7..D0
    bool fail = false;
    long delayUs = 0;
};

struct VirtualBoard {
    int com = 0;
    char path[256] = {0};
    dev_t device = 0;
    bool known = false;  // the path could be stat'ed
    Board board;
    bool rts = false;  // the lines as the port drives them
    bool dtr = false;
    bool brk = false;
    Settings settings;
    bool applied = false;  // settings have reached the board at least once
    int log = -1;
    int openDescriptors = 0;
    uint8_t lastOutputs = 0;
};

using IoctlFunction = int (*)(int, unsigned long, void*);
using CloseFunction = int (*)(int);
using Dup2Function = int (*)(int, int);
using Dup3Function = int (*)(int, int, int);

IoctlFunction RealIoctl = nullptr;
CloseFunction RealClose = nullptr;
Dup2Function RealDup2 = nullptr;
Dup3Function RealDup3 = nullptr;

pthread_once_t Once = PTHREAD_ONCE_INIT;
pthread_mutex_t Lock = PTHREAD_MUTEX_INITIALIZER;

VirtualBoard Boards[MaxBoards];
int BoardCount = 0;
char Directory[512] = {0};
char ControlPath[600] = {0};

// Which board each descriptor belongs to (index + 1), 0: none. Only a hint
// for logging OPEN and CLOSE; ownership itself is checked on every request.
unsigned char Owner[MaxTrackedDescriptors];

// What the control file was when it was last read.
struct FileIdentity {
    bool exists = false;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified = {0, 0};
};
FileIdentity ControlSeen;
bool ControlRead = false;

long long NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void ParsePorts(const char* text) {
    // N=PATH[,N=PATH...]
    const char* p = text;
    while (*p != '\0' && BoardCount < MaxBoards) {
        char* end = nullptr;
        const long com = std::strtol(p, &end, 10);
        if (end == p || *end != '=' || com < 1 || com > 255) return;
        p = end + 1;
        const char* comma = std::strchr(p, ',');
        const size_t length = comma != nullptr ? static_cast<size_t>(comma - p) : std::strlen(p);
        VirtualBoard& board = Boards[BoardCount++];
        board.com = static_cast<int>(com);
        const size_t kept = length < sizeof board.path - 1 ? length : sizeof board.path - 1;
        std::memcpy(board.path, p, kept);
        board.path[kept] = '\0';
        struct stat info;
        if (stat(board.path, &info) == 0 && S_ISCHR(info.st_mode)) {
            board.device = info.st_rdev;
            board.known = true;
        }
        p += length;
        if (*p == ',') ++p;
    }
}

void Initialize() {
    RealIoctl = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
    RealClose = reinterpret_cast<CloseFunction>(dlsym(RTLD_NEXT, "close"));
    RealDup2 = reinterpret_cast<Dup2Function>(dlsym(RTLD_NEXT, "dup2"));
    RealDup3 = reinterpret_cast<Dup3Function>(dlsym(RTLD_NEXT, "dup3"));
    const char* ports = std::getenv("SERIO8_VBOARD_PORTS");
    const char* directory = std::getenv("SERIO8_VBOARD_DIR");
    if (ports == nullptr || directory == nullptr || std::strlen(directory) >= sizeof Directory) return;
    std::strcpy(Directory, directory);
    std::snprintf(ControlPath, sizeof ControlPath, "%s/control", Directory);
    ParsePorts(ports);
}

void EnsureInitialized() { pthread_once(&Once, Initialize); }

// ---- The log ----------------------------------------------------------------

void WriteLine(VirtualBoard& board, const char* line, int length) {
    if (board.log < 0 || length <= 0) return;
    // One write per line: with O_APPEND, lines of several processes never mix.
    const ssize_t written = write(board.log, line, static_cast<size_t>(length));
    (void)written;
}

void LogComment(VirtualBoard& board, const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    char line[320];
    const int length = std::snprintf(line, sizeof line, "# %lld %s\n", NowNs(), text);
    WriteLine(board, line, length);
}

void LogEvent(VirtualBoard& board, const char* event, long long t, bool dcd) {
    char line[128];
    const int length = std::snprintf(line, sizeof line, "%lld %s %d %d %d %d\n", t, event, board.rts ? 1 : 0,
                                     board.dtr ? 1 : 0, board.brk ? 1 : 0, dcd ? 1 : 0);
    WriteLine(board, line, length);
}

void OpenLog(VirtualBoard& board) {
    if (board.log >= 0) return;
    char path[600];
    std::snprintf(path, sizeof path, "%s/com%d.log", Directory, board.com);
    board.log = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (board.log < 0) return;
    struct stat info;
    if (fstat(board.log, &info) == 0 && info.st_size == 0) {
        static const char header[] = "# serio8 vboard log 1\n";
        WriteLine(board, header, static_cast<int>(sizeof header - 1));
    }
    LogComment(board, "BOARD com%d %s pid %ld", board.com, board.path, static_cast<long>(getpid()));
}

// ---- The control file -------------------------------------------------------

VirtualBoard* BoardOfCom(int com) {
    for (int i = 0; i < BoardCount; ++i) {
        if (Boards[i].com == com) return &Boards[i];
    }
    return nullptr;
}

void ApplySetting(Settings& settings, const char* key, const char* value) {
    if (std::strcmp(key, "inputs") == 0) {
        if (std::strcmp(value, "loopback") == 0) {
            settings.loopback = true;
        } else {
            settings.loopback = false;
            settings.inputs = static_cast<int>(std::strtol(value, nullptr, 16) & 0xFF);
        }
    } else if (std::strcmp(key, "fail") == 0) {
        settings.fail = std::atoi(value) != 0;
    } else if (std::strcmp(key, "delay_us") == 0) {
        settings.delayUs = std::atol(value);
        if (settings.delayUs < 0) settings.delayUs = 0;
    }
}

// Reads the whole control file into one Settings per board.
void ReadControl(Settings (&settings)[MaxBoards]) {
    for (int i = 0; i < BoardCount; ++i) settings[i] = Settings();
    const int file = open(ControlPath, O_RDONLY | O_CLOEXEC);
    if (file < 0) return;
    char text[8192];
    size_t used = 0;
    for (;;) {
        const ssize_t got = read(file, text + used, sizeof text - 1 - used);
        if (got <= 0) break;
        used += static_cast<size_t>(got);
        if (used == sizeof text - 1) break;
    }
    RealClose(file);
    text[used] = '\0';

    char* save = nullptr;
    for (char* line = strtok_r(text, "\n", &save); line != nullptr; line = strtok_r(nullptr, "\n", &save)) {
        char* words[3] = {nullptr, nullptr, nullptr};
        int count = 0;
        char* wordSave = nullptr;
        for (char* word = strtok_r(line, " \t\r", &wordSave); word != nullptr && count < 3;
             word = strtok_r(nullptr, " \t\r", &wordSave)) {
            words[count++] = word;
        }
        if (count == 0 || words[0][0] == '#') continue;
        if (count == 3 && std::strncmp(words[0], "com", 3) == 0) {
            VirtualBoard* board = BoardOfCom(std::atoi(words[0] + 3));
            if (board != nullptr) ApplySetting(settings[board - Boards], words[1], words[2]);
        } else if (count == 2) {
            for (int i = 0; i < BoardCount; ++i) ApplySetting(settings[i], words[0], words[1]);
        }
    }
}

bool SameIdentity(const FileIdentity& a, const FileIdentity& b) {
    return a.exists == b.exists && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec;
}

void ReportOutputs(VirtualBoard& board) {
    const uint8_t outputs = BoardOutputByte(board.board);
    if (outputs == board.lastOutputs) return;
    board.lastOutputs = outputs;
    LogComment(board, "OUTPUTS %02X", outputs);
}

// Brings one board to new settings and logs what changed.
void ApplySettings(VirtualBoard& board, const Settings& next) {
    const Settings& now = board.settings;
    const bool first = !board.applied;
    if (first || next.loopback != now.loopback || (!next.loopback && next.inputs != now.inputs)) {
        board.board.loopback = next.loopback;
        if (next.loopback) {
            LogComment(board, "CONTROL inputs loopback");
        } else {
            BoardSetInputByte(board.board, static_cast<uint8_t>(next.inputs));
            char line[128];
            const int length = std::snprintf(line, sizeof line, "%lld INPUT %d %d %d %d %02X\n", NowNs(),
                                             board.rts ? 1 : 0, board.dtr ? 1 : 0, board.brk ? 1 : 0,
                                             BoardDcd(board.board) ? 1 : 0, next.inputs);
            WriteLine(board, line, length);
        }
    }
    if (first || next.fail != now.fail) LogComment(board, "CONTROL fail %d", next.fail ? 1 : 0);
    if (first || next.delayUs != now.delayUs) LogComment(board, "CONTROL delay_us %ld", next.delayUs);
    board.settings = next;
    board.applied = true;
}

// Reads the control file again when it changed since the last look.
void RefreshControl() {
    FileIdentity identity;
    struct stat info;
    if (stat(ControlPath, &info) == 0) {
        identity.exists = true;
        identity.inode = info.st_ino;
        identity.size = info.st_size;
        identity.modified = info.st_mtim;
    }
    if (ControlRead && SameIdentity(identity, ControlSeen)) return;
    ControlSeen = identity;
    ControlRead = true;
    Settings settings[MaxBoards];
    ReadControl(settings);
    // Boards not yet in use take their settings when they first are.
    for (int i = 0; i < BoardCount; ++i) {
        if (Boards[i].log >= 0) ApplySettings(Boards[i], settings[i]);
        else Boards[i].settings = settings[i];
    }
}

// ---- Descriptors ------------------------------------------------------------

void DropLines(VirtualBoard& board) {
    board.rts = false;
    board.dtr = false;
    board.brk = false;
    BoardDrive(board.board, false, false, false);
}

void NoteClosed(int descriptor) {
    if (descriptor < 0 || descriptor >= MaxTrackedDescriptors || Owner[descriptor] == 0) return;
    VirtualBoard& board = Boards[Owner[descriptor] - 1];
    Owner[descriptor] = 0;
    if (board.openDescriptors > 0) --board.openDescriptors;
    if (board.openDescriptors == 0) DropLines(board);
    LogEvent(board, "CLOSE", NowNs(), BoardDcd(board.board));
    ReportOutputs(board);
}

void FirstUse(VirtualBoard& board) {
    if (board.log >= 0) return;
    OpenLog(board);
    const Settings settings = board.settings;
    ApplySettings(board, settings);
    board.lastOutputs = BoardOutputByte(board.board);
    LogComment(board, "OUTPUTS %02X", board.lastOutputs);
}

// The board behind this descriptor, or null. Logs OPEN for a descriptor not
// seen before and CLOSE for one that now names something else.
VirtualBoard* BoardOfDescriptor(int descriptor) {
    struct stat info;
    const int savedErrno = errno;
    const bool ok = fstat(descriptor, &info) == 0 && S_ISCHR(info.st_mode);
    errno = savedErrno;
    VirtualBoard* found = nullptr;
    if (ok) {
        for (int i = 0; i < BoardCount; ++i) {
            if (Boards[i].known && Boards[i].device == info.st_rdev) {
                found = &Boards[i];
                break;
            }
        }
    }
    if (descriptor < 0 || descriptor >= MaxTrackedDescriptors) return found;
    const int owner = found != nullptr ? static_cast<int>(found - Boards) + 1 : 0;
    if (Owner[descriptor] != 0 && Owner[descriptor] != owner) NoteClosed(descriptor);  // a close we missed
    if (found != nullptr && Owner[descriptor] == 0) {
        RefreshControl();
        FirstUse(*found);
        Owner[descriptor] = static_cast<unsigned char>(owner);
        ++found->openDescriptors;
        LogEvent(*found, "OPEN", NowNs(), BoardDcd(found->board));
    }
    return found;
}

// ---- Requests ---------------------------------------------------------------

bool IsLineRequest(unsigned long request) {
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC ||
           request == TIOCSBRK || request == TIOCCBRK;
}

const char* EventName(unsigned long request) {
    switch (request) {
    case TIOCMGET: return "GET";
    case TIOCMSET: return "SET";
    case TIOCMBIS: return "BIS";
    case TIOCMBIC: return "BIC";
    case TIOCSBRK: return "SBRK";
    default: return "CBRK";
    }
}

void Delay(long microseconds) {
    if (microseconds <= 0) return;
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += microseconds / 1000000;
    until.tv_nsec += (microseconds % 1000000) * 1000;
    if (until.tv_nsec >= 1000000000) {
        until.tv_nsec -= 1000000000;
        ++until.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

int Serve(VirtualBoard& board, unsigned long request, void* argument) {
    RefreshControl();
    Delay(board.settings.delayUs);
    if (board.settings.fail) {
        char event[16];
        std::snprintf(event, sizeof event, "FAIL-%s", EventName(request));
        LogEvent(board, event, NowNs(), BoardDcd(board.board));
        errno = EIO;
        return -1;
    }
    if ((request != TIOCSBRK && request != TIOCCBRK) && argument == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (request == TIOCMGET) {
        const bool dcd = BoardDcd(board.board);
        *static_cast<int*>(argument) = (board.rts ? TIOCM_RTS : 0) | (board.dtr ? TIOCM_DTR : 0) | (dcd ? TIOCM_CAR : 0);
        LogEvent(board, "GET", NowNs(), dcd);
        return 0;
    }
    if (request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) {
        const int bits = *static_cast<const int*>(argument);
        if (request == TIOCMSET) {
            board.rts = (bits & TIOCM_RTS) != 0;
            board.dtr = (bits & TIOCM_DTR) != 0;
        } else {
            const bool on = request == TIOCMBIS;
            if (bits & TIOCM_RTS) board.rts = on;
            if (bits & TIOCM_DTR) board.dtr = on;
        }
    } else {
        board.brk = request == TIOCSBRK;
    }
    BoardDrive(board.board, board.rts, board.dtr, board.brk);
    const long long t = NowNs();
    LogEvent(board, EventName(request), t, BoardDcd(board.board));
    ReportOutputs(board);
    return 0;
}

}  // namespace

extern "C" {

int ioctl(int descriptor, unsigned long request, ...) __THROW {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    EnsureInitialized();
    if (BoardCount == 0 || !IsLineRequest(request)) return RealIoctl(descriptor, request, argument);

    pthread_mutex_lock(&Lock);
    VirtualBoard* board = BoardOfDescriptor(descriptor);
    if (board == nullptr) {
        pthread_mutex_unlock(&Lock);
        return RealIoctl(descriptor, request, argument);
    }
    const int result = Serve(*board, request, argument);
    const int savedErrno = errno;
    pthread_mutex_unlock(&Lock);
    errno = savedErrno;
    return result;
}

int close(int descriptor) {
    EnsureInitialized();
    if (BoardCount > 0 && descriptor >= 0 && descriptor < MaxTrackedDescriptors && Owner[descriptor] != 0) {
        pthread_mutex_lock(&Lock);
        NoteClosed(descriptor);
        pthread_mutex_unlock(&Lock);
    }
    return RealClose(descriptor);
}

// Both replace what the target descriptor was: a close in disguise.
int dup2(int from, int to) __THROW {
    EnsureInitialized();
    if (BoardCount > 0 && from != to && to >= 0 && to < MaxTrackedDescriptors && Owner[to] != 0) {
        pthread_mutex_lock(&Lock);
        NoteClosed(to);
        pthread_mutex_unlock(&Lock);
    }
    return RealDup2(from, to);
}

int dup3(int from, int to, int flags) __THROW {
    EnsureInitialized();
    if (BoardCount > 0 && from != to && to >= 0 && to < MaxTrackedDescriptors && Owner[to] != 0) {
        pthread_mutex_lock(&Lock);
        NoteClosed(to);
        pthread_mutex_unlock(&Lock);
    }
    return RealDup3(from, to, flags);
}

}  // extern "C"
