// Bindings of core/parallel.hpp: the number of threads the kernels use.
#include "bindings/register.hpp"
#include "core/parallel.hpp"

namespace sigmora::bind {

void register_parallel(nanobind::module_& m) {
    m.def("set_num_threads", &sigmora::set_num_threads, nanobind::arg("n"),
          "Set how many threads the kernels use (rows are split into fixed blocks).");
    m.def("get_num_threads", &sigmora::get_num_threads, "Number of threads the kernels use.");
}

}  // namespace sigmora::bind
