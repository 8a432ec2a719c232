// Benchmark of the matching engine alone, without Python: the same order
// streams that benchmarks/bench.py runs through the module, read from the
// plain text files it writes (see streams.write_text_stream), plus the
// engine's own memory and crafted-price cases.
//
//   engine_bench [--passes N] [--json OUT] [--memory N] [--crafted LEVELS]
//                [--write-churn FILE] --flow DEPTH=FILE ... --replay FILE ...
//
// --write-churn writes the prices of the outside-window case (see
// window_churn) to FILE, so that benchmarks/crafted_prices.py can time the
// same case from Python: a line of three counts (resting, outside, uniform
// prices), then the prices, one per line, in that order.
//
// For every stream and pass: a fresh book is pre-filled (untimed), then every
// operation of the stream runs in one timed loop. Orders are created before
// the loop, as the Python benchmark does, with a deterministic id source; the
// book reads the system clock for its fills, as in use. Times are the CPU time
// of this thread, so that a busy machine's other work does not count; the
// figure is the median pass. The flows' passes take turns, one round of all
// depths after another, and their growth is the median of each round's own
// ratio (measure_flows). One line per case:
//   engine <case> <ns/op> ns/op <M ops/s> M ops/s [(kernel <ns/op> ns/op)]
// The kernel figure, the mean over all passes, is the part of that CPU time
// the kernel spent for the loop: mostly page faults of memory the book grows
// into, and compacting memory for the blocks that ask for large pages. On a
// virtual machine whose host takes back freed memory, each fresh page costs a
// host fault as well, and this figure shows how much of a case's time that
// was in the run at hand.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lib/order_book.hpp"

namespace {

using quoranth::Order;
using quoranth::OrderBook;
using quoranth::OrderId;
using quoranth::OrderType;

// Identifiers from a counter through a fixed permutation (splitmix64), so that
// they spread like random ones and every run builds the same tables.
class CountingIds final : public quoranth::IdSource {
public:
    OrderId next() override {
        std::uint8_t bytes[16];
        for (int half = 0; half < 2; ++half) {
            std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            z ^= z >> 31;
            for (int i = 0; i < 8; ++i) bytes[half * 8 + i] = static_cast<std::uint8_t>(z >> (8 * i));
        }
        bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
        bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
        return quoranth::order_id_from_bytes(bytes);
    }

private:
    std::uint64_t state_ = 0;
};

CountingIds ids;

Order make_order(OrderType side, std::int64_t price, double quantity) {
    return Order::create_from(side, price, quantity, quoranth::system_clock(), ids);
}

double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

enum class Code : std::uint8_t { Add, Cancel, BestBid, BestAsk, Spread, CancelUnknown };

struct Op {
    Code code;
    std::uint32_t index;  // an add's into Stream::orders, a cancel's into Stream::cancel_ids
};

struct Stream {
    std::vector<Order> orders;  // every order the stream adds, in stream order
    std::size_t prefill = 0;    // the first `prefill` orders fill the book
    std::vector<Op> ops;
    // Each cancel's identifier, copied out in stream order before the timed
    // loop, as the Python benchmark makes each cancel's id text beforehand.
    std::vector<OrderId> cancel_ids;
};

Stream load(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        std::cerr << "cannot open " << path << "\n";
        std::exit(2);
    }
    Stream s;
    std::size_t n_prefill = 0, n_ops = 0;
    in >> n_prefill >> n_ops;
    s.prefill = n_prefill;
    s.orders.reserve(n_prefill + n_ops);
    s.ops.reserve(n_ops);
    // The order added under each key. Keys are counters from 0 (-1 names no
    // order), so a flat array serves; a map's tens of thousands of nodes,
    // freed at the end, would be merged by the allocator at its next large
    // request, inside a timed loop.
    constexpr std::uint32_t none = 0xFFFFFFFFu;
    std::vector<std::uint32_t> by_key;
    const auto known = [&](long long key) { return key >= 0 && static_cast<std::size_t>(key) < by_key.size(); };
    std::string tag;
    for (std::size_t i = 0; i < n_prefill + n_ops && in >> tag; ++i) {
        const bool in_flow = i >= n_prefill;
        if (tag == "A") {
            long long key, side, price;
            double qty;
            in >> key >> side >> price >> qty;
            const auto index = static_cast<std::uint32_t>(s.orders.size());
            s.orders.push_back(make_order(side == 0 ? OrderType::Buy : OrderType::Sell, price, qty));
            if (key < 0 || key >= (1ll << 32)) {
                std::cerr << path << ": key " << key << " out of range\n";
                std::exit(2);
            }
            if (!known(key)) by_key.resize(static_cast<std::size_t>(key) + 1, none);
            by_key[static_cast<std::size_t>(key)] = index;
            if (in_flow) s.ops.push_back({Code::Add, index});
        } else if (tag == "C") {
            long long key;
            in >> key;
            if (!known(key) || by_key[static_cast<std::size_t>(key)] == none) {
                s.ops.push_back({Code::CancelUnknown, 0});
            } else {
                s.ops.push_back({Code::Cancel, static_cast<std::uint32_t>(s.cancel_ids.size())});
                s.cancel_ids.push_back(s.orders[by_key[static_cast<std::size_t>(key)]].id);
            }
        } else if (tag == "B") {
            s.ops.push_back({Code::BestBid, 0});
        } else if (tag == "S") {
            s.ops.push_back({Code::BestAsk, 0});
        } else if (tag == "P") {
            s.ops.push_back({Code::Spread, 0});
        }
    }
    return s;
}

// The timed operations of a stream on a pre-filled book (kept out of line, so
// that a profiler can single it out).
[[gnu::noinline]] double run_ops(OrderBook& book, const Stream& s) {
    static constexpr std::string_view unknown = "00000000-0000-4000-8000-000000000000";
    double acc = 0;
    for (const Op& op : s.ops) {
        switch (op.code) {
            case Code::Add:
                acc += static_cast<double>(book.add(s.orders[op.index]).size());
                break;
            case Code::Cancel:
                acc += book.cancel(s.cancel_ids[op.index].view());
                break;
            case Code::CancelUnknown:
                acc += book.cancel(unknown);
                break;
            case Code::BestBid:
                if (const auto q = book.best_bid()) acc += q->quantity;
                break;
            case Code::BestAsk:
                if (const auto q = book.best_ask()) acc += q->quantity;
                break;
            case Code::Spread:
                if (const auto d = book.spread()) acc += *d;
                break;
        }
    }
    return acc;
}

volatile double sink;

// The kernel's share of this thread's CPU time (page faults: clearing fresh
// pages, and on a virtual machine the host backing them).
double thread_kernel_seconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) * 1e-6;
}

// The CPU time of a timed loop, and the part of it spent in the kernel.
struct PassTime {
    double ns = 0;
    double kernel_ns = 0;
};

PassTime run_once(const Stream& s) {
    OrderBook book(0.01);
    for (std::size_t i = 0; i < s.prefill; ++i) book.add(s.orders[i]);
    const double k0 = thread_kernel_seconds();
    const double t0 = thread_seconds();
    sink = run_ops(book, s);
    const double t1 = thread_seconds();
    return {(t1 - t0) * 1e9, (thread_kernel_seconds() - k0) * 1e9};
}

struct Result {
    double ns_per_op;
    std::size_t ops;
    double kernel_ns_per_op = -1;  // over all passes; negative where not measured
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

Result measure(const std::vector<Stream>& streams, int passes) {
    std::size_t ops = 0;
    for (const auto& s : streams) ops += s.ops.size();
    std::vector<double> per_op;
    double kernel_ns = 0;
    for (int p = 0; p < passes; ++p) {
        double ns = 0;
        for (const auto& s : streams) {
            const PassTime t = run_once(s);
            ns += t.ns;
            kernel_ns += t.kernel_ns;
        }
        per_op.push_back(ns / static_cast<double>(ops));
    }
    return {median(per_op), ops, kernel_ns / static_cast<double>(ops) / passes};
}

// The mixed flows at every depth, their passes taking turns (round p starts
// at flow p mod n), so that a stretch in which the machine runs slower falls
// on every depth alike. Growth, the deepest flow's cost per operation over
// the shallowest one's, is the median of each round's own ratio, as the
// crafted-price comparison takes it: a ratio of two medians from passes run
// apart moved by a third between runs of one build on a busy host.
struct FlowResults {
    std::vector<Result> flows;
    double growth = 0;  // when there are two flows or more
};

FlowResults measure_flows(const std::vector<Stream>& streams, int passes) {
    const std::size_t n = streams.size();
    std::vector<std::vector<double>> per_op(n);
    std::vector<double> kernel_ns(n, 0.0), ratios;
    for (int p = 0; p < passes; ++p) {
        std::vector<double> round(n);
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t f = (k + static_cast<std::size_t>(p)) % n;
            const PassTime t = run_once(streams[f]);
            round[f] = t.ns / static_cast<double>(streams[f].ops.size());
            kernel_ns[f] += t.kernel_ns;
        }
        for (std::size_t f = 0; f < n; ++f) per_op[f].push_back(round[f]);
        if (n >= 2) ratios.push_back(round.back() / round.front());
    }
    FlowResults results;
    for (std::size_t f = 0; f < n; ++f) {
        const std::size_t ops = streams[f].ops.size();
        results.flows.push_back({median(per_op[f]), ops, kernel_ns[f] / static_cast<double>(ops) / passes});
    }
    if (n >= 2) results.growth = median(ratios);
    return results;
}

void print_case(const std::string& name, const Result& r) {
    std::printf("engine %s %.1f ns/op %.2f M ops/s", name.c_str(), r.ns_per_op, 1e3 / r.ns_per_op);
    if (r.kernel_ns_per_op >= 0) std::printf(" (kernel %.1f ns/op)", r.kernel_ns_per_op);
    std::printf("\n");
}

std::string json_result(const Result& r) {
    std::ostringstream o;
    o.precision(6);
    o << "{\"ns_per_op\": " << r.ns_per_op << ", \"ops_per_s\": " << 1e9 / r.ns_per_op << ", \"ops\": " << r.ops;
    if (r.kernel_ns_per_op >= 0) o << ", \"kernel_ns_per_op\": " << r.kernel_ns_per_op;
    o << "}";
    return o.str();
}

// ---------------------------------------------------------------------------
// Memory: resident bytes per resting order, in the pattern of the Python
// probe (benchmarks/harness.py): alternate sides, uniform within the band.

std::size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4096;
}

double bytes_per_resting_order(std::size_t n) {
    const std::int64_t mid = 1'000'000;
    const auto width = static_cast<std::uint64_t>(std::max<std::size_t>(25, n / 20));
    OrderBook book(0.01);
    const std::size_t before = resident_bytes();
    std::uint64_t x = 12345;
    for (std::size_t i = 0; i < n; ++i) {
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF;
        const bool buy = (i & 1) == 0;
        const auto off = static_cast<std::int64_t>(1 + x % width);
        book.add(make_order(buy ? OrderType::Buy : OrderType::Sell, buy ? mid - off : mid + off,
                            static_cast<double>(1 + (x >> 8) % 100)));
    }
    return static_cast<double>(resident_bytes() - before) / static_cast<double>(n);
}

// The same, in a child process forked before any other case runs. In this
// process, after the flows, the book reused memory that earlier books had
// freed without growing the resident set, and the figure came out a fifth
// low (81 to 90 bytes where a process of its own measures 101).
double bytes_per_resting_order_apart(std::size_t n) {
    int fds[2];
    if (pipe(fds) != 0) return bytes_per_resting_order(n);
    const pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return bytes_per_resting_order(n);
    }
    if (child == 0) {
        close(fds[0]);
        const double bytes = bytes_per_resting_order(n);
        const bool sent = write(fds[1], &bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes);
        _exit(sent ? 0 : 1);
    }
    close(fds[1]);
    double bytes = 0;
    const bool got = read(fds[0], &bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return got ? bytes : bytes_per_resting_order(n);
}

// ---------------------------------------------------------------------------
// Crafted prices: `levels` buys, one per price, in an order an adversary
// picks, then all cancelled; against the same count of random prices drawn
// over the same range. Each pair is timed in one process, pass by pass.

struct PriceSet {
    std::string name;
    std::vector<std::int64_t> crafted;
    std::int64_t low, high;  // the range the random prices are drawn from
};

std::vector<PriceSet> crafted_sets(std::size_t levels) {
    std::vector<PriceSet> sets;
    const auto n = static_cast<std::int64_t>(levels);
    // The construction that flooded the old multiplicative price hash: prices
    // whose products with its multiplier are 0, 1, 2, ... (kept positive).
    const std::uint64_t multiplier = 0x9E3779B97F4A7C15ull;
    std::uint64_t inverse = multiplier;  // Newton's iteration for the inverse mod 2^64
    for (int i = 0; i < 6; ++i) inverse *= 2 - multiplier * inverse;
    PriceSet hash{"inverse_multiplier", {}, 1, INT64_MAX};
    for (std::uint64_t j = 1; hash.crafted.size() < levels; ++j) {
        const std::uint64_t price = j * inverse;
        if (price != 0 && price < (std::uint64_t{1} << 63)) hash.crafted.push_back(static_cast<std::int64_t>(price));
    }
    sets.push_back(hash);
    // Alternating between the two ends of a range the ladder may not span,
    // closing in: every new level lies far from the last.
    const std::int64_t base = 1'000'000'000;
    PriceSet ends{"alternating_ends", {}, base, base + 64 * n};
    for (std::int64_t j = 0; j < n; ++j) ends.crafted.push_back(j % 2 == 0 ? base + 32 * j : base + 64 * n - 32 * j);
    sets.push_back(ends);
    // Strides that keep every level outside a window grown for the last ones,
    // so that growth, moving and the map all take turns.
    PriceSet strides{"far_strides", {}, base, base + n * 4096};
    for (std::int64_t j = 0; j < n; ++j) strides.crafted.push_back(base + ((j * 7919) % n) * 4096);
    sets.push_back(strides);
    // Each level a new best, from the far end in.
    PriceSet climbing{"each_a_new_best", {}, base, base + n};
    for (std::int64_t j = 0; j < n; ++j) climbing.crafted.push_back(base + j);
    sets.push_back(climbing);
    return sets;
}

std::vector<std::int64_t> random_prices(std::size_t count, std::int64_t low, std::int64_t high, std::uint64_t seed) {
    std::vector<std::int64_t> prices;
    const std::uint64_t span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low) + 1;
    std::uint64_t x = seed;
    while (prices.size() < count) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        prices.push_back(low + static_cast<std::int64_t>(x % span));
    }
    return prices;
}

double time_prices(const std::vector<std::int64_t>& prices) {
    std::vector<Order> orders;
    orders.reserve(prices.size());
    for (const std::int64_t price : prices) orders.push_back(make_order(OrderType::Buy, price, 1.0));
    OrderBook book(0.01);
    const double t0 = thread_seconds();
    for (const Order& order : orders) book.add(order);
    for (const Order& order : orders) book.cancel(order.id.view());
    return (thread_seconds() - t0) * 1e9;
}

// Churn outside the ladder window: `levels` buys rest at random prices over a
// range a little narrower than the widest window those levels allow (the
// window cannot grow to it, since it grows only with room to drift, while
// random prices mostly land in it: the worst range found); then levels come and
// go one at a time (add, cancel), priced at random over the whole range, or
// over the part of it the window leaves out at that moment: an adversary
// working out the window's public rules, as a shadow SideLevels does here.
struct WindowChurn {
    std::vector<std::int64_t> resting, outside, uniform;
};

WindowChurn window_churn(std::size_t levels) {
    const std::int64_t base = 1'000'000'000;
    const auto range = static_cast<std::int64_t>(std::bit_floor(32 * (levels + 1)) - 152);
    WindowChurn churn;
    std::vector<bool> taken(static_cast<std::size_t>(range));
    quoranth::SideLevels shadow(OrderType::Buy);
    std::uint64_t x = 88172645463325252ull;
    const auto next = [&x](std::uint64_t bound) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x % bound;
    };
    while (churn.resting.size() < levels) {
        const auto offset = static_cast<std::int64_t>(next(static_cast<std::uint64_t>(range)));
        if (taken[static_cast<std::size_t>(offset)]) continue;
        taken[static_cast<std::size_t>(offset)] = true;
        churn.resting.push_back(base + offset);
        shadow.prepare(base + offset);
        shadow.create(base + offset);
    }
    for (std::size_t i = 0; i < 3 * levels; ++i) {
        std::int64_t uniform, outside;
        do uniform = base + static_cast<std::int64_t>(next(static_cast<std::uint64_t>(range)));
        while (taken[static_cast<std::size_t>(uniform - base)]);
        const auto [low, width] = shadow.window();
        const std::int64_t below = std::clamp<std::int64_t>(low, base, base + range) - base;
        const std::int64_t above_from = std::clamp<std::int64_t>(low + static_cast<std::int64_t>(width), base, base + range);
        const std::int64_t outside_count = below + (base + range - above_from);
        do {
            const auto k = static_cast<std::int64_t>(next(static_cast<std::uint64_t>(std::max<std::int64_t>(outside_count, 1))));
            outside = outside_count == 0 ? uniform : k < below ? base + k : above_from + (k - below);
        } while (taken[static_cast<std::size_t>(outside - base)]);
        shadow.prepare(outside);
        shadow.create(outside);
        shadow.erase(outside);
        churn.uniform.push_back(uniform);
        churn.outside.push_back(outside);
    }
    return churn;
}

bool write_churn(const WindowChurn& churn, const std::string& path) {
    std::ofstream out(path);
    out << churn.resting.size() << ' ' << churn.outside.size() << ' ' << churn.uniform.size() << '\n';
    for (const auto* prices : {&churn.resting, &churn.outside, &churn.uniform}) {
        for (const std::int64_t price : *prices) out << price << '\n';
    }
    return static_cast<bool>(out.flush());
}

double time_churn(const std::vector<std::int64_t>& resting, const std::vector<std::int64_t>& churn) {
    OrderBook book(0.01);
    for (const std::int64_t price : resting) book.add(make_order(OrderType::Buy, price, 1.0));
    std::vector<Order> orders;
    orders.reserve(churn.size());
    for (const std::int64_t price : churn) orders.push_back(make_order(OrderType::Buy, price, 1.0));
    const double t0 = thread_seconds();
    for (const Order& order : orders) {
        book.add(order);
        book.cancel(order.id.view());
    }
    return (thread_seconds() - t0) * 1e9;
}

// Times crafted against random prices, pass by pass, the two taking turns
// at going first; prints both cases and their ratio and returns the JSON
// object. The ratio is the median of the passes' own ratios, so that both
// sides of each ratio ran under the same conditions (a pass that the machine
// slowed counts once, on both sides).
template <typename TimeCrafted, typename TimeRandom>
std::string compare_prices(const std::string& name, int passes, std::size_t ops, TimeCrafted&& time_crafted,
                           TimeRandom&& time_random) {
    std::vector<double> crafted_ns, random_ns, ratios;
    for (int p = 0; p < passes; ++p) {
        double crafted_pass = 0, random_pass = 0;
        if (p % 2 == 0) {
            crafted_pass = time_crafted();
            random_pass = time_random();
        } else {
            random_pass = time_random();
            crafted_pass = time_crafted();
        }
        crafted_ns.push_back(crafted_pass);
        random_ns.push_back(random_pass);
        ratios.push_back(crafted_pass / random_pass);
    }
    const Result crafted{median(crafted_ns) / static_cast<double>(ops), ops};
    const Result random{median(random_ns) / static_cast<double>(ops), ops};
    const double ratio = median(ratios);
    print_case("crafted_" + name, crafted);
    print_case("random_" + name, random);
    std::printf("engine crafted/random %s: %.2fx\n", name.c_str(), ratio);
    std::ostringstream json;
    json << "{\"crafted\": " << json_result(crafted) << ", \"random\": " << json_result(random)
         << ", \"ratio\": " << ratio << "}";
    return json.str();
}

}  // namespace

int main(int argc, char** argv) {
    int passes = 5;
    std::size_t memory_orders = 0, crafted_levels = 0;
    std::string json_out, churn_out;
    std::vector<std::pair<std::string, std::string>> flows;
    std::vector<std::string> replays;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--passes" && has_value) passes = std::max(1, std::atoi(argv[++i]));
        else if (a == "--json" && has_value) json_out = argv[++i];
        else if (a == "--memory" && has_value) memory_orders = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--crafted" && has_value) crafted_levels = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--write-churn" && has_value) churn_out = argv[++i];
        else if (a == "--flow" && has_value) {
            const std::string v = argv[++i];
            const auto eq = v.find('=');
            if (eq == std::string::npos) {
                std::cerr << "--flow wants DEPTH=FILE\n";
                return 2;
            }
            flows.emplace_back(v.substr(0, eq), v.substr(eq + 1));
        } else if (a == "--replay" && has_value) replays.emplace_back(argv[++i]);
        else {
            std::cerr << "usage: engine_bench [--passes N] [--json OUT] [--memory N] [--crafted LEVELS]"
                         " [--write-churn FILE] --flow DEPTH=FILE ... --replay FILE ...\n";
            return 2;
        }
    }

    // First, before anything else has touched memory.
    const double bytes_per_order = memory_orders > 0 ? bytes_per_resting_order_apart(memory_orders) : 0.0;

    std::ostringstream json;
    json << "{\"compiler\": \"" <<
#if defined(__clang__)
        "clang " __clang_version__
#elif defined(__GNUC__)
        "g++ " __VERSION__
#else
        "unknown compiler"
#endif
         << "\", \"passes\": " << passes << ", \"timing\": \"thread cpu time\", \"flows\": {";
    std::vector<Stream> flow_streams;
    for (const auto& flow : flows) flow_streams.push_back(load(flow.second));
    const FlowResults flow_results = measure_flows(flow_streams, passes);
    flow_streams.clear();
    for (std::size_t f = 0; f < flows.size(); ++f) {
        print_case("flow_" + flows[f].first, flow_results.flows[f]);
        json << (f == 0 ? "" : ", ") << "\"" << flows[f].first << "\": " << json_result(flow_results.flows[f]);
    }
    std::fflush(stdout);
    json << "}";
    if (!replays.empty()) {
        std::vector<Stream> all;
        for (const auto& path : replays) all.push_back(load(path));
        const Result r = measure(all, passes);
        print_case("replay", r);
        json << ", \"replay\": " << json_result(r);
    }
    if (flows.size() >= 2) {
        std::printf("engine growth flow_%s -> flow_%s: %.2fx per op\n", flows.front().first.c_str(),
                    flows.back().first.c_str(), flow_results.growth);
        json << ", \"growth\": " << flow_results.growth;
    }
    if (memory_orders > 0) {
        std::printf("engine memory %zu resting orders: %.1f bytes per order\n", memory_orders, bytes_per_order);
        json << ", \"bytes_per_order\": " << bytes_per_order;
    }
    if (crafted_levels > 0) {
        json << ", \"crafted\": {";
        bool first_set = true;
        for (const PriceSet& set : crafted_sets(crafted_levels)) {
            const std::vector<std::int64_t> random = random_prices(crafted_levels, set.low, set.high, 88172645463325252ull);
            json << (first_set ? "" : ", ") << "\"" << set.name << "\": "
                 << compare_prices(set.name, passes, 2 * crafted_levels, [&] { return time_prices(set.crafted); },
                                   [&] { return time_prices(random); });
            first_set = false;
        }
        const WindowChurn churn = window_churn(crafted_levels);
        if (!churn_out.empty() && !write_churn(churn, churn_out)) {
            std::cerr << "cannot write " << churn_out << "\n";
            return 1;
        }
        json << ", \"outside_window\": "
             << compare_prices("outside_window", passes, 2 * churn.outside.size(),
                               [&] { return time_churn(churn.resting, churn.outside); },
                               [&] { return time_churn(churn.resting, churn.uniform); });
        json << "}";
    }
    json << "}\n";
    std::fflush(stdout);
    if (!json_out.empty()) {
        std::ofstream(json_out) << json.str();
    } else {
        std::cout << json.str();
    }
    return 0;
}
