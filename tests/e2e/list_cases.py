"""Prints the id of every test case in the given test modules, one a line,
so that CTest can run each case as a test of its own. Run from the folder
that holds the modules; an import error fails loudly."""

import importlib
import os
import sys
import unittest


def case_ids(suite):
    for test in suite:
        if isinstance(test, unittest.TestSuite):
            yield from case_ids(test)
        else:
            yield test.id()


def main(names):
    sys.path.insert(0, os.getcwd())
    loader = unittest.TestLoader()
    for name in names:
        for case in case_ids(loader.loadTestsFromModule(importlib.import_module(name))):
            print(case)


if __name__ == "__main__":
    main(sys.argv[1:])
