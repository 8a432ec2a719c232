"""Writes one benchmark run as the markdown of benchmarks/RESULTS.md: the
machine, the targets of every section, then each section's own text."""

from __future__ import annotations


def ns(x: float | None) -> str:
    if x is None:
        return "–"
    if x >= 1e6:
        return f"{x / 1e6:,.2f} ms"
    if x >= 1e4:
        return f"{x / 1e3:,.1f} µs"
    return f"{x:,.0f} ns"


def ratio(r: float) -> str:
    """A ratio near 1 with two decimals; a small one with two significant digits."""
    return f"{r:.2f}" if r >= 0.1 else f"{r:.2g}"


def times(v: float) -> str:
    return f"{v:.1f}×" if v < 10 else f"{v:.0f}×"


def table(head: list[str], rows: list[list[str]]) -> list[str]:
    return (["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
            + ["| " + " | ".join(row) + " |" for row in rows])


def target_line(t) -> str:
    mark = "n/a" if t.ok is None else "PASS" if t.ok else "FAIL"
    return f"- **{mark}** {t.text}: {t.figure}"


def render(machine: dict, sections: list[tuple[str, object, dict]], ctx) -> str:
    """``sections``: (name, module, result) in order of appearance."""
    m = machine
    L = ["# quoranth benchmark results", "",
         f"Written by `benchmarks/bench.py` (`make bench`) on {m['date']}; the whole run took "
         f"{m.get('seconds', '?')} s.", ""]
    L += table(["machine", ""], [["CPU", f"{m['cpu']} ({m['cores']} cores)"], ["memory", m["memory"]],
                                  ["OS", m["os"]], ["Python", f"{m['implementation']} {m['python']}"],
                                  ["quoranth", m.get("quoranth", "not available")],
                                  ["load average at start", m["load"]]])
    L += ["", "Figures are medians over several passes, timed on the thread's CPU clock (so time the "
          "scheduler gives to other processes is not counted). Every timed pass runs beside the call "
          "floor, a one-argument C method call (`d.get(k)` on a dict) in the same `for` loop shape, "
          "so every figure carries its ratio to the floor measured under the same load (\"× floor\"). "
          "The garbage collector is off inside timed loops; inputs (orders, ids) are created outside "
          "them wherever the book's API allows.", ""]
    L += ["## Targets", ""]
    for name, mod, res in sections:
        L += [target_line(t) for t in mod.targets(res, ctx)]
    L.append("")
    for name, mod, res in sections:
        L += mod.render(res, ctx)
    while L and L[-1] == "":
        L.pop()
    return "\n".join(L) + "\n"
