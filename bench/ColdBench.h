#pragma once
// The cold view of the side-by-side suite (see ColdBench.cpp).
#include <string>

namespace volcore::bench {

// `self --cold-child ROW ENGINE IMAGE`: one measurement, printed on stdout.
int RunColdChild(int argc, char** argv);
// Every cold row whose name holds `filter` (all when empty), with `self`
// started once per measurement.
void RunColdRows(const char* self, const std::string& filter);
// The names of those rows, each after the number `--cold-child` takes.
void ListColdRows(const std::string& filter);

}  // namespace volcore::bench
