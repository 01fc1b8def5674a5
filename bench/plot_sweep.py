#!/usr/bin/python3
"""plot_sweep.py: draw buffer_sweep.sh's CSV (and, optionally, the tunnel table
of tunnel_bench.sh) as one PNG.

    bench/plot_sweep.py sweep.csv [tunnel.txt] -o bench/throughput.png
"""
import argparse
import csv

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("sweep")
    ap.add_argument("tunnel", nargs="?")
    ap.add_argument("-o", "--output", default="throughput.png")
    args = ap.parse_args()

    rows = list(csv.DictReader(open(args.sweep)))
    sizes = [int(r["size"]) for r in rows]
    panels = 2 if args.tunnel else 1
    fig, axes = plt.subplots(1, panels, figsize=(6 * panels, 4.2), squeeze=False)

    ax = axes[0][0]
    for key, style in (("kevra", "o-"), ("socat", "s--"), ("direct", ":")):
        ax.plot(sizes, [float(r[key]) for r in rows], style, label=key)
    ax.set_xscale("log", base=2)
    ax.set_xlabel("buffer size (bytes): kevra -buf=, socat -b")
    ax.set_ylabel("client to server, MB/s")
    ax.set_title("Relaying on loopback")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()

    if args.tunnel:
        # Lines of tunnel_bench.sh's table: label, c->s, s->c, conn/s, ms.
        labels, values = [], []
        for line in open(args.tunnel):
            parts = line.split()
            if len(parts) < 5 or not parts[-4].replace(".", "").isdigit():
                continue
            labels.append(" ".join(parts[:-4]))
            values.append(float(parts[-4]))
        ax = axes[0][1]
        ax.barh(labels, values)
        ax.set_xlabel("client to server, MB/s")
        ax.set_title("Tunnels (8 KB buffers)")
        ax.invert_yaxis()

    fig.tight_layout()
    fig.savefig(args.output, dpi=110)


if __name__ == "__main__":
    main()
