#include "parser/nesting_budget.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

namespace quarnel::parser {

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define QUARNEL_STACK_HEAVY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARNEL_STACK_HEAVY 1
#endif
#endif
#if !defined(__OPTIMIZE__)
#define QUARNEL_STACK_HEAVY 1
#endif

// The most stack one level of nesting takes, and what the rest of a call needs besides
// the levels: the grammar below the innermost level, building, and turning the tree or
// the error into Python objects. Measured with g++ 12, the deepest kind of level (a
// group holding an operator chain) takes 352 bytes optimised, 1,232 under
// AddressSanitizer and 1,456 unoptimised; the rest about 7 KiB and 14 KiB.
#ifdef QUARNEL_STACK_HEAVY
constexpr std::size_t bytes_per_level = 2048;
constexpr std::size_t reserve_bytes = 48 * 1024;
#else
constexpr std::size_t bytes_per_level = 448;
constexpr std::size_t reserve_bytes = 12 * 1024;
#endif

struct StackExtent {
    pid_t thread = 0;
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;

    bool holds(std::uintptr_t address) const { return address > low && address <= high; }
};

StackExtent thread_stack() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return {};
    }
    void* address = nullptr;
    std::size_t size = 0;
    const int found = pthread_attr_getstack(&attributes, &address, &size);
    pthread_attr_destroy(&attributes);
    if (found != 0) {
        return {};
    }
    const auto low = reinterpret_cast<std::uintptr_t>(address);
    return {gettid(), low, low + size};
}

// The bytes of stack below `here`; nothing when `here` is not on the thread's own stack
// (a coroutine's, say). A thread's stack never moves, so it is looked up once per thread
// (for the main thread the lookup reads /proc). The kernel's thread id guards the cache
// against a record left by an ended thread whose stack and thread-local block lay at the
// same place (a sanitizer run once showed such a stale bound).
std::optional<std::size_t> stack_left(std::uintptr_t here) {
    thread_local StackExtent extent;
    if (extent.thread != gettid() || !extent.holds(here)) {
        extent = thread_stack();
    }
    if (!extent.holds(here)) {
        return std::nullopt;
    }
    return here - extent.low;
}

}  // namespace

NestingBudget nesting_budget(std::size_t most_levels) {
    const std::uintptr_t here = stack_position();
    const std::optional<std::size_t> left = stack_left(here);
    if (!left) {
        return {most_levels, 0};
    }
    const std::size_t usable = *left > reserve_bytes ? *left - reserve_bytes : 0;
    return {std::min(most_levels, usable / bytes_per_level), here - usable};
}

}  // namespace quarnel::parser
