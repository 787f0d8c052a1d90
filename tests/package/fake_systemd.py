#!/usr/bin/python3
"""A stand-in for the service manager on a private bus, for a machine
without systemd: the installed wizard asks it about valdrin-proxy.service
and has it reload the service, which runs the unit's ExecReload lines
against the daemon the package test started, as systemd would.

    fake_systemd.py BUS_ADDRESS UNIT_FILE MAIN_PID

Prints "ready" once it owns org.freedesktop.systemd1, and one line per
reload it ran ("reload ok" or "reload failed: why"). As systemd, ReloadUnit
answers with the job at once, and JobRemoved then tells how it ended. Needs
python3-dbus and python3-gi (Debian's own python3).
"""
import os
import subprocess
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from package_test import exec_reload  # noqa: E402  (the unit's lines, read as the test reads them)

MANAGER = "org.freedesktop.systemd1.Manager"
UNIT = "org.freedesktop.systemd1.Unit"
SERVICE = "org.freedesktop.systemd1.Service"
PROPERTIES = "org.freedesktop.DBus.Properties"
UNIT_NAME = "valdrin-proxy.service"
UNIT_PATH = "/org/freedesktop/systemd1/unit/valdrin_2dproxy_2eservice"


class NoSuchUnit(dbus.DBusException):
    _dbus_error_name = "org.freedesktop.systemd1.NoSuchUnit"


class Unit(dbus.service.Object):
    values = {
        (UNIT, "LoadState"): "loaded",
        (UNIT, "ActiveState"): "active",
        (UNIT, "SubState"): "running",
        (SERVICE, "Result"): "success",
        (SERVICE, "StatusText"): "",
        (SERVICE, "ExecMainStatus"): dbus.Int32(0),
    }

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if (interface, name) not in self.values:
            raise dbus.DBusException(f"no property {interface}.{name}",
                                     name="org.freedesktop.DBus.Error.UnknownProperty")
        return self.values[(interface, name)]


class Manager(dbus.service.Object):
    def __init__(self, bus, unit_file, main_pid):
        super().__init__(bus, "/org/freedesktop/systemd1")
        self.unit_file = unit_file
        self.main_pid = main_pid
        self.jobs = 0

    def unit(self, name):
        if name != UNIT_NAME:
            raise NoSuchUnit(f"Unit {name} not loaded.")
        return dbus.ObjectPath(UNIT_PATH)

    @dbus.service.method(MANAGER, in_signature="s", out_signature="o")
    def GetUnit(self, name):
        return self.unit(name)

    @dbus.service.method(MANAGER, in_signature="s", out_signature="o")
    def LoadUnit(self, name):
        return self.unit(name)

    @dbus.service.method(MANAGER, in_signature="s", out_signature="s")
    def GetUnitFileState(self, name):
        self.unit(name)
        return "enabled"

    @dbus.service.method(MANAGER, in_signature="", out_signature="")
    def Subscribe(self):
        pass

    @dbus.service.signal(MANAGER, signature="uoss")
    def JobRemoved(self, job_id, job, unit, result):
        pass

    def job_ended(self, job_id, result):
        path = dbus.ObjectPath(f"/org/freedesktop/systemd1/job/{job_id}")
        # After the reply that names the job, as systemd sends it.
        GLib.idle_add(lambda: self.JobRemoved(dbus.UInt32(job_id), path, UNIT_NAME, result) and False)
        return path

    @dbus.service.method(MANAGER, in_signature="ss", out_signature="o")
    def ReloadUnit(self, name, mode):
        self.unit(name)
        # As the service's user, in order, the first failure ending it.
        for argv in exec_reload(self.unit_file):
            argv = [str(self.main_pid) if a == "$MAINPID" else a for a in argv]
            r = subprocess.run(["setpriv", "--reuid=valdrin", "--regid=valdrin", "--init-groups", "--"] + argv,
                               capture_output=True, text=True, timeout=60)
            if r.returncode != 0:
                # The job is queued either way; its end says how it went.
                print(f"reload failed: {(r.stdout + r.stderr).strip()[-400:]}", flush=True)
                self.jobs += 1
                return self.job_ended(self.jobs, "failed")
        print("reload ok", flush=True)
        self.jobs += 1
        return self.job_ended(self.jobs, "done")


def main():
    address, unit_file, main_pid = sys.argv[1], sys.argv[2], int(sys.argv[3])
    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(address)
    keep = [Manager(bus, unit_file, main_pid), Unit(bus, UNIT_PATH)]
    name = dbus.service.BusName("org.freedesktop.systemd1", bus)
    print("ready", flush=True)
    GLib.MainLoop().run()
    del keep, name


if __name__ == "__main__":
    main()
