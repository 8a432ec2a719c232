"""Renders one benchmark run as the markdown of benchmarks/RESULTS.md."""

from __future__ import annotations

CASES = [
    ("floor", "call floor: `d.get(k)` on a dict"),
    ("add_rest", "`add`, order rests (no match), 10k-order book"),
    ("add_fill1", "`add` taking exactly one resting order"),
    ("add_sweep10", "`add` sweeping 10 levels (10 fills)"),
    ("cancel", "`cancel` of a resting order (~10 per level)"),
    ("cancel_deep", "`cancel` deep in a level of 10,000 orders"),
    ("order_new", "`Order(side, price_in_ticks, quantity)`"),
    ("create_order", "`create_order(side, price, quantity)`"),
    ("get_order", "`get_order(id)`, 10k-order book"),
    ("dict_ids", "reference: `dict.get(id)` on the same ids, 10k-entry dict"),
    ("best_bid", "`best_bid()`"),
    ("best_ask", "`best_ask()`"),
    ("spread", "`spread()`"),
    ("buy_orders", "`buy_orders`, 10,000-order side (per call)"),
    ("repr", "`repr(book)`, 10k-order book (per call)"),
]
REFERENCE = {"floor", "dict_ids"}
PEERS = ["limit-order-book", "cython-orderbook", "order-book", "fastlob", "lightmatchingengine"]
MATCHING = ["limit-order-book", "cython-orderbook", "fastlob", "lightmatchingengine"]


def _ns(x):
    if x is None:
        return "–"
    if x >= 1e6:
        return f"{x / 1e6:,.2f} ms"
    if x >= 1e4:
        return f"{x / 1e3:,.1f} µs"
    return f"{x:,.0f} ns"


def _res(suite, case):
    if not suite or "error" in suite:
        return None
    r = suite.get("results", {}).get(case)
    if not r or "skipped" in r:
        return None
    return r


def _why(suite, case):
    if not suite:
        return "–"
    if "error" in suite:
        return "–"
    r = suite.get("results", {}).get(case)
    if r and "skipped" in r:
        return "n/a" if r["skipped"].startswith("no ") else "skipped"
    return "–"


def _x(v):
    return f"{v:.1f}×" if v < 10 else f"{v:.0f}×"


def speedup(q, other):
    """quoranth's advantage, on floor-normalised figures of each book's own process."""
    if q is None or other is None:
        return None
    return other["ratio"] / q["ratio"]


def render(rep: dict) -> str:
    m = rep["machine"]
    suites, peers, mem, eng = rep["suites"], rep["peers"], rep["memory"], rep.get("engine")
    q = suites.get("quoranth", {})
    pp = suites.get("pure-python", {})
    L = []
    w = L.append
    w("# quoranth benchmark results")
    w("")
    w(f"Written by `benchmarks/bench.py` (`make bench`) on {m['date']}; the whole run took "
      f"{m.get('seconds', '?')} s.")
    w("")
    w("| machine | |")
    w("|---|---|")
    w(f"| CPU | {m['cpu']} ({m['cores']} cores) |")
    w(f"| memory | {m['memory']} |")
    w(f"| OS | {m['os']} |")
    w(f"| Python | {m['implementation']} {m['python']} |")
    w(f"| quoranth | {q.get('version', 'not available')} |")
    w(f"| load average at start | {m['load']} |")
    w("")
    w("Figures are medians over several passes. Each pass times the call floor, a "
      "one-argument C method call (`d.get(k)` on a dict) in the same `for` loop shape as the "
      "case, just before and just after the case, so every case carries its ratio to the floor "
      "measured under the same load. "
      "Speedups between books are taken on these floor-normalised figures (each book's ratio "
      "to the floor of its own process), which keeps them stable on a shared machine. The "
      "garbage collector is off inside timed loops; inputs (orders, ids) are created outside "
      "them wherever the book's API allows.")
    w("")
    if rep.get("check"):
        w(f"Cross-check: {rep['check']}.")
        w("")

    # -- targets ----------------------------------------------------------
    w("## Targets")
    w("")
    for line in targets(rep):
        w(f"- {line}")
    w("")

    # -- quoranth per call ------------------------------------------------
    w("## Single operations")
    w("")
    head = ["case", "quoranth", "× floor", "pure-Python"]
    present = [p for p in PEERS if p in peers and "error" not in peers[p]]
    head += present
    w("| " + " | ".join(head) + " |")
    w("|" + "---|" * len(head))
    for case, label in CASES:
        qr = _res(q, case)
        row = [label, _ns(qr["ns"]) if qr else _why(q, case),
               f"{qr['ratio']:.2f}" if qr else "–"]
        for s in [pp] + [peers[p] for p in present]:
            r = _res(s, case)
            if r is None:
                row.append(_why(s, case))
            elif case in REFERENCE or qr is None:
                row.append(_ns(r["ns"]))
            else:
                row.append(f"{_ns(r['ns'])} ({_x(speedup(qr, r))})")
        w("| " + " | ".join(row) + " |")
    lr = _res(q, "buy_orders")
    if lr:
        w("")
        w(f"`buy_orders` costs {lr['ns'] / lr.get('orders', 10_000):.0f} ns per listed order. "
          "Figures in parentheses: how many times faster quoranth is.")
    else:
        w("")
        w("Figures in parentheses: how many times faster quoranth is.")
    w("")

    # -- mixed flow ----------------------------------------------------------
    w("## Mixed flow at steady depth")
    w("")
    depths = sorted({int(k.split("_")[1]) for k in rep["streams"] if k.startswith("flow_")})
    if depths:
        info = rep["streams"][f"flow_{depths[0]}"]
        w("The book is pre-filled to the depth, then a flow runs at steady state: about 60% new "
          "orders around the mid (a quarter of them marketable, priced at the opposite best and "
          "sized to take its front order, one in ten of those reaching two ticks through at three "
          "times the size), 30% cancels of random live orders and 10% top-of-book reads "
          "(`best_bid`, `best_ask`, `spread` in turn). Resting prices are uniform over a band "
          "that widens with depth so that a level holds about ten orders at every depth; long "
          "queues are the `cancel_deep` case. "
          f"Flow mix of the {depths[0]:,} stream: {info['new']:,} resting new, {info['cross']:,} "
          f"marketable, {info['cancel']:,} cancels, {info['read']:,} reads.")
        w("")
        head = ["resting orders", "levels", "quoranth", "× floor", "ops/s", "pure-Python"] + present
        if eng and "flows" in eng:
            head.append("engine alone (C++)")
        w("| " + " | ".join(head) + " |")
        w("|" + "---|" * len(head))
        for d in depths:
            case = f"flow_{d}"
            qr = _res(q, case)
            info = rep["streams"][case]
            row = [f"{d:,}", f"{info['end_levels']:,}", _ns(qr["ns"]) if qr else _why(q, case),
                   f"{qr['ratio']:.1f}" if qr else "–",
                   f"{1e9 / qr['ns'] / 1e6:.2f} M" if qr else "–"]
            for s in [pp] + [peers[p] for p in present]:
                r = _res(s, case)
                if r is None:
                    row.append(_why(s, case) if not (s.get("results", {}).get(case) or {}).get("skipped")
                               else "not run")
                elif qr is None:
                    row.append(_ns(r["ns"]))
                else:
                    row.append(f"{_ns(r['ns'])} ({_x(speedup(qr, r))})")
            if eng and "flows" in eng:
                e = eng["flows"].get(str(d))
                row.append(f"{e['ns_per_op']:.0f} ns, {e['ops_per_s'] / 1e6:.1f} M ops/s" if e else "–")
            w("| " + " | ".join(row) + " |")
        ff = _res(q, "flow_floor") or _res(pp, "flow_floor")
        if ff:
            w("")
            line = (f"The flow loop alone (the same dispatch with a `d.get` call in place of each "
                    f"book call) costs {_ns(ff['ns'])} per operation ({ff['ratio']:.1f}× floor): no "
                    f"book driven from Python goes below it.")
            pr = _res(pp, f"flow_{depths[0]}")
            qr = _res(q, f"flow_{depths[0]}")
            if pr:
                line += (f" Against the pure-Python book's {_ns(pr['ns'])} per operation at "
                         f"{depths[0]:,}, that loop alone would be "
                         f"{pr['ratio'] / ff['ratio']:.0f}× faster")
                if qr and qr["ratio"] > ff["ratio"]:
                    line += (f"; net of the loop, quoranth does the pure-Python book's work "
                             f"{(pr['ratio'] - ff['ratio']) / (qr['ratio'] - ff['ratio']):.0f}× faster")
                line += "."
            w(line)
        notes = _skips(peers, [f"flow_{d}" for d in depths])
        if notes:
            w("")
            w("Not run: " + "; ".join(notes) + ".")
        w("")

    # -- replay -------------------------------------------------------------
    w("## Replay of a recorded trading day")
    w("")
    reps = [v for k, v in sorted(rep["streams"].items()) if k.startswith("replay_")]
    if reps:
        for info in reps:
            w(f"- `{info['file']}`: {info['messages']:,} messages → {info['new']:,} new orders, "
              f"{info['cancel']:,} deletions of resting orders, {info['cancel_unknown']:,} deletions of "
              f"orders this replay does not hold (sent as cancels of unknown ids), "
              f"{info['execution']:,} visible executions replayed as opposite-side orders "
              f"({info['execution_unknown']:,} executions of orders it does not hold left out), "
              f"{info['skipped']:,} partial cancellations, hidden executions and halts skipped.")
        w("")
        qr = _res(q, "replay")
        head = ["", "quoranth", "× floor", "pure-Python"] + present
        if eng and "replay" in eng:
            head.append("engine alone (C++)")
        w("| " + " | ".join(head) + " |")
        w("|" + "---|" * len(head))
        row = ["per message", _ns(qr["ns"]) if qr else "–", f"{qr['ratio']:.1f}" if qr else "–"]
        for s in [pp] + [peers[p] for p in present]:
            r = _res(s, "replay")
            row.append(_why(s, "replay") if r is None else
                       (f"{_ns(r['ns'])} ({_x(speedup(qr, r))})" if qr else _ns(r["ns"])))
        if eng and "replay" in eng:
            e = eng["replay"]
            row.append(f"{e['ns_per_op']:.0f} ns, {e['ops_per_s'] / 1e6:.1f} M ops/s")
        w("| " + " | ".join(row) + " |")
    else:
        w("No message files found (examples/data or the shared data folder).")
    w("")

    # -- memory -------------------------------------------------------------
    w("## Memory per resting order")
    w("")
    if not mem:
        w("Not measured in this run (`--no-memory`).")
        w("")
    else:
        w("Resident-set growth per resting order (index entry included), measured in a fresh "
          "process after a garbage collection, less the growth of the same driving loop run "
          "without a book (it keeps no objects). Prices spread over as many levels as in the "
          "mixed flow (about ten orders per level).")
        w("")
        w("| book | resting orders | bytes per order |")
        w("|---|---|---|")
        for name in ["quoranth", "pure-python"] + PEERS:
            r = mem.get(name)
            if not r:
                continue
            label = {"pure-python": "pure-Python"}.get(name, name)
            if "error" in r:
                w(f"| {label} | – | {r['error']} |")
            else:
                extra = " (levels only)" if name == "order-book" else ""
                w(f"| {label} | {r['orders']:,} | {r['bytes_per_order']:.0f}{extra} |")
        w("")

    # -- engine ---------------------------------------------------------------
    if eng:
        w("## Engine alone (C++, no Python)")
        w("")
        if "error" in eng:
            w(f"Not available: {eng['error']}")
        else:
            w(f"`benchmarks/engine_bench.cpp`, {eng.get('compiler', '')}. Same streams as above, "
              "orders created before the timed loop.")
            w("")
            w("| stream | ns/op | ops/s |")
            w("|---|---|---|")
            for d, e in sorted(eng.get("flows", {}).items(), key=lambda x: int(x[0])):
                w(f"| mixed flow, {int(d):,} resting | {e['ns_per_op']:.1f} | {e['ops_per_s'] / 1e6:.2f} M |")
            if "replay" in eng:
                e = eng["replay"]
                w(f"| replay | {e['ns_per_op']:.1f} | {e['ops_per_s'] / 1e6:.2f} M |")
        w("")

    # -- peers --------------------------------------------------------------
    w("## Peers")
    w("")
    if not peers:
        w("Not run in this run (`--no-peers`).")
        w("")
        return "\n".join(L)
    w("Installed from the package index into `benchmarks/.venv-peers` (never a dependency of "
      "quoranth) and run in worker processes under that interpreter, each with a time budget; "
      "pure-Python peers run fewer operations per pass.")
    w("")
    w("| package | version | kind | status |")
    w("|---|---|---|---|")
    for p in PEERS:
        s = peers.get(p)
        if s is None:
            w(f"| {p} | – | – | not run |")
        elif "error" in s:
            w(f"| {p} | – | – | {s['error']} |")
        else:
            status = f"ran in {s.get('seconds', '?')} s"
            if s.get("partial"):
                status += f" ({s['partial']}; later cases missing)"
            w(f"| {p} | {s['version']} | {s['kind']} | {status} |")
    w("")
    w("How each workload maps onto a peer where the mapping is not one-to-one:")
    w("")
    for p in PEERS:
        s = peers.get(p)
        if s and s.get("notes"):
            w(f"- {p}: " + "; ".join(f"{k}: {v}" for k, v in s["notes"].items()) + ".")
    w("- order-book has no orders and no matching: the single-fill, sweep, lookup and order "
      "creation cases do not apply to it, and its flow figures replay only the level writes "
      "each event causes.")
    w("- Peers without a lookup by id, order objects or a summary text show n/a for those cases.")
    w("")
    return "\n".join(L)


def _skips(peers, cases):
    out = []
    for p, s in peers.items():
        for c in cases:
            r = (s.get("results") or {}).get(c) if isinstance(s, dict) else None
            if r and "skipped" in r:
                out.append(f"{p} {c.split('_')[1]} ({r['skipped']})")
    return out


def targets(rep: dict) -> list[str]:
    q = rep["suites"].get("quoranth", {})
    pp = rep["suites"].get("pure-python", {})
    peers = rep["peers"]
    mem = rep["memory"].get("quoranth", {})
    eng = rep.get("engine") or {}
    out = []

    def line(ok, text, figure):
        if ok is None:
            out.append(f"**n/a** {text}: {figure}")
        else:
            out.append(f"**{'PASS' if ok else 'FAIL'}** {text}: {figure}")

    def ratio_target(case, limit, text):
        r = _res(q, case)
        if r is None:
            return line(None, text, "not measured")
        line(r["ratio"] <= limit, text, f"{r['ratio']:.2f}× floor ({_ns(r['ns'])} vs {_ns(r['floor'])})")

    ratio_target("add_rest", 4, "`add` resting ≤ 4× floor")
    ratio_target("add_fill1", 8, "`add` with one fill ≤ 8× floor")
    ratio_target("cancel", 4, "`cancel` ≤ 4× floor")
    ratio_target("get_order", 3, "`get_order` ≤ 3× floor")
    ratio_target("best_bid", 3, "`best_bid` ≤ 3× floor")

    depths = sorted({int(k.split("_")[1]) for k in rep["streams"] if k.startswith("flow_")})
    for d in depths:
        case = f"flow_{d}"
        qr = _res(q, case)
        pr = _res(pp, case)
        s = speedup(qr, pr)
        line(None if s is None else s >= 30, f"mixed flow at {d:,} ≥ 30× faster than the pure-Python book",
             "not measured" if s is None else f"{s:.1f}×")
    for d in depths:
        case = f"flow_{d}"
        qr = _res(q, case)
        best = None
        for p in MATCHING:
            r = _res(peers.get(p, {}), case)
            if r is not None and qr is not None:
                sp = speedup(qr, r)
                if best is None or sp < best[0]:
                    best = (sp, p)
        line(None if best is None else best[0] >= 5,
             f"mixed flow at {d:,} ≥ 5× faster than the fastest matching peer",
             "no peer measured" if best is None else f"{best[0]:.1f}× ({best[1]})")
        r = _res(peers.get("order-book", {}), case)
        if r is not None and qr is not None:
            out.append(f"(info) mixed flow at {d:,} vs order-book level writes only: "
                       f"{speedup(qr, r):.1f}×")
    if depths:
        lo, hi = _res(q, f"flow_{depths[0]}"), _res(q, f"flow_{depths[-1]}")
        if lo and hi and depths[-1] >= 1_000_000:
            g = hi["ratio"] / lo["ratio"]
            line(g <= 1.5, f"mixed flow per op at {depths[-1]:,} ≤ 1.5× that at {depths[0]:,}",
                 f"{g:.2f}× ({_ns(hi['ns'])} vs {_ns(lo['ns'])})")
        else:
            line(None, "mixed flow per op at 1,000,000 ≤ 1.5× that at 1,000", "not measured")
    if mem and "bytes_per_order" in mem:
        b = mem["bytes_per_order"]
        line(b <= 160, f"≤ 160 bytes per resting order at {mem['orders']:,}", f"{b:.0f} bytes")
    else:
        line(None, "≤ 160 bytes per resting order", "not measured")
    flows = eng.get("flows") if isinstance(eng, dict) else None
    if flows:
        for d, e in sorted(flows.items(), key=lambda x: int(x[0])):
            line(e["ops_per_s"] >= 10e6, f"engine alone ≥ 10 M mixed ops/s at {int(d):,}",
                 f"{e['ops_per_s'] / 1e6:.1f} M ops/s")
    else:
        line(None, "engine alone ≥ 10 M mixed ops/s", "engine benchmark not built")
    return out
