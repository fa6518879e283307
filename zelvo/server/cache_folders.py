"""Which server may remove a kernel's cache folder.

Several servers may share one runtime folder, and clients choose kernel ids, so a kernel id
alone does not tell whose folder ``<runtime>/zelvo-cache/<kernel id>`` is. A server claims the
folder of each kernel it runs with a link ``.claims/<kernel id>`` naming the server, and
removes only folders it claimed. A server holds a lock on ``.servers/<its name>`` while it
runs: once the lock can be taken, the server is gone, and a later server removes the folders
it had claimed (or takes them over, for a kernel it runs under the same id).
"""

from __future__ import annotations

import contextlib
import fcntl
import logging
import os
import shutil
import uuid

from zelvo_core.misc.models import diskcache_root

CLAIMS = ".claims"
SERVERS = ".servers"
_LOCK = ".lock"

log = logging.getLogger(__name__)


class Owner:
    """This server's claims on cache folders under ``root`` (by default the runtime's)."""

    def __init__(self, root=None, logger=None):
        self.root = root or diskcache_root()
        self.log = logger or log
        self.name = uuid.uuid4().hex
        self.claimed = set()
        # Kernel ids this server runs whose folder a live server claimed first.
        self.foreign = set()
        # Kernel ids whose folder this server could not claim for a reason of the file
        # system; they are warned about once.
        self.unclaimable = set()
        self._lock = None
        try:
            os.makedirs(self._path(CLAIMS), exist_ok=True)
            os.makedirs(self._path(SERVERS), exist_ok=True)
            # Held, as a plain descriptor, for as long as the process runs.
            self._lock = os.open(self._path(SERVERS, self.name), os.O_WRONLY | os.O_CREAT)
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            # A read-only runtime folder: nothing can be claimed, so nothing is removed.
            self.log.warning("zelvo: cache folders under %s cannot be claimed: %s", self.root,
                             error.strerror or error)  # fmt: skip
            self.close()

    def _path(self, *parts):
        return os.path.join(self.root, *parts)

    def close(self):
        """Give up the server's lock; its claims become a later server's orphans."""
        if self._lock is not None:
            with contextlib.suppress(OSError):
                os.unlink(self._path(SERVERS, self.name))
            os.close(self._lock)
            self._lock = None

    @contextlib.contextmanager
    def _exclusive(self):
        # Taking over or sweeping claims is done by one server at a time.
        with open(self._path(_LOCK), "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            yield

    def _holder(self, kernel_id):
        try:
            return os.readlink(self._path(CLAIMS, kernel_id))
        except OSError:
            return None

    def _alive(self, name):
        """Whether the server ``name`` still holds its lock."""
        if name == self.name:
            return self._lock is not None
        try:
            with open(self._path(SERVERS, name)) as lock:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return True
        except OSError:
            return False
        return False

    def claim(self, kernel_id):
        """Claim the folder of ``kernel_id``, which this server runs; whether it is ours.

        A folder that a live server claimed stays that server's.
        """
        if kernel_id in self.claimed:
            return True
        if self._lock is None or os.sep in kernel_id or kernel_id.startswith("."):
            return False
        link = self._path(CLAIMS, kernel_id)
        try:
            try:
                os.symlink(self.name, link)
            except FileExistsError:
                with self._exclusive():
                    holder = self._holder(kernel_id)
                    if holder != self.name and holder is not None and self._alive(holder):
                        self.foreign.add(kernel_id)
                        return False
                    if holder != self.name:
                        staged = self._path(CLAIMS, f".{self.name}.{kernel_id}")
                        os.symlink(self.name, staged)
                        os.replace(staged, link)
        except OSError as error:
            if kernel_id not in self.unclaimable:
                self.unclaimable.add(kernel_id)
                self.log.warning("zelvo: cannot claim the cache folder of kernel %s: %s",
                                 kernel_id, error.strerror or error)  # fmt: skip
            return False
        self.claimed.add(kernel_id)
        return True

    def release(self, kernel_id, folder):
        """Remove ``folder``, the cache folder of stopped ``kernel_id``, if this server's."""
        self.foreign.discard(kernel_id)
        self.unclaimable.discard(kernel_id)
        if kernel_id not in self.claimed:
            return
        self.claimed.discard(kernel_id)
        if self._holder(kernel_id) != self.name:
            return  # taken over by another server after this one was thought gone
        self._remove(folder)
        with contextlib.suppress(OSError):
            os.unlink(self._path(CLAIMS, kernel_id))

    def _remove(self, folder):
        if folder is None:
            return
        shutil.rmtree(folder, ignore_errors=True)
        if os.path.lexists(folder):
            self.log.warning("zelvo: cannot remove the cache folder %s", folder)

    def sweep(self, running=()):
        """Remove the folders that servers now gone had claimed, except those of ``running``
        kernel ids, which this server takes over. Cheap while no server is gone."""
        if self._lock is None:
            return
        try:
            names = os.listdir(self._path(SERVERS))
        except OSError:
            return
        gone = {name for name in names if name != self.name and not self._alive(name)}
        if gone:
            self._sweep(gone, set(running))

    def sweep_all(self, running=()):
        """``sweep``, also for claims of servers that left no lock file at all."""
        if self._lock is None:
            return
        self._sweep(None, set(running))

    def _sweep(self, gone, running):
        with self._exclusive():
            try:
                entries = os.listdir(self._path(CLAIMS))
            except OSError:
                return
            alive = {}
            for kernel_id in entries:
                if kernel_id.startswith("."):
                    continue
                holder = self._holder(kernel_id)
                if holder is None or holder == self.name:
                    continue
                if gone is not None and holder not in gone:
                    continue
                if holder not in alive:
                    alive[holder] = self._alive(holder)
                if alive[holder]:
                    continue
                if kernel_id in running:
                    staged = self._path(CLAIMS, f".{self.name}.{kernel_id}")
                    with contextlib.suppress(OSError):
                        os.symlink(self.name, staged)
                        os.replace(staged, self._path(CLAIMS, kernel_id))
                        self.claimed.add(kernel_id)
                        self.foreign.discard(kernel_id)
                    continue
                self._remove(self._path(kernel_id))
                with contextlib.suppress(OSError):
                    os.unlink(self._path(CLAIMS, kernel_id))
            for name in gone if gone is not None else [n for n, up in alive.items() if not up]:
                with contextlib.suppress(OSError):
                    os.unlink(self._path(SERVERS, name))


# The owner of the running server, made when the extension loads.
owner = None


def start(logger=None):
    """Make this process's owner; a second call gives the first one, unless the runtime
    folder changed since."""
    global owner
    if owner is None or owner.root != diskcache_root():
        if owner is not None:
            owner.close()
        owner = Owner(logger=logger)
    return owner
