"""What Dovo should have counted and what it should show, worked out from
the counting rules alone, for every scenario and both programs."""

import math
from dataclasses import dataclass

BLOCK = 567000  # twips in one block, the unit of totalmpixels
TWIPS_PER_PIXEL_96DPI = 15.0


@dataclass
class Ledger:
    twips: int = 0  # totalpixels
    blocks: int = 0  # totalmpixels
    at: tuple = None  # where the pointer was last sampled
    f: float = TWIPS_PER_PIXEL_96DPI

    def move(self, x, y):
        """One sampled move from where the pointer last was to (x, y)."""
        (x0, y0), self.at = self.at, (x, y)
        dx, dy = abs(x - x0), abs(y - y0)
        # Python's round() and the program's conversion both round half to
        # even; the diagonal is floored before it is added.
        if dx == 0:
            self.twips = round(self.f * dy + self.twips)
        elif dy == 0:
            self.twips = round(self.f * dx + self.twips)
        else:
            self.twips = math.floor(math.sqrt((self.f * dx) ** 2 + (self.f * dy) ** 2)) + self.twips
        # strictly above, and one block per sample at most
        if self.twips > BLOCK:
            self.blocks += 1
            self.twips -= BLOCK

    def reset(self):
        self.twips = self.blocks = 0


def number_text(value, separator="."):
    if value == 0:
        return "0"
    if abs(value) < 1e15 and value == math.floor(value):
        return str(int(value))
    return ("%.15g" % value).replace(".", separator)


def readouts(twips, blocks, separator="."):
    """The three readouts, centimetres, metres and kilometres."""
    t, b = float(twips), float(blocks)
    cm = math.floor(t / 567 + float(blocks * 1000))
    m = math.floor(t / 56700 + float(blocks * 10))
    km = round((b / 100 + t / 56700000 - 0.005) * 100) / 100
    return (number_text(cm, separator) + " cm", number_text(m, separator) + " m",
            number_text(km, separator) + " km")


def settled(ledger):
    """The ledger once Dovo's ticks at rest have carried every block they
    carry: one a tick, each a sample of a pointer that stayed."""
    while ledger.twips > BLOCK:
        ledger.move(*ledger.at)
    return ledger
