"""The report's chart: showings per hour per ad above, bars running per hour
below, each publish and rollback marked on both. matplotlib (Debian's
python3-matplotlib); PNG or SVG by the file's ending. 1200x700 pixels at 100 dpi.
"""
import datetime

from adset import ADS, Failed, journal

WIDTH, HEIGHT, DPI = 12, 7, 100


def draw(path, clock, hourly, bars, entries):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.dates as mdates
        import matplotlib.pyplot as plt
    except ImportError:
        raise Failed("--chart needs matplotlib (Debian: apt-get install python3-matplotlib)")
    at = lambda t: datetime.datetime.fromtimestamp(t, clock.tz)
    hours = sorted(set(hourly) | set(bars))
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(WIDTH, HEIGHT), dpi=DPI,
                                      gridspec_kw={"height_ratios": (3, 1)})
    # Each hour drawn as a step to its end: the last one repeated at the hour after it.
    x = [at(h) for h in hours + hours[-1:]]
    x[-1:] = [x[-1] + datetime.timedelta(hours=1)] if hours else []
    if hours:
        series = [[hourly.get(h, [0] * ADS)[ad] for h in hours + hours[-1:]] for ad in range(ADS)]
        top.stackplot(x, series, labels=[f"vtl_{ad + 1}" for ad in range(ADS)], step="post",
                      colors=plt.get_cmap("tab20").colors[:ADS])
        bottom.step(x, [bars.get(h, 0) for h in hours + hours[-1:]], where="post", color="black")
        top.legend(loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize="small", title="ad")
    top.set_ylabel("showings per hour")
    bottom.set_ylabel("bars running")
    bottom.set_ylim(bottom=0)
    for e in entries:
        t = at(journal.parse_time(e["time"]).timestamp())
        if not x or not x[0] <= t <= x[-1]:
            continue
        style = {"color": "tab:red", "linestyle": "--"} if e["action"] == "rollback" else {"color": "tab:green"}
        for ax in (top, bottom):
            ax.axvline(t, linewidth=1, **style)
        top.annotate(f"{e['action']} {e['set']}", (t, 1), xycoords=("data", "axes fraction"), rotation=90,
                     va="top", ha="right", fontsize="small", color=style["color"])
    bottom.xaxis.set_major_formatter(mdates.DateFormatter("%m-%d %H:%M", tz=clock.tz))
    bottom.set_xlabel(f"hour ({clock.name})")
    fig.autofmt_xdate()
    fig.tight_layout()
    try:
        fig.savefig(path, dpi=DPI)
    except OSError as e:
        raise Failed(f"{path}: cannot write the chart: {e.strerror}")
    finally:
        plt.close(fig)
