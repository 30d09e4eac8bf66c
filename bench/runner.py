"""Runs one process against the virtual controller and keeps what the
benchmark needs from it: the call log, its resource usage from wait4, the
spawn time, and processor-time samples taken while it ran."""

import glob
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

import call_log

SAMPLE_EVERY_S = 0.02
CLOCK_TICK_S = 1.0 / os.sysconf("SC_CLK_TCK")


def _schedstat_cpu_s(pid):
    """Time on a processor of the process's live threads, in nanoseconds
    from the scheduler: far finer than the clock ticks of /proc/<pid>/stat.
    A thread that has ended drops out, so only differences taken while the
    same threads run mean anything."""
    paths = glob.glob("/proc/%d/task/*/schedstat" % pid)
    if not paths:
        raise OSError("process %d is gone" % pid)
    total = 0
    for path in paths:
        with open(path) as f:
            total += int(f.read().split()[0])
    return total / 1e9


def _stat_cpu_s(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * CLOCK_TICK_S


if os.path.exists("/proc/self/schedstat"):
    READ_CPU_S, CPU_SOURCE = _schedstat_cpu_s, "/proc/<pid>/task/*/schedstat"
else:
    READ_CPU_S, CPU_SOURCE = _stat_cpu_s, "/proc/<pid>/stat (clock ticks)"


def _peak_resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise OSError("process %d has no memory left" % pid)


def _sample(pid, result, done):
    """(monotonic µs, processor µs) pairs and the resident high-water mark,
    until the process is reaped."""
    while not done.is_set():
        try:
            cpu = READ_CPU_S(pid)
            peak = _peak_resident_kib(pid)
        except (OSError, ValueError, IndexError):
            return
        result.samples.append((time.monotonic() * 1e6, cpu * 1e6))
        result.peak_kib = max(result.peak_kib, peak)
        time.sleep(SAMPLE_EVERY_S)


class Run:
    """What one finished run left behind."""

    def __init__(self):
        self.entries = []
        self.samples = []
        # VmHWM: ru_maxrss of a child spawned from Python also counts the
        # Python image the child ran in until its exec.
        self.peak_kib = 0
        self.spawn_us = 0.0
        self.wall_s = 0.0
        self.usage = None
        self.status = None
        self.stdout = ""
        self.stderr = ""


# The call log is the instrument: kept in memory (tmpfs) and written through a
# mapping of the file, so that logging a call costs the timed phases no system
# call (see virtual_remote/virtual_os_posix.cpp).
LOG_DIR = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None


def run(command, scenario, library_dir, timeout_s):
    folder = tempfile.mkdtemp(prefix="quivertap-bench-", dir=LOG_DIR)
    script = os.path.join(folder, "scenario.txt")
    log_path = os.path.join(folder, "calls.log")
    with open(script, "w") as f:
        f.write(scenario)
    env = dict(os.environ)
    env.pop("VIRTUAL_REMOTE_SHOW", None)
    env.update(LD_LIBRARY_PATH=library_dir, VIRTUAL_REMOTE_SCRIPT=script,
               VIRTUAL_REMOTE_LOG=log_path, VIRTUAL_REMOTE_LOG_MAPPED="1")
    result = Run()
    out_path = os.path.join(folder, "stdout")
    err_path = os.path.join(folder, "stderr")
    with open(out_path, "w") as out, open(err_path, "w") as err:
        result.spawn_us = time.monotonic() * 1e6
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                   env=env)
    done = threading.Event()
    sampler = threading.Thread(target=_sample, args=(process.pid, result, done))
    sampler.start()
    killer = threading.Timer(timeout_s, os.kill, (process.pid, signal.SIGKILL))
    killer.start()
    _, status, result.usage = os.wait4(process.pid, 0)
    result.wall_s = time.monotonic() - result.spawn_us / 1e6
    killer.cancel()
    done.set()
    sampler.join()
    process.returncode = os.waitstatus_to_exitcode(status)
    result.status = process.returncode
    with open(out_path) as f:
        result.stdout = f.read()
    with open(err_path) as f:
        result.stderr = f.read()
    if os.path.exists(log_path):
        result.entries = call_log.load(log_path)
    shutil.rmtree(folder, ignore_errors=True)
    if result.status != 0:
        raise RuntimeError("%s ended with %d: %s" % (command[0], result.status, result.stderr))
    return result
