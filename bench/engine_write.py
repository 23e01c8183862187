"""The engine's write of a first fill against compressing the same chunks alone.

    .venv/bin/python bench/engine_write.py [--repeat 3] [--samples stock,future]

For each sample (bench/engine_samples.py): the wall time of the engine
creating a dataset of its records in a new file, and of libdeflate alone at
the engine's full level over the same chunks, on one thread and on as many
threads as the engine uses (ctypes releases the GIL around each call).
Medians of --repeat runs; the machine is shared, so expect noise.
"""
import argparse
import os
import statistics
import tempfile
import time

import engine_levels
import engine_samples
from corvane import _engine

FULL_LEVEL = engine_levels.ENGINE_FULL_LEVEL
CHUNK_BYTES = 65536  # kChunkTargetBytes


def engine_write(records, folder):
    path = os.path.join(folder, "f.h5")
    if os.path.exists(path):
        os.remove(path)
    started = time.perf_counter()
    with _engine.File(path) as f:
        f.create_dataset("data", records)
    return time.perf_counter() - started, os.path.getsize(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--samples", default="stock,future")
    args = parser.parse_args()
    samples = engine_samples.load()
    threads = os.cpu_count() or 1
    with tempfile.TemporaryDirectory() as folder:
        for name in args.samples.split(","):
            records = samples[name]
            rows = CHUNK_BYTES // records.dtype.itemsize
            chunks = engine_levels.chunks_of(records, rows * records.dtype.itemsize)
            engine, one, many = [], [], []
            for _ in range(args.repeat):
                engine.append(engine_write(records, folder))
                one.append(engine_levels.deflate_alone(chunks, FULL_LEVEL, 1))
                many.append(engine_levels.deflate_alone(chunks, FULL_LEVEL, threads))
            e, o, m = (statistics.median(t for t, _ in runs) for runs in (engine, one, many))
            print("{}: {:.1f} MB raw in {} chunks; engine write {:.2f} s ({} bytes); level {} "
                  "alone: 1 thread {:.2f} s, {} threads {:.2f} s ({} bytes); engine / alone on "
                  "{} threads = {:.3f}".format(
                      name, records.nbytes / 1e6, len(chunks), e, engine[-1][1], FULL_LEVEL, o,
                      threads, m, many[-1][1], threads, e / m), flush=True)


if __name__ == "__main__":
    main()
