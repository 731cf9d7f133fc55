#include "parser/nesting_budget.hpp"

#include <pthread.h>

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
// the error into Python objects. Measured with g++ 12 (by painting a thread's stack and
// parsing input nested 100 and 228 deep), the deepest kind of level (an operator chain
// in a group or in parentheses, failing inside, so that the tracked run nests as deep)
// takes 320 bytes optimised (336 with the profile-guided optimisation of Release builds), 991
// under AddressSanitizer and 1,344 unoptimised; the rest about 7 KiB and 14 KiB.
// A caller that takes stack for a parse allows for the frames between it and the parse's own
// reckoning: about 1.7 KiB in the optimised objects (the frame sizes their code reserves).
#ifdef QUARNEL_STACK_HEAVY
constexpr std::size_t bytes_per_level = 2048;
constexpr std::size_t reserve_bytes = 48 * 1024;
constexpr std::size_t frames_between = 16 * 1024;
#else
constexpr std::size_t bytes_per_level = 448;
constexpr std::size_t reserve_bytes = 12 * 1024;
constexpr std::size_t frames_between = 4 * 1024;
#endif

struct StackExtent {
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
    return {low, low + size};
}

// The calling thread's stack, looked up once per thread (for the main thread the lookup
// reads /proc). The record is also wiped when the thread ends, so that a later thread that
// is handed the same thread-local block never trusts it (a sanitizer run once showed a
// stale bound); asking the kernel for the thread id on every parse would cost more than
// a tenth of a short parse.
thread_local StackExtent cached_extent;

struct ForgetExtentAtThreadExit {
    ~ForgetExtentAtThreadExit() { cached_extent = {}; }
};
thread_local ForgetExtentAtThreadExit forget_extent_at_exit;

// The bytes of stack below `here`; nothing when `here` is not on the thread's own stack
// (a coroutine's, say).
std::optional<std::size_t> stack_left(std::uintptr_t here) {
    if (!cached_extent.holds(here)) {
        static_cast<void>(&forget_extent_at_exit);  // registers the wipe for this thread
        cached_extent = thread_stack();
    }
    if (!cached_extent.holds(here)) {
        return std::nullopt;
    }
    return here - cached_extent.low;
}

// The stack a parse may nest in, of `left` bytes: all but the reserve.
std::size_t usable_for_levels(std::size_t left) {
    return left > reserve_bytes ? left - reserve_bytes : 0;
}

// The levels that stack holds, at most `most_levels`.
std::size_t levels_in(std::size_t left, std::size_t most_levels) {
    return std::min(most_levels, usable_for_levels(left) / bytes_per_level);
}

// The last guard for a parse at `here`, with `left` bytes of stack below it: the reserve above
// the stack's end, wherever `here` is, once more than the reserve is left.
std::uintptr_t floor_at(std::uintptr_t here, std::size_t left) {
    return here - usable_for_levels(left);
}

}  // namespace

NestingBudget nesting_budget(std::size_t most_levels) {
    const std::uintptr_t here = stack_position();
    const std::optional<std::size_t> left = stack_left(here);
    if (!left) {
        return {most_levels, 0};
    }
    return {levels_in(*left, most_levels), floor_at(here, *left)};
}

std::optional<NestingBudget> full_budget_beside(std::size_t bytes, std::size_t most_levels) {
    const std::uintptr_t here = stack_position();
    const std::optional<std::size_t> left = stack_left(here);
    // The bound the parse would reckon, with `bytes` and the frames between taken first.
    const std::size_t taken = frames_between + bytes;
    if (!left || *left <= taken || levels_in(*left - taken, most_levels) != most_levels) {
        return std::nullopt;
    }
    // The same floor as the parse's own lookup further down would give.
    return NestingBudget{most_levels, floor_at(here, *left)};
}

}  // namespace quarnel::parser
