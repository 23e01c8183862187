"""What every update does between selecting its instruments and running its jobs.

The module's drivers (`corvane.bundle`) and the reporting run (`corvane.run`)
both take these steps from here, so the two print the same start line and
make the tick directory at the same moment.
"""
import os
import reprlib

# The start lines, by kind: the number of instruments and an abbreviated set.
START_LINES = {
    "minbar": "开始更新 {} 只标的的分钟线数据：{}",
    "tick": "开始更新 {} 只标的的tick数据：{}",
}


def announce(echo, kind, path, chosen):
    """Make the tick directory, then print the start line of `chosen` with `echo`.

    After a selection that succeeded, so that a failed one leaves no
    directory behind, and before any worker starts, so that the workers
    find it in place.  A minute-bar run makes none: its jobs make their
    sub-directories.
    """
    if kind == "tick":
        os.makedirs(path, exist_ok=True)
    echo(START_LINES[kind].format(len(chosen), reprlib.repr(chosen)))
