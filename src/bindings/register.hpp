// One registration function per kernel family: the family declared in
// src/core/<family>.hpp is bound in src/bindings/<family>.cpp by register_<family>, and
// each function it binds has the same name on both sides (sigmora._core.X calls
// sigmora::X).
#pragma once

#include <nanobind/nanobind.h>

namespace sigmora::bind {
void register_parallel(nanobind::module_& m);
void register_winsorize(nanobind::module_& m);
void register_ols(nanobind::module_& m);
void register_neutralize(nanobind::module_& m);
void register_normalize(nanobind::module_& m);
void register_ic(nanobind::module_& m);
void register_portfolio(nanobind::module_& m);
void register_factor_portfolio(nanobind::module_& m);
void register_operators(nanobind::module_& m);
void register_prices(nanobind::module_& m);
void register_overlap(nanobind::module_& m);
}  // namespace sigmora::bind
