// Mutexes that clang's thread-safety analysis can follow, and the annotations that say what each
// one guards. Built with clang and -Wthread-safety, touching a GUARDED_BY member without its mutex,
// or calling a REQUIRES function without it, is a compile error; other compilers ignore the
// annotations. Use MutexLock / ReaderLock / WriterLock (not std::lock_guard, which the analysis
// cannot see) wherever guarded state is touched.
//
// Thread safety: these are mutexes; every member may be called from any thread.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define QUERN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUERN_THREAD_ANNOTATION(x)
#endif

#define QUERN_CAPABILITY(x) QUERN_THREAD_ANNOTATION(capability(x))
#define QUERN_SCOPED_CAPABILITY QUERN_THREAD_ANNOTATION(scoped_lockable)
#define QUERN_GUARDED_BY(x) QUERN_THREAD_ANNOTATION(guarded_by(x))
#define QUERN_PT_GUARDED_BY(x) QUERN_THREAD_ANNOTATION(pt_guarded_by(x))
#define QUERN_REQUIRES(...) QUERN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QUERN_REQUIRES_SHARED(...) QUERN_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define QUERN_EXCLUDES(...) QUERN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QUERN_ACQUIRE(...) QUERN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QUERN_ACQUIRE_SHARED(...) QUERN_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define QUERN_RELEASE(...) QUERN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QUERN_RELEASE_SHARED(...) QUERN_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define QUERN_RELEASE_GENERIC(...) QUERN_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define QUERN_TRY_ACQUIRE(...) QUERN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

namespace utils {

// A non-recursive mutex (std::mutex underneath), usable with std::lock_guard as well.
class QUERN_CAPABILITY("mutex") Mutex {
 public:
  constexpr Mutex() noexcept = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() QUERN_ACQUIRE() { m_.lock(); }
  void unlock() QUERN_RELEASE() { m_.unlock(); }
  bool try_lock() QUERN_TRY_ACQUIRE(true) { return m_.try_lock(); }

 private:
  std::mutex m_;
};

// Many readers or one writer (std::shared_mutex underneath).
class QUERN_CAPABILITY("mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock() QUERN_ACQUIRE() { m_.lock(); }
  void unlock() QUERN_RELEASE() { m_.unlock(); }
  void lock_shared() QUERN_ACQUIRE_SHARED() { m_.lock_shared(); }
  void unlock_shared() QUERN_RELEASE_SHARED() { m_.unlock_shared(); }

 private:
  std::shared_mutex m_;
};

// Holds a Mutex for its scope.
class QUERN_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) QUERN_ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() QUERN_RELEASE() { m_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_;
};

// Holds a SharedMutex shared for its scope.
class QUERN_SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& m) QUERN_ACQUIRE_SHARED(m) : m_(m) { m_.lock_shared(); }
  ~ReaderLock() QUERN_RELEASE_GENERIC() { m_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& m_;
};

// Holds a SharedMutex exclusively for its scope.
class QUERN_SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& m) QUERN_ACQUIRE(m) : m_(m) { m_.lock(); }
  ~WriterLock() QUERN_RELEASE() { m_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& m_;
};

}  // namespace utils
