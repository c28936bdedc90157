#include "bindings/register.hpp"

namespace sigmora::bind {

void register_ic(nanobind::module_& m) { (void)m; }

}  // namespace sigmora::bind
