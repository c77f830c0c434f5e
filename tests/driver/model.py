"""What Dovo should have counted and shown, from the counting rules alone, for both programs."""

import math
from dataclasses import dataclass

BLOCK = 567000  # twips in one block, the unit of totalmpixels


@dataclass
class Ledger:
    twips: int = 0  # totalpixels
    blocks: int = 0  # totalmpixels
    at: tuple = None  # where the pointer was last sampled
    f: float = 15.0  # twips per pixel at 96 dpi

    def move(self, x, y):
        """One sampled move from where the pointer last was to (x, y)."""
        (x0, y0), self.at = self.at, (x, y)
        dx, dy = abs(x - x0), abs(y - y0)
        # Python's round() and the program's conversion both round half to even; the diagonal is floored
        # before it is added.
        if dx == 0 or dy == 0:
            self.twips = round(self.f * (dx + dy) + self.twips)
        else:
            self.twips = math.floor(math.sqrt((self.f * dx) ** 2 + (self.f * dy) ** 2)) + self.twips
        # strictly above, and one block per sample at most
        if self.twips > BLOCK:
            self.blocks += 1
            self.twips -= BLOCK

    def reset(self):
        self.twips = self.blocks = 0


def number_text(value, separator="."):
    if abs(value) < 1e15 and value == math.floor(value):
        return str(int(value))
    return ("%.15g" % value).replace(".", separator)


def readouts(twips, blocks, separator="."):
    """The three readouts, centimetres, metres and kilometres."""
    t, b = float(twips), float(blocks)
    cm = math.floor(t / 567 + float(blocks * 1000))
    m = math.floor(t / 56700 + float(blocks * 10))
    km = round((b / 100 + t / 56700000 - 0.005) * 100) / 100
    return tuple(number_text(v, separator) + unit for v, unit in ((cm, " cm"), (m, " m"), (km, " km")))


def settled(ledger):
    """The ledger once Dovo's ticks at rest carried every block: one a tick, each sampling a still pointer."""
    while ledger.twips > BLOCK:
        ledger.move(*ledger.at)
    return ledger
