#include "core/shared_resampling.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <cstdlib>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "core/bootstrap.hpp"
#include "core/cluster_bootstrap.hpp"
#include "core/random.hpp"
#include "core/studentized_bootstrap.hpp"

namespace mirabund_core::shared_resampling {

namespace {

using Error = SharedResamplingError;
using Kind = Units::Kind;
using studentized_bootstrap::Centered;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The rows every resample draws from: row u holds the sums' terms of unit u
// side by side (each column's value; for the studentized method its y_i,
// then its s_i), padded so that a row of up to 8 terms fills one cache line.
struct Table {
    std::uint64_t rows = 0;
    std::uint64_t terms = 0;   // w, or 2w
    std::uint64_t stride = 0;  // 1, 2, 4, or a multiple of 8
    std::unique_ptr<double[], void (*)(double*)> storage{nullptr, [](double* p) { std::free(p); }};
    double* values = nullptr;          // rows * stride
    std::vector<std::uint64_t> sizes;  // clusters' counts; empty for items
    std::uint64_t n_items = 0;
    bool far = false;  // larger than the caches keep close

    double* row(std::uint64_t u) { return values + u * stride; }
};

std::uint64_t padded(std::uint64_t terms) {
    if (terms <= 2) return terms;
    if (terms <= 4) return 4;
    return (terms + 7) / 8 * 8;
}

// Draws land anywhere in the table: on pages of 2 MiB (where the system
// grants them) a table of many megabytes needs few address translations,
// where pages of 4 KiB would miss the translation cache on nearly every load.
constexpr std::size_t large_page = std::size_t{1} << 21;
// Tables larger than a second-level cache have their rows prefetched.
constexpr std::size_t far_table = std::size_t{1} << 20;

Table make_table(std::uint64_t rows, std::uint64_t terms) {
    Table t;
    t.rows = rows;
    t.terms = terms;
    t.stride = padded(terms);
    if (rows > (std::numeric_limits<std::size_t>::max() / sizeof(double) - large_page) / t.stride)
        throw std::bad_alloc();
    const std::size_t needed = rows * t.stride * sizeof(double);
    // Rows start on cache lines; a small table keeps to small pages.
    const std::size_t alignment = needed >= large_page ? large_page : 64;
    const std::size_t bytes = (needed + alignment - 1) / alignment * alignment;
    t.storage.reset(static_cast<double*>(std::aligned_alloc(alignment, bytes)));
    if (!t.storage) throw std::bad_alloc();
#if defined(__linux__)
    // A hint: refused, the table works all the same.
    if (alignment == large_page) madvise(t.storage.get(), bytes, MADV_HUGEPAGE);
#endif
    t.values = t.storage.get();
    t.far = needed > far_table;
    std::fill(t.values, t.values + bytes / sizeof(double), 0.0);
    return t;
}

// The shape of the draws of one resample.
struct Draws {
    std::uint64_t count;        // draws per resample
    std::uint64_t high;         // each gen_range(0, high)
    std::uint64_t block_size;   // rows a draw adds (1 for clusters)
    std::uint64_t last_length;  // rows the last draw adds
};

Draws draws_of(const Table& t, std::uint64_t block_size) {
    if (!t.sizes.empty()) return {t.rows, t.rows - 1, 1, 1};
    const std::uint64_t blocks = (t.rows - 1) / block_size + 1;
    return {blocks, t.rows - block_size, block_size, t.rows - (blocks - 1) * block_size};
}

// Resamples side by side in one pass, so that their loads overlap; draws are
// made this many per resample at a time.
constexpr std::size_t lockstep = 4;
constexpr std::uint64_t chunk = 2048;
constexpr std::uint64_t prefetch_distance = 64;

enum class Variant : std::uint8_t { Avx, Sse2 };

#if defined(__x86_64__)
constexpr std::string_view sse2_name = "sse2";
#else
constexpr std::string_view sse2_name = "generic";
#endif

Variant variant_named(std::string_view name) {
    if (name.empty()) name = available_kernels().front();
    if (name == "avx") return Variant::Avx;
    if (name == sse2_name) return Variant::Sse2;
    panic("no summing kernel named " + std::string(name));
}

using f64x2 = double __attribute__((vector_size(16)));
using f64x4 = double __attribute__((vector_size(32)));

// Adds one row to a resample's sums, `vectors` vectors of terms; vectors go
// by pointer, since a 256-bit vector passed by value in code compiled
// without AVX would change the calling convention.
template <class Lane, std::uint64_t vectors>
[[gnu::always_inline]] inline void add_row(Lane* sum, const double* row) {
    for (std::uint64_t v = 0; v < vectors; ++v) {
        Lane x;
        std::memcpy(&x, row + v * sizeof(Lane) / sizeof(double), sizeof x);
        sum[v] = sum[v] + x;
    }
}

// Adds the rows of draws [first, first + m) of `width` resamples to their
// sums (and counts), each resample's in its own draw order. A stride known
// at compile time keeps the sums in registers, a vector of terms to a
// register, one lane per term, which keeps every term's order; stride 0
// reads t.stride and sums in memory.
template <class Vector, std::uint64_t Stride, std::size_t width, class Draw>
[[gnu::always_inline]] inline void add_draws(const Table& t, const Draws& d, Draw* const* draws, std::uint64_t first,
                                             std::uint64_t m, double* sums, std::uint64_t* counts) {
    using Lane = std::conditional_t<Stride == 1, double, std::conditional_t<Stride == 2, f64x2, Vector>>;
    constexpr std::uint64_t vectors = Stride == 0 ? 1 : Stride * sizeof(double) / sizeof(Lane);
    const std::uint64_t stride = Stride != 0 ? Stride : t.stride;
    const double* values = t.values;
    const bool sized = !t.sizes.empty();
    Lane acc[width][vectors];
    if constexpr (Stride != 0) std::memcpy(acc, sums, sizeof acc);
    const auto add_one_row = [&](std::size_t l, const double* row) {
        if constexpr (Stride == 0) {
            double* sum = sums + l * stride;
            for (std::uint64_t c = 0; c < stride; ++c) sum[c] = sum[c] + row[c];
        } else {
            add_row<Lane, vectors>(acc[l], row);
        }
    };
    // The rows some draws ahead are fetched meanwhile: a table beyond the
    // caches would otherwise wait on every load. They go to the second-level
    // cache, whose misses may be many more in flight than the first's.
    const auto prefetch_ahead = [&](std::uint64_t j) {
        if (t.far && j + prefetch_distance < m)
            for (std::size_t l = 0; l < width; ++l)
                __builtin_prefetch(values + draws[l][j + prefetch_distance] * stride, 0, 2);
    };
    if (d.block_size == 1) {
        // One row a draw: no block loop to run, and counts kept only for
        // clusters, each case a loop of its own.
        const auto one_row_each = [&]<bool counted>() {
            for (std::uint64_t j = 0; j < m; ++j) {
                prefetch_ahead(j);
                for (std::size_t l = 0; l < width; ++l) {
                    add_one_row(l, values + draws[l][j] * stride);
                    if constexpr (counted) counts[l] += t.sizes[draws[l][j]];
                }
            }
        };
        if (sized)
            one_row_each.template operator()<true>();
        else
            one_row_each.template operator()<false>();
        if constexpr (Stride != 0) std::memcpy(sums, acc, sizeof acc);
        return;
    }
    for (std::uint64_t j = 0; j < m; ++j) {
        prefetch_ahead(j);
        const std::uint64_t length = first + j + 1 < d.count ? d.block_size : d.last_length;
        for (std::size_t l = 0; l < width; ++l) {
            const double* row = values + draws[l][j] * stride;
            for (std::uint64_t i = 0; i < length; ++i, row += stride) add_one_row(l, row);
            if (sized) counts[l] += t.sizes[draws[l][j]];
        }
    }
    if constexpr (Stride != 0) std::memcpy(sums, acc, sizeof acc);
}

template <class Draw>
using AddFunction = void (*)(const Table&, const Draws&, Draw* const*, std::uint64_t, std::uint64_t, double*,
                             std::uint64_t*);

template <std::uint64_t Stride, std::size_t width, class Draw>
void add_draws_sse2(const Table& t, const Draws& d, Draw* const* draws, std::uint64_t first, std::uint64_t m,
                    double* sums, std::uint64_t* counts) {
    add_draws<f64x2, Stride, width, Draw>(t, d, draws, first, m, sums, counts);
}

#if defined(__x86_64__)
template <std::uint64_t Stride, std::size_t width, class Draw>
[[gnu::target("avx")]] void add_draws_avx(const Table& t, const Draws& d, Draw* const* draws, std::uint64_t first,
                                          std::uint64_t m, double* sums, std::uint64_t* counts) {
    add_draws<f64x4, Stride, width, Draw>(t, d, draws, first, m, sums, counts);
}
#endif

// The kernel for a stride, of the variant given.
template <std::size_t width, class Draw>
AddFunction<Draw> add_function(std::uint64_t stride, Variant variant) {
    const auto pick = [&]<std::uint64_t S>() -> AddFunction<Draw> {
#if defined(__x86_64__)
        if (variant == Variant::Avx) return &add_draws_avx<S, width, Draw>;
#endif
        (void)variant;
        return &add_draws_sse2<S, width, Draw>;
    };
    switch (stride) {
        case 1: return pick.template operator()<1>();
        case 2: return pick.template operator()<2>();
        case 4: return pick.template operator()<4>();
        case 8: return pick.template operator()<8>();
        case 16: return pick.template operator()<16>();
        default: return pick.template operator()<0>();
    }
}

// What a worker needs to turn sums into statistics.
struct Job {
    Method method;
    const Table* table;
    Draws draws;
    std::array<std::uint32_t, 8> key;
    std::vector<std::vector<double>>* statistics;  // [column][resample]
    Variant variant;
};

random::RandomSource source_of(const Job& job, std::uint64_t r) {
    return random::RandomSource(random::ChaChaCore{
        job.key, 0, {static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(r >> 32)}});
}

void store(const Job& job, std::uint64_t r, const double* sums, std::uint64_t count) {
    const Table& t = *job.table;
    std::vector<std::vector<double>>& out = *job.statistics;
    const std::uint64_t columns = out.size();
    if (job.method == Method::Studentized) {
        for (std::uint64_t c = 0; c < columns; ++c)
            out[c][r] = studentized_bootstrap::resample_t(sums[c], sums[columns + c], t.n_items);
        return;
    }
    const double divisor = static_cast<double>(t.sizes.empty() ? t.n_items : count);
    for (std::uint64_t c = 0; c < columns; ++c) out[c][r] = sums[c] / divisor;
}

// Resamples [first, first + width) from draw to statistic. `keep_going` is
// asked after every chunk of draws, with the work just done; false stops.
template <std::size_t width, class Draw, class KeepGoing>
bool run_group(const Job& job, std::uint64_t first, Draw* buffer, KeepGoing& keep_going) {
    const Table& t = *job.table;
    const Draws& d = job.draws;
    const auto add = add_function<width, Draw>(t.stride, job.variant);
    std::optional<random::RandomSource> sources[width];
    Draw* draws[width];
    for (std::size_t l = 0; l < width; ++l) {
        sources[l].emplace(source_of(job, first + l));
        draws[l] = buffer + l * chunk;
    }
    alignas(64) double sums[width * 16];
    std::unique_ptr<double[]> wide;
    double* own = sums;
    if (t.stride > 16) {
        wide = std::make_unique<double[]>(width * t.stride);
        own = wide.get();
    }
    std::fill(own, own + width * t.stride, -0.0);
    std::uint64_t counts[width] = {};
    for (std::uint64_t done = 0; done < d.count;) {
        const std::uint64_t m = std::min(chunk, d.count - done);
        for (std::size_t l = 0; l < width; ++l) sources[l]->gen_range_fill(0, d.high, std::span<Draw>(draws[l], m));
        add(t, d, draws, done, m, own, counts);
        done += m;
        if (!keep_going(width * m * (d.block_size * t.stride + 4))) return false;
    }
    for (std::size_t l = 0; l < width; ++l) store(job, first + l, own + l * t.stride, counts[l]);
    return true;
}

template <class Draw, class KeepGoing>
void run_range(const Job& job, std::uint64_t first, std::uint64_t last, KeepGoing& keep_going) {
    const auto buffer = std::make_unique_for_overwrite<Draw[]>(lockstep * chunk);
    std::uint64_t r = first;
    for (; last - r >= lockstep; r += lockstep)
        if (!run_group<lockstep>(job, r, buffer.get(), keep_going)) return;
    for (; r < last; ++r)
        if (!run_group<1>(job, r, buffer.get(), keep_going)) return;
}

template <class KeepGoing>
void run_resamples(const Job& job, std::uint64_t first, std::uint64_t last, KeepGoing& keep_going) {
    if (job.draws.high <= std::numeric_limits<std::uint32_t>::max())
        run_range<std::uint32_t>(job, first, last, keep_going);
    else
        run_range<std::uint64_t>(job, first, last, keep_going);
}

// Resamples 0 .. n_resamples - 1 over `threads` workers, each a contiguous
// range writing its own slots. The calling thread only waits and runs the
// interrupt hook; a throw of the hook or a worker's failure stops all of
// them, and is rethrown here once they are joined.
void run_all(const Job& job, std::uint64_t n_resamples, std::uint64_t threads, InterruptCheck& interrupt) {
    // More threads than resamples, or far more than cores, would only wait;
    // the results are the same for any number.
    const std::uint64_t cores = std::thread::hardware_concurrency();
    threads = std::min({threads, n_resamples, std::max<std::uint64_t>(64, 4 * cores)});
    if (threads <= 1) {
        auto keep_going = [&](std::uint64_t work) {
            interrupt.add(work);
            return true;
        };
        run_resamples(job, 0, n_resamples, keep_going);
        return;
    }
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable finished;
    std::uint64_t running = threads;
    std::vector<std::exception_ptr> failures(threads);
    std::vector<std::thread> workers;
    workers.reserve(threads);
    auto join_all = [&] {
        for (std::thread& worker : workers) worker.join();
    };
    const std::uint64_t share = n_resamples / threads;
    const std::uint64_t extra = n_resamples % threads;
    try {
        for (std::uint64_t w = 0; w < threads; ++w) {
            const std::uint64_t first = w * share + std::min(w, extra);
            const std::uint64_t last = first + share + (w < extra ? 1 : 0);
            workers.emplace_back([&, w, first, last] {
                try {
                    auto keep_going = [&](std::uint64_t) { return !stop.load(std::memory_order_relaxed); };
                    run_resamples(job, first, last, keep_going);
                } catch (...) {
                    failures[w] = std::current_exception();
                    stop.store(true, std::memory_order_relaxed);
                }
                const std::lock_guard lock(mutex);
                --running;
                finished.notify_one();
            });
        }
        std::unique_lock lock(mutex);
        while (running > 0) {
            if (finished.wait_for(lock, std::chrono::milliseconds(5), [&] { return running == 0; })) break;
            lock.unlock();
            interrupt.poll();
            lock.lock();
        }
    } catch (...) {
        stop.store(true, std::memory_order_relaxed);
        join_all();
        throw;
    }
    join_all();
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

struct Checked {
    std::uint64_t rows;             // values per column
    std::uint64_t n_clusters = 0;   // 0 for items
};

Result<Checked, Failure> check(std::span<const std::span<const double>> columns, Units units, const Options& o) {
    if (columns.empty()) return std::unexpected(Failure{Error::NoColumns, 0});
    const std::uint64_t rows = columns[0].size();
    for (std::span<const double> column : columns)
        if (column.size() != rows) return std::unexpected(Failure{Error::ColumnLengthMismatch, 0});
    if (rows == 0) return std::unexpected(Failure{Error::EmptyValues, 0});
    Checked out{rows};
    if (units.kind == Kind::ClusterCodes) {
        using ClusterError = cluster_bootstrap::ClusterBootstrapError;
        const auto k = cluster_bootstrap::count_clusters(columns[0], units.labels);
        if (!k)
            return std::unexpected(Failure{k.error() == ClusterError::ClusterLengthMismatch
                                               ? Error::ClusterLengthMismatch
                                               : Error::InvalidClusterCodes,
                                           0});
        out.n_clusters = *k;
    } else if (units.kind == Kind::ClusterSizes) {
        if (units.labels.size() != rows) return std::unexpected(Failure{Error::ClusterLengthMismatch, 0});
        std::uint64_t items = 0;
        for (std::uint64_t size : units.labels) {
            if (size == 0 || size > std::numeric_limits<std::uint64_t>::max() - items)
                return std::unexpected(Failure{Error::InvalidClusterSizes, 0});
            items += size;
        }
        // k draws count at most k times all the items.
        if (rows > std::numeric_limits<std::uint64_t>::max() / items)
            return std::unexpected(Failure{Error::InvalidClusterSizes, 0});
        out.n_clusters = rows;
    }
    if (units.kind != Kind::Items) {
        if (out.n_clusters < 2) return std::unexpected(Failure{Error::TooFewClusters, 0});
        if (o.method != Method::Percentile)
            return std::unexpected(Failure{Error::ClustersNotResampledByMethod, 0});
    }
    if (o.method == Method::Studentized && rows < 2) return std::unexpected(Failure{Error::TooFewValues, 0});
    const bool blocks_allowed = units.kind == Kind::Items && o.method == Method::Percentile;
    if (o.block_size - 1 >= (blocks_allowed ? rows : 1))
        return std::unexpected(Failure{Error::InvalidBlockSize, 0});
    if (!(o.confidence_level > 0.0) || !(o.confidence_level < 1.0))
        return std::unexpected(Failure{Error::InvalidConfidenceLevel, 0});
    if (o.n_resamples == 0) return std::unexpected(Failure{Error::InvalidResampleCount, 0});
    if (o.threads == 0) return std::unexpected(Failure{Error::InvalidThreadCount, 0});
    for (std::size_t c = 0; c < columns.size(); ++c)
        for (double x : columns[c])
            if (!std::isfinite(x)) return std::unexpected(Failure{Error::NonFiniteValues, c});
    return out;
}

// The rows of a percentile resampling: the values themselves, or the
// clusters' totals (each from -0.0 in input order) and counts.
Table percentile_table(std::span<const std::span<const double>> columns, Units units, const Checked& shape) {
    const std::uint64_t w = columns.size();
    if (units.kind == Kind::ClusterCodes) {
        Table t = make_table(shape.n_clusters, w);
        for (std::uint64_t u = 0; u < t.rows; ++u) std::fill(t.row(u), t.row(u) + w, -0.0);
        t.sizes.assign(shape.n_clusters, 0);
        for (std::uint64_t i = 0; i < shape.rows; ++i) {
            double* row = t.row(units.labels[i]);
            for (std::uint64_t c = 0; c < w; ++c) row[c] = row[c] + columns[c][i];
            ++t.sizes[units.labels[i]];
        }
        t.n_items = shape.rows;
        return t;
    }
    Table t = make_table(shape.rows, w);
    for (std::uint64_t u = 0; u < t.rows; ++u)
        for (std::uint64_t c = 0; c < w; ++c) t.row(u)[c] = columns[c][u];
    if (units.kind == Kind::ClusterSizes) {
        t.sizes.assign(units.labels.begin(), units.labels.end());
        for (std::uint64_t size : t.sizes) t.n_items += size;
    } else {
        t.n_items = shape.rows;
    }
    return t;
}

Table studentized_table(std::span<const Centered> centered) {
    const std::uint64_t w = centered.size();
    Table t = make_table(centered[0].deviations.size(), 2 * w);
    for (std::uint64_t u = 0; u < t.rows; ++u)
        for (std::uint64_t c = 0; c < w; ++c) {
            t.row(u)[c] = centered[c].deviations[u];
            t.row(u)[w + c] = centered[c].squares[u];
        }
    t.n_items = t.rows;
    return t;
}

std::vector<std::vector<double>> statistics_of(const Table& t, std::uint64_t w, const Options& o,
                                               InterruptCheck& interrupt) {
    std::vector<std::vector<double>> statistics(w);
    for (std::vector<double>& column : statistics) {
        bootstrap::reserve_storage(column, o.n_resamples);
        column.resize(o.n_resamples);
    }
    const Job job{o.method,    &t, draws_of(t, o.block_size), random::RandomSource::seed_from_u64(o.seed).core().key,
                  &statistics, variant_named(o.kernel)};
    run_all(job, o.n_resamples, o.threads, interrupt);
    return statistics;
}

Result<std::vector<Centered>, Failure> centre_all(std::span<const std::span<const double>> columns) {
    std::vector<Centered> centered;
    centered.reserve(columns.size());
    for (std::size_t c = 0; c < columns.size(); ++c) {
        auto one = studentized_bootstrap::center(columns[c]);
        if (!one) {
            using StudentizedError = studentized_bootstrap::StudentizedBootstrapError;
            return std::unexpected(Failure{
                one.error() == StudentizedError::Overflow ? Error::Overflow : Error::ZeroStandardError, c});
        }
        centered.push_back(std::move(*one));
    }
    return centered;
}

}  // namespace

std::span<const std::string_view> available_kernels() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> found;
#if defined(__x86_64__)
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx")) found.push_back("avx");
#endif
        found.push_back(sse2_name);
        return found;
    }();
    return names;
}

std::string display_text(const Failure& failure) {
    const std::string column = "columns[" + std::to_string(failure.column) + "]: ";
    switch (failure.error) {
        case Error::NoColumns:
            return "columns must hold at least one column";
        case Error::ColumnLengthMismatch:
            return "columns must all have the same length";
        case Error::EmptyValues:
            return "columns must not be empty";
        case Error::ClusterLengthMismatch:
            return "clusters must hold one code (cluster_sizes one count) per value";
        case Error::InvalidClusterCodes:
            return "clusters must be codes 0 .. k-1, each used at least once";
        case Error::InvalidClusterSizes:
            return "cluster_sizes must be counts of at least 1 whose total fits in 64 bits";
        case Error::TooFewClusters:
            return "clusters must hold at least 2 distinct codes";
        case Error::ClustersNotResampledByMethod:
            return "method 'studentized' resamples single items: clusters need method 'percentile'";
        case Error::TooFewValues:
            return "columns must hold at least 2 items";
        case Error::InvalidBlockSize:
            return "block_size must be >= 1 and <= the number of items, and 1 unless items are resampled in "
                   "blocks by method 'percentile'";
        case Error::InvalidConfidenceLevel:
            return "confidence_level must be in (0.0, 1.0)";
        case Error::InvalidResampleCount:
            return "n_resamples must be >= 1";
        case Error::InvalidThreadCount:
            return "threads must be >= 1";
        case Error::NonFiniteValues:
            return column + "values must be finite";
        case Error::ZeroStandardError:
            return column + "values must not all be equal: their standard error is 0";
        case Error::Overflow:
            return column + "values are too large: their sum or a resample's sum of squares overflows a float";
    }
    return {};
}

std::vector<std::vector<double>> resample_statistics(std::span<const std::span<const double>> columns, Units units,
                                                     const Options& options, InterruptCheck interrupt) {
    const Checked shape = *check(columns, units, options);
    if (options.method == Method::Studentized) {
        const std::vector<Centered> centered = *centre_all(columns);
        return statistics_of(studentized_table(centered), columns.size(), options, interrupt);
    }
    return statistics_of(percentile_table(columns, units, shape), columns.size(), options, interrupt);
}

Result<std::vector<ColumnOutcome>, Failure> shared_bootstrap_means(std::span<const std::span<const double>> columns,
                                                                   Units units, const Options& options,
                                                                   InterruptCheck interrupt) {
    const Result<Checked, Failure> shape = check(columns, units, options);
    if (!shape) return std::unexpected(shape.error());
    const std::uint64_t w = columns.size();
    std::vector<ColumnOutcome> out;
    out.reserve(w);
    if (options.method == Method::Studentized) {
        const Result<std::vector<Centered>, Failure> centered = centre_all(columns);
        if (!centered) return std::unexpected(centered.error());
        interrupt.add(w * shape->rows);
        std::vector<std::vector<double>> statistics =
            statistics_of(studentized_table(*centered), w, options, interrupt);
        for (std::uint64_t c = 0; c < w; ++c) {
            const studentized_bootstrap::StudentizedBootstrapOutcome o =
                studentized_bootstrap::outcome_of((*centered)[c], statistics[c], options.confidence_level);
            out.push_back({o.mean, o.ci_lower, o.ci_upper, o.p_value});
        }
        return out;
    }
    const Table table = percentile_table(columns, units, *shape);
    interrupt.add(w * shape->rows);
    std::vector<std::vector<double>> statistics = statistics_of(table, w, options, interrupt);
    for (std::uint64_t c = 0; c < w; ++c) {
        double mean;
        if (units.kind == Kind::ClusterSizes) {
            double total = -0.0;
            for (double x : columns[c]) total = total + x;
            mean = total / static_cast<double>(table.n_items);
        } else {
            mean = *bootstrap::mean(columns[c]);
        }
        const bootstrap::Interval interval = bootstrap::percentile_interval(statistics[c], options.confidence_level);
        out.push_back({mean, interval.lower, interval.upper, nan});
    }
    return out;
}

}  // namespace mirabund_core::shared_resampling
