"""PNG figures of a family's results: its peer/ours ratios and any curves it recorded."""
import os

from common import slug


def pyplot():
    import matplotlib
    matplotlib.use("Agg")  # files only; no display on a benchmark machine
    import matplotlib.pyplot as plt
    return plt


def ratios(plt, table, out_dir):
    rows = [r for r in table.rows if r[4] == r[4] and 0 < r[4] < float("inf")]
    if not rows:
        return None
    labels = [f"{case}\nvs {peer}" for case, _, peer, *_ in rows]
    values = [r[4] for r in rows]
    fig, ax = plt.subplots(figsize=(9, 0.9 + 0.42 * len(rows)))
    y = range(len(rows))[::-1]
    ax.barh(list(y), values, color=["tab:green" if v >= 1 else "tab:red" for v in values])
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xscale("log")
    ax.set_yticks(list(y), labels, fontsize=7)
    ax.set_xlabel("peer time / our time (log scale; right of 1 is faster than the peer)")
    ax.set_title(f"{table.family}: speed against the peers")
    for yi, v in zip(y, values):
        ax.annotate(f"{v:.2f}", (v, yi), xytext=(3, 0), textcoords="offset points", va="center", fontsize=7)
    fig.tight_layout()
    path = os.path.join(out_dir, f"{table.family}.png")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def curves(plt, table, out_dir):
    paths = []
    for title, fig_data in table.curves.items():
        fig, ax = plt.subplots(figsize=(7, 4.5))
        for name, points in fig_data["series"].items():
            xs, ys = zip(*points)
            ax.plot(xs, ys, marker="o", markersize=3, label=name)
        ax.set_xlabel(fig_data["x"])
        ax.set_ylabel(fig_data["y"])
        if all(y > 0 for s in fig_data["series"].values() for _, y in s):
            ax.set_yscale("log")
        ax.grid(True, which="both", alpha=0.3)
        ax.set_title(f"{table.family}: {title}")
        ax.legend(fontsize=8)
        fig.tight_layout()
        path = os.path.join(out_dir, f"{table.family}_{slug(title)}.png")
        fig.savefig(path, dpi=110)
        plt.close(fig)
        paths.append(path)
    return paths


def draw(table, module, out_dir):
    """Every figure of a family; its own plot(table, plt, out_dir) hook runs last."""
    plt = pyplot()
    os.makedirs(out_dir, exist_ok=True)
    paths = [p for p in [ratios(plt, table, out_dir)] if p] + curves(plt, table, out_dir)
    hook = getattr(module, "plot", None)
    if callable(hook):
        paths += list(hook(table, plt, out_dir) or [])
    return paths
