"""Runtime support of vorel_chess: PanicException, the class of its internal faults."""

__all__ = ["PanicException"]

class PanicException(BaseException):
    """An internal fault inside vorel_chess: a broken precondition or a failed range check.

    Derives from BaseException, so ``except Exception`` does not catch it. The objects involved
    can be used again at once. Instances pickle by name, so process pools report them::

        from vorel_chess_runtime import PanicException
    """
