import os
import sys

# The extension is built into <build>/python; `make test` points at it.
sys.path.insert(0, os.environ.get("HALCYRA_PYTHONPATH", os.path.join(os.path.dirname(__file__), "../../build/python")))
