#!/usr/bin/env python3
"""End-to-end cases that need the Linux side of Wine: an interrupt (SIGINT to the Wine process
runs the C runtime's SIGINT handler), a pty behind the default device path, and an executable
path too long for Wine's CreateProcess."""

import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
import tty
import unittest

WINE_RUN = sys.argv[1]
AGENT_EXE = sys.argv[2]
PREFIX = os.environ["WINEPREFIX"]
DEFAULT_PORT = "com.vorna.vm.stats_agent.0"


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def assert_interrupt_ends_cleanly(test, agent, pid_file, said=""):
    """The agent still runs; SIGINT ends it with status 0, its PID file removed, nothing said
    beyond what it said before."""
    test.assertIsNone(agent.proc.poll())
    test.assertEqual(agent.interrupt(), 0)
    test.assertFalse(os.path.exists(pid_file))
    test.assertEqual(agent.stderr(), said)


class Agent:
    """The agent under Wine, its standard streams in files."""

    def __init__(self, *args, exe=AGENT_EXE):
        self.dir = tempfile.TemporaryDirectory(prefix="vorna-")
        self.out = open(os.path.join(self.dir.name, "out"), "w+b")
        self.err = open(os.path.join(self.dir.name, "err"), "w+b")
        self.proc = subprocess.Popen([WINE_RUN, exe, *args], stdin=subprocess.DEVNULL,
                                     stdout=self.out, stderr=self.err)

    def wait(self, timeout=30):
        return self.proc.wait(timeout)

    def stdout(self):
        self.out.seek(0)
        return self.out.read().decode(errors="replace")

    def interrupt(self, timeout=20):
        self.proc.send_signal(signal.SIGINT)
        return self.proc.wait(timeout)

    def stderr(self):
        self.err.seek(0)
        return self.err.read().decode(errors="replace")

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.out.close()
        self.err.close()
        self.dir.cleanup()


class InterruptTest(unittest.TestCase):
    def test_interrupt_while_waiting_for_the_device_removes_the_pid_file(self):
        with tempfile.TemporaryDirectory(prefix="vorna-") as folder:
            pid_file = os.path.join(folder, "agent.pid")
            agent = Agent("-p", r"\\.\pipe\vorna-test-nobody-listens", "-F", windows_path(pid_file))
            try:
                self.assertTrue(wait_until(lambda: os.path.exists(pid_file), 30))
                time.sleep(0.5)
                with open(pid_file, "rb") as f:
                    self.assertRegex(f.read(), rb"^[1-9][0-9]*$")
                # The foreground says once that the device is missing (its first attempt comes
                # 2 s after the start, the next ones every 4 s).
                self.assertTrue(wait_until(lambda: agent.stderr().endswith("\n"), 30))
                time.sleep(4.5)
                said = agent.stderr()
                self.assertRegex(said, r"^The device \\\\\.\\pipe\\vorna-test-nobody-listens "
                                       r"cannot be opened: .+ The agent tries again every 4 "
                                       r"seconds and reports here when the device is open again\.\r?\n$")
                assert_interrupt_ends_cleanly(self, agent, pid_file, said)
            finally:
                agent.close()

    def test_empty_pid_file_path_is_reported_at_open_and_at_removal(self):
        agent = Agent("-p", r"\\.\pipe\vorna-test-nobody-listens", "-F", "")
        try:
            self.assertTrue(wait_until(lambda: "error: open `': " in agent.stderr(), 30),
                            agent.stderr())
            self.assertIsNone(agent.proc.poll())
            self.assertEqual(agent.interrupt(), 0)
            lines = [line for line in agent.stderr().splitlines()
                     if not line.startswith("The device ")]  # the device's outage
            self.assertEqual(len(lines), 2, lines)
            self.assertTrue(lines[0].startswith("error: open `': "), lines)
            self.assertTrue(lines[1].startswith("unlink `': "), lines)
        finally:
            agent.close()


class DefaultDeviceTest(unittest.TestCase):
    """\\\\.\\Global\\<port> resolves through the prefix's dosdevices folder: "global" links to
    the folder itself and the port name to a pty, which behaves as a COM port."""

    def setUp(self):
        dosdevices = os.path.join(PREFIX, "dosdevices")
        self.links = []
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        tty.setraw(self.master)
        global_link = os.path.join(dosdevices, "global")
        if not os.path.lexists(global_link):
            os.symlink(".", global_link)
            self.links.append(global_link)
        port_link = os.path.join(dosdevices, DEFAULT_PORT)
        if os.path.lexists(port_link):
            os.unlink(port_link)
        os.symlink(os.ttyname(self.slave), port_link)
        self.links.append(port_link)

    def tearDown(self):
        for link in self.links:
            os.unlink(link)
        os.close(self.master)
        os.close(self.slave)

    def receive(self, size, seconds):
        got = b""
        deadline = time.monotonic() + seconds
        while len(got) < size and time.monotonic() < deadline:
            ready, _, _ = select.select([self.master], [], [], 0.2)
            if ready:
                got += os.read(self.master, size - len(got))
        return got

    def test_interrupt_while_a_statistics_reply_is_built(self):
        with tempfile.TemporaryDirectory(prefix="vorna-") as folder:
            pid_file = os.path.join(folder, "agent.pid")
            agent = Agent("-F", windows_path(pid_file))
            try:
                self.assertTrue(wait_until(lambda: os.path.exists(pid_file), 30))
                time.sleep(4)  # 2 s before connecting, 1 s before the read
                message = b"GSTATS:CMD;" + b"a" * 501
                os.write(self.master, message)
                time.sleep(1)  # inside the 2 s CPU window
                self.assertEqual(self.receive(1, 0.1), b"")
                assert_interrupt_ends_cleanly(self, agent, pid_file)
            finally:
                agent.close()

    def test_interrupt_during_a_read(self):
        with tempfile.TemporaryDirectory(prefix="vorna-") as folder:
            pid_file = os.path.join(folder, "agent.pid")
            agent = Agent("-F", windows_path(pid_file))
            try:
                self.assertTrue(wait_until(lambda: os.path.exists(pid_file), 30))
                time.sleep(4)  # the read waits for 512 bytes that never come
                assert_interrupt_ends_cleanly(self, agent, pid_file)
            finally:
                agent.close()

    def test_interrupt_during_a_write(self):
        # The pty's output stopped (XOFF, as a terminal's flow control does): the agent's write of
        # its replies waits.
        attrs = termios.tcgetattr(self.slave)
        attrs[0] |= termios.IXON
        termios.tcsetattr(self.slave, termios.TCSANOW, attrs)
        with tempfile.TemporaryDirectory(prefix="vorna-") as folder:
            pid_file = os.path.join(folder, "agent.pid")
            agent = Agent("-F", windows_path(pid_file))
            try:
                self.assertTrue(wait_until(lambda: os.path.exists(pid_file), 30))
                os.write(self.master, b"\x13")  # XOFF
                os.write(self.master, b"PING;" * 102 + b"PI")  # 512 bytes, 102 replies
                time.sleep(3)
                self.assertEqual(self.receive(1, 0.1), b"")
                assert_interrupt_ends_cleanly(self, agent, pid_file)
            finally:
                agent.close()

    def test_agent_serves_the_default_device_path(self):
        agent = Agent()
        try:
            # A COM port read waits for all 512 bytes.
            message = b"a" * 507 + b";PING"
            os.write(self.master, message)
            self.assertEqual(self.receive(4, 30), b"PONG")
            self.assertEqual(agent.interrupt(), 0)
        finally:
            agent.close()


class ServiceInstallTest(unittest.TestCase):
    """The installation refuses an executable path that does not fit its 260-character buffer.
    Wine's CreateProcess cannot start a program from such a path; its loader, started from
    Linux, can. This test uses the real service name: CTest never runs it beside e2e_service."""

    def run_agent(self, *args, exe=AGENT_EXE):
        agent = Agent(*args, exe=exe)
        try:
            status = agent.wait()
            return status, agent.stdout(), agent.stderr()
        finally:
            agent.close()

    def test_executable_path_longer_than_its_buffer_registers_nothing(self):
        drive_c = os.path.join(PREFIX, "drive_c")
        name = "vorna-stats-agent.exe"
        with tempfile.TemporaryDirectory(prefix="vorna-long-", dir=drive_c) as folder:
            # C:\<folder>\<name> in 270 characters; 259 would fit with the NUL.
            head = "C:\\" + os.path.basename(folder) + "\\"
            sub = "f" * (270 - len(head) - 1 - len(name))
            os.mkdir(os.path.join(folder, sub))
            exe = os.path.join(folder, sub, name)
            shutil.copyfile(AGENT_EXE, exe)
            self.assertEqual(len(head + sub + "\\" + name), 270)

            status, out, err = self.run_agent("--service-install", exe=exe)
            self.assertEqual(status, 1, err)
            self.assertEqual(out, "")
            self.assertTrue(err.startswith("GetModuleFileName: (Error: 122) "), err)

        # Nothing was registered.
        status, out, err = self.run_agent("--service-uninstall")
        self.assertEqual(status, 1, err)
        self.assertTrue(err.startswith("OpenService: (Error: 1060) "), err)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
