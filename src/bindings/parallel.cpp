// Bindings of core/parallel.hpp: the number of threads the kernels use.
#include <climits>

#include "bindings/arrays.hpp"
#include "bindings/register.hpp"
#include "core/parallel.hpp"

namespace sigmora::bind {

namespace {

void set_num_threads(const IntArg& n) {
    sigmora::set_num_threads(static_cast<int>(int_arg(n, "n", 1, INT_MAX, "a positive number of threads")));
}

}  // namespace

void register_parallel(nanobind::module_& m) {
    m.def("set_num_threads", &set_num_threads, nanobind::arg("n"),
          "Set how many threads the kernels use (rows are split into fixed blocks).");
    m.def("get_num_threads", &sigmora::get_num_threads,
          "Number of threads the kernels use; by default the processors the process may run on.");
}

}  // namespace sigmora::bind
