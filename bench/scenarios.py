"""The scenarios the benchmark plays on the virtual controller."""

# A report 0x31 with the given button bytes and the accelerometer at rest.
def report(b1=0x00, b2=0x00):
    return "31 %02x %02x 80 80 80" % (b1, b2)


RELEASED = report()
A = report(b2=0x08)
PLUS = report(b1=0x10)
HOME = report(b2=0x80)

# The probe's reader needs one live report within its 100 ms window.
PROBE = "read 20 " + RELEASED


def read(delay_ms, text, times=1):
    return "read %d %s%s" % (delay_ms, text, " *%d" % times if times > 1 else "")


def lines(*steps):
    return "\n".join(steps) + "\n"


def pulsing(per_level):
    """A to level 1, then + three times, each press followed by per_level
    passes with every button up; reports come at once, so each pass is one
    read and one pulse. Each level gets per_level + 1 pulses."""
    steps = [PROBE, read(0, A), read(0, RELEASED, per_level)]
    for _ in range(3):
        steps += [read(0, PLUS), read(0, RELEASED, per_level)]
    steps.append(read(0, HOME))
    return lines(*steps)


def idle(reports, every_ms=100):
    """The loop at level 0, waiting for reports that come every every_ms."""
    return lines(PROBE, read(every_ms, RELEASED, reports), read(every_ms, HOME))


def sleeping_driver(per_level):
    """The sleeping-wait driver reads once per pass, four levels' worth."""
    return lines(read(0, RELEASED, 4 * per_level))
