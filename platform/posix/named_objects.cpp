#include "platform/named_objects.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/posix/internal.h"
#include "platform/posix/kernel_object.h"

using namespace ml::posix;

namespace {

// ---------------------------------------------------------------- names

// The machine-wide name of an object ("Global\x" -> "<namespace>Global.x"),
// nullopt (last error set) for a refused name.
std::optional<std::string> ObjectName(LPCWSTR name, const char* suffix) {
    if (name == nullptr || name[0] == 0)
        return Fail(ML_ERROR_INVALID_PARAMETER, std::nullopt);
    std::u16string wide(name, WideLength(name));
    for (auto& c : wide)
        if (c == u'\\')
            c = u'.';
    std::string result = EnvOr("ML_OBJECT_NAMESPACE", "") + Utf16ToUtf8(wide) + suffix;
    // Room is left for the suffix of the temporary name an event is made under.
    if (result.find('/') != result.npos || result.size() > NAME_MAX - 40 || result[0] == '.')
        return Fail(ML_ERROR_INVALID_PARAMETER, std::nullopt);
    return result;
}

// A deadline in CLOCK_MONOTONIC for a wait of `ms` (INFINITE: none).
struct Deadline {
    explicit Deadline(DWORD ms) : infinite(ms == INFINITE) {
        ::clock_gettime(CLOCK_MONOTONIC, &at);
        if (infinite)
            return;
        at.tv_sec += ms / 1000;
        at.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        if (at.tv_nsec >= 1000000000L) {
            at.tv_sec += 1;
            at.tv_nsec -= 1000000000L;
        }
    }
    // Time left; false when the deadline has passed.
    bool Remaining(struct timespec& left) const {
        struct timespec now;
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        left.tv_sec = at.tv_sec - now.tv_sec;
        left.tv_nsec = at.tv_nsec - now.tv_nsec;
        if (left.tv_nsec < 0) {
            left.tv_sec -= 1;
            left.tv_nsec += 1000000000L;
        }
        return left.tv_sec >= 0 && (left.tv_sec > 0 || left.tv_nsec > 0);
    }
    bool infinite;
    struct timespec at;
};

// ---------------------------------------------------------------- object files

// Named objects are files in /dev/shm, a folder every user may write to.
// Nothing found there is trusted: links are not followed, only regular files
// are used, and an event's contents are checked on every use.
constexpr const char* kObjectFolder = "/dev/shm/";

// An object file that is not one of ours.
constexpr int kDamaged = EUCLEAN;

bool WriteWhole(int fd, const void* data, size_t size) {
    ssize_t n;
    do {
        n = ::pwrite(fd, data, size, 0);
    } while (n < 0 && errno == EINTR);
    if (n >= 0 && static_cast<size_t>(n) != size)
        errno = EIO;
    return n >= 0 && static_cast<size_t>(n) == size;
}

// Opens the object file `path`, or, when `create`, makes it with `content`
// and mode 0666. A new file is written under a temporary name and linked
// into place complete, so an opener never sees one half made; no existing
// file is ever opened with O_CREAT (which fails for another user's file in a
// sticky folder when protected_regular is on) or has its mode changed. With
// `hold`, the returned descriptor holds a shared flock from the start.
// Invalid Fd with errno set on failure; `created` tells which way it went.
Fd OpenObjectFile(const std::string& path, bool create, const void* content, size_t size, bool hold,
                  bool& created) {
    created = false;
    // An event's file is written; a lock file is only locked.
    const int access = size > 0 ? O_RDWR : O_RDONLY;
    for (int attempt = 0; attempt < 100; ++attempt) {
        Fd fd(::open(path.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd.valid()) {
            struct stat st;
            if (::fstat(fd.get(), &st) != 0)
                return Fd();
            if (!S_ISREG(st.st_mode)) {
                errno = kDamaged;
                return Fd();
            }
            return fd;
        }
        if (errno != ENOENT || !create)
            return Fd();
        static std::atomic<unsigned> counter{0};
        std::string temp = path + "." + std::to_string(::getpid()) + "." +
                           std::to_string(counter.fetch_add(1)) + ".tmp";
        Fd made(::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!made.valid())
            return Fd();
        // Every user may open it, whatever the umask; the file is ours.
        bool ok = ::fchmod(made.get(), 0666) == 0 &&
                  (size == 0 || WriteWhole(made.get(), content, size)) &&
                  (!hold || ::flock(made.get(), LOCK_SH) == 0) &&
                  ::link(temp.c_str(), path.c_str()) == 0;
        int error = errno;
        ::unlink(temp.c_str());
        if (ok) {
            created = true;
            return made;
        }
        if (error != EEXIST) {
            errno = error;
            return Fd();
        }
        // Another process made it first: open that one.
    }
    errno = EAGAIN;
    return Fd();
}

// Runs `attempt` until it succeeds, fails for good or about a second has
// passed. The steps other processes hold a lock for are short; a lock held
// for longer is held by someone who means harm, and the call fails with
// EBUSY rather than hang.
template <typename F>
bool TryForAWhile(F attempt) {
    for (int tries = 0; tries < 1000; ++tries) {
        if (attempt())
            return true;
        if (errno != EAGAIN && errno != EACCES && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        ::usleep(1000);
    }
    errno = EBUSY;
    return false;
}

// Holds an open-file-description lock on the whole file while in scope; it
// orders the read-modify-write steps of every process on one event.
class FileLock {
  public:
    explicit FileLock(int fd) : fd_(fd) {
        locked_ = TryForAWhile([&] { return Apply(F_WRLCK); });
    }
    ~FileLock() {
        if (locked_)
            Apply(F_UNLCK);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool locked() const { return locked_; }

  private:
    bool Apply(short type) {
        struct flock lock {};
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        return ::fcntl(fd_, F_OFD_SETLK, &lock) == 0;
    }
    int fd_;
    bool locked_;
};

// ---------------------------------------------------------------- events

// The contents of an event file: a mark, then the state and the kind.
struct EventRecord {
    char magic[4];
    uint8_t signalled;
    uint8_t manualReset;
    uint8_t reserved[2];
};
static_assert(sizeof(EventRecord) == 8);
constexpr char kEventMagic[4] = {'M', 'L', 'E', 'V'};

EventRecord MakeRecord(bool manualReset, bool signalled) {
    EventRecord record{};
    std::memcpy(record.magic, kEventMagic, sizeof kEventMagic);
    record.signalled = signalled ? 1 : 0;
    record.manualReset = manualReset ? 1 : 0;
    return record;
}

// Reads and checks the record; false with errno set for a file that is
// short, long or garbage.
bool ReadRecord(int fd, EventRecord& record) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    ssize_t n;
    do {
        n = ::pread(fd, &record, sizeof record, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    if (st.st_size != static_cast<off_t>(sizeof record) ||
        n != static_cast<ssize_t>(sizeof record) ||
        std::memcmp(record.magic, kEventMagic, sizeof kEventMagic) != 0 || record.signalled > 1 ||
        record.manualReset > 1 || record.reserved[0] != 0 || record.reserved[1] != 0) {
        errno = kDamaged;
        return false;
    }
    return true;
}

class Event : public KernelObject {
  public:
    // A named event: its file, held with a shared flock while open.
    explicit Event(Fd fd) : fd_(std::move(fd)) {}
    // An event of this process only.
    Event(bool manualReset, bool initial) : local_(std::make_unique<LocalState>()) {
        local_->manualReset = manualReset;
        local_->signalled.store(initial ? 1 : 0);
    }

    bool Set() { return Store(1); }
    bool Reset() { return Store(0); }

    DWORD Wait(DWORD ms) override {
        Deadline deadline(ms);
        if (local_) {
            for (;;) {
                if (TryTakeLocal())
                    return WAIT_OBJECT_0;
                struct timespec left;
                if (!deadline.infinite && !deadline.Remaining(left))
                    return WAIT_TIMEOUT;
                long rc = LocalFutex(FUTEX_WAIT, 0, deadline.infinite ? nullptr : &left);
                if (rc != 0 && errno != EAGAIN && errno != EINTR && errno != ETIMEDOUT) {
                    SetLastErrorFromErrno(errno);
                    return WAIT_FAILED;
                }
            }
        }
        // Other processes change the file; its change notices wake the
        // waiter. The watch is made before the first look, so no change is
        // missed. Without a watch the waiter looks at short intervals.
        Fd watch;
        if (ms != 0) {
            watch = Fd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
            std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
            if (watch.valid() &&
                ::inotify_add_watch(watch.get(), self.c_str(), IN_MODIFY | IN_ATTRIB) < 0)
                watch.Reset();
        }
        for (;;) {
            int taken = TryTakeNamed();
            if (taken < 0)
                return WAIT_FAILED;
            if (taken > 0)
                return WAIT_OBJECT_0;
            struct timespec left {};
            if (!deadline.infinite && !deadline.Remaining(left))
                return WAIT_TIMEOUT;
            long slice = watch.valid() ? 1000 : 10;
            if (!deadline.infinite)
                slice = std::min<long>(slice, left.tv_sec * 1000 + left.tv_nsec / 1000000 + 1);
            struct pollfd pfd {
                watch.get(), POLLIN, 0
            };
            if (watch.valid()) {
                if (::poll(&pfd, 1, static_cast<int>(slice)) > 0) {
                    char events[4096];
                    while (::read(watch.get(), events, sizeof events) > 0) {
                    }
                }
            } else {
                ::poll(nullptr, 0, static_cast<int>(slice));
            }
        }
    }

  private:
    struct LocalState {
        std::atomic<uint32_t> signalled;
        bool manualReset;
    };

    bool Store(uint8_t value) {
        if (local_) {
            local_->signalled.store(value);
            if (value)
                LocalFutex(FUTEX_WAKE, INT_MAX, nullptr);
            return true;
        }
        FileLock lock(fd_.get());
        EventRecord record;
        if (!lock.locked() || !ReadRecord(fd_.get(), record))
            return Fail(errno, false);
        if (record.signalled == value)
            return true;
        record.signalled = value;
        if (!WriteWhole(fd_.get(), &record, sizeof record))
            return Fail(errno, false);
        return true;
    }

    bool TryTakeLocal() {
        if (local_->manualReset)
            return local_->signalled.load() == 1;
        uint32_t expected = 1;
        return local_->signalled.compare_exchange_strong(expected, 0);
    }
    // 1 taken, 0 not set, -1 failed (last error set).
    int TryTakeNamed() {
        FileLock lock(fd_.get());
        EventRecord record;
        if (!lock.locked() || !ReadRecord(fd_.get(), record))
            return Fail(errno, -1);
        if (!record.signalled)
            return 0;
        if (!record.manualReset) {
            record.signalled = 0;
            if (!WriteWhole(fd_.get(), &record, sizeof record))
                return Fail(errno, -1);
        }
        return 1;
    }
    long LocalFutex(int op, uint32_t value, const struct timespec* timeout) {
        return ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&local_->signalled),
                         FUTEX_PRIVATE_FLAG | op, value, timeout, nullptr, 0);
    }

    Fd fd_;
    std::unique_ptr<LocalState> local_;
};

// Opens the named event, or creates it when `create`. Every process that has
// the event open holds a shared flock on its file; an event that no process
// holds is left over from processes that ended, and a creator starts it
// afresh in the state it asks for, as a new event.
HANDLE OpenOrCreateEvent(LPCWSTR name, bool create, bool manualReset, bool initial) {
    auto object = ObjectName(name, ".event");
    if (!object)
        return nullptr;
    const EventRecord fresh = MakeRecord(manualReset, initial);
    bool created = false;
    Fd fd = OpenObjectFile(kObjectFolder + *object, create, &fresh, sizeof fresh, true, created);
    if (!fd.valid()) {
        SetLastErrorFromErrno(errno);
        return nullptr;
    }
    if (!created) {
        // Creators and the restart below are ordered by the record lock.
        FileLock lock(fd.get());
        if (!lock.locked()) {
            SetLastErrorFromErrno(errno);
            return nullptr;
        }
        if (create && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            // Nobody holds it: a fresh start, also for a damaged file.
            if (::ftruncate(fd.get(), sizeof fresh) != 0 ||
                !WriteWhole(fd.get(), &fresh, sizeof fresh)) {
                SetLastErrorFromErrno(errno);
                return nullptr;
            }
        }
        EventRecord record;
        if (!TryForAWhile([&] { return ::flock(fd.get(), LOCK_SH | LOCK_NB) == 0; }) ||
            !ReadRecord(fd.get(), record)) {
            SetLastErrorFromErrno(errno);
            return nullptr;
        }
    }
    return AddHandle(std::make_shared<Event>(std::move(fd)));
}

// ---------------------------------------------------------------- mutexes

// The process's view of one named mutex: the lock file, held with flock by
// the owning thread, and the in-process ownership that flock cannot express
// (flock belongs to the open file, which all threads share).
class MutexState {
  public:
    MutexState(Fd fd) : fd_(std::move(fd)), pid_(::getpid()) {}
    pid_t pid() const { return pid_; }

    DWORD Acquire(DWORD ms) {
        const pid_t self = static_cast<pid_t>(::gettid());
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        std::unique_lock lock(mutex_);
        if (owner_ == self) {
            ++count_;
            return WAIT_OBJECT_0;
        }
        // First among the threads of this process...
        while (owner_ != 0 || acquiring_) {
            if (owner_ != 0 && !ThreadAlive(owner_)) {
                // The owning thread ended without releasing: abandoned, and
                // the waiter acquires it.
                owner_ = self;
                count_ = 1;
                return WAIT_OBJECT_0;
            }
            auto slice = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
            if (ms != INFINITE && deadline < slice)
                slice = deadline;
            changed_.wait_until(lock, slice);
            if (ms != INFINITE && std::chrono::steady_clock::now() >= deadline &&
                (owner_ != 0 || acquiring_))
                return WAIT_TIMEOUT;
        }
        acquiring_ = true;
        lock.unlock();
        // ...then among the processes.
        DWORD result = LockFile(ms, deadline);
        lock.lock();
        acquiring_ = false;
        if (result == WAIT_OBJECT_0) {
            owner_ = self;
            count_ = 1;
        }
        changed_.notify_all();
        return result;
    }

    bool Release() {
        const pid_t self = static_cast<pid_t>(::gettid());
        std::lock_guard lock(mutex_);
        if (owner_ != self)
            return false;
        if (--count_ == 0) {
            ::flock(fd_.get(), LOCK_UN);
            owner_ = 0;
            changed_.notify_all();
        }
        return true;
    }

  private:
    static bool ThreadAlive(pid_t tid) {
        return ::syscall(SYS_tgkill, ::getpid(), tid, 0) == 0 || errno != ESRCH;
    }

    DWORD LockFile(DWORD ms, std::chrono::steady_clock::time_point deadline) {
        if (ms == INFINITE) {
            while (::flock(fd_.get(), LOCK_EX) != 0) {
                if (errno != EINTR) {
                    SetLastErrorFromErrno(errno);
                    return WAIT_FAILED;
                }
            }
            return WAIT_OBJECT_0;
        }
        // flock has no time-out: a timed wait tries at short intervals.
        for (;;) {
            if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0)
                return WAIT_OBJECT_0;
            if (errno != EWOULDBLOCK && errno != EINTR) {
                SetLastErrorFromErrno(errno);
                return WAIT_FAILED;
            }
            auto now = std::chrono::steady_clock::now();
            if (now >= deadline)
                return WAIT_TIMEOUT;
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                deadline - now, std::chrono::milliseconds(2)));
        }
    }

    Fd fd_;
    pid_t pid_;
    std::mutex mutex_;
    std::condition_variable changed_;
    pid_t owner_ = 0;
    bool acquiring_ = false;
    unsigned count_ = 0;
};

class Mutex : public KernelObject {
  public:
    explicit Mutex(std::shared_ptr<MutexState> state) : state_(std::move(state)) {}
    DWORD Wait(DWORD ms) override { return state_->Acquire(ms); }
    bool Release() { return state_->Release(); }

  private:
    std::shared_ptr<MutexState> state_;
};

struct MutexRegistry {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<MutexState>> states;
};

MutexRegistry& Mutexes() {
    static auto* registry = new MutexRegistry;
    return *registry;
}

// This process's state of the named mutex; after a fork the child makes its
// own, since the parent's lock file is shared with it.
std::shared_ptr<MutexState> MutexStateOf(const std::string& name) {
    auto& registry = Mutexes();
    std::lock_guard lock(registry.mutex);
    auto& slot = registry.states[name];
    auto state = slot.lock();
    if (state && state->pid() == ::getpid())
        return state;
    // The lock file's contents are never read: any regular file will do.
    bool created = false;
    Fd fd = OpenObjectFile(kObjectFolder + name, true, nullptr, 0, false, created);
    if (!fd.valid()) {
        SetLastErrorFromErrno(errno);
        return nullptr;
    }
    state = std::make_shared<MutexState>(std::move(fd));
    slot = state;
    return state;
}

}  // namespace

extern "C" {

HANDLE CreateEventW(SECURITY_ATTRIBUTES*, BOOL bManualReset, BOOL bInitialState, LPCWSTR name) {
    if (name == nullptr)
        return AddHandle(std::make_shared<Event>(bManualReset, bInitialState));
    return OpenOrCreateEvent(name, true, bManualReset, bInitialState);
}

HANDLE OpenEventW(DWORD, BOOL, LPCWSTR name) {
    return OpenOrCreateEvent(name, false, false, false);
}

BOOL SetEvent(HANDLE event) {
    auto object = FindHandleOf<Event>(event);
    if (!object)
        return FALSE;
    return object->Set() ? TRUE : FALSE;
}

BOOL ResetEvent(HANDLE event) {
    auto object = FindHandleOf<Event>(event);
    if (!object)
        return FALSE;
    return object->Reset() ? TRUE : FALSE;
}

HANDLE CreateMutexW(SECURITY_ATTRIBUTES*, BOOL bInitialOwner, LPCWSTR name) {
    std::shared_ptr<MutexState> state;
    if (name == nullptr) {
        // A mutex of this process only still needs a file to lock.
        char path[] = "/dev/shm/mlmutex.XXXXXX";
        Fd fd(::mkostemp(path, O_CLOEXEC));
        if (!fd.valid()) {
            SetLastErrorFromErrno(errno);
            return nullptr;
        }
        ::unlink(path);
        state = std::make_shared<MutexState>(std::move(fd));
    } else {
        auto object = ObjectName(name, ".lock");
        if (!object)
            return nullptr;
        state = MutexStateOf(*object);
        if (!state)
            return nullptr;
    }
    auto mutex = std::make_shared<Mutex>(state);
    if (bInitialOwner && mutex->Wait(INFINITE) != WAIT_OBJECT_0)
        return nullptr;
    return AddHandle(std::move(mutex));
}

BOOL ReleaseMutex(HANDLE mutex) {
    auto object = FindHandleOf<Mutex>(mutex);
    if (!object)
        return FALSE;
    if (!object->Release())
        return Fail(ML_ERROR_NOT_OWNER, FALSE);
    return TRUE;
}

}  // extern "C"
