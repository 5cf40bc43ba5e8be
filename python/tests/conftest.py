import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# The extension is built into <build>/python and halcyra_tools lives at the
# top of the tree; `make test` points at them. HALCYRA_PYTHONPATH=installed
# tests the package installed in the running interpreter instead.
if os.environ.get("HALCYRA_PYTHONPATH") != "installed":
    sys.path.insert(0, os.environ.get("HALCYRA_PYTHONPATH", os.path.join(HERE, "../../build/python")))
    sys.path.insert(0, os.path.normpath(os.path.join(HERE, "..", "..")))
