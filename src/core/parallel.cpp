#include "core/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace sigmora {
namespace {

int default_threads() {
    unsigned hc = std::thread::hardware_concurrency();
    return hc == 0 ? 1 : static_cast<int>(hc);
}

std::atomic<int> g_threads{default_threads()};

}  // namespace

int get_num_threads() { return g_threads.load(std::memory_order_relaxed); }

void set_num_threads(int n) {
    if (n < 1) throw std::invalid_argument("n: expect a positive number of threads, got " + std::to_string(n));
    g_threads.store(n, std::memory_order_relaxed);
}

void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body,
                  std::size_t min_rows_per_thread) {
    if (n == 0) return;
    std::size_t per = std::max<std::size_t>(min_rows_per_thread, 1);
    std::size_t workers = std::min<std::size_t>(static_cast<std::size_t>(get_num_threads()), (n + per - 1) / per);
    if (workers <= 1) {
        body(0, n);
        return;
    }
    std::exception_ptr error;
    std::mutex error_mutex;
    auto run = [&](std::size_t begin, std::size_t end) {
        try {
            body(begin, end);
        } catch (...) {
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) error = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(workers - 1);
    std::size_t chunk = n / workers, extra = n % workers, begin = 0;
    for (std::size_t w = 0; w < workers; ++w) {
        std::size_t end = begin + chunk + (w < extra ? 1 : 0);
        if (w + 1 == workers) {
            run(begin, end);
        } else {
            threads.emplace_back(run, begin, end);
        }
        begin = end;
    }
    for (auto& t : threads) t.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace sigmora
