// Runs test code on a thread with a stack of a chosen size: recursion that grows with
// the input would overflow it.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <functional>

namespace quarnel::test_support {

inline constexpr std::size_t one_mebibyte = std::size_t{1} << 20;

// The stack is mapped here, with a guard page below it, rather than left to the thread
// library, which may hand out a larger stack cached from an earlier thread.
inline void run_on_stack(std::size_t bytes, const std::function<void()>& work) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* const mapping = mmap(nullptr, bytes + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    ASSERT_EQ(mprotect(mapping, page, PROT_NONE), 0);
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstack(&attributes, static_cast<char*>(mapping) + page, bytes), 0);
    pthread_t thread;
    auto trampoline = [](void* argument) -> void* {
        (*static_cast<const std::function<void()>*>(argument))();
        return nullptr;
    };
    const int created =
        pthread_create(&thread, &attributes, trampoline, const_cast<std::function<void()>*>(&work));
    pthread_attr_destroy(&attributes);
    ASSERT_EQ(created, 0);
    pthread_join(thread, nullptr);
    munmap(mapping, bytes + page);
}

}  // namespace quarnel::test_support
