// Directory index hot path: every lookup and insertion walks the ordered map
// with the case-insensitive comparison, so both must stay allocation-free and
// logarithmic even for directories with thousands of names.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "index/Index.h"
#include "index/UpCase.h"

using namespace volcore;

namespace {

UpCaseTable AsciiTable() {
    UpCaseTable table(65536);
    for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint16_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
    return table;
}

std::vector<std::u16string> Names(size_t count) {
    std::vector<std::u16string> names;
    names.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        std::u16string name = u"Document-";
        for (char c : std::to_string(i * 7919 % (count * 10))) name.push_back(static_cast<char16_t>(c));
        name += u".txt";
        names.push_back(std::move(name));
    }
    return names;
}

void BM_CompareIgnoreCase(benchmark::State& state) {
    UpCaseTable table = AsciiTable();
    std::u16string a(static_cast<size_t>(state.range(0)), u'a');
    std::u16string b(static_cast<size_t>(state.range(0)), u'A');
    b.back() = u'B';
    for (auto _ : state) benchmark::DoNotOptimize(CompareIgnoreCase(a, b, table));
}
BENCHMARK(BM_CompareIgnoreCase)->Arg(12)->Arg(255);

void BM_IndexMapInsert(benchmark::State& state) {
    UpCaseTable table = AsciiTable();
    std::vector<std::u16string> names = Names(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        IndexEntryMap entries(FileNameLess{&table});
        for (const auto& name : names) entries.try_emplace(name, SIndexEntryValue{});
        benchmark::DoNotOptimize(entries.size());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_IndexMapInsert)->Arg(1000)->Arg(10000);

void BM_IndexMapLookupIgnoringCase(benchmark::State& state) {
    UpCaseTable table = AsciiTable();
    std::vector<std::u16string> names = Names(static_cast<size_t>(state.range(0)));
    IndexEntryMap entries(FileNameLess{&table});
    for (const auto& name : names) entries.try_emplace(name, SIndexEntryValue{});
    std::vector<std::u16string> upper = names;
    for (auto& name : upper)
        for (auto& unit : name) unit = ToUpper(table, unit);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(entries.find(std::u16string_view(upper[i])));
        i = (i + 1) % upper.size();
    }
}
BENCHMARK(BM_IndexMapLookupIgnoringCase)->Arg(1000)->Arg(10000);

}  // namespace
