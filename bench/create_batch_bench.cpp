// What building the INSERT text costs, without a database: Redshift::createBatch
// over a block whose table is already in the schema cache, as send() calls it
// once the tables are known.
//
// The timed region is createBatch alone. Coalescing the buffers into one text
// and freeing them (what send() does next) is timed on its own and shown as
// coalesce_ns_per_reading, so the targets below speak of createBatch only.
//
// Time is the CPU time of the benchmark's thread, not the wall clock: the
// question is what a block costs one core, and on a machine that other work
// shares, wall time would add whatever ran in between.
//
// After the benchmarks, a summary of the createBatch figures (the best of the
// repetitions), and each target next to its figure. They are figures, not
// checks: the program never fails on a number.
//
//   cirrant-bench                                 5 interleaved repetitions
//   cirrant-bench --benchmark_filter=createBatch  the statement builder only
//   cirrant-bench --benchmark_out=F --benchmark_out_format=json
//   cirrant-bench --heap-trim                     freed memory goes back to the
//                                                 system, as by default (see main)
#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "builders.h"
#include "rules/names.h"
#include "redshift.h"

namespace {

// CPU seconds this thread has run.
double threadSeconds() {
    timespec now;
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

const char* const kAsset = "pump 1";
const char* const kTable = "pump_1";  // the asset as a valid SQL name

// Short texts as devices report them, one with a quote so the escaping path
// is part of the mix.
const char* const kStates[] = {"running", "stopped", "idle", "fault: low pressure", "operator's check"};

// Datapoint i of every reading: BIGINT, REAL and VARCHAR columns in turn.
const char* columnType(int i) {
    switch (i % 3) {
        case 0: return TYPE_BIGINT;
        case 1: return TYPE_REAL;
        default: return TYPE_VARCHAR;
    }
}

std::string datapointName(int i) { return "sensor_" + std::to_string(i); }

Datapoint* datapointValue(int reading, int i) {
    const std::string name = datapointName(i);
    switch (i % 3) {
        case 0: return testsupport::dpInt(name, (reading * 7919L + i * 104729L) % 100000);
        case 1: return testsupport::dpFloat(name, static_cast<double>((reading * 31L + i * 7L) % 100000) / 1000.0);
        default: return testsupport::dpString(name, kStates[(reading + i) % 5]);
    }
}

// Whether the readings name their datapoints in the order of the table's
// columns (as when the table was made from readings like them) or the other
// way round (a source that lists its values differently).
enum class Order { Columns, Reversed };

// A catalogue that knows the table already (without a connection), and a
// block of readings for it, built once, outside any timing.
struct Workload {
    Session session{std::chrono::seconds(1)};
    Catalogue catalogue{session};
    BatchBuilder builder{catalogue, "site", false};
    std::vector<std::unique_ptr<Reading>> owned;
    std::vector<Reading*> readings;

    Workload(int readingCount, int datapointCount, Order order = Order::Columns) {
        // The table known as a stored cache would bring it.
        std::string cache = std::string("{\"Items\":[{\"tablename\":\"") + kTable +
                            "\",\"a\":{\"Name\":\"asset_code\",\"Type\":\" VARCHAR(256) \"},"
                            "\"b\":{\"Name\":\"user_ts\",\"Type\":\" TIMESTAMPTZ \"},"
                            "\"c\":{\"Name\":\"ts\",\"Type\":\" TIMESTAMPTZ \"},"
                            "\"d\":{\"Name\":\"vantrel\",\"Type\":\" VARCHAR(256) \"}";
        for (int i = 0; i < datapointCount; ++i)
            cache += ",\"" + datapointName(i) + "\":{\"Name\":\"" + datapointName(i) + "\",\"Type\":\"" +
                     columnType(i) + "\"}";
        catalogue.deserializeCache(cache + "}]}");

        owned.reserve(static_cast<size_t>(readingCount));
        for (int r = 0; r < readingCount; ++r) {
            std::vector<Datapoint*> values;
            values.reserve(static_cast<size_t>(datapointCount));
            for (int i = 0; i < datapointCount; ++i) values.push_back(datapointValue(r, i));
            if (order == Order::Reversed) std::reverse(values.begin(), values.end());
            const int64_t userTs = testsupport::kTestTime + r * 10000L;
            owned.push_back(std::make_unique<Reading>(kAsset, std::move(values), userTs, userTs + 2500));
            readings.push_back(owned.back().get());
        }
    }
};

// Joins each table's rows into statements, as send() does before it hands
// them to the connection. Returns the texts' length.
size_t drainAll(BlockRows& rows) {
    size_t length = 0;
    for (std::string& text : rows.statements(16 * 1024 * 1024)) {
        benchmark::DoNotOptimize(text);
        length += text.size();
    }
    return length;
}

void createBatch(benchmark::State& state) {
    const int readingCount = static_cast<int>(state.range(0));
    const int datapointCount = static_cast<int>(state.range(1));
    Workload work(readingCount, datapointCount);

    // The block's tables as send() finds them, untimed: the table is known,
    // so no database is asked.
    BlockTables tables = work.catalogue.createTablesFromPayload(work.readings);

    // Once untimed: every reading must become a row, or the figures would
    // describe some other work.
    {
        BlockRows batches;
        work.builder.createBatch(work.readings, tables, batches);
        drainAll(batches);
        if (batches.tables[kTable].rows.size() != static_cast<size_t>(readingCount)) {
            state.SkipWithError("createBatch did not make a row of every reading");
            return;
        }
    }

    double batchSeconds = 0, coalesceSeconds = 0;
    size_t statementBytes = 0;
    for (auto _ : state) {
        const double start = threadSeconds();
        BlockRows batches;
        work.builder.createBatch(work.readings, tables, batches);
        const double built = threadSeconds();
        statementBytes = drainAll(batches);
        const double drained = threadSeconds();

        batchSeconds += built - start;
        coalesceSeconds += drained - built;
        state.SetIterationTime(built - start);
    }

    const double iterations = static_cast<double>(state.iterations());
    const double rows = iterations * readingCount;
    state.SetItemsProcessed(static_cast<int64_t>(rows));
    state.counters["ns_per_value"] = batchSeconds * 1e9 / (rows * datapointCount);
    state.counters["ns_per_reading"] = batchSeconds * 1e9 / rows;
    state.counters["coalesce_ns_per_reading"] = coalesceSeconds * 1e9 / rows;
    state.counters["bytes_per_reading"] = static_cast<double>(statementBytes) / readingCount;
}

BENCHMARK(createBatch)
    ->ArgNames({"readings", "datapoints"})
    ->Args({500, 4})
    ->Args({500, 10})
    ->Args({500, 20})
    ->Args({500, 200})
    ->Args({10000, 20})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// What send() does for every reading before createBatch: find its table and
// check that the table has a column for each datapoint. Here every table and
// column is known, so no statement is needed and no database either.
void knownTablesIn(benchmark::State& state, Order order) {
    const int readingCount = static_cast<int>(state.range(0));
    const int datapointCount = static_cast<int>(state.range(1));
    Workload work(readingCount, datapointCount, order);
    {
        BlockTables tables = work.catalogue.createTablesFromPayload(work.readings);
        if (!tables.failed.empty() || tables.ready.size() != 1) {
            state.SkipWithError("the table was not taken as known");
            return;
        }
    }
    double seconds = 0;
    for (auto _ : state) {
        const double start = threadSeconds();
        BlockTables tables = work.catalogue.createTablesFromPayload(work.readings);
        benchmark::DoNotOptimize(tables);
        const double spent = threadSeconds() - start;
        seconds += spent;
        state.SetIterationTime(spent);
    }
    const double rows = static_cast<double>(state.iterations()) * readingCount;
    state.SetItemsProcessed(static_cast<int64_t>(rows));
    state.counters["ns_per_value"] = seconds * 1e9 / (rows * datapointCount);
    state.counters["ns_per_reading"] = seconds * 1e9 / rows;
}

void knownTables(benchmark::State& state) { knownTablesIn(state, Order::Columns); }
void knownTablesReversed(benchmark::State& state) { knownTablesIn(state, Order::Reversed); }

BENCHMARK(knownTables)
    ->ArgNames({"readings", "datapoints"})
    ->Args({500, 4})
    ->Args({500, 10})
    ->Args({500, 20})
    ->Args({500, 200})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(knownTablesReversed)
    ->ArgNames({"readings", "datapoints"})
    ->Args({500, 20})
    ->Args({500, 200})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// Parts of the per-reading work, to tell where a createBatch figure goes.

// The two timestamps of every row are formatted from microseconds.
void formatTime(benchmark::State& state) {
    int64_t micros = testsupport::kTestTime;
    for (auto _ : state) {
        std::string text = Reading::formatTime(micros, Reading::FMT_DEFAULT, true);
        benchmark::DoNotOptimize(text);
        micros += 10000;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(formatTime);

// Each reading's table is looked up by name, hint first: a scan of the
// reading's datapoints.
void tableNameFor(benchmark::State& state) {
    Workload work(1, static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::string table = names::tableFor(*work.readings[0]);
        benchmark::DoNotOptimize(table);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(tableNameFor)->ArgName("datapoints")->Arg(10)->Arg(200);

// ------------------------------------------------------------ the summary

// What one run of a benchmark measured.
struct Figures {
    double itemsPerSecond = 0;
    std::map<std::string, double> counters;
    double counter(const char* name) const {
        auto found = counters.find(name);
        return found == counters.end() ? 0 : found->second;
    }
};

// The console reporter, showing the aggregates of repeated runs, and keeping
// for the summary the best repetition of each benchmark: the work is the same
// every time, so the fastest run is the one least disturbed by whatever else
// the machine was doing. Without repetitions, the single run.
class Recorder : public benchmark::ConsoleReporter {
public:
    explicit Recorder(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown;
        for (const Run& run : runs) {
            if (!run.error_occurred) {
                const std::string name = run.run_name.function_name + "/" + run.run_name.args;
                if (run.run_type == Run::RT_Iteration) keepIfBest(name, run);
                if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") m_medians[name] = figures(run);
            }
            // Repeated runs show as their aggregates; the JSON output has each.
            if (run.run_type == Run::RT_Aggregate || run.repetitions <= 1 || run.error_occurred) shown.push_back(run);
        }
        if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
    }

    const Figures* find(const std::string& name) const {
        auto best = m_best.find(name);
        if (best != m_best.end()) return &best->second;
        auto median = m_medians.find(name);
        return median == m_medians.end() ? nullptr : &median->second;
    }

private:
    static Figures figures(const Run& run) {
        Figures out;
        for (const auto& counter : run.counters) out.counters[counter.first] = counter.second.value;
        out.itemsPerSecond = out.counter("items_per_second");
        return out;
    }
    void keepIfBest(const std::string& name, const Run& run) {
        Figures candidate = figures(run);
        auto known = m_best.find(name);
        if (known == m_best.end() || candidate.itemsPerSecond > known->second.itemsPerSecond)
            m_best[name] = std::move(candidate);
    }

    std::map<std::string, Figures> m_best;
    std::map<std::string, Figures> m_medians;
};

std::string grouped(double value) {
    std::string digits = std::to_string(static_cast<long long>(value + 0.5));
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void target(const std::string& what, const std::string& figure, bool met) {
    std::printf("| %s | %s | %s |\n", what.c_str(), figure.c_str(), met ? "met" : "MISSED");
}

void printSummary(const Recorder& recorder, bool heapTrim) {
    struct Case {
        int readings, datapoints;
    };
    const Case cases[] = {{500, 4}, {500, 10}, {500, 20}, {500, 200}, {10000, 20}};
    auto find = [&recorder](const char* family, const Case& c) {
        return recorder.find(std::string(family) + "/readings:" + std::to_string(c.readings) +
                             "/datapoints:" + std::to_string(c.datapoints));
    };
    auto label = [](const Case& c) { return grouped(c.readings) + " x " + std::to_string(c.datapoints); };

    std::vector<std::string> rows;
    for (const Case& c : cases) {
        if (const Figures* f = find("createBatch", c)) {
            rows.push_back("| " + label(c) + " | " + grouped(f->itemsPerSecond) + " | " +
                           fixed(f->counter("ns_per_reading"), 0) + " | " + fixed(f->counter("ns_per_value"), 1) +
                           " | " + fixed(f->counter("coalesce_ns_per_reading"), 0) + " | " +
                           fixed(f->counter("bytes_per_reading"), 0) + " |");
        }
    }
    if (!rows.empty()) {
        std::printf("\ncreateBatch, CPU time of one thread, best of the repetitions, heap trimming %s; "
                    "coalescing the text is not part of createBatch and shown apart\n\n",
                    heapTrim ? "on (--heap-trim)" : "off");
        std::printf("| readings x datapoints | readings/s | ns/reading | ns/value | coalesce ns/reading | "
                    "statement bytes/reading |\n|---|---|---|---|---|---|\n");
        for (const std::string& row : rows) std::printf("%s\n", row.c_str());
    }

    rows.clear();
    for (const char* family : {"knownTables", "knownTablesReversed"}) {
        for (const Case& c : cases) {
            if (const Figures* f = find(family, c)) {
                rows.push_back("| " + label(c) +
                               (std::strcmp(family, "knownTables") == 0 ? "" : ", datapoints in reverse column order") +
                               " | " + grouped(f->itemsPerSecond) + " | " + fixed(f->counter("ns_per_reading"), 0) +
                               " | " + fixed(f->counter("ns_per_value"), 1) + " |");
            }
        }
    }
    if (!rows.empty()) {
        std::printf("\nThe table check send() makes of every reading before createBatch "
                    "(createTablesFromPayload, every table and column known)\n\n");
        std::printf("| readings x datapoints | readings/s | ns/reading | ns/value |\n|---|---|---|---|\n");
        for (const std::string& row : rows) std::printf("%s\n", row.c_str());
    }

    const Figures* four = find("createBatch", {500, 4});
    const Figures* ten = find("createBatch", {500, 10});
    const Figures* wide = find("createBatch", {500, 200});
    const Figures* block500 = find("createBatch", {500, 20});
    const Figures* block10k = find("createBatch", {10000, 20});
    if (ten || (four && wide) || (block500 && block10k)) std::printf("\n| target | figure | |\n|---|---|---|\n");
    if (ten) {
        target("createBatch >= 1,000,000 readings/s, 10-datapoint readings, one core",
               grouped(ten->itemsPerSecond) + " readings/s", ten->itemsPerSecond >= 1e6);
    }
    if (four && wide) {
        double at4 = four->counter("ns_per_value"), at200 = wide->counter("ns_per_value");
        target("cost per value at 200 datapoints <= 1.5x that at 4",
               fixed(at200, 1) + " vs " + fixed(at4, 1) + " ns/value = " + fixed(at200 / at4, 2) + "x",
               at200 <= 1.5 * at4);
    }
    if (block500 && block10k) {
        double at500 = block500->counter("ns_per_reading"), at10k = block10k->counter("ns_per_reading");
        target("cost per reading at 10,000-reading blocks <= 1.3x that at 500 (20 datapoints)",
               fixed(at10k, 0) + " vs " + fixed(at500, 0) + " ns/reading = " + fixed(at10k / at500, 2) + "x",
               at10k <= 1.3 * at500);
    }
    std::fflush(stdout);
}

bool hasFlag(int argc, char** argv, const char* flag) {
    const size_t length = std::strlen(flag);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], flag, length) == 0) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // Other work shares the machine: of five repetitions, one is likely to
    // run undisturbed, the more so as they are spread over the whole run
    // (interleaved in random order) rather than run back to back. Both can be
    // overridden.
    std::vector<char*> args(argv, argv + argc);
    static char repetitions[] = "--benchmark_repetitions=5";
    static char interleaving[] = "--benchmark_enable_random_interleaving=true";
    if (!hasFlag(argc, argv, "--benchmark_repetitions")) args.insert(args.begin() + 1, repetitions);
    if (!hasFlag(argc, argv, "--benchmark_enable_random_interleaving")) args.insert(args.begin() + 1, interleaving);

    // Freed memory stays with the process unless --heap-trim is given. The C
    // library otherwise hands the top of the heap back whenever a block's
    // buffers leave it free, and the next block faults every page in again;
    // whether that happens depends on what the benchmarks before left on the
    // heap, and where a page fault costs microseconds it would decide the
    // figures. --heap-trim shows that cost.
    bool heapTrim = false;
    for (auto arg = args.begin() + 1; arg != args.end();) {
        if (std::strcmp(*arg, "--heap-trim") == 0) {
            heapTrim = true;
            arg = args.erase(arg);
        } else {
            ++arg;
        }
    }
    if (!heapTrim) {
        ::mallopt(M_TRIM_THRESHOLD, 1 << 30);
        ::mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest the library takes
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);

    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    using Options = benchmark::ConsoleReporter::OutputOptions;
    Recorder recorder(::isatty(STDOUT_FILENO) ? Options::OO_ColorTabular : Options::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&recorder);
    printSummary(recorder, heapTrim);
    benchmark::Shutdown();
    return 0;
}
