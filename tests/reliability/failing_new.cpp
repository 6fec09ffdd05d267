// A replacement of the global operator new for tests, loaded with LD_PRELOAD:
// it allocates with malloc until it is armed, and from the n-th allocation
// after arming on it fails, the throwing forms with std::bad_alloc and the
// nothrow forms with a null pointer. Python arms it through ctypes:
//
//   shim = ctypes.CDLL(path)      # the preloaded library itself
//   shim.failing_new_arm(1)       # every allocation from now on fails
//   shim.failing_new_disarm()
//
// Built by the tests with the machine's C++ compiler:
//   c++ -std=c++20 -O1 -shared -fPIC failing_new.cpp -o libfailing_new.so

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

// 0: disarmed; otherwise the number of the first allocation that fails.
std::atomic<long> g_fail_from{0};
std::atomic<long> g_seen{0};
std::atomic<long> g_failed{0};

bool next_fails() noexcept {
    const long from = g_fail_from.load(std::memory_order_acquire);
    if (from == 0) {
        return false;
    }
    if (g_seen.fetch_add(1, std::memory_order_acq_rel) + 1 < from) {
        return false;
    }
    g_failed.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void* allocate(std::size_t size) noexcept {
    if (next_fails()) {
        return nullptr;
    }
    return std::malloc(size != 0 ? size : 1);
}

void* allocate_aligned(std::size_t size, std::align_val_t align) noexcept {
    if (next_fails()) {
        return nullptr;
    }
    const auto alignment = static_cast<std::size_t>(align);
    void* p = nullptr;
    const std::size_t min_align = alignment < sizeof(void*) ? sizeof(void*) : alignment;
    return posix_memalign(&p, min_align, size != 0 ? size : 1) == 0 ? p : nullptr;
}

}  // namespace

extern "C" {

// Fails every allocation from the n-th one after this call on (n >= 1).
__attribute__((visibility("default"))) void failing_new_arm(long n) {
    g_seen.store(0, std::memory_order_relaxed);
    g_failed.store(0, std::memory_order_relaxed);
    g_fail_from.store(n < 1 ? 1 : n, std::memory_order_release);
}

__attribute__((visibility("default"))) void failing_new_disarm() {
    g_fail_from.store(0, std::memory_order_release);
}

// How many allocations failed since the last arming.
__attribute__((visibility("default"))) long failing_new_failures() {
    return g_failed.load(std::memory_order_relaxed);
}

}  // extern "C"

void* operator new(std::size_t size) {
    if (void* p = allocate(size)) {
        return p;
    }
    throw std::bad_alloc();
}

void* operator new[](std::size_t size) {
    if (void* p = allocate(size)) {
        return p;
    }
    throw std::bad_alloc();
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }

void* operator new(std::size_t size, std::align_val_t align) {
    if (void* p = allocate_aligned(size, align)) {
        return p;
    }
    throw std::bad_alloc();
}

void* operator new[](std::size_t size, std::align_val_t align) {
    if (void* p = allocate_aligned(size, align)) {
        return p;
    }
    throw std::bad_alloc();
}

void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return allocate_aligned(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return allocate_aligned(size, align);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
