"""Writes the benchmark's Markdown table and the data the plot is drawn from."""

import os

import call_log
from figures import LEVELS, TARGET_MS


def _us(value):
    return "%+.0f" % value


def _share(value):
    return "n/a" if value is None else "%.1f %%" % (100 * value)


def phase_table(busy, sleeping):
    rows = [
        "| Level | Phase | Target | Busy-wait median | p99 | max | Sleeping median | p99 | max |",
        "| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |",
    ]
    for level in LEVELS:
        for phase, target in zip(("on", "off"), TARGET_MS[level]):
            key = "%d-%s" % (level, phase)
            b, s = busy["phases"][key], sleeping["phases"][key]
            rows.append("| %d | %s | %d ms | %s | %s | %s | %s | %s | %s |" % (
                level, phase, target, _us(b["median"]), _us(b["p99"]), _us(b["max"]),
                _us(s["median"]), _us(s["p99"]), _us(s["max"])))
    return rows


def cpu_table(busy, sleeping, idle):
    header = "| Wait | level 0, waiting for reports | " + " | ".join(
        "level %d" % level for level in LEVELS) + " |"
    rows = [header, "| --- | ---: |" + " ---: |" * len(LEVELS)]
    rows.append("| busy-wait (the program) | %s | %s |" % (
        _share(idle["cpu"]), " | ".join(_share(busy["cpu"].get(level)) for level in LEVELS)))
    rows.append("| sleeping (bench driver) | — | %s |" % " | ".join(
        _share(sleeping["cpu"].get(level)) for level in LEVELS))
    return rows


def other_table(busy, idle, program):
    rows = ["| Figure | median | p99 | max |", "| --- | ---: | ---: | ---: |"]
    for label, s in (
            ("report arrival → LED report, pulsing (µs)", busy["report_to_led"]),
            ("report arrival → LED report, waiting at level 0 (µs)", idle["report_to_led"]),
            ("virtual controller's read of a waiting report (µs)", busy["ready_read"])):
        rows.append("| %s | %.0f | %.0f | %.0f |" % (label, s["median"], s["p99"], s["max"]))
    rows.append("| spawn → first report sent (ms) | %.2f | | |" % program["start_to_first_write_ms"])
    rows.append("| peak resident memory, VmHWM (KiB) | %d | | |" % program["peak_kib"])
    return rows


def streaming_table(streaming):
    rows = ["| Level | press → LED report median (ms) | p99 | max | off phase, report waiting: "
            "median (µs) | p99 | max |",
            "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for level in [0] + LEVELS:
        p = streaming["latency"][level]
        o = streaming["ready_off"].get(level)
        off = "— | — | —" if o is None else "%s | %s | %s" % (
            _us(o["median"]), _us(o["p99"]), _us(o["max"]))
        rows.append("| %d | %.1f | %.1f | %.1f | %s |" % (
            level, p["median"] / 1000, p["p99"] / 1000, p["max"] / 1000, off))
    return rows


def markdown(busy, sleeping, idle, streaming, program, setup, machine):
    lines = [
        "# Pulse precision and cost",
        "",
        "Measured at the HID library boundary: the virtual controller's call log",
        "timestamps every `WriteReport`/`ReadReport` in microseconds (CLOCK_MONOTONIC).",
        "The log is a file on tmpfs written through a shared mapping, so that logging",
        "a call costs the timed phases no system call.",
        "",
        "Machine: %s, %s cores, Linux %s, %s. Build: %s." % (
            machine["cpu"], machine["cores"], machine["kernel"], machine["date"],
            machine["build_type"]),
        "One-minute load average: %s the benchmark (its own busy-wait counts)." %
        machine["load"],
        "The machine is shared: where the busy-wait's processor share below falls",
        "well under 100 %, the program was preempted and its phases stretched by",
        "whole scheduler slices.",
        "",
        "Every figure is the median over %d runs of that run's own figure." % setup["runs"],
        "",
        "## Phase lengths: measured minus target (µs)",
        "",
        "%d pulses per level per run (%d in all per level). On phase: `13 01` to `13 00`;"
        % (setup["pulses_per_level"], setup["pulses_per_level"] * setup["runs"]),
        "off phase: `13 00` to the next `13 01`, so it also holds the next pass's",
        "read and LED report. Busy-wait is the program itself; sleeping is",
        "`bench/sleeping_pulses.cpp`, the same pass with `clock_nanosleep` on absolute",
        "CLOCK_MONOTONIC deadlines, through the same library.",
        "",
    ]
    lines += phase_table(busy, sleeping)
    lines += [
        "",
        "## Processor time (share of one core: user + system time / wall time)",
        "",
        "Program: scheduler run time of its threads (%s), sampled every 20 ms," %
        setup["cpu_source"],
        "over each level's pulses; at level 0 over %d reports %d ms apart." % (
            setup["idle_reports"], setup["idle_every_ms"]),
        "Driver: its own CLOCK_PROCESS_CPUTIME_ID over each level's pulses.",
        "",
    ]
    lines += cpu_table(busy, sleeping, idle)
    lines += [
        "",
        "## Presses under a 100 Hz stream",
        "",
        "The virtual controller streams a report every 10 ms (±3 ms), read or not, as a",
        "controller in a hand does, and the program's reads take them through the real",
        "library's read policy. At each level %d presses of B (a button the program" %
        setup["presses_per_level"],
        "ignores, so the level stays), half held 150 ms and half 40 ms taps, at varying",
        "points of the pulse: from the press's arrival to the LED report of the pass",
        "that took it. Presses lost: %d of %d. Off phase: `13 00` to the next `13 01`," % (
            streaming["lost"], streaming["presses"]),
        "minus its target, when the next pass's report is already waiting: the key",
        "check, the read and the LED report.",
        "",
    ]
    lines += streaming_table(streaming)
    lines += ["", "## Response and footprint of the program", ""]
    lines += other_table(busy, idle, program)
    lines += [
        "",
        "The busy-wait times each phase from its own start, so every off phase also",
        "carries the next pass: the read (in the virtual controller a wake-up from",
        "`clock_nanosleep`, the row above) and the LED report. The sleeping driver",
        "waits for absolute deadlines and absorbs that time into its off phase.",
        "",
        "Peak memory is the kernel's high-water mark of the program's resident set,",
        "read from `/proc/<pid>/status` while it runs; ru_maxrss from `wait4` is",
        "%d KiB here but counts the Python image the child ran in before its exec." %
        program["maxrss_kib"],
        "",
        "![Motor signal per level](pulses.png)",
        "",
    ]
    return "\n".join(lines)


def _steps(shown, origin_us):
    """(ms, 0/1) corners of the motor signal over the shown pulses."""
    points = [(-10.0, 0)]
    for pulse in shown:
        on = (pulse.on_us - origin_us) / 1000
        off = (pulse.off_us - origin_us) / 1000
        points += [(on, 0), (on, 1), (off, 1), (off, 0)]
    points.append(((shown[-1].next_on_us - origin_us) / 1000, 0))
    return points


def plot_data(folder, busy_entries, sleeping_entries, shown=3):
    """Per level: a few pulses from the middle of one busy-wait run and one
    sleeping run, each from its first shown switch-on, and the target edges."""
    os.makedirs(folder, exist_ok=True)
    for name, entries in (("busy", busy_entries), ("sleeping", sleeping_entries)):
        levels = call_log.by_level(call_log.pulses(entries))
        for level in LEVELS:
            found = levels[level]
            first = len(found) // 2 - shown // 2
            picked = found[first:first + shown]
            with open(os.path.join(folder, "%s_%d.dat" % (name, level)), "w") as f:
                for t, value in _steps(picked, picked[0].on_us):
                    f.write("%.3f %d\n" % (t, value))
    for level in LEVELS:
        on, off = TARGET_MS[level]
        with open(os.path.join(folder, "target_%d.dat" % level), "w") as f:
            for k in range(shown):
                f.write("%d\n%d\n" % (k * (on + off), k * (on + off) + on))
            f.write("%d\n" % (shown * (on + off)))
