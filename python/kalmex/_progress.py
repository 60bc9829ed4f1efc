"""How far a segmentation is, for the ``progress`` argument of the segmentations.

A run tells its stage (``"grouping"``, ...) and how far the whole run is, 0
to 1, at the start of each stage, every 50 ms or so between, and once more
with 1 at its end.  ``progress=True`` draws that as a bar on standard error:
tqdm's when tqdm is installed, else one line that is written over as it
changes.  Nothing goes to standard output.
"""

from __future__ import annotations

import sys
from typing import Any, Callable, Optional

Report = Callable[[str, float], Any]


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
        if tqdm is not None:
            self._bar = tqdm(
                total=self._STEPS,
                desc=label,
                file=sys.stderr,
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
