"""python -m vorel_tools.dataset: the vorel-dataset command."""

import sys

from vorel_tools.dataset import main

if __name__ == "__main__":
    sys.exit(main())
