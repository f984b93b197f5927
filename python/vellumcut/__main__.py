"""`python -m vellumcut ...` runs the command line."""
import sys

from vellumcut.cli import main

sys.exit(main())
