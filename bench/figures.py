"""Turns finished runs into the benchmark's figures, one dict per run, and
merges several runs of a kind into their medians."""

import call_log
import stats

TARGET_MS = {1: (30, 70), 2: (50, 50), 3: (75, 25), 4: (99, 1)}
LEVELS = sorted(TARGET_MS)


def phase_overshoots_us(pulses):
    """Per level, measured minus target length of every on and off phase."""
    overshoots = {}
    for level, found in call_log.by_level(pulses).items():
        if level not in TARGET_MS:
            continue
        on_ms, off_ms = TARGET_MS[level]
        on = [p.on_length_us() - on_ms * 1000 for p in found]
        off = [p.off_length_us() - off_ms * 1000 for p in found if p.next_on_us is not None]
        overshoots[level] = {"on": on, "off": off}
    return overshoots


def phase_summaries(pulses, least):
    overshoots = phase_overshoots_us(pulses)
    missing = [level for level in LEVELS if level not in overshoots]
    if missing:
        raise RuntimeError("no pulses at level %s" % missing)
    summaries = {}
    for level, phases in overshoots.items():
        for phase, values in phases.items():
            if len(values) < max(least, 1):
                raise RuntimeError("level %d has only %d %s phases" % (level, len(values), phase))
            summaries["%d-%s" % (level, phase)] = stats.summary(values)
    return summaries


def level_windows_us(pulses):
    """From each level's first switch-on to its last: whole pulses only."""
    windows = {}
    for level, found in call_log.by_level(pulses).items():
        windows[level] = (found[0].on_us, found[-1].on_us)
    return windows


def busy_run(run, least):
    pulses = call_log.pulses(run.entries)
    cpu = {}
    for level, (start, end) in level_windows_us(pulses).items():
        cpu[level] = stats.rate_between(run.samples, start, end)
    return {
        "phases": phase_summaries(pulses, least),
        "cpu": cpu,
        "report_to_led": stats.summary(call_log.report_to_led_us(run.entries)),
        "ready_read": stats.summary(call_log.ready_read_us(run.entries)),
        "start_to_first_write_ms": (call_log.first_write_us(run.entries) - run.spawn_us) / 1000,
        "peak_kib": run.peak_kib,
        "maxrss_kib": run.usage.ru_maxrss,
        "whole_run_cpu": (run.usage.ru_utime + run.usage.ru_stime) / run.wall_s,
    }


def driver_cpu(stdout):
    """The driver's own account: level <n> pulses=.. wall_us=.. cpu_us=.."""
    cpu = {}
    for line in stdout.splitlines():
        parts = line.split()
        if len(parts) == 5 and parts[0] == "level":
            fields = dict(part.split("=") for part in parts[2:])
            cpu[int(parts[1])] = int(fields["cpu_us"]) / int(fields["wall_us"])
    return cpu


def sleeping_run(run, least):
    return {
        "phases": phase_summaries(call_log.pulses(run.entries), least),
        "cpu": driver_cpu(run.stdout),
    }


def idle_run(run):
    arrivals = call_log.loop_reports_us(run.entries)
    return {
        "cpu": stats.rate_between(run.samples, arrivals[0], arrivals[-1]),
        "report_to_led": stats.summary(call_log.report_to_led_us(run.entries)),
        "start_to_first_write_ms": (call_log.first_write_us(run.entries) - run.spawn_us) / 1000,
        "peak_kib": run.peak_kib,
        "maxrss_kib": run.usage.ru_maxrss,
    }


def streaming_run(run):
    """Press latency per level and the off phases of pulses whose next pass
    found its report already waiting (under a 100 Hz stream, every pulse's)."""
    import scenarios
    presses = call_log.press_latencies_us(run.entries, scenarios.B_BIT)
    latency = {}
    for level, us in presses:
        if level is not None:
            latency.setdefault(level, []).append(us)
    off = {level: stats.summary(phases["off"])
           for level, phases in phase_overshoots_us(call_log.pulses(run.entries)).items()}
    return {
        "latency": {level: stats.summary(values) for level, values in sorted(latency.items())},
        "presses": len(presses),
        "lost": sum(1 for level, _ in presses if level is None),
        "ready_off": off,
    }


def merge(runs):
    """Medians over runs, key by key, down the nested dicts."""
    first = runs[0]
    if isinstance(first, dict):
        if set(first) >= {"n", "median", "p99", "max"}:
            return stats.median_of_runs(runs)
        return {key: merge([run[key] for run in runs]) for key in first}
    present = [run for run in runs if run is not None]
    return stats.median(present) if present else None
