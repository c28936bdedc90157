// One registration function per kernel family; each lives in src/bindings/<family>.cpp.
#pragma once

#include <nanobind/nanobind.h>

namespace sigmora::bind {
void register_parallel(nanobind::module_& m);
void register_winsorize(nanobind::module_& m);
void register_ols(nanobind::module_& m);
void register_preprocess(nanobind::module_& m);
void register_ic(nanobind::module_& m);
void register_portfolio(nanobind::module_& m);
void register_operators(nanobind::module_& m);
}  // namespace sigmora::bind
