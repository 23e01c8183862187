"""Runs Python with another build of the engine's module as corvane._engine.

    python tools/with_engine.py PATH/_engine.so -m pytest ARGS...

For the sanitizer builds: the binding is tested under ThreadSanitizer by
loading its instrumented build in place of the installed one.
"""
import importlib.util
import runpy
import sys


def load_engine(path):
    spec = importlib.util.spec_from_file_location("corvane._engine", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    import corvane

    sys.modules["corvane._engine"] = corvane._engine = module


def main():
    if len(sys.argv) < 4 or sys.argv[2] != "-m":
        sys.exit(__doc__)
    load_engine(sys.argv[1])
    sys.argv = [sys.argv[3]] + sys.argv[4:]
    runpy.run_module(sys.argv[0], run_name="__main__", alter_sys=True)


if __name__ == "__main__":
    main()
