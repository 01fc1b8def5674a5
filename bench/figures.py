#!/usr/bin/python3
"""figures.py: the tables and the plot of one bench/goals.sh run.

    bench/figures.py build/goals --goals          the goals table, pass or fail
    bench/figures.py build/goals --readme README.md --plot docs/throughput.png

Every figure is the median of the run's rounds with the smallest and largest
beside it; the README's performance block (between its two figures markers)
and the plot are both written from the same results folder, and both name
the processor, the date and the load of the machine.
"""
import argparse
import re
import statistics
import sys
import textwrap

BEGIN = "<!-- figures: written by bench/figures.py from one bench/goals.sh run -->"
END = "<!-- figures: end -->"

# name in the results -> how the tables call it
LABELS = {
    "direct": "direct (no relay)",
    "kevra": "kevra (this build)",
    "old": "kevra {old}",
    "socat": "socat -b8192",
    "rinetd": "rinetd",
    "tunnel": "kevra tunnel, RC4",
    "tunnel_old": "kevra {old} tunnel, RC4",
    "tunnel_3des": "kevra tunnel, triple DES",
    "spiped": "spiped pair",
    "stunnel": "stunnel pair (TLS)",
}
PLAIN = ["direct", "kevra", "old", "socat", "rinetd"]
TUNNELS = ["kevra", "tunnel", "tunnel_old", "tunnel_3des", "spiped", "stunnel"]


class Run:
    def __init__(self, folder):
        self.meta = {}
        for line in open(f"{folder}/meta.tsv", encoding="utf-8"):
            k, _, v = line.rstrip("\n").partition("\t")
            self.meta[k] = v
        self.vals = {}
        for line in open(f"{folder}/results.tsv", encoding="utf-8"):
            parts = line.rstrip("\n").split("\t")
            if len(parts) != 4:
                continue
            path, metric, _, value = parts
            self.vals.setdefault((path, metric), []).append(value)

    def has(self, path):
        return any(p == path for p, _ in self.vals)

    def failed(self, path, metric):
        return "fail" in self.vals.get((path, metric), [])

    def nums(self, path, metric):
        return [float(v) for v in self.vals.get((path, metric), []) if v != "fail"]

    def med(self, path, metric):
        v = self.nums(path, metric)
        if not v or self.failed(path, metric):
            return None
        return statistics.median(v)

    def label(self, path):
        return LABELS[path].format(old=self.meta.get("old") or "older build")

    def prim(self, name):
        v = self.nums("prim", "BM_" + name)
        return v[0] if v else None   # microseconds per call

    def header(self):
        m = self.meta
        return (f"{m.get('cpu', '?')}, {m.get('cpus', '?')} CPUs, {m.get('kernel', '?')}, "
                f"{m.get('date', '?')}; load average {m.get('load', '?')} at the start, "
                f"{m.get('load_end', '?')} at the end; {m.get('rounds', '?')} rounds of "
                f"{m.get('seconds', '?')} s runs")


def fmt(x, digits=None):
    if x is None:
        return "fail"
    if digits is None:
        digits = 0 if abs(x) >= 100 else 1 if abs(x) >= 10 else 2 if abs(x) >= 1 else 3
    return f"{x:,.{digits}f}"


def cell(run, path, metric, digits=None):
    """median (min–max) of the rounds; "fail" when any round failed; — when not measured."""
    v = run.nums(path, metric)
    if not run.vals.get((path, metric)):
        return "—"
    if run.failed(path, metric) or not v:
        return "fail"
    if len(v) == 1:
        return fmt(v[0], digits)
    return f"{fmt(statistics.median(v), digits)} ({fmt(min(v), digits)}–{fmt(max(v), digits)})"


def goals(run):
    """(goal, figures, pass) rows; a goal whose figures are missing fails."""
    rows = []
    m = run.med

    def show(path, metric):
        return fmt(m(path, metric)) if run.has(path) else "not measured"

    def ok(*conds):
        return all(c is not None for c in conds) and all(conds)

    def ratio(a, b):
        return a / b if a is not None and b not in (None, 0) else None

    k, t = m("kevra", "reqresp_ms"), m("tunnel", "reqresp_ms")
    rows.append(("keep-alive request/response, plain relay ≤ 1 ms",
                 f"kevra {fmt(k)} ms; {run.label('old')} {show('old', 'reqresp_ms')}; "
                 f"socat {show('socat', 'reqresp_ms')}; direct {show('direct', 'reqresp_ms')}",
                 ok(k is not None and k <= 1.0)))
    rows.append(("keep-alive request/response, RC4 tunnel ≤ 2 ms",
                 f"kevra {fmt(t)} ms; {run.label('old')} {show('tunnel_old', 'reqresp_ms')}; "
                 f"spiped {show('spiped', 'reqresp_ms')}; stunnel {show('stunnel', 'reqresp_ms')}",
                 ok(t is not None and t <= 2.0)))
    def against(goal, ours, anchor, metric, unit, old, passes):
        """A goal that holds one of our paths against an anchor's figure."""
        r = ratio(m(ours, metric), m(anchor, metric))
        rows.append((goal,
                     f"kevra {fmt(m(ours, metric))}{unit}, {anchor} {show(anchor, metric)}: "
                     f"{fmt(r)}×; {run.label('old')} {show(old, metric)}",
                     ok(r is not None and passes(r))))

    for d, name in (("up", "client→server"), ("down", "server→client")):
        against(f"bulk {name} ≥ 1.15× socat -b8192", "kevra", "socat", d, " MB/s", "old",
                lambda r: r >= 1.15)
    against("relay CPU per GB ≤ 0.85× socat's", "kevra", "socat", "cpu_gb", " s/GB", "old",
            lambda r: r <= 0.85)
    r = ratio(m("kevra", "conn_s"), m("rinetd", "conn_s"))
    o = ratio(m("kevra", "conn_s"), m("old", "conn_s"))
    rows.append(("short connections/s ≥ 1.15× rinetd's and ≥ the older build's",
                 f"kevra {fmt(m('kevra', 'conn_s'))}, rinetd {fmt(m('rinetd', 'conn_s'))}: {fmt(r)}×; "
                 f"{run.label('old')} {show('old', 'conn_s')}: {fmt(o)}×",
                 ok(r is not None and r >= 1.15, o is None or o >= 1.0)))
    against("1-CPU round trip ≤ 2.3× direct", "kevra", "direct", "rtt1_us", " µs", "old",
            lambda r: r <= 2.3)
    for d, name in (("up", "client→server"), ("down", "server→client")):
        against(f"RC4 tunnel bulk {name} ≥ 1.5× spiped", "tunnel", "spiped", d, " MB/s",
                "tunnel_old", lambda r: r >= 1.5)
    # RC4 and HMAC-SHA1 once each way: the sender encrypts and signs, the
    # receiver checks and decrypts every byte (8 KB calls, microseconds).
    rc4, hmac = run.prim("rc4_8k"), run.prim("hmac_8k")
    prim = 2 * (rc4 + hmac) / 8192 * 1e3 if rc4 and hmac else None   # s per GB
    r = ratio(m("tunnel", "cpu_gb"), prim)
    rows.append(("RC4 tunnel CPU per GB ≤ 1.3× the primitives'",
                 f"both ends {fmt(m('tunnel', 'cpu_gb'))} s/GB, RC4 + HMAC-SHA1 each way {fmt(prim)}: "
                 f"{fmt(r)}×; {run.label('old')} {show('tunnel_old', 'cpu_gb')}",
                 ok(r is not None and r <= 1.3)))
    kdf = run.prim("pbkdf2_4000_84")
    first, plainfirst = m("tunnel", "first_ms"), m("kevra", "first_ms")
    floor = 3 * kdf / 1e3 + plainfirst if kdf and plainfirst is not None else None
    rows.append(("tunnel first byte ≤ 3 key derivations + plain first byte + 1 ms (ends on CPUs of their own)",
                 f"kevra {fmt(first)} ms, floor {fmt(floor)} (3 × {fmt(kdf / 1e3 if kdf else None)} + "
                 f"{fmt(plainfirst)}); {run.label('old')} {show('tunnel_old', 'first_ms')}",
                 ok(first is not None and floor is not None and first <= floor + 1.0)))
    return rows


def goals_md(run):
    lines = ["| goal | figures (medians) | |", "|---|---|---|"]
    for g, f, p in goals(run):
        lines.append(f"| {g} | {f} | {'pass' if p else '**fail**'} |")
    return lines


def relay_md(run):
    lines = ["| path | client→server MB/s | server→client MB/s | relay CPU s/GB | request/response ms "
             "| 1-CPU round trip µs | connections/s |",
             "|---|---|---|---|---|---|---|"]
    for p in PLAIN:
        if run.has(p):
            lines.append(f"| {run.label(p)} | {cell(run, p, 'up')} | {cell(run, p, 'down')} | "
                         f"{cell(run, p, 'cpu_gb', 2)} | {cell(run, p, 'reqresp_ms')} | "
                         f"{cell(run, p, 'rtt1_us', 0)} | {cell(run, p, 'conn_s', 0)} |")
    return lines


def tunnel_md(run):
    lines = ["| path | client→server MB/s | server→client MB/s | CPU s/GB, both ends | request/response ms "
             "| connections/s | CPU ms per connection | first byte ms |",
             "|---|---|---|---|---|---|---|---|"]
    for p in TUNNELS:
        if run.has(p):
            name = "kevra plain relay" if p == "kevra" else run.label(p)
            lines.append(f"| {name} | {cell(run, p, 'up')} | {cell(run, p, 'down')} | "
                         f"{cell(run, p, 'cpu_gb', 2)} | {cell(run, p, 'reqresp_ms')} | "
                         f"{cell(run, p, 'conn_s', 0)} | {cell(run, p, 'cpu_ms_conn', 2)} | "
                         f"{cell(run, p, 'first_ms', 2)} |")
    return lines


def prim_md(run):
    rows = [("RC4, 8 KB calls", "rc4_8k", "µs"), ("HMAC-SHA1, 8 KB", "hmac_8k", "µs"),
            ("PBKDF2, 4000 iterations, 84 bytes (one tunnel key set)", "pbkdf2_4000_84", "ms"),
            ("triple-DES CFB-64 encrypt, 8 KB", "des3cfb_8k", "µs")]
    lines = ["| primitive | kevra | OpenSSL |", "|---|---|---|"]
    for name, key, unit in rows:
        ours, ref = run.prim(key), run.prim("openssl_" + key)
        scale = 1e-3 if unit == "ms" else 1
        lines.append(f"| {name} | {fmt(ours * scale if ours else None)} {unit} | "
                     f"{fmt(ref * scale if ref else None)} {unit} |")
    return lines


def readme_block(run, plotname):
    out = [BEGIN, "",
           f"Taken with `bench/goals.sh` on {run.header()}. Each figure is the median of the "
           "rounds, the smallest and largest in brackets; every path was measured once per round, "
           "side by side, so the ratios hold within the run and figures from different runs or "
           "processors are not comparable.", "",
           f"![Bulk throughput both ways, median and spread over the rounds]({plotname})", "",
           "Goals (`bench/goals.sh` prints this table):", ""]
    out += goals_md(run)
    out += ["", "Relaying at the default buffer (8192 bytes; socat with the same `-b8192`):", ""]
    out += relay_md(run)
    out += ["", "The tunnel (client → clientside → serverside → server) beside the plain relay and "
            "the peer encrypted pipes; CPU is all of the path's processes:", ""]
    out += tunnel_md(run)
    out += ["", "Primitives (`crypto_bench`, CPU time per call, once in the same run):", ""]
    out += prim_md(run)
    out += ["", END]
    return "\n".join(out)


def write_readme(run, path, plotname):
    text = open(path, encoding="utf-8").read()
    pat = re.compile(re.escape(BEGIN) + ".*?" + re.escape(END), re.S)
    if not pat.search(text):
        sys.exit(f"figures.py: {path} has no figures block ({BEGIN} ... {END})")
    open(path, "w", encoding="utf-8").write(pat.sub(lambda _: readme_block(run, plotname), text))


def plot(run, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    paths = [p for p in ["direct", "kevra", "old", "socat", "rinetd", "tunnel", "tunnel_old",
                         "tunnel_3des", "spiped", "stunnel"] if run.has(p)]
    fig, ax = plt.subplots(figsize=(10, 5.4))
    width = 0.38
    for i, (d, name, colour) in enumerate((("up", "client → server", "#3b6ea8"),
                                            ("down", "server → client", "#e08a2c"))):
        meds, lo, hi = [], [], []
        for p in paths:
            v = run.nums(p, d)
            mv = statistics.median(v) if v else 0
            meds.append(mv)
            lo.append(mv - min(v) if v else 0)
            hi.append(max(v) - mv if v else 0)
        xs = [j + (i - 0.5) * width for j in range(len(paths))]
        ax.bar(xs, meds, width, label=name, color=colour, yerr=[lo, hi], capsize=3)
        for x, mv, h in zip(xs, meds, hi):
            ax.text(x, (mv + h) * 1.06, f"{mv:.0f}", ha="center", va="bottom", fontsize=7)
    ax.set_xticks(range(len(paths)))
    ax.set_xticklabels([textwrap.fill(run.label(p).replace(",", ""), 11) for p in paths], fontsize=8)
    ax.set_ylabel("MB/s (median; whiskers: smallest and largest round)")
    ax.set_yscale("log")
    m = run.meta
    ax.set_title(f"Loopback bulk throughput, {m.get('cpu', '?')}, {m.get('cpus', '?')} CPUs\n"
                 f"{m.get('date', '?')}, {m.get('rounds', '?')} rounds, load average "
                 f"{m.get('load', '?')} at the start", fontsize=10)
    ax.legend(fontsize=8)
    ax.grid(axis="y", alpha=0.3, which="both")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("results", help="the folder bench/goals.sh wrote")
    ap.add_argument("--goals", action="store_true", help="print the goals table")
    ap.add_argument("--readme", help="rewrite the figures block of this README")
    ap.add_argument("--plot", help="write the throughput plot to this PNG")
    a = ap.parse_args()
    run = Run(a.results)
    if a.goals:
        print(run.header())
        print("\n".join(goals_md(run)))
        print()
        print("\n".join(relay_md(run)))
        print()
        print("\n".join(tunnel_md(run)))
    if a.plot:
        plot(run, a.plot)
    if a.readme:
        write_readme(run, a.readme, a.plot or "docs/throughput.png")


if __name__ == "__main__":
    main()
