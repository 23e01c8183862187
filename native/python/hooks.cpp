// Benchmark and test switches of corvane._engine, compiled in only with the
// CORVANE_HOOKS build option (on for the development install the tests and
// benchmarks use, off for the wheel): they change how every later file is
// written, which no real bundle may see.
#include "corvane/error.hpp"
#include "corvane/failpoint.hpp"
#include "corvane/file.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

namespace nb = nanobind;
using namespace corvane;

void add_hooks(nb::module_& m) {
    m.def("_set_crash_safety", [](bool enabled) { set_crash_safety(enabled); }, nb::arg("enabled"),
          "Benchmark hook: False writes later files in place, without lock, temporary file or "
          "journal, to measure what crash safety costs. Never for real bundles.");
    m.def(
        "_set_write_path",
        [](const std::string& path) {
            if (path == "automatic") {
                set_write_path(WritePath::automatic);
            } else if (path == "in_place") {
                set_write_path(WritePath::in_place);
            } else if (path == "beside") {
                set_write_path(WritePath::beside);
            } else {
                throw ArgumentError("write path must be 'automatic', 'in_place' or 'beside'");
            }
        },
        nb::arg("path"),
        "Benchmark hook: how existing files take their changes ('automatic': in place unless a "
        "reader holds the file; 'in_place': always, failing when a reader holds it; 'beside': "
        "always a new version renamed over the file). Never for real bundles.");
    m.def("_fail_once", [](const std::string& point) { failpoint::fail_once(point); },
          nb::arg("point"), "Test hook: make the next pass through the named point fail.");
}
