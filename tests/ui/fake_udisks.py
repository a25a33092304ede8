#!/usr/bin/python3
"""A stand-in for the system's disk service (UDisks2) on a private bus.

Every block device object under /org/freedesktop/UDisks2/block_devices/
answers OpenDevice("r", {}) with a descriptor of IMAGE, opened read-only by
this process; any other mode is refused. Each call is noted in LOG as
"OpenDevice MODE OBJECT-PATH"; "ready" is written once the name is owned.

    fake_udisks.py BUS-ADDRESS IMAGE LOG
"""
import os
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

address, image, log_path = sys.argv[1:4]


def note(line):
    with open(log_path, "a") as log:
        log.write(line + "\n")


class BlockDevices(dbus.service.FallbackObject):
    @dbus.service.method("org.freedesktop.UDisks2.Block", in_signature="sa{sv}", out_signature="h",
                         path_keyword="path")
    def OpenDevice(self, mode, options, path=None):
        note("OpenDevice %s %s" % (mode, path))
        if mode != "r":
            raise dbus.exceptions.DBusException("only reading is allowed here",
                                                name="org.freedesktop.UDisks2.Error.NotAuthorized")
        fd = os.open(image, os.O_RDONLY)
        try:
            return dbus.types.UnixFd(fd)
        finally:
            os.close(fd)


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(address)
name = dbus.service.BusName("org.freedesktop.UDisks2", bus)
BlockDevices(bus, "/org/freedesktop/UDisks2/block_devices")
note("ready")
# Never outlive the test by much, whatever happens to it.
GLib.timeout_add_seconds(120, lambda: sys.exit(0))
GLib.MainLoop().run()
