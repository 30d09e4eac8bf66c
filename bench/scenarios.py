"""The scenarios the benchmark plays on the virtual controller."""

# A report 0x31 with the given button bytes and the accelerometer at rest.
def report(b1=0x00, b2=0x00):
    return "31 %02x %02x 80 80 80" % (b1, b2)


RELEASED = report()
A = report(b2=0x08)
PLUS = report(b1=0x10)
HOME = report(b2=0x80)
# B does nothing in the program, so its presses can be timed at any level
# without changing it.
B_BIT = 0x04
B = report(b2=B_BIT)

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


def stream(text, ms, period_ms=10, jitter_ms=3):
    """The controller sending text every period_ms for ms, whether read or not."""
    return "stream %d %d %s *%d" % (period_ms, jitter_ms, text, max(1, ms // period_ms))


def streaming(presses_per_level, seed=1):
    """A 100 Hz stream, as a controller in a hand gives, with presses of B at
    every level from 0 to 4: half held 150 ms, half 40 ms taps, with pauses of
    varying length so that they land at every point of a pulse. A and + bring
    the level up between the rounds."""
    import random
    rng = random.Random(seed)
    steps = [PROBE, stream(RELEASED, 300)]
    for level in range(5):
        if level == 1:
            steps += [stream(A, 150), stream(RELEASED, 300)]
        elif level > 1:
            steps += [stream(PLUS, 150), stream(RELEASED, 300)]
        for press in range(presses_per_level):
            steps += [stream(B, 150 if press % 2 == 0 else 40),
                      stream(RELEASED, rng.randrange(160, 340, 10))]
    steps.append(stream(HOME, 100))
    return lines(*steps)
