"""The few statistics the benchmark needs, on plain lists."""


def percentile(values, p):
    """Linear interpolation between the closest ranks: with 60 samples the
    99th percentile lies between the two largest instead of being the max."""
    if not values:
        raise ValueError("percentile of nothing")
    ordered = sorted(values)
    position = (len(ordered) - 1) * p / 100.0
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


def median(values):
    return percentile(values, 50)


def summary(values):
    return {"n": len(values), "median": median(values), "p99": percentile(values, 99),
            "max": max(values)}


def median_of_runs(runs):
    """Each key's median over the runs' summaries (the counts are summed)."""
    keys = runs[0].keys()
    merged = {key: median([run[key] for run in runs]) for key in keys}
    if "n" in merged:
        merged["n"] = sum(run["n"] for run in runs)
    return merged


def rate_between(samples, start, end):
    """Processor share over [start, end] from (time, cpu time) samples taken
    while the process ran: the first sample at or after start and the last
    at or before end, both in the same unit."""
    inside = [s for s in samples if start <= s[0] <= end]
    if len(inside) < 2 or inside[-1][0] <= inside[0][0]:
        return None
    (t0, c0), (t1, c1) = inside[0], inside[-1]
    return (c1 - c0) / (t1 - t0)
