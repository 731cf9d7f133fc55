// Work shared among threads, for the checker's engine.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace quarnel::tools {

// Runs task(0) ... task(count - 1) on `jobs` threads, the calling one included, each task
// once; the first exception is rethrown once all threads have stopped.
template <typename Task>
void run_tasks(std::size_t count, unsigned jobs, Task&& task) {
    std::atomic<std::size_t> next{0};
    const unsigned workers = static_cast<unsigned>(std::clamp<std::size_t>(count, 1, std::max(jobs, 1U)));
    std::vector<std::exception_ptr> failures(workers);
    const auto work = [&](unsigned worker) {
        try {
            for (std::size_t index = next++; index < count; index = next++) {
                task(index);
            }
        } catch (...) {
            failures[worker] = std::current_exception();
            next = count;  // the others stop at their next task
        }
    };
    {
        std::vector<std::jthread> threads;
        for (unsigned worker = 1; worker < workers; ++worker) {
            threads.emplace_back(work, worker);
        }
        work(0);
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
}

}  // namespace quarnel::tools
