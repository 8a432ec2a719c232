// Benchmark of the matching engine alone, without Python: the same order
// streams that benchmarks/bench.py runs through the module, read from the
// plain text files it writes (see streams.write_text_stream).
//
//   engine_bench [--passes N] [--json OUT] --flow DEPTH=FILE ... --replay FILE ...
//
// For every stream and pass: a fresh book is pre-filled (untimed), then every
// operation of the stream runs in one timed loop. Orders are created before
// the loop, as the Python benchmark does; the figure is the median pass.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lib/order_book.hpp"

namespace {

using quoranth::Order;
using quoranth::OrderBook;
using quoranth::OrderType;

enum class Code : std::uint8_t { Add, Cancel, BestBid, BestAsk, Spread, CancelUnknown };

struct Op {
    Code code;
    std::uint32_t order;  // index into Stream::orders
};

struct Stream {
    std::vector<Order> orders;     // every order the stream adds, in stream order
    std::size_t prefill = 0;       // the first `prefill` orders fill the book
    std::vector<Op> ops;
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
    std::unordered_map<long long, std::uint32_t> by_key;
    by_key.reserve(n_prefill + n_ops);
    std::string tag;
    for (std::size_t i = 0; i < n_prefill + n_ops && in >> tag; ++i) {
        const bool in_flow = i >= n_prefill;
        if (tag == "A") {
            long long key, side, price;
            double qty;
            in >> key >> side >> price >> qty;
            const auto index = static_cast<std::uint32_t>(s.orders.size());
            s.orders.push_back(Order::create(side == 0 ? OrderType::Buy : OrderType::Sell, price, qty));
            by_key[key] = index;
            if (in_flow) s.ops.push_back({Code::Add, index});
        } else if (tag == "C") {
            long long key;
            in >> key;
            const auto it = by_key.find(key);
            s.ops.push_back(it == by_key.end() ? Op{Code::CancelUnknown, 0} : Op{Code::Cancel, it->second});
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

volatile double sink;

double run_once(const Stream& s) {
    OrderBook book(0.01);
    for (std::size_t i = 0; i < s.prefill; ++i) book.add(s.orders[i]);
    static constexpr std::string_view unknown = "00000000-0000-4000-8000-000000000000";
    double acc = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (const Op& op : s.ops) {
        switch (op.code) {
            case Code::Add:
                acc += static_cast<double>(book.add(s.orders[op.order]).size());
                break;
            case Code::Cancel:
                acc += book.cancel(s.orders[op.order].id.view());
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
    const auto t1 = std::chrono::steady_clock::now();
    sink = acc;
    return std::chrono::duration<double, std::nano>(t1 - t0).count();
}

struct Result {
    double ns_per_op;
    std::size_t ops;
};

Result measure(const std::vector<Stream>& streams, int passes) {
    std::size_t ops = 0;
    for (const auto& s : streams) ops += s.ops.size();
    std::vector<double> per_op;
    for (int p = 0; p < passes; ++p) {
        double ns = 0;
        for (const auto& s : streams) ns += run_once(s);
        per_op.push_back(ns / static_cast<double>(ops));
    }
    std::sort(per_op.begin(), per_op.end());
    return {per_op[per_op.size() / 2], ops};
}

std::string json_result(const Result& r) {
    std::ostringstream o;
    o.precision(6);
    o << "{\"ns_per_op\": " << r.ns_per_op << ", \"ops_per_s\": " << 1e9 / r.ns_per_op
      << ", \"ops\": " << r.ops << "}";
    return o.str();
}

}  // namespace

int main(int argc, char** argv) {
    int passes = 5;
    std::string json_out;
    std::vector<std::pair<std::string, std::string>> flows;
    std::vector<std::string> replays;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--passes" && has_value) passes = std::max(1, std::atoi(argv[++i]));
        else if (a == "--json" && has_value) json_out = argv[++i];
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
            std::cerr << "usage: engine_bench [--passes N] [--json OUT] --flow DEPTH=FILE ... --replay FILE ...\n";
            return 2;
        }
    }

    std::ostringstream json;
    json << "{\"compiler\": \"" <<
#if defined(__clang__)
        "clang " __clang_version__
#elif defined(__GNUC__)
        "g++ " __VERSION__
#else
        "unknown compiler"
#endif
         << "\", \"passes\": " << passes << ", \"flows\": {";
    bool first = true;
    for (const auto& [depth, path] : flows) {
        std::vector<Stream> one;
        one.push_back(load(path));
        const Result r = measure(one, passes);
        std::printf("  engine flow_%-8s %8.1f ns/op  %7.2f M ops/s\n", depth.c_str(), r.ns_per_op,
                    1e3 / r.ns_per_op);
        json << (first ? "" : ", ") << "\"" << depth << "\": " << json_result(r);
        first = false;
    }
    json << "}";
    if (!replays.empty()) {
        std::vector<Stream> all;
        for (const auto& path : replays) all.push_back(load(path));
        const Result r = measure(all, passes);
        std::printf("  engine replay        %8.1f ns/op  %7.2f M ops/s\n", r.ns_per_op, 1e3 / r.ns_per_op);
        json << ", \"replay\": " << json_result(r);
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
