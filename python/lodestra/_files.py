"""Every file the package writes goes through here.

A file is written as a new temporary file in the target's own directory, created
exclusively and without following links (O_CREAT | O_EXCL | O_NOFOLLOW, mode 0666
before the umask), then renamed over the target. A symbolic link planted at the
target in a shared directory is replaced, never followed; a reader, a killed
process or a full disk never finds part of a file under the target's name; a
failure removes the temporary file. Writers that insist on opening the file by
name themselves (VTK's) write into a private directory (mode 0700) made beside
the target, from which their files are renamed into place.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import shutil
import tempfile
from pathlib import Path
from typing import IO, Any, Iterator, Optional, Union

PathLike = Union[str, "os.PathLike[str]"]

_NEW_FILE = (os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0)
             | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0))


def _hidden_beside(target: Path, suffix: str = ".tmp") -> str:
    return f".{target.name[:200]}.{secrets.token_hex(8)}{suffix}"


@contextlib.contextmanager
def replacing(path: PathLike, mode: str = "wb", encoding: Optional[str] = None) -> Iterator[IO[Any]]:
    """A new file object for writing `path`; renamed over `path` when the block
    ends normally, removed when it raises."""
    target = Path(path)
    for attempt in range(100):
        temporary = target.with_name(_hidden_beside(target))
        try:
            fd = os.open(temporary, _NEW_FILE, 0o666)
            break
        except FileExistsError:
            if attempt == 99:
                raise
    try:
        with os.fdopen(fd, mode, encoding=encoding) as f:
            yield f
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def write_text(path: PathLike, text: str) -> None:
    with replacing(path, "w", encoding="utf-8") as f:
        f.write(text)


@contextlib.contextmanager
def replacing_by_name(path: PathLike) -> Iterator[Path]:
    """A name to write `path` under, for writers that open files themselves.

    The name lies in a private directory beside `path`; when the block ends
    normally, everything the writer made there (its side files and folders
    first, the named file last) is renamed into `path`'s directory, whatever
    stood under those names before being moved out of the way, never followed.
    """
    target = Path(path)
    private = Path(tempfile.mkdtemp(prefix=f".{target.name[:200]}.", suffix=".tmp",
                                    dir=target.parent))
    try:
        inner = private / target.name
        yield inner
        old = private / ".old"
        old.mkdir()
        sides = sorted(p for p in private.iterdir() if p not in (inner, old))
        for made in sides + [inner]:
            into = target.parent / made.name
            if made.is_dir():  # rename() replaces only an empty folder: clear the name first
                with contextlib.suppress(FileNotFoundError):
                    os.rename(into, old / made.name)
            os.replace(made, into)
    finally:
        shutil.rmtree(private, ignore_errors=True)
