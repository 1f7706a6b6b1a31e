#include "platform/named_objects.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
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

// ---------------------------------------------------------------- events

// The state every process maps. The word is waited on with a shared futex.
struct EventState {
    std::atomic<uint32_t> signalled;
    uint32_t manualReset;
};
static_assert(sizeof(std::atomic<uint32_t>) == 4);

class Event : public KernelObject {
  public:
    // A named event: `mapping` holds an EventState shared with other processes.
    explicit Event(Mapping mapping)
        : mapping_(std::move(mapping)), state_(static_cast<EventState*>(mapping_.get())) {}
    // An event of this process only.
    Event(bool manualReset, bool initial)
        : local_(std::make_unique<EventState>()), state_(local_.get()) {
        state_->manualReset = manualReset;
        state_->signalled.store(initial ? 1 : 0);
    }

    void Set() {
        state_->signalled.store(1);
        Futex(FUTEX_WAKE, INT_MAX, nullptr);
    }
    void Reset() { state_->signalled.store(0); }

    DWORD Wait(DWORD ms) override {
        Deadline deadline(ms);
        for (;;) {
            if (TryTake())
                return WAIT_OBJECT_0;
            struct timespec left;
            if (!deadline.infinite && !deadline.Remaining(left))
                return WAIT_TIMEOUT;
            long rc = Futex(FUTEX_WAIT, 0, deadline.infinite ? nullptr : &left);
            if (rc != 0 && errno != EAGAIN && errno != EINTR && errno != ETIMEDOUT) {
                SetLastErrorFromErrno(errno);
                return WAIT_FAILED;
            }
        }
    }

  private:
    bool TryTake() {
        if (state_->manualReset)
            return state_->signalled.load() == 1;
        uint32_t expected = 1;
        return state_->signalled.compare_exchange_strong(expected, 0);
    }
    long Futex(int op, uint32_t value, const struct timespec* timeout) {
        return ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&state_->signalled), op, value,
                         timeout, nullptr, 0);
    }

    Mapping mapping_;
    std::unique_ptr<EventState> local_;
    EventState* state_;
};

// Maps the event object `fd`; false with errno set.
bool MapEvent(int fd, Mapping& mapping) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    if (static_cast<size_t>(st.st_size) < sizeof(EventState)) {
        errno = EINVAL;  // not one of ours
        return false;
    }
    void* address = ::mmap(nullptr, sizeof(EventState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED)
        return false;
    mapping = Mapping(address, sizeof(EventState));
    return true;
}

// Opens the named event, or creates it when `create`. An event is made
// under a temporary name and linked into place complete, so an opener never
// sees one half made.
HANDLE OpenOrCreateEvent(LPCWSTR name, bool create, bool manualReset, bool initial) {
    auto object = ObjectName(name, ".event");
    if (!object)
        return nullptr;
    std::string shmName = "/" + *object;
    for (int attempt = 0; attempt < 100; ++attempt) {
        Fd fd(::shm_open(shmName.c_str(), O_RDWR | O_CLOEXEC, 0));
        if (fd.valid()) {
            Mapping mapping;
            if (!MapEvent(fd.get(), mapping)) {
                SetLastErrorFromErrno(errno);
                return nullptr;
            }
            return AddHandle(std::make_shared<Event>(std::move(mapping)));
        }
        if (errno != ENOENT || !create) {
            SetLastErrorFromErrno(errno);
            return nullptr;
        }
        static std::atomic<unsigned> counter{0};
        std::string temp = shmName + "." + std::to_string(::getpid()) + "." +
                           std::to_string(counter.fetch_add(1)) + ".tmp";
        Fd created(::shm_open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!created.valid()) {
            SetLastErrorFromErrno(errno);
            return nullptr;
        }
        Mapping mapping;
        bool ok = ::fchmod(created.get(), 0666) == 0 &&
                  ::ftruncate(created.get(), sizeof(EventState)) == 0 &&
                  MapEvent(created.get(), mapping);
        if (ok) {
            auto* state = static_cast<EventState*>(mapping.get());
            state->manualReset = manualReset ? 1 : 0;
            state->signalled.store(initial ? 1 : 0);
            // shm_open objects live in /dev/shm on Linux.
            ok = ::link(("/dev/shm" + temp).c_str(), ("/dev/shm" + shmName).c_str()) == 0;
        }
        int error = errno;
        ::shm_unlink(temp.c_str());
        if (ok)
            return AddHandle(std::make_shared<Event>(std::move(mapping)));
        if (error != EEXIST) {
            SetLastErrorFromErrno(error);
            return nullptr;
        }
        // Another process made it first: open that one.
    }
    return Fail(EAGAIN, nullptr);
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
    std::string path = "/dev/shm/" + name;
    Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (!fd.valid()) {
        SetLastErrorFromErrno(errno);
        return nullptr;
    }
    // Every user may open it, whatever the creator's umask; only the owner
    // of the file may change its mode, and then it was set already.
    struct stat st;
    if (::fstat(fd.get(), &st) == 0 && (st.st_mode & 0777) != 0666 && st.st_uid == ::geteuid())
        ::fchmod(fd.get(), 0666);
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
    object->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    auto object = FindHandleOf<Event>(event);
    if (!object)
        return FALSE;
    object->Reset();
    return TRUE;
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
