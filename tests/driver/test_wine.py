"""What only the Windows program has: a layout Windows draws at the
monitor's density, asked of Windows control by control."""

import pytest

pytestmark = pytest.mark.wine


@pytest.mark.parametrize("program", ["wine"], indirect=True)
def test_layout_follows_the_dpi(program):
    """At 144 dpi every control is three halves as large and as far from the
    window's corner as at 96 (to a pixel of rounding): it is laid out in
    twips."""
    layouts = []
    for dpi in (96, 144):
        if dpi != 96:
            program.set_dpi(dpi)
        dovo = program.start()
        layouts.append([(c[0], *map(int, c[1:5])) for c in program.controls()])
        assert dovo.close() == 0
    at96, at144 = layouts
    assert [c[0] for c in at144] == [c[0] for c in at96] and at96
    off = [(a, b) for a, b in zip(at96, at144)
           if any(abs(2 * m - 3 * n) > 3 for n, m in zip(a[1:], b[1:]))]
    assert not off, "controls not scaled by 1.5: (at 96, at 144)"
