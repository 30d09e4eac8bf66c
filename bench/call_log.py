"""Reads the virtual controller's call log and finds in it what the device
saw: motor pulses with their level, and how long each pass took from a
report's arrival to its LED report. Times stay in the log's microseconds."""

LED_LEVEL = {0x10: 1, 0x30: 2, 0x70: 3, 0xF0: 4}
HOME_BIT = 0x80  # in byte 2 of an input report


class Entry:
    __slots__ = ("t_us", "thread", "event", "args")

    def __init__(self, line):
        parts = line.split()
        self.t_us = int(parts[0])
        self.thread = parts[1]
        self.event = parts[2]
        self.args = parts[3:]

    def report_id(self):
        """The first byte of a write, or of a report a read delivered."""
        if self.event == "write":
            return int(self.args[0], 16)
        if self.is_report():
            return int(self.args[1], 16)
        return None

    def byte(self, index):
        offset = 0 if self.event == "write" else 1
        return int(self.args[offset + index], 16)

    def is_report(self):
        return self.event == "read-end" and self.args[:1] == ["ok"]


def parse(lines):
    return [Entry(line) for line in lines if line.strip()]


def load(path):
    with open(path) as f:
        return parse(f)


class Pulse:
    """One motor pulse: on at on_us, off at off_us, and the next pulse's on
    (None for the last one), which ends this pulse's off phase."""

    __slots__ = ("level", "on_us", "off_us", "next_on_us")

    def __init__(self, level, on_us, off_us):
        self.level = level
        self.on_us = on_us
        self.off_us = off_us
        self.next_on_us = None

    def on_length_us(self):
        return self.off_us - self.on_us

    def off_length_us(self):
        return None if self.next_on_us is None else self.next_on_us - self.off_us


def pulses(entries):
    """Every complete on/off pair, the level taken from the LED report sent
    last before it switched on."""
    found = []
    level = 0
    on_us = None
    for entry in entries:
        if entry.event != "write":
            continue
        report = entry.report_id()
        if report == 0x11:
            level = LED_LEVEL.get(entry.byte(1), 0)
        elif report == 0x13 and entry.byte(1) == 0x01:
            if found and found[-1].next_on_us is None:
                found[-1].next_on_us = entry.t_us
            on_us = entry.t_us
        elif report == 0x13 and entry.byte(1) == 0x00 and on_us is not None:
            found.append(Pulse(level, on_us, entry.t_us))
            on_us = None
    return found


def by_level(found):
    levels = {}
    for pulse in found:
        levels.setdefault(pulse.level, []).append(pulse)
    return levels


def report_to_led_us(entries, thread="main"):
    """For each report the loop read, the time until the LED report of the
    same pass. The Home report ends the loop, so it has none."""
    delays = []
    arrived = None
    for entry in entries:
        if entry.thread != thread:
            continue
        if entry.event == "read-end":
            arrived = None
            if entry.is_report() and not entry.byte(2) & HOME_BIT:
                arrived = entry.t_us
        elif entry.event == "write" and entry.report_id() == 0x11 and arrived is not None:
            delays.append(entry.t_us - arrived)
            arrived = None
    return delays


def ready_read_us(entries, thread="main"):
    """How long each read took, from its call to the report handed back."""
    took = []
    began = None
    for entry in entries:
        if entry.thread != thread:
            continue
        if entry.event == "read-begin":
            began = entry.t_us
        elif entry.is_report() and began is not None:
            took.append(entry.t_us - began)
            began = None
    return took


def first_write_us(entries):
    for entry in entries:
        if entry.event == "write":
            return entry.t_us
    return None


def loop_reports_us(entries, thread="main"):
    """Arrival times of the reports the given thread read."""
    return [e.t_us for e in entries if e.thread == thread and e.is_report()]


def press_latencies_us(entries, bit, thread="main"):
    """Each streamed press of the button with this bit in byte 2, as
    (level, microseconds from its arrival to the LED report of the pass that
    took it); level and time are None for a press no read handed out."""
    found = []
    waiting = []  # presses arrived and not yet handed out, oldest first
    taken = None
    for entry in entries:
        if entry.event == "arrive":
            pressed = int(entry.args[3], 16) & bit
            if pressed:
                waiting.append((int(entry.args[0].split("=")[1]), entry.args[1:]))
        elif entry.thread != thread:
            continue
        elif entry.is_report():
            taken = None
            if waiting and entry.args[1:] == waiting[0][1]:
                taken = waiting.pop(0)[0]
        elif entry.event == "write" and entry.report_id() == 0x11 and taken is not None:
            found.append((LED_LEVEL.get(entry.byte(1), 0), entry.t_us - taken))
            taken = None
    found += [(None, None)] * len(waiting)
    return found
