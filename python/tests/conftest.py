import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# The extension is built into <build>/python; `make test` points at it.
sys.path.insert(0, os.environ.get("HALCYRA_PYTHONPATH", os.path.join(HERE, "../../build/python")))
# halcyra_tools, the readers of the files, lives at the top of the tree.
sys.path.insert(0, os.path.normpath(os.path.join(HERE, "..", "..")))
