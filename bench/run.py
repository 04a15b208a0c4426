"""Runs every benchmark family in one process and prints the ratios.

    python bench/run.py [family ...]        e.g. python bench/run.py overhead logp

Set RAYON_NUM_THREADS=1 to measure the kernels on one worker.
"""
import importlib
import os
import pkgutil
import sys

sys.path.insert(0, os.path.dirname(__file__))


def main(argv):
    here = os.path.dirname(__file__)
    families = sorted(m.name[len("bench_"):] for m in pkgutil.iter_modules([here])
                      if m.name.startswith("bench_"))
    unknown = [name for name in argv if name not in families]
    if unknown:
        sys.exit(f"bench/run.py: unknown family: {', '.join(unknown)} "
                 f"(known: {', '.join(families)})")
    chosen = argv or families
    for name in chosen:
        importlib.import_module("bench_" + name).run()


if __name__ == "__main__":
    main(sys.argv[1:])
