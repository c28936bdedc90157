#include "core/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace sigmora {
namespace {

// The processors this process may run on (its CPU affinity, which taskset, cgroups'
// cpusets and container runtimes narrow), else the machine's count.
int default_threads() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
#endif
    const unsigned hc = std::thread::hardware_concurrency();
    return hc == 0 ? 1 : static_cast<int>(hc);
}

std::atomic<int> g_threads{default_threads()};

// Fault injection: SIGMORA_FAIL_THREAD_AFTER=k makes every parallel region fail to start
// its (k+1)-th thread, as a pids or address-space limit would. Read once.
long spawn_limit() {
    static const long limit = [] {
        const char* v = std::getenv("SIGMORA_FAIL_THREAD_AFTER");
        if (!v || !*v) return -1L;
        char* end = nullptr;
        const long k = std::strtol(v, &end, 10);
        return (*end == '\0' && k >= 0) ? k : -1L;
    }();
    return limit;
}

// Joins the threads it holds whatever happens, so that none is destroyed while joinable.
struct Workers {
    std::vector<std::thread> threads;
    ~Workers() {
        for (auto& t : threads)
            if (t.joinable()) t.join();
    }
};

}  // namespace

int get_num_threads() { return g_threads.load(std::memory_order_relaxed); }

void set_num_threads(int n) {
    if (n < 1) throw std::invalid_argument("n: expect a positive number of threads, got " + std::to_string(n));
    g_threads.store(n, std::memory_order_relaxed);
}

void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body,
                  std::size_t min_rows_per_thread) {
    if (n == 0) return;
    const std::size_t per = std::max<std::size_t>(min_rows_per_thread, 1);
    const std::size_t blocks = std::min<std::size_t>(static_cast<std::size_t>(get_num_threads()), (n - 1) / per + 1);
    if (blocks <= 1) {
        body(0, n);
        return;
    }
    // The partition into `blocks` contiguous blocks is fixed before any thread starts; the
    // threads (and the calling thread) then take blocks in turn until none is left. A
    // thread that cannot be started leaves its share to the others, so the blocks, and the
    // bits, are the same however many threads really ran.
    std::exception_ptr error;
    std::mutex error_mutex;
    std::atomic<std::size_t> next{0};
    const std::size_t chunk = n / blocks, extra = n % blocks;
    auto work = [&]() {
        for (std::size_t b = next.fetch_add(1); b < blocks; b = next.fetch_add(1)) {
            const std::size_t begin = b * chunk + std::min(b, extra);
            const std::size_t end = begin + chunk + (b < extra ? 1 : 0);
            try {
                body(begin, end);
            } catch (...) {
                std::lock_guard<std::mutex> lock(error_mutex);
                if (!error) error = std::current_exception();
            }
        }
    };
    {
        Workers workers;
        try {
            workers.threads.reserve(blocks - 1);
            const long limit = spawn_limit();
            for (std::size_t w = 0; w + 1 < blocks; ++w) {
                if (limit >= 0 && w >= static_cast<std::size_t>(limit))
                    throw std::system_error(EAGAIN, std::generic_category(), "thread creation refused (fault injection)");
                workers.threads.emplace_back(work);
            }
        } catch (const std::system_error&) {
            // No more threads to be had: the ones running and this thread do the rest.
        } catch (const std::bad_alloc&) {
        }
        work();
    }  // joins every started thread
    if (error) std::rethrow_exception(error);
}

}  // namespace sigmora
