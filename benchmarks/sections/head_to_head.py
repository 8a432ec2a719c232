"""quoranth against the pure-Python book and each peer, in one process per pair.

Each pair runs in a worker under the benchmark venv (``benchmarks/.venv-peers``,
where ``make bench`` installs quoranth beside the peers): the worker runs every
case for both books, their timed passes taking turns (``harness.Runner``), so
the ratio quoranth / other of a case is taken within one process, round by round.
quoranth's own figures (ns and × floor) are those of its pair with
limit-order-book, the fastest matching peer, or of the first pair that ran.
"""

from __future__ import annotations

import hashlib
import importlib.util
import os
import sys

import adapters
import streams as st
from report import ns, ratio, table, times
from sections import PEERS, SLOW_PEERS, Target

PRIMARY = "limit-order-book"
SUBJECT = "quoranth"
OTHERS = ["pure-python"] + PEERS
LABEL = {"pure-python": "pure-Python"}

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

# quoranth / limit-order-book, in one process
PEER_TARGETS = [("add_rest", 1.0, "`add` resting"), ("cancel", 1.0, "`cancel`"),
                ("add_fill1", 1.0, "`add` with one fill"), ("add_sweep10", 2.0, "`add` sweeping 10 levels"),
                ("flow_1000", 0.8, "mixed flow at 1,000"), ("flow_10000", 0.8, "mixed flow at 10,000"),
                ("flow_100000", 0.8, "mixed flow at 100,000")]
# quoranth's cost in call floors
FLOOR_TARGETS = [("add_rest", 4, "`add` resting"), ("cancel", 6, "`cancel`"), ("get_order", 4, "`get_order`"),
                 ("best_bid", 3, "`best_bid`"), ("order_new", 4.5, "`Order(...)`")]


# ---------------------------------------------------------------------------
# measuring

def extension_digest() -> str | None:
    """A digest of the quoranth extension this interpreter imports, to show that
    the workers time the same build as the rest of the run."""
    found = importlib.util.find_spec(SUBJECT)
    if not found or not found.origin:
        return None
    with open(found.origin, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()[:12]


def cross_check(data: dict) -> str:
    """Replays the recorded flow through quoranth and the pure-Python book and
    compares the books they end with, so that the two are known to do the same work."""
    try:
        books = [adapters.make(SUBJECT), adapters.make("pure-python")]
    except ImportError:
        return "not run (quoranth not importable)"
    paths = data["replays"] + [data["flows"][k] for k in sorted(data["flows"], key=int)[:1]]
    for path in paths:
        s = st.Stream.load(path)
        states = []
        for a in books:
            b = a.new_book()
            pre, ops = a.flow_prep(b, s)
            a.flow_fill(b, pre)
            fills = 0
            for code, arg in ops:
                if code == 0:
                    fills += len(b.add(arg))
                elif code == 1:
                    b.cancel(arg)
            states.append((fills, b.best_bid(), b.best_ask(), b.buy_volume(), b.sell_volume(),
                           [(o.price_in_ticks, o.quantity) for o in b.buy_orders],
                           [(o.price_in_ticks, o.quantity) for o in b.sell_orders]))
        if states[0] != states[1]:
            return f"MISMATCH on {os.path.basename(path)}: quoranth {states[0][:5]} vs pure-Python {states[1][:5]}"
    return (f"quoranth and the pure-Python book produce the same fills and end with the same resting "
            f"orders on {len(paths)} streams")


def run(ctx) -> dict:
    data = ctx.data
    check = cross_check(data)
    ctx.log(f"cross-check: {check}")
    pairs = {}
    bench_has_subject = ctx.missing(SUBJECT) is None
    for other in OTHERS:
        if ctx.pair_with and other not in ctx.pair_with:
            continue
        if other == "pure-python":
            python = ctx.bench_python if bench_has_subject else sys.executable
        else:
            why = ctx.missing(other) or (None if bench_has_subject else
                                         "quoranth is not installed in the benchmark venv")
            if why:
                ctx.log(f"{SUBJECT} vs {other}: {why}")
                pairs[other] = {"error": why}
                continue
            python = ctx.bench_python
        budget = None if other == "pure-python" else (
            ctx.peer_budget if other in SLOW_PEERS else ctx.peer_budget * 1.5)
        ctx.log(f"{SUBJECT} vs {other}, interleaved in one process")
        out = os.path.join(ctx.tmp, f"pair_{other}.json")
        cmd = [python, ctx.bench_py(), "--worker", f"{SUBJECT},{other}", "--data", ctx.tmp, "--out", out]
        if budget is not None:
            cmd += ["--budget", str(budget)]
        if ctx.quick:
            cmd.append("--quick")
        res, err = ctx.run_json(cmd, (budget or 300) + 300, out)
        pairs[other] = res or {"error": err}
        if err:
            ctx.log(f"  {err}")
    return {"check": check, "digest": extension_digest(), "pairs": pairs,
            "streams": data["info"], "data_dir": data["data_dir"]}


# ---------------------------------------------------------------------------
# reading the figures

def _book(res, other, key):
    pair = res["pairs"].get(other) or {}
    return (pair.get("books") or {}).get(key)


def _case(book, case):
    r = (book or {}).get("results", {}).get(case)
    return r if r and "skipped" not in r else None


def subject(res):
    """quoranth's figures: from the pair with limit-order-book, else the first pair that ran."""
    for other in [PRIMARY] + OTHERS:
        b = _book(res, other, SUBJECT)
        if b:
            return other, b
    return None, None


def versus(res, other, case):
    """(other's figures, quoranth / other in that pair's process) for a case, or (None, None)."""
    o = _case(_book(res, other, other), case)
    return (o, o.get("subject_over")) if o else (None, None)


def _why(book, case):
    if not book:
        return "–"
    r = book.get("results", {}).get(case)
    if r and "skipped" in r:
        return "n/a" if r["skipped"].startswith("no ") else "not run"
    return "–"


def _present(res):
    return [o for o in OTHERS if _book(res, o, o)]


# ---------------------------------------------------------------------------
# writing

def _versus_cell(res, other, case, reference=False):
    o, r = versus(res, other, case)
    if o is None:
        return _why(_book(res, other, other), case)
    if reference or r is None:
        return ns(o["ns"])
    return f"{ns(o['ns'])} ({ratio(r)})"


def render(res, ctx) -> list[str]:
    L = []
    w = L.append
    source, q = subject(res)
    present = _present(res)
    w(f"## Head-to-head with {PRIMARY}")
    w("")
    w("How the books are compared: quoranth and one other book run in the same worker process, "
      "case by case, their timed passes taking turns (the order rotating each pass, each book's "
      "state made just before its own pass); every pass is wrapped in call-floor measurements. "
      "A figure in parentheses is **quoranth / that book**, the median over passes of the ratio "
      "within one round: below 1 quoranth is faster. "
      f"quoranth's own figures come from its pair with {LABEL.get(source, source)}"
      f"{'' if source else ' (none ran)'}.")
    w("")
    if res.get("check"):
        w(f"Cross-check: {res['check']}.")
        w("")
    digests = {p.get("digest") for p in res["pairs"].values() if p.get("digest")}
    if res.get("digest") and digests and digests != {res["digest"]}:
        w(f"**Warning**: the workers imported another quoranth build ({', '.join(sorted(digests))}) than "
          f"the run's own ({res['digest']}); run `make bench`, which installs the current one.")
        w("")
    lob = _book(res, PRIMARY, PRIMARY)
    pq = _book(res, PRIMARY, SUBJECT)
    if not lob or not pq:
        err = (res["pairs"].get(PRIMARY) or {}).get("error", "not run")
        w(f"Not measured: {err}.")
    else:
        limits = {c: lim for c, lim, _ in PEER_TARGETS}
        rows = []
        labels = dict(CASES) | {f"flow_{d}": f"mixed flow at {int(d):,} resting orders (per op)"
                                for d in _depths(res)} | {"replay": "replay of the recorded days (per message)"}
        for case in ["add_rest", "cancel", "add_fill1", "add_sweep10", "get_order", "best_bid",
                     "cancel_deep"] + [f"flow_{d}" for d in _depths(res)] + ["replay"]:
            mine, o = _case(pq, case), _case(lob, case)
            r = o.get("subject_over") if o else None
            lim = limits.get(case)
            rows.append([labels.get(case, case), ns(mine["ns"]) if mine else _why(pq, case),
                         ns(o["ns"]) if o else _why(lob, case), ratio(r) if r is not None else "–",
                         f"≤ {lim:.1f}" if lim else ""])
        L += table(["case", "quoranth", PRIMARY, f"quoranth / {PRIMARY}", "target"], rows)
        w("")
        w(f"{PRIMARY} takes integer ids chosen by the caller and returns nothing; quoranth mints a "
          "text id per order and returns the fills. Its `get_order` counterpart is `has(id)`.")
    w("")

    # -- every single operation ---------------------------------------------
    w("## Single operations")
    w("")
    rows = []
    for case, label in CASES:
        mine = _case(q, case)
        row = [label, ns(mine["ns"]) if mine else _why(q, case), f"{mine['ratio']:.2f}" if mine else "–"]
        row += [_versus_cell(res, o, case, reference=case in REFERENCE) for o in present]
        rows.append(row)
    L += table(["case", "quoranth", "× floor"] + [LABEL.get(o, o) for o in present], rows)
    lr = _case(q, "buy_orders")
    w("")
    if lr:
        w(f"`buy_orders` costs {lr['ns'] / lr.get('orders', 10_000):.0f} ns per listed order. ")
    w("Reference rows (the floor, `dict.get`) show each process's own figure.")
    w("")

    # -- mixed flow ----------------------------------------------------------
    w("## Mixed flow at steady depth")
    w("")
    depths = _depths(res)
    if depths:
        info = res["streams"][f"flow_{depths[0]}"]
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
        rows = []
        for d in depths:
            case = f"flow_{d}"
            mine = _case(q, case)
            rows.append([f"{d:,}", f"{res['streams'][case]['end_levels']:,}",
                         ns(mine["ns"]) if mine else _why(q, case),
                         f"{mine['ratio']:.1f}" if mine else "–",
                         f"{1e3 / mine['ns']:.2f} M" if mine else "–"]
                        + [_versus_cell(res, o, case) for o in present])
        L += table(["resting orders", "levels", "quoranth", "× floor", "ops/s"]
                   + [LABEL.get(o, o) for o in present], rows)
        ff = _case(q, "flow_floor")
        if ff:
            w("")
            w(f"The flow loop alone (the same dispatch with a `d.get` call in place of each book call) "
              f"costs {ns(ff['ns'])} per operation ({ff['ratio']:.1f}× floor): no book driven from "
              f"Python goes below it.")
        skips = [f"{LABEL.get(o, o)} at {d:,} ({_book(res, o, o)['results'][f'flow_{d}']['skipped']})"
                 for o in present for d in depths
                 if "skipped" in (_book(res, o, o)["results"].get(f"flow_{d}") or {})]
        if skips:
            w("")
            w("Not run: " + "; ".join(skips) + ".")
        w("")

    # -- replay --------------------------------------------------------------
    w("## Replay of a recorded trading day, through Python")
    w("")
    reps = [v for k, v in sorted(res["streams"].items()) if k.startswith("replay_")]
    if reps:
        for info in reps:
            w(f"- `{info['file']}`: {info['messages']:,} messages → {info['new']:,} new orders, "
              f"{info['cancel']:,} deletions of resting orders, {info['cancel_unknown']:,} deletions of "
              f"orders this replay does not hold (sent as cancels of unknown ids), "
              f"{info['execution']:,} visible executions replayed as opposite-side orders "
              f"({info['execution_unknown']:,} executions of orders it does not hold left out), "
              f"{info['skipped']:,} partial cancellations, hidden executions and halts skipped.")
        w("")
        mine = _case(q, "replay")
        L += table(["", "quoranth", "× floor"] + [LABEL.get(o, o) for o in present],
                   [["per message", ns(mine["ns"]) if mine else "–", f"{mine['ratio']:.1f}" if mine else "–"]
                    + [_versus_cell(res, o, "replay") for o in present]])
    else:
        w("No message files found (examples/data).")
    w("")

    # -- peers ---------------------------------------------------------------
    w("## Peers")
    w("")
    w("Installed from the package index into `benchmarks/.venv-peers` beside a wheel of quoranth "
      "(never a dependency of quoranth). Each pair's worker has a time budget for the peer; "
      "pure-Python peers run fewer operations per pass.")
    w("")
    rows = []
    for other in OTHERS:
        pair = res["pairs"].get(other)
        b = _book(res, other, other)
        if pair is None:
            rows.append([LABEL.get(other, other), "–", "–", "not run"])
        elif not b:
            rows.append([LABEL.get(other, other), "–", "–", pair.get("error", "no figures")])
        else:
            status = f"pair ran in {pair.get('seconds', '?')} s"
            if pair.get("partial"):
                status += f" ({pair['partial']}; later cases missing)"
            rows.append([LABEL.get(other, other), b["version"], b["kind"], status])
    L += table(["book", "version", "kind", "status"], rows)
    w("")
    w("How each workload maps onto a peer where the mapping is not one-to-one:")
    w("")
    for other in PEERS:
        b = _book(res, other, other)
        if b and b.get("notes"):
            w(f"- {other}: " + "; ".join(f"{k}: {v}" for k, v in b["notes"].items()) + ".")
    w("- order-book has no orders and no matching: the single-fill, sweep, lookup and order "
      "creation cases do not apply to it, and its flow figures replay only the level writes "
      "each event causes.")
    w("- Books without a lookup by id, order objects or a summary text show n/a for those cases.")
    w("")
    return L


def _depths(res):
    return sorted(int(k.split("_")[1]) for k in res.get("streams", {}) if k.startswith("flow_"))


def targets(res, ctx) -> list[Target]:
    out = []
    _, q = subject(res)
    why = (res["pairs"].get(PRIMARY) or {}).get("error", "not measured")
    for case, limit, text in PEER_TARGETS:
        text = f"quoranth / {PRIMARY} ≤ {limit:.1f}: {text} (issue 11)"
        o, r = versus(res, PRIMARY, case)
        mine = _case(_book(res, PRIMARY, SUBJECT), case)
        if r is None or mine is None:
            out.append(Target.unmeasured(text, why))
        else:
            out.append(Target(r <= limit, text, f"{r:.2f} ({ns(mine['ns'])} vs {ns(o['ns'])})"))
    for case, limit, text in FLOOR_TARGETS:
        text = f"{text} ≤ {limit:g}× floor (issue 11)"
        r = _case(q, case)
        out.append(Target.unmeasured(text) if r is None else
                   Target(r["ratio"] <= limit, text, f"{r['ratio']:.2f}× ({ns(r['ns'])} vs {ns(r['floor'])})"))
    # still in force from the first benchmark issue (6)
    for d in _depths(res):
        text = f"mixed flow at {d:,} ≥ 30× faster than the pure-Python book (issue 6)"
        _, r = versus(res, "pure-python", f"flow_{d}")
        out.append(Target.unmeasured(text) if not r else Target(1 / r >= 30, text, times(1 / r)))
    depths = _depths(res)
    text = "mixed flow per op at 1,000,000 ≤ 1.5× that at 1,000, from Python (issue 6)"
    lo, hi = (_case(q, f"flow_{depths[0]}"), _case(q, f"flow_{depths[-1]}")) if depths else (None, None)
    if lo and hi and depths[-1] >= 1_000_000:
        g = hi["ratio"] / lo["ratio"]
        out.append(Target(g <= 1.5, text, f"{g:.2f}× ({ns(hi['ns'])} vs {ns(lo['ns'])})"))
    else:
        out.append(Target.unmeasured(text))
    return out

