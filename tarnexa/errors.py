"""Every exception the package raises of its own. Each also derives from the built-in type a
caller would expect (ValueError, RuntimeError), so existing ``except`` clauses keep working."""


class TarnexaError(Exception):
    """The base of the package's own exceptions."""


class EmbedderError(TarnexaError, ValueError):
    """An embedder could not be loaded, gave vectors that break its contract (not finite, zero,
    the wrong shape), or is not the one an index was built with."""


class ShardError(TarnexaError, RuntimeError):
    """A shard could not load, or could not answer a query."""


class CacheError(TarnexaError, ValueError):
    """A cache directory that cannot be trusted as one: a file missing, cut short, not a regular
    file, or holding what the manifest does not say. The message names the file and the problem."""


class CacheMissingError(FileNotFoundError, CacheError):
    """A cache directory, or one of its files, that does not exist."""


class StorageWarning(RuntimeWarning):
    """A write that committed, but whose tidying after the commit (a checkpoint, a compaction)
    failed: nothing is lost, and a later write tries again."""


class SourceError(TarnexaError, ValueError):
    """A file or folder to index cannot be read: the message names it."""


class MissingPackageError(TarnexaError, ImportError):
    """A file format needs a package that is not installed: the message names it."""


class DatesWarning(UserWarning):
    """The files of a source all have the same date (a fresh copy or checkout): ``recent:`` and
    date filters cannot tell them apart."""
