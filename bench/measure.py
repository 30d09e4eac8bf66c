"""Runs the program and the sleeping-wait driver against the virtual
controller several times, then writes results.md, results.json and
pulses.png into the output folder.

  measure.py --build <build dir> --driver <sleeping_pulses> --out <folder>
"""

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys

import figures
import report
import runner
import scenarios


def machine(build):
    cpu = "unknown processor"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    build_type = "unknown"
    cache = os.path.join(build, "CMakeCache.txt")
    if os.path.exists(cache):
        with open(cache) as f:
            for line in f:
                if line.startswith("CMAKE_BUILD_TYPE:"):
                    build_type = line.split("=", 1)[1].strip() or "none"
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "kernel": platform.release(),
        "date": datetime.date.today().isoformat(),
        "build_type": build_type,
    }


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--per-level", type=int, default=60)
    parser.add_argument("--idle-reports", type=int, default=30)
    parser.add_argument("--presses", type=int, default=30)
    args = parser.parse_args()

    program = os.path.join(args.build, "bin", "quivertap")
    library = os.path.join(args.build, "virtual_remote")
    # Each level gets per_level + 1 pulses from the program (the press's pass
    # pulses too); the driver is given the same number.
    pulses = args.per_level + 1
    least = min(50, args.per_level)
    pulse_s = 4 * pulses * 0.1
    load_before = load_average()
    busy, sleeping, idle, streaming = [], [], [], []
    stream_s = 5 * args.presses * 0.35 + 3
    busy_entries = sleeping_entries = None
    # Kinds take turns, so that a noisy neighbour spreads over all of them.
    for number in range(1, args.runs + 1):
        print("bench: run %d of %d: busy-wait (%.0f s)" % (number, args.runs, pulse_s),
              flush=True)
        run = runner.run([program], scenarios.pulsing(args.per_level), library,
                         timeout_s=pulse_s * 3 + 10)
        busy.append(figures.busy_run(run, least))
        busy_entries = busy_entries or run.entries
        print("bench: run %d of %d: sleeping wait (%.0f s)" % (number, args.runs, pulse_s),
              flush=True)
        run = runner.run([args.driver, str(pulses)], scenarios.sleeping_driver(pulses), library,
                         timeout_s=pulse_s * 3 + 10)
        sleeping.append(figures.sleeping_run(run, least))
        sleeping_entries = sleeping_entries or run.entries
        print("bench: run %d of %d: waiting at level 0 (%.0f s)" % (
            number, args.runs, args.idle_reports * 0.1), flush=True)
        run = runner.run([program], scenarios.idle(args.idle_reports), library,
                         timeout_s=args.idle_reports * 0.3 + 10)
        idle.append(figures.idle_run(run))
        print("bench: run %d of %d: presses under a 100 Hz stream (%.0f s)" % (
            number, args.runs, stream_s), flush=True)
        run = runner.run([program], scenarios.streaming(args.presses, seed=number), library,
                         timeout_s=stream_s * 3 + 10)
        streaming.append(figures.streaming_run(run))

    setup = {"runs": args.runs, "pulses_per_level": pulses, "idle_reports": args.idle_reports,
             "presses_per_level": args.presses,
             "idle_every_ms": 100, "cpu_source": runner.CPU_SOURCE}
    where = machine(args.build)
    where["load"] = "%.2f before, %.2f after" % (load_before, load_average())
    merged = {"busy": figures.merge(busy), "sleeping": figures.merge(sleeping),
              "idle": figures.merge(idle), "streaming": figures.merge(streaming)}
    # Presses add up over the runs: one lost in any run counts.
    for key in ("presses", "lost"):
        merged["streaming"][key] = sum(run[key] for run in streaming)
    everything = busy + idle
    merged["program"] = {key: figures.merge([run[key] for run in everything])
                         for key in ("start_to_first_write_ms", "peak_kib", "maxrss_kib")}
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump({"machine": where, "setup": setup, "median": merged,
                   "runs": {"busy": busy, "sleeping": sleeping, "idle": idle,
                            "streaming": streaming}}, f, indent=1,
                  default=str)
    with open(os.path.join(args.out, "results.md"), "w") as f:
        f.write(report.markdown(merged["busy"], merged["sleeping"], merged["idle"],
                                merged["streaming"], merged["program"], setup, where))

    data = os.path.join(args.out, "plot-data")
    report.plot_data(data, busy_entries, sleeping_entries)
    label = "%s, %s cores, Linux %s, %s" % (where["cpu"], where["cores"], where["kernel"],
                                             where["date"])
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pulses.gp")
    subprocess.run(["gnuplot", "-e", "data='%s'; output='%s'; machine='%s'" % (
        data, os.path.join(args.out, "pulses.png"), label.replace("'", "")), script],
        check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
