"""The trace log of the real program under Wine, switched on through the prefix's registry the
way a user would: the per-user values named after the executable."""

import os
import re
import shutil
import unittest

from kvtestkit import kvtest, kvwizard
from kvtestkit.kvwizard import EXE_NAME, SETTINGS_KEY

CANCEL = 2
START_SCOPE = "CKestrelVault_SetupApp::InitInstance"
ENTRY = "() " + "<" * 43
EXIT = "() " + ">" * 43
HEADER = re.compile(r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\]\[(?P<name>[^\]]*)\((?P<pid>\d+)\), T:(?P<tid>\d+)\]"
                    r"(?P<rest>.*)$")

# A line an earlier run left: only a file that starts like a log of ours is written to.
EARLIER_RUN = b"[2026-01-02 03:04:05.678][KestrelVault_Setup.exe(12), T:34]left from before\r\n"


def split_lines(data):
    """The lines of a log file; every line must end in CR LF and hold no other line end."""
    assert data == b"" or data.endswith(b"\r\n"), "last line without CR LF: %r" % data[-80:]
    lines = data.split(b"\r\n")[:-1] if data else []
    for line in lines:
        assert b"\r" not in line and b"\n" not in line, "stray line end in %r" % line
    return [line.decode("cp949") for line in lines]


def rests_of(data):
    """What follows the header in every line; every line must have one."""
    rests = []
    for line in split_lines(data):
        m = HEADER.match(line)
        assert m, "not a log line: %r" % line
        rests.append(m["rest"])
    return rests


class TraceLogTest(kvtest.WizardTestCase):

    def setUp(self):
        self.win_dir, self.dir = kvtest.own_temp_dir("kvtl")
        self.addCleanup(shutil.rmtree, self.dir, True)
        for suffix in (".log", ".log.path", ".log.name"):
            self.addCleanup(kvtest.reg_delete, SETTINGS_KEY, EXE_NAME + suffix)

    def settings(self, mode=None, path=None, name=None):
        for suffix, value, kind in ((".log", mode, "REG_DWORD"), (".log.path", path, "REG_SZ"),
                                    (".log.name", name, "REG_SZ")):
            if value is None:
                kvtest.reg_delete(SETTINGS_KEY, EXE_NAME + suffix)
            else:
                kvtest.reg_add(SETTINGS_KEY, EXE_NAME + suffix, value, kind)

    def run_wizard(self, while_open=None, without_std_handles=False, exe=None):
        """One run of the program (or of the copy exe), ended with the first page's Cancel.
        Started through `start`, a windowed program gets no standard handles, as when started
        from the desktop."""
        if without_std_handles:
            page = self.start_wizard("/wait", "/unix", str(exe or kvtest.product_exe()), exe="start")
        else:
            page = self.start_wizard(exe=exe)
        if while_open:
            while_open()
        page.click(CANCEL)
        page.wait_gone()
        # Left by the user: 1602, of which Wine passes the low 8 bits.
        self.assertEqual(page.process.wait(20), 1602 & 0xFF)

    def test_first_lines_of_a_run_and_its_last(self):
        log = self.dir / "run.log"
        self.settings(mode=3, path=self.win_dir + r"\run.log")
        self.run_wizard(without_std_handles=True)

        lines = [HEADER.match(line) for line in split_lines(log.read_bytes())]
        self.assertTrue(all(lines), "a line without the header")
        self.assertEqual({m["name"] for m in lines}, {EXE_NAME})
        self.assertEqual(len({(m["pid"], m["tid"]) for m in lines}), 1, "all from the start-up thread")
        rests = [m["rest"] for m in lines]
        self.assertEqual(rests[0], START_SCOPE + ENTRY)
        self.assertEqual(rests[-1], START_SCOPE + EXIT)

        # The start-up scope's own lines, without those of scopes nested in it (the
        # compatibility layer writes its own between the entry line and the module lines).
        own, depth = [], 0
        for rest in rests:
            if rest.endswith(ENTRY):
                depth += 1
            if rest in (START_SCOPE + ENTRY, START_SCOPE + EXIT) or (depth == 1 and rest.startswith(":    ")):
                own.append(rest)
            if rest.endswith(EXIT):
                depth -= 1
        exe_path = kvtest.windows_path(kvtest.product_exe())
        self.assertEqual(own[0], START_SCOPE + ENTRY)
        self.assertEqual(own[1].lower(), (":    ModulePath: " + exe_path).lower())
        self.assertEqual(own[2], ":    ModuleVersion: 70.17.4.1201")
        self.assertEqual(own[-1], START_SCOPE + EXIT)

    def test_file_mode_empties_the_file_at_every_start(self):
        log = self.dir / "held.log"
        log.write_bytes(EARLIER_RUN)
        self.settings(mode=2, path=self.win_dir + r"\held.log")
        for run in range(2):
            with self.subTest(run=run):
                self.run_wizard(without_std_handles=run == 0)
                rests = rests_of(log.read_bytes())
                self.assertEqual(rests[0], START_SCOPE + ENTRY)
                self.assertEqual(rests.count(START_SCOPE + ENTRY), 1)
                self.assertEqual(rests[-1], START_SCOPE + EXIT)

    def test_append_mode_appends_and_recreates_a_deleted_file(self):
        log = self.dir / "append.log"
        log.write_bytes(EARLIER_RUN)
        self.settings(mode=3, path=self.win_dir + r"\append.log")
        self.run_wizard()
        self.run_wizard()
        data = log.read_bytes()
        self.assertTrue(data.startswith(EARLIER_RUN))
        rests = rests_of(data[len(EARLIER_RUN):])
        self.assertEqual(rests[0], START_SCOPE + ENTRY)
        self.assertEqual(rests[-1], START_SCOPE + EXIT)
        self.assertEqual(rests.count(START_SCOPE + ENTRY), 2)
        self.assertEqual(rests.count(START_SCOPE + EXIT), 2)

        # Deleted while the wizard is open: the next line (the exit line) creates it again.
        self.run_wizard(while_open=log.unlink)
        rests = rests_of(log.read_bytes())
        self.assertNotIn(START_SCOPE + ENTRY, rests)
        self.assertEqual(rests[-1], START_SCOPE + EXIT)

    def test_where_the_log_goes(self):
        # A copy in the test's own directory, where every user may create files, as the
        # program's own directory must let them for a log made beside it.
        exe_dir = self.dir / "program"
        exe_dir.mkdir()
        kvtest.open_to_users(exe_dir)
        exe = kvwizard.product_copy(exe_dir)
        name = "kvtl_%d.log" % os.getpid()
        cases = [
            # (what, path value, name value, file that gets the lines)
            ("path wins over name", self.win_dir + r"\by_path.log", name, self.dir / "by_path.log"),
            ("name alone: beside the executable", None, name, exe_dir / name),
        ]
        for what, path, log_name, target in cases:
            with self.subTest(what):
                self.settings(mode=2, path=path, name=log_name)
                self.run_wizard(exe=exe)
                rests = rests_of(target.read_bytes())
                self.assertEqual(rests[0], START_SCOPE + ENTRY)
                others = {self.dir / "by_path.log", exe_dir / name} - {target}
                self.assertEqual([p for p in others if p.exists()], [])
                target.unlink()

    def test_a_missing_log_is_made_only_where_every_user_may_create_files(self):
        """The path is the user's own registry value, read by an elevated program: a log that
        is not there yet is made only in a directory where every local user may create files
        anyway, never in System32 or another directory only administrators may fill. A log of
        ours that is already there is written wherever it is."""
        name = "kvtl_%d.log" % os.getpid()
        system32 = kvtest.unix_path(r"C:\windows\system32")
        self.addCleanup(lambda: (system32 / name).unlink(missing_ok=True))
        closed = self.dir / "closed"
        closed.mkdir()
        os.chmod(closed, 0o755)  # others may read and enter: Everyone gets no right to create files
        self.assertEqual(oct(closed.stat().st_mode & 0o777), "0o755")
        cases = [
            # (what, Windows directory, its host path, the file there before or None, lines expected)
            ("System32", r"C:\windows\system32", system32, None, False),
            ("a directory users may only read", self.win_dir + r"\closed", closed, None, False),
            ("a directory every user may create files in", self.win_dir, self.dir, None, True),
            ("an earlier log in a directory users may only read", self.win_dir + r"\closed", closed, EARLIER_RUN, True),
        ]
        for what, win_dir, host_dir, before, logs in cases:
            for mode in (2, 3):
                with self.subTest(what, mode=mode):
                    log = host_dir / name
                    log.unlink(missing_ok=True)
                    if before is not None:
                        log.write_bytes(before)
                    self.settings(mode=mode, path=win_dir + "\\" + name)
                    self.run_wizard()
                    if not logs:
                        self.assertFalse(log.exists(), "a log was made in %s" % win_dir)
                        continue
                    data = log.read_bytes()
                    if before is not None and mode == 3:
                        self.assertTrue(data.startswith(before))
                        data = data[len(before):]
                    rests = rests_of(data)
                    self.assertEqual(rests[0], START_SCOPE + ENTRY)
                    self.assertEqual(rests[-1], START_SCOPE + EXIT)
                    log.unlink()

    def test_nothing_is_written_without_a_place_to_write(self):
        cases = [
            # (what, mode, path value below the test directory)
            ("file mode, missing directory", 2, r"\missing\held.log"),
            ("append mode, missing directory", 3, r"\missing\append.log"),
            ("console mode writes no file", 1, r"\console.log"),
        ]
        for what, mode, path in cases:
            with self.subTest(what):
                self.settings(mode=mode, path=self.win_dir + path)
                self.run_wizard(without_std_handles=mode == 1)
                self.assertEqual(list(self.dir.iterdir()), [])


if __name__ == "__main__":
    unittest.main()
