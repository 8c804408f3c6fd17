"""Arrays, batches and game state over vorel_chess boards and FEN texts."""

from vorel_chess_runtime import PanicException as PanicException
