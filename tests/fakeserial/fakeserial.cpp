// The preloaded side: see fakeserial.h.
#include "fakeserial.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <netdb.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

static_assert(FakeSerial::ModemBit::Car == TIOCM_CAR && FakeSerial::ModemBit::Rng == TIOCM_RNG &&
              FakeSerial::ModemBit::Cts == TIOCM_CTS && FakeSerial::ModemBit::Dsr == TIOCM_DSR);

namespace {

using IoctlFunction = int (*)(int, unsigned long, ...);

// The block named in the environment now; tests in one process may name
// a new one for each test.
FakeSerial::State *sharedState()
{
    static std::string mappedPath;
    static FakeSerial::State *state = nullptr;
    const char *path = std::getenv(FakeSerial::environmentVariable);
    if (!path)
        return nullptr;
    if (state && mappedPath == path)
        return state;
    if (state)
        ::munmap(state, sizeof(FakeSerial::State));
    state = nullptr;
    const int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    void *mapped =
        ::mmap(nullptr, sizeof(FakeSerial::State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (mapped == MAP_FAILED)
        return nullptr;
    mappedPath = path;
    state = static_cast<FakeSerial::State *>(mapped);
    return state;
}

// Unix 98 pseudo-terminal slaves have majors 136 to 143. One whose other
// side has closed is a device that went away: it answers nothing, as an
// unplugged adapter does.
bool isLivePseudoTerminal(int fd)
{
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) < 136 ||
        major(st.st_rdev) > 143)
        return false;
    pollfd hangUp{fd, 0, 0};
    return ::poll(&hangUp, 1, 0) == 0 || !(hangUp.revents & POLLHUP);
}

// Answers from the shared state; false leaves the call to the device itself.
bool answer(FakeSerial::State &state, unsigned long request, void *arg)
{
    state.calls.fetch_add(1);
    const int mode = state.mode.load();
    if (request == TIOCMGET && mode >= FakeSerial::ModemLines) {
        *static_cast<int *>(arg) = state.modemBits.load();
        return true;
    }
    if (request == TIOCGICOUNT && mode == FakeSerial::Counters) {
        auto *c = static_cast<serial_icounter_struct *>(arg);
        *c = {};
        c->cts = state.counters[FakeSerial::Cts];
        c->dsr = state.counters[FakeSerial::Dsr];
        c->rng = state.counters[FakeSerial::Rng];
        c->dcd = state.counters[FakeSerial::Dcd];
        c->frame = state.counters[FakeSerial::Frame];
        c->overrun = state.counters[FakeSerial::Overrun];
        c->parity = state.counters[FakeSerial::Parity];
        c->brk = state.counters[FakeSerial::Brk];
        c->buf_overrun = state.counters[FakeSerial::BufOverrun];
        return true;
    }
    return false;
}

} // namespace

// Lets a test see that the library is loaded.
extern "C" {
int tarnelFakeSerialLoaded = 1;
}

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (request == TIOCMGET || request == TIOCGICOUNT) {
        FakeSerial::State *state = sharedState();
        if (state && isLivePseudoTerminal(fd) && answer(*state, request, arg))
            return 0;
    }
    if (request == TIOCMSET) { // noted only: the call goes on to the device
        FakeSerial::State *state = sharedState();
        if (state && isLivePseudoTerminal(fd)) {
            const int bits = *static_cast<int *>(arg) & (TIOCM_DTR | TIOCM_RTS);
            if (state->controlBits.exchange(bits) & ~bits & TIOCM_DTR)
                state->dtrDrops.fetch_add(1);
        }
    }
    static const auto next = reinterpret_cast<IoctlFunction>(::dlsym(RTLD_NEXT, "ioctl"));
    return next(fd, request, arg);
}

using OpenFunction = int (*)(const char *, int, ...);

// Refused as the state says; anything else goes on to the system.
static int openOrRefuse(OpenFunction next, const char *path, int flags, va_list args)
{
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    FakeSerial::State *state = std::strncmp(path, "/dev/pts/", 9) == 0 ? sharedState() : nullptr;
    if (state && state->openErrno.load() != 0) {
        errno = state->openErrno.load();
        return -1;
    }
    return next(path, flags, mode);
}

extern "C" int open(const char *path, int flags, ...)
{
    static const auto next = reinterpret_cast<OpenFunction>(::dlsym(RTLD_NEXT, "open"));
    va_list args;
    va_start(args, flags);
    const int fd = openOrRefuse(next, path, flags, args);
    va_end(args);
    return fd;
}

extern "C" int open64(const char *path, int flags, ...)
{
    static const auto next = reinterpret_cast<OpenFunction>(::dlsym(RTLD_NEXT, "open64"));
    va_list args;
    va_start(args, flags);
    const int fd = openOrRefuse(next, path, flags, args);
    va_end(args);
    return fd;
}

extern "C" int getaddrinfo(const char *node, const char *service, const addrinfo *hints,
                           addrinfo **result)
{
    const std::string name = node ? node : "";
    const std::string unanswered = ".unanswered.invalid";
    if (name.size() > unanswered.size() && name.ends_with(unanswered)) {
        ::sleep(20);
        return EAI_AGAIN;
    }
    using Lookup = int (*)(const char *, const char *, const addrinfo *, addrinfo **);
    static const auto next = reinterpret_cast<Lookup>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    return next(node, service, hints, result);
}
