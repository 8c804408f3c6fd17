"""Arrays, batches and game state over vorel_chess boards and FEN texts.

The functions and classes are those of the extension module inside this package, vorel_tools._core;
the dataset builder is vorel_tools.dataset (the vorel-dataset command).
"""

from vorel_tools._core import *
from vorel_tools._core import __version__ as __version__
