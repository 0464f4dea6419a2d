// Named events and mutexes shared between processes.
//
// Each object is a small file in a user-only folder, mapped into every process
// that opens it. A robust process-shared pthread mutex in the file guards the
// state: when a process dies holding it, the next locker is told so
// (EOWNERDEAD) and carries on. Event waiters sleep on a futex over a sequence
// number that every Set and Pulse advances, so waits block in the kernel and
// never spin.
//
// Lifetime follows the kernel objects these stand in for: an object lives as
// long as some handle is open. Every handle holds a shared flock on the file
// (released by the kernel when a process dies); the handle that closes last
// gets the exclusive lock and removes the file, so a stop event signalled in
// one session is not still signalled when the program starts again.
#include "lib/named_objects.h"

#include "lib/log.h"
#include "lib/text.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace nuvex {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::uint32_t kEventMagic = 0x4E564556; // "NVEV"
constexpr std::uint32_t kMutexMagic = 0x4E564D58; // "NVMX"
constexpr std::uint32_t kLayoutVersion = 2;
// Processes that can wait on one event at once with their own accounting;
// beyond that they are counted without a process id.
constexpr std::size_t kWaiterSlots = 64;
constexpr std::size_t kMaxFileNameChars = 160;

// Waiting threads of one process. A process killed while waiting never takes
// itself off, so waiters are counted per process id and a slot whose process
// is gone is cleared when the waiters are counted.
struct WaiterSlot {
    std::int32_t pid;
    std::uint32_t count;
};

struct EventState {
    std::uint32_t magic;
    std::uint32_t version;
    pthread_mutex_t lock;
    std::uint32_t manualReset;
    std::uint32_t signaled;
    std::uint32_t seq;       // futex word: advanced by every Set and Pulse
    std::uint32_t pulseGen;  // advanced by every Pulse that found waiters
    std::uint32_t pulseLeft; // releases an auto-reset Pulse still owes to earlier waiters
    std::uint32_t untracked; // waiters beyond the slots
    WaiterSlot slots[kWaiterSlots];
};

// The helpers below run under the event's lock.
void AddWaiter(EventState& s) {
    const auto self = static_cast<std::int32_t>(::getpid());
    WaiterSlot* free = nullptr;
    for (WaiterSlot& slot : s.slots) {
        if (slot.pid == self) {
            ++slot.count;
            return;
        }
        if (slot.pid == 0 && !free) {
            free = &slot;
        }
    }
    if (free) {
        *free = {self, 1};
    } else {
        ++s.untracked;
    }
}

void RemoveWaiter(EventState& s) {
    const auto self = static_cast<std::int32_t>(::getpid());
    for (WaiterSlot& slot : s.slots) {
        if (slot.pid == self) {
            if (--slot.count == 0) {
                slot.pid = 0;
            }
            return;
        }
    }
    if (s.untracked > 0) {
        --s.untracked;
    }
}

bool ProcessGone(std::int32_t pid) {
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// The waiters still alive; slots of processes that died are cleared.
std::uint32_t LiveWaiters(EventState& s) {
    std::uint32_t live = s.untracked;
    for (WaiterSlot& slot : s.slots) {
        if (slot.pid != 0 && ProcessGone(slot.pid)) {
            slot = {0, 0};
        }
        live += slot.pid != 0 ? slot.count : 0;
    }
    return live;
}

struct MutexState {
    std::uint32_t magic;
    std::uint32_t version;
    pthread_mutex_t lock;
};

long Futex(std::uint32_t* addr, int op, std::uint32_t val, const timespec* timeout) {
    // Not FUTEX_PRIVATE_FLAG: the word sits in a shared file mapping.
    return ::syscall(SYS_futex, addr, op, val, timeout, nullptr, 0);
}

std::uint32_t LoadWord(std::uint32_t* p) {
    return __atomic_load_n(p, __ATOMIC_SEQ_CST);
}
void BumpWord(std::uint32_t* p) {
    __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}

// Locks a robust mutex; a holder that died leaves it to us in a state we
// accept (every update of the shared fields is a few plain stores).
int LockRobust(pthread_mutex_t* m, int timeoutMs) {
    int r;
    if (timeoutMs == 0) {
        r = pthread_mutex_trylock(m);
    } else if (timeoutMs < 0) {
        r = pthread_mutex_lock(m);
    } else {
        timespec abs{};
        clock_gettime(CLOCK_MONOTONIC, &abs);
        abs.tv_sec += timeoutMs / 1000;
        abs.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1'000'000L;
        if (abs.tv_nsec >= 1'000'000'000L) {
            abs.tv_sec += 1;
            abs.tv_nsec -= 1'000'000'000L;
        }
        r = pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &abs);
    }
    if (r == EOWNERDEAD) {
        pthread_mutex_consistent(m);
        r = 0;
    }
    return r;
}

bool InitRobustMutex(pthread_mutex_t* m, bool recursive) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) {
        return false;
    }
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutexattr_settype(&attr, recursive ? PTHREAD_MUTEX_RECURSIVE
                                                         : PTHREAD_MUTEX_ERRORCHECK) == 0 &&
              pthread_mutex_init(m, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

bool IsNameChar(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// Object names become file names: everything outside [A-Za-z0-9_-] is written
// as %XX, so "/" and ".." cannot leave the folder, and overlong names are cut
// and marked with a hash of the whole name.
std::string FileNameFor(std::string_view prefix, std::string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (IsNameChar(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    if (out.size() > kMaxFileNameChars) {
        std::uint64_t h = 1469598103934665603ULL; // FNV-1a
        for (unsigned char c : name) {
            h = (h ^ c) * 1099511628211ULL;
        }
        out.resize(kMaxFileNameChars - 17);
        out.push_back('~');
        for (int i = 15; i >= 0; --i) {
            out.push_back(kHex[(h >> (4 * i)) & 15]);
        }
    }
    return std::string(prefix) + out;
}

bool SameFile(int fd, const std::string& path) {
    struct stat a {
    }, b{};
    return ::fstat(fd, &a) == 0 && ::lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// The folder must be ours and closed to others; one made by someone else
// (a squatter in /tmp) is refused.
bool PrivateFolder(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
        return false;
    }
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
        return false;
    }
    return true;
}

// One open handle on an object file: the descriptor with its shared flock and
// the mapping.
class ObjectFile {
public:
    ObjectFile() = default;
    ~ObjectFile() { Close(); }
    ObjectFile(const ObjectFile&) = delete;
    ObjectFile& operator=(const ObjectFile&) = delete;

    template <typename State, typename Init>
    bool Open(std::string_view prefix, std::string_view name, std::uint32_t magic, Init init,
              bool create = true) {
        if (name.empty()) {
            return false;
        }
        std::string dir = NamedObjectsDir();
        if (dir.empty()) {
            return false;
        }
        path_ = dir + "/" + FileNameFor(prefix, name);
        // A few rounds cover the races with a last handle closing, or another
        // process creating, at the same moment.
        for (int attempt = 0; attempt < 16; ++attempt) {
            int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
            if (fd >= 0) {
                if (Adopt<State>(fd, magic)) {
                    return true;
                }
                continue;
            }
            if (errno != ENOENT || !create) {
                return false;
            }
            if (Create<State>(dir, magic, init)) {
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
        return false;
    }

    // Leaves the mapping in place for the life of the process (see ~FileMutex).
    void KeepMapped() { map_ = nullptr; }

    void Close() {
        if (map_) {
            ::munmap(map_, size_);
            map_ = nullptr;
        }
        if (fd_ >= 0) {
            // Exclusive only when no other handle holds its shared lock.
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0 && SameFile(fd_, path_)) {
                ::unlink(path_.c_str());
            }
            ::close(fd_);
            fd_ = -1;
        }
    }

    template <typename State> State* As() const { return static_cast<State*>(map_); }
    const std::string& path() const { return path_; }

private:
    template <typename State> bool Adopt(int fd, std::uint32_t magic) {
        // Blocks only while a closing handle removes the file.
        while (::flock(fd, LOCK_SH) != 0) {
            if (errno != EINTR) {
                ::close(fd);
                return false;
            }
        }
        if (!SameFile(fd, path_)) {
            ::close(fd); // removed by its last handle meanwhile: start over
            return false;
        }
        struct stat st {};
        void* map = MAP_FAILED;
        if (::fstat(fd, &st) == 0 && st.st_uid == ::getuid() &&
            static_cast<std::size_t>(st.st_size) >= sizeof(State)) {
            map = ::mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        }
        if (map == MAP_FAILED || static_cast<State*>(map)->magic != magic ||
            static_cast<State*>(map)->version != kLayoutVersion) {
            // Not one of ours (or another kind's layout): replace it.
            if (map != MAP_FAILED) {
                ::munmap(map, sizeof(State));
            }
            ::unlink(path_.c_str());
            ::close(fd);
            return false;
        }
        fd_ = fd;
        map_ = map;
        size_ = sizeof(State);
        return true;
    }

    // Builds the object in a private file and publishes it with link(), which
    // never replaces: either ours appears whole, or someone else's was first.
    template <typename State, typename Init>
    bool Create(const std::string& dir, std::uint32_t magic, Init init) {
        static std::atomic<unsigned> counter{0};
        std::string tmp = dir + "/.new-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        int fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            return false;
        }
        void* map = MAP_FAILED;
        if (::ftruncate(fd, sizeof(State)) == 0) {
            map = ::mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        }
        bool ok = map != MAP_FAILED;
        if (ok) {
            auto* state = static_cast<State*>(map);
            std::memset(state, 0, sizeof(State));
            ok = init(*state);
            state->version = kLayoutVersion;
            state->magic = magic;
        }
        ok = ok && ::flock(fd, LOCK_SH) == 0;
        int linkErr = 0;
        if (ok && ::link(tmp.c_str(), path_.c_str()) != 0) {
            linkErr = errno;
            ok = false;
        }
        ::unlink(tmp.c_str());
        if (!ok) {
            if (map != MAP_FAILED) {
                ::munmap(map, sizeof(State));
            }
            ::close(fd);
            errno = linkErr == EEXIST ? EEXIST : EIO;
            return false;
        }
        fd_ = fd;
        map_ = map;
        size_ = sizeof(State);
        return true;
    }

    std::string path_;
    int fd_ = -1;
    void* map_ = nullptr;
    std::size_t size_ = 0;
};

class FileEvent final : public NamedEvent {
public:
    bool Open(std::string_view name, bool manualReset, bool initiallySet, bool create = true) {
        return file_.Open<EventState>(
            "event.", name, kEventMagic,
            [&](EventState& s) {
                s.manualReset = manualReset ? 1 : 0;
                s.signaled = initiallySet ? 1 : 0;
                return InitRobustMutex(&s.lock, false);
            },
            create);
    }

    void Set() override {
        EventState* s = state();
        if (LockRobust(&s->lock, -1) != 0) {
            return;
        }
        s->signaled = 1;
        BumpWord(&s->seq);
        pthread_mutex_unlock(&s->lock);
        Futex(&s->seq, FUTEX_WAKE, INT_MAX, nullptr);
    }

    void Reset() override {
        EventState* s = state();
        if (LockRobust(&s->lock, -1) != 0) {
            return;
        }
        s->signaled = 0;
        pthread_mutex_unlock(&s->lock);
    }

    void Pulse() override {
        EventState* s = state();
        if (LockRobust(&s->lock, -1) != 0) {
            return;
        }
        s->signaled = 0;
        const std::uint32_t live = LiveWaiters(*s);
        bool wake = live > 0;
        if (!wake) {
            s->pulseLeft = 0; // owed only to waiters that died
        } else {
            ++s->pulseGen;
            s->pulseLeft = s->manualReset ? live : std::min(s->pulseLeft + 1, live);
            BumpWord(&s->seq);
        }
        pthread_mutex_unlock(&s->lock);
        if (wake) {
            Futex(&s->seq, FUTEX_WAKE, INT_MAX, nullptr);
        }
    }

    bool TryWait() override { return Wait(0); }

    void Interrupt() override {
        interrupted_.store(true);
        EventState* s = state();
        if (LockRobust(&s->lock, -1) != 0) {
            return;
        }
        // A waiter of this handle that looked at the flag before it was set
        // read the word before this change, so its futex wait returns at once.
        // Waiters elsewhere wake, find nothing to take and wait again.
        BumpWord(&s->seq);
        pthread_mutex_unlock(&s->lock);
        Futex(&s->seq, FUTEX_WAKE, INT_MAX, nullptr);
    }

    bool Wait(int timeoutMs) override {
        EventState* s = state();
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
        if (LockRobust(&s->lock, -1) != 0) {
            return false;
        }
        if (TakeSignal(*s)) {
            pthread_mutex_unlock(&s->lock);
            return true;
        }
        if (timeoutMs == 0) {
            pthread_mutex_unlock(&s->lock);
            return false;
        }
        const std::uint32_t myGen = s->pulseGen;
        AddWaiter(*s);
        for (;;) {
            if (interrupted_.load()) {
                RemoveWaiter(*s);
                if (LiveWaiters(*s) == 0) {
                    s->pulseLeft = 0;
                }
                pthread_mutex_unlock(&s->lock);
                return false;
            }
            // Read under the lock: a Set after the unlock changes the word, so
            // the futex wait below returns at once instead of missing it.
            std::uint32_t seq = LoadWord(&s->seq);
            pthread_mutex_unlock(&s->lock);
            timespec rel{};
            const timespec* relPtr = nullptr;
            if (timeoutMs > 0) {
                auto left =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - SteadyClock::now());
                if (left.count() < 0) {
                    left = std::chrono::nanoseconds(0);
                }
                rel.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
                rel.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
                relPtr = &rel;
            }
            Futex(&s->seq, FUTEX_WAIT, seq, relPtr);
            if (LockRobust(&s->lock, -1) != 0) {
                return false;
            }
            bool got = TakeSignal(*s);
            if (!got && s->pulseGen != myGen && (s->manualReset || s->pulseLeft > 0)) {
                if (!s->manualReset) {
                    --s->pulseLeft;
                }
                got = true;
            }
            if (got || (timeoutMs > 0 && SteadyClock::now() >= deadline)) {
                RemoveWaiter(*s);
                if (LiveWaiters(*s) == 0) {
                    s->pulseLeft = 0;
                }
                pthread_mutex_unlock(&s->lock);
                return got;
            }
        }
    }

private:
    EventState* state() const { return file_.As<EventState>(); }

    static bool TakeSignal(EventState& s) {
        if (!s.signaled) {
            return false;
        }
        if (!s.manualReset) {
            s.signaled = 0;
        }
        return true;
    }

    ObjectFile file_;
    std::atomic<bool> interrupted_{false};
};

class FileMutex final : public NamedMutex {
public:
    ~FileMutex() override {
        // A mapping must not go away under a robust mutex this thread holds:
        // the C library keeps its list of held robust mutexes inside them.
        // (Holds by other threads of this process are theirs to release.)
        if (file_.As<MutexState>()) {
            while (held_ > 0 && pthread_mutex_unlock(&state()->lock) == 0) {
                --held_;
            }
            if (held_ > 0) {
                file_.KeepMapped(); // another thread still holds it: a page is cheaper than a crash
            }
        }
    }

    bool Open(std::string_view name) {
        return file_.Open<MutexState>("mutex.", name, kMutexMagic,
                                      [](MutexState& s) { return InitRobustMutex(&s.lock, true); });
    }

    bool Lock(int timeoutMs) override {
        if (LockRobust(&state()->lock, timeoutMs) != 0) {
            return false;
        }
        ++held_;
        return true;
    }

    void Unlock() override {
        // EPERM when the calling thread does not own it: nothing to undo.
        if (pthread_mutex_unlock(&state()->lock) == 0 && held_ > 0) {
            --held_;
        }
    }

private:
    MutexState* state() const { return file_.As<MutexState>(); }

    ObjectFile file_;
    std::atomic<int> held_{0};
};

} // namespace

namespace {

std::string SessionKey() {
    // The bus address names the session. Its "guid=" part is left out: the
    // daemon hands activated programs its own spelling of the address, which
    // carries the guid, while the login shell's may not.
    std::string seed;
    if (const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS"); bus && bus[0] != '\0') {
        std::string_view rest(bus);
        while (!rest.empty()) {
            const std::size_t cut = rest.find_first_of(",;");
            std::string_view part = rest.substr(0, cut);
            if (!text::StartsWithNoCase(part, "guid=")) {
                seed.append(part);
                seed.push_back(',');
            }
            rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        }
    } else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
        // Where the bus library looks without the variable: the user bus.
        const std::string userBus = std::string(runtime) + "/bus";
        struct stat st {};
        if (::stat(userBus.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            seed = "unix:path=" + userBus + ",";
        }
    }
    if (seed.empty()) {
        const char* display = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        seed = std::string("display:") + (display ? display : "") + "|" + (wayland ? wayland : "");
    }
    // FNV-1a, 64 bits: a short, stable folder name, not a secret.
    std::uint64_t hash = 1469598103934665603ULL;
    for (unsigned char c : seed) {
        hash = (hash ^ c) * 1099511628211ULL;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

} // namespace

std::string NamedObjectsDir() {
    if (const char* over = std::getenv("NUVEX_OBJECTS_DIR"); over && over[0] == '/') {
        return PrivateFolder(over) ? std::string(over) : std::string();
    }
    std::string base;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
        base = std::string(runtime) + "/nuvex-objects";
    } else {
        base = "/tmp/nuvex-" + std::to_string(::getuid());
    }
    // Objects are per login session, as the bus is: a stop in one session
    // must not end another session's plug-in.
    std::string dir = base + "/" + SessionKey();
    if (!PrivateFolder(base) || !PrivateFolder(dir)) {
        log::Warning("events", "cannot use the named-object folder " + dir);
        return std::string();
    }
    return dir;
}

std::unique_ptr<NamedEvent> OpenOrCreateEvent(std::string_view name, bool manualReset, bool initiallySet) {
    try {
        auto event = std::make_unique<FileEvent>();
        if (!event->Open(name, manualReset, initiallySet)) {
            return nullptr;
        }
        return event;
    } catch (...) {
        log::Caught("events", "OpenOrCreateEvent");
        return nullptr;
    }
}

std::unique_ptr<NamedEvent> OpenEvent(std::string_view name) {
    try {
        auto event = std::make_unique<FileEvent>();
        if (!event->Open(name, true, false, false)) {
            return nullptr;
        }
        return event;
    } catch (...) {
        log::Caught("events", "OpenEvent");
        return nullptr;
    }
}

std::unique_ptr<NamedMutex> OpenOrCreateMutex(std::string_view name) {
    try {
        auto mutex = std::make_unique<FileMutex>();
        if (!mutex->Open(name)) {
            return nullptr;
        }
        return mutex;
    } catch (...) {
        log::Caught("events", "OpenOrCreateMutex");
        return nullptr;
    }
}

} // namespace nuvex
