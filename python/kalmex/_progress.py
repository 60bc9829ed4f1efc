"""How far a segmentation is, for the ``progress`` argument of the segmentations.

A run tells its stage (``"grouping"``, ...) and how far the whole run is, 0
to 1, at the start of each stage, every 50 ms or so between, and once more
with 1 at its end.  ``progress=True`` draws that as a bar on standard error:
tqdm's when tqdm is installed and the width of standard error is known (or
it is not a terminal), else one line that is written over as it changes,
the percentage and the stage.  Nothing goes to standard output.
"""

from __future__ import annotations

import os
import sys
from typing import Any, Callable, Optional

Report = Callable[[str, float], Any]


def _columns(stream: Any) -> Optional[int]:
    """The width of the terminal that stream writes to, as tqdm finds it
    (the terminal's own, else COLUMNS less one), or None when neither
    tells; 0 for a terminal that says it has no width."""
    try:
        return os.get_terminal_size(stream.fileno()).columns
    except (AttributeError, ValueError, OSError):
        pass
    try:
        return int(os.environ["COLUMNS"]) - 1
    except (KeyError, ValueError):
        return None


class Bar:
    """A bar on standard error; ``bar(stage, done)`` draws it, ``close()`` ends it."""

    _STEPS = 1000

    def __init__(self, label: str) -> None:
        try:
            from tqdm import tqdm
        except ImportError:
            tqdm = None
        self._label = label
        self._line = ""
        self._bar = None
        columns = _columns(sys.stderr)
        # tqdm draws no bar at a width of 0 (nor any below a few columns)
        # but its count of steps and their rate, which mean nothing here.
        if tqdm is not None and (columns is None or columns >= 20):
            self._bar = tqdm(
                total=self._STEPS,
                desc=label,
                file=sys.stderr,
                ncols=columns,
                bar_format="{desc}: {percentage:3.0f}%|{bar}| [{elapsed}<{remaining}]{postfix}",
            )

    def __call__(self, stage: str, done: float) -> None:
        if self._bar is not None:
            self._bar.set_postfix_str(stage, refresh=False)
            self._bar.update(int(done * self._STEPS) - self._bar.n)
            return
        line = "%s: %3d%% %s" % (self._label, int(done * 100), stage)
        # Spaces over what is left of a longer line before.
        sys.stderr.write("\r" + line.ljust(len(self._line)))
        sys.stderr.flush()
        self._line = line

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
        elif self._line:
            sys.stderr.write("\n")
            sys.stderr.flush()


def run(progress: Any, label: str, call: Callable[[Optional[Report]], Any]) -> Any:
    """``call(report)``: report is progress itself when it is callable, a bar
    labelled label when it is true, None when it is false.  The bar is closed
    however the call ends; an exception the call raised (one of the bar's
    own too) is the one that comes out."""
    if callable(progress):
        return call(progress)
    if not progress:
        return call(None)
    bar = Bar(label)
    try:
        result = call(bar)
    except BaseException:
        try:
            bar.close()
        except Exception:
            pass  # the call's own exception is the one to see
        raise
    bar.close()
    return result
