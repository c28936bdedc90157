#include "bindings/register.hpp"

namespace sigmora::bind {

void register_portfolio(nanobind::module_& m) { (void)m; }

}  // namespace sigmora::bind
