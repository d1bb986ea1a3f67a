// Directory index hot path: every step of a lookup or an insertion compares
// names in index order, so the comparison must stay allocation-free.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "disk/UpCase.h"

using namespace volcore;

namespace {

UpCaseTable AsciiTable() {
    UpCaseTable table(65536);
    for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint16_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
    return table;
}

void BM_CompareIgnoreCase(benchmark::State& state) {
    UpCaseTable table = AsciiTable();
    std::u16string a(static_cast<size_t>(state.range(0)), u'a');
    std::u16string b(static_cast<size_t>(state.range(0)), u'A');
    b.back() = u'B';
    for (auto _ : state) benchmark::DoNotOptimize(CompareIgnoreCase(a, b, table));
}
BENCHMARK(BM_CompareIgnoreCase)->Arg(12)->Arg(255);

void BM_CompareFileNamesEqualIgnoringCase(benchmark::State& state) {
    UpCaseTable table = AsciiTable();
    std::u16string a(static_cast<size_t>(state.range(0)), u'a');
    std::u16string b(static_cast<size_t>(state.range(0)), u'A');
    for (auto _ : state) benchmark::DoNotOptimize(CompareFileNames(a, b, table));
}
BENCHMARK(BM_CompareFileNamesEqualIgnoringCase)->Arg(12)->Arg(255);

}  // namespace
