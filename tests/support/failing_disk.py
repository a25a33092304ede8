#!/usr/bin/python3
"""A failing disk for the tests: serves a disk image read-only through FUSE as
MOUNT/disk.img, with sectors that cannot be read (each failing read takes
--bad-delay seconds) and sectors that read slowly (--slow-delay seconds a
read). Every read is counted per 512-byte sector it covers; MOUNT/counts lists
"sector reads" for every sector read at least once.

  failing_disk.py IMAGE MOUNT [--bad A[-B],...] [--slow A-B,...]
                  [--bad-delay S] [--slow-delay S]

Runs in the foreground until the file system is unmounted. Needs Debian's
python3-fusepy (libfuse2)."""

import argparse
import errno
import os
import stat
import threading
import time

import fusepy

SECTOR = 512


def ranges(text):
    out = []
    for part in filter(None, (text or "").split(",")):
        a, _, b = part.partition("-")
        out.append((int(a), int(b or a)))
    return out


class FailingDisk(fusepy.Operations):
    def __init__(self, image, bad, slow, bad_delay, slow_delay):
        self.fd = os.open(image, os.O_RDONLY)
        self.size = os.fstat(self.fd).st_size
        self.bad = bad
        self.slow = slow
        self.bad_delay = bad_delay
        self.slow_delay = slow_delay
        self.counts = {}
        self.mutex = threading.Lock()

    @staticmethod
    def touches(areas, first, last):
        return any(a <= last and first <= b for a, b in areas)

    def counts_text(self):
        with self.mutex:
            return "".join("%d %d\n" % kv for kv in sorted(self.counts.items())).encode()

    def getattr(self, path, fh=None):
        now = time.time()
        if path == "/":
            return dict(st_mode=stat.S_IFDIR | 0o555, st_nlink=2, st_ctime=now, st_mtime=now, st_atime=now)
        if path == "/disk.img":
            return dict(st_mode=stat.S_IFREG | 0o444, st_nlink=1, st_size=self.size,
                        st_ctime=now, st_mtime=now, st_atime=now)
        if path == "/counts":
            # Its length changes with every read: served direct, a read
            # simply ends where the text does.
            return dict(st_mode=stat.S_IFREG | 0o444, st_nlink=1, st_size=1 << 24,
                        st_ctime=now, st_mtime=now, st_atime=now)
        raise fusepy.FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        return [".", "..", "disk.img", "counts"]

    def open(self, path, flags):
        if path not in ("/disk.img", "/counts"):
            raise fusepy.FuseOSError(errno.ENOENT)
        if flags & (os.O_WRONLY | os.O_RDWR):
            raise fusepy.FuseOSError(errno.EROFS)
        return 0

    def read(self, path, size, offset, fh):
        if path == "/counts":
            return self.counts_text()[offset:offset + size]
        if offset >= self.size or size == 0:
            return b""
        size = min(size, self.size - offset)
        first, last = offset // SECTOR, (offset + size - 1) // SECTOR
        with self.mutex:
            for s in range(first, last + 1):
                self.counts[s] = self.counts.get(s, 0) + 1
        if self.touches(self.bad, first, last):
            time.sleep(self.bad_delay)
            raise fusepy.FuseOSError(errno.EIO)
        if self.touches(self.slow, first, last):
            time.sleep(self.slow_delay)
        return os.pread(self.fd, size, offset)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("image")
    p.add_argument("mount")
    p.add_argument("--bad", default="")
    p.add_argument("--slow", default="")
    p.add_argument("--bad-delay", type=float, default=0.0)
    p.add_argument("--slow-delay", type=float, default=0.0)
    a = p.parse_args()
    disk = FailingDisk(a.image, ranges(a.bad), ranges(a.slow), a.bad_delay, a.slow_delay)
    # direct_io: every read of the program reaches this process; the kernel
    # neither caches pages nor reads ahead on its own.
    fusepy.FUSE(disk, a.mount, foreground=True, nothreads=True, ro=True, direct_io=True)


if __name__ == "__main__":
    main()
