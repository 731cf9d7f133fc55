// Runs test code on a thread with a stack of a chosen size: recursion that grows with
// the input would overflow it.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstddef>
#include <functional>

namespace quarnel::test_support {

inline constexpr std::size_t one_mebibyte = std::size_t{1} << 20;

inline void run_on_stack(std::size_t bytes, const std::function<void()>& work) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, bytes), 0);
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
}

}  // namespace quarnel::test_support
