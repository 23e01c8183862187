"""The file system under the benchmark: what it costs to create a file.

Each corvane update creates and removes two small files (the writer lock and
the rollback journal); the baseline creates none. On some file systems that
costs many times more for minutes after many files were deleted: ext4
without a journal passes over every inode freed lately when it picks one
for a new file (15 us to create and remove a file here, 230 us after 3,000
files were deleted). So the runs never delete files while others are timed
(discard()), and each run prints create_cost() to show the state it ran in.
"""
import os
import statistics
import tempfile
import time

# Where a run's discarded files wait, under its --out folder.
TRASH = "trash"


def create_cost(folder, pairs=50):
    """Median seconds to create and remove a file in `folder`."""
    os.makedirs(folder, exist_ok=True)
    seconds = []
    for i in range(pairs):
        path = os.path.join(folder, ".probe%d" % i)
        started = time.perf_counter()
        os.close(os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o644))
        os.remove(path)
        seconds.append(time.perf_counter() - started)
    return statistics.median(seconds)


def discard(path, trash):
    """Moves `path` into the folder `trash`, to be deleted once nothing is timed."""
    if not os.path.lexists(path):
        return
    os.makedirs(trash, exist_ok=True)
    os.rename(path, os.path.join(tempfile.mkdtemp(dir=trash), os.path.basename(path)))
