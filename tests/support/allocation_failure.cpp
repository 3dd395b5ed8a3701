#include "support/allocation_failure.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

namespace test_support {

namespace {

std::atomic<bool> g_armed{false};
std::atomic<int> g_left{0};  // negative: without end
// Read by every allocating thread while armed, so kept in atomics.
std::atomic<char> g_thread_name[16] = {};

bool is_armed_thread(const char* name) noexcept {
    for (std::size_t i = 0; i < 16; ++i) {
        const char c = g_thread_name[i].load(std::memory_order_relaxed);
        if (c != name[i]) return false;
        if (c == '\0') return true;
    }
    return true;
}

// Whether this allocation is one to fail; consumes one of a counted arming.
bool allocation_fails() noexcept {
    if (!g_armed.load(std::memory_order_acquire)) return false;
    char name[16] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return false;
    if (!is_armed_thread(name)) return false;
    int left = g_left.load(std::memory_order_relaxed);
    while (left != 0) {
        if (left < 0) return true;
        if (g_left.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            if (left == 1) g_armed.store(false, std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

void* allocate(std::size_t size) noexcept {
    if (allocation_fails()) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void fail_allocations(std::string_view thread_name, int count) {
    g_armed.store(false, std::memory_order_relaxed);
    const std::size_t n = std::min<std::size_t>(thread_name.size(), 15);
    for (std::size_t i = 0; i < 16; ++i) {
        g_thread_name[i].store(i < n ? thread_name[i] : '\0', std::memory_order_relaxed);
    }
    g_left.store(count, std::memory_order_relaxed);
    g_armed.store(count != 0, std::memory_order_release);
}

void disarm_allocation_failures() {
    g_armed.store(false, std::memory_order_release);
}

}  // namespace test_support

// The replaceable single-object forms; the array and aligned forms keep their
// own (matching) definitions. Deleting goes to free, as allocating comes from
// malloc, so sanitizers see matching pairs.
void* operator new(std::size_t size) {
    void* p = test_support::allocate(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return test_support::allocate(size);
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
