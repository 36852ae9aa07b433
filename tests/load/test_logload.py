"""The trace log under load: eight threads of one Windows process under Wine write 20,000 lines
each through real trace scopes (kv_logload.exe, logload.cpp says which lines), in file mode and
in append mode, while another process (kv_log_deleter.exe) deletes the log file with DeleteFileW
again and again. The file is then read back here, every line rebuilt from its thread and
sequence number and compared byte for byte.

What a file must show:
- every line is a whole line: the exact header, then a message or an entry or exit marker,
  ending in CR LF, in code page 949; nothing torn, nothing mixed;
- each thread's lines in its own order, with one thread id throughout, and timestamps that
  never run backwards over the file;
- file mode (held open): every line of every thread, and no deletion ever succeeds;
- append mode: lines go only with a deleted file. A line can reach only a file made after the
  last deletion, and from then on none is lost, so each thread's lines in the file are exactly
  its last ones, without a gap; the lines after the deleter was stopped are among them.

A line whose reopening meets a deletion in progress cannot be written and is lost alone: the
scope's stream must not fail over it (logload reports every scope whose stream failed; there
must be none), so the next line of the same scope lands in the new file.
"""

import re
import shutil
import sys
import tempfile
import time
import unittest
from pathlib import Path

from kvtestkit import kvtest, kvwizard
from kvtestkit.kvtest import windows_path

EXE_NAME = "kv_logload.exe"
THREADS = 8
LINES = 20000
ROUND = 10  # lines per scope: entry, eight messages, exit
ENTRY = "() " + "<" * 43
EXIT = "() " + ">" * 43
HANGUL = "가나다라마바사아자차카타파하한글"
ALPHABET = "abcdefghijklmnopqrstuvwxyz"

HEADER = re.compile(r"\[(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)\.(\d{3})\]"
                    r"\[kv_logload\.exe\((0|[1-9]\d*)\), T:(0|[1-9]\d*)\]")
MESSAGE_START = re.compile(r":    t=(\d+) seq=(\d+) ")
SCOPE = re.compile(r"LoadWriter(\d+)::Round(\d+)\(")


def filler(t, seq):
    n = 5000 + t if seq % 250 == 1 else (seq * 37 + t * 11) % 200
    turned = ALPHABET[t % 26:] + ALPHABET[:t % 26]
    return (turned * (n // 26 + 1))[:n]


def hangul(t, seq):
    return "".join(HANGUL[(t + seq + i) % len(HANGUL)] for i in range(seq % 7 + 1))


def expected_rest(t, k):
    """What follows the header in line k of thread t."""
    if k % ROUND == 0:
        return "LoadWriter%d::Round%d%s" % (t, k // ROUND, ENTRY)
    if k % ROUND == ROUND - 1:
        return "LoadWriter%d::Round%d%s" % (t, k // ROUND, EXIT)
    return ":    t=%d seq=%d %s %s end" % (t, k, filler(t, seq=k), hangul(t, k))


def read_report(path):
    """{key: [words]} of a "key value..." report; lost_round lines gathered as a list."""
    report = {"lost_round": []}
    for line in path.read_text().splitlines():
        key, *words = line.split()
        if key == "lost_round":
            report[key].append(tuple(int(w) for w in words))
        else:
            report[key] = [int(w) for w in words]
    return report


class LogFile:
    """A log file read back: per thread the line numbers found, in file order. Every fault
    found is in `faults` (the first few of each kind are kept with their place)."""

    def __init__(self, data, pid):
        self.faults = []
        self.lines = 0
        self.by_thread = {t: [] for t in range(THREADS)}
        self.tids = {t: set() for t in range(THREADS)}
        if data and not data.endswith(b"\r\n"):
            self.fault("file ends inside a line: %r" % data[-60:])
        last_stamp = ""
        for number, raw in enumerate(data.split(b"\r\n")[:-1] if data else [], 1):
            self.lines += 1
            where = "line %d" % number
            if b"\r" in raw or b"\n" in raw:
                self.fault("%s: stray line end: %r" % (where, raw[:120]))
                continue
            try:
                line = raw.decode("cp949")
            except UnicodeDecodeError as e:
                self.fault("%s: not code page 949 (%s): %r" % (where, e, raw[:120]))
                continue
            m = HEADER.match(line)
            if not m:
                self.fault("%s: no header: %r" % (where, line[:120]))
                continue
            year, month, day, hour, minute, second, ms = (int(v) for v in m.groups()[:7])
            if not (1 <= month <= 12 and 1 <= day <= 31 and hour < 24 and minute < 60 and second < 60):
                self.fault("%s: no such time: %r" % (where, line[:26]))
            stamp = line[1:24]
            if stamp < last_stamp:
                self.fault("%s: time runs backwards: %s after %s" % (where, stamp, last_stamp))
            last_stamp = stamp
            if int(m.group(8)) != pid:
                self.fault("%s: process id %s, not %d" % (where, m.group(8), pid))
            rest = line[m.end():]
            found = MESSAGE_START.match(rest) or SCOPE.match(rest)
            if not found:
                self.fault("%s: neither a message nor a scope marker: %r" % (where, rest[:120]))
                continue
            t, n = int(found.group(1)), int(found.group(2))
            k = n if found.re is MESSAGE_START else n * ROUND + (ROUND - 1 if rest.endswith(EXIT) else 0)
            if t >= THREADS or k >= LINES or rest != expected_rest(t, k):
                self.fault("%s: not the line it claims to be (thread %d, line %d): %r" % (where, t, k, rest[:160]))
                continue
            self.by_thread[t].append(k)
            self.tids[t].add(int(m.group(9)))

        for t in range(THREADS):
            if len(self.tids[t]) > 1:
                self.fault("thread %d: lines under thread ids %s" % (t, sorted(self.tids[t])))
            seen = self.by_thread[t]
            for a, b in zip(seen, seen[1:]):
                if b <= a:
                    self.fault("thread %d: line %d after line %d" % (t, b, a))
                    break
        ids = [next(iter(s)) for s in self.tids.values() if len(s) == 1]
        if len(set(ids)) != len(ids):
            self.fault("two threads share a thread id: %s" % self.tids)

    def fault(self, text):
        if len(self.faults) < 20:
            self.faults.append(text)

    def gaps(self, t, start):
        """Line numbers from `start` on that thread t should have and did not write."""
        return sorted(set(range(start, LINES)) - set(self.by_thread[t]))


class LogUnderLoadTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        build = kvtest.build_dir()
        cls.logload = build / "kv_logload.exe"
        cls.deleter = build / "kv_log_deleter.exe"
        for exe in (cls.logload, cls.deleter):
            if not exe.exists():
                raise RuntimeError("%s is missing: build first" % exe)
        if not (kvtest.wine_prefix() / "system.reg").exists():
            raise RuntimeError("no Wine prefix at %s: run through scripts/test.sh" % kvtest.wine_prefix())

    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="kvload_", dir=kvtest.build_dir()))
        # Append mode makes the log again after every deletion: only where every user may.
        kvtest.open_to_users(self.dir)
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.addCleanup(kvwizard.set_log, None, exe_name=EXE_NAME)

    def run_load(self, mode, with_deleter):
        """One run of kv_logload.exe with the log in `mode`: (file bytes, its report, the
        deleter's report or None, wall seconds)."""
        log = self.dir / ("mode%d.log" % mode)
        report = self.dir / ("mode%d.report" % mode)
        kvwizard.set_log(mode, windows_path(log), exe_name=EXE_NAME)
        args = [THREADS, LINES, windows_path(report)]
        if with_deleter:
            args.append(windows_path(self.deleter))
        started = time.monotonic()
        rc, out, _ = kvtest.wine_run(self.logload, *args, timeout=600)
        said = out.decode("utf-8", "replace")
        seconds = time.monotonic() - started
        self.assertEqual(rc, 0, "kv_logload.exe failed: %s" % said[-2000:])
        deleter = read_report(Path(str(report) + ".deleter")) if with_deleter else None
        return log.read_bytes() if log.exists() else b"", read_report(report), deleter, seconds

    def show(self, what, found, report, deleter, seconds):
        counts = [len(found.by_thread[t]) for t in range(THREADS)]
        firsts = [found.by_thread[t][0] if found.by_thread[t] else None for t in range(THREADS)]
        text = "%s: %d lines in the file; per thread %s; first line per thread %s; scopes cut short %d; " \
               "%.1f s (writing %.1f s)" % (what, found.lines, counts, firsts, len(report["lost_round"]),
                                           seconds, report["elapsed_ms"][0] / 1000.0)
        if deleter:
            text += "; deleter: deleted %d, absent %d, refused %d, other %d" % (
                deleter["deleted"][0], deleter["absent"][0], deleter["refused"][0], deleter["other"][0])
        print(text, file=sys.stderr)

    def test_lines_stay_whole_and_are_lost_only_with_the_file(self):
        cases = [
            # (what, mode, deleter running)
            # Held open without delete sharing: every deletion is refused, no line is lost.
            ("file mode, deleter refused", 2, True),
            # Nothing deletes: opened and closed around every line, yet not one line is lost.
            ("append mode, left alone", 3, False),
            # Deleted between lines again and again: only lines that went with a file are lost.
            ("append mode, deleted again and again", 3, True),
        ]
        for what, mode, with_deleter in cases:
            with self.subTest(what):
                data, report, deleter, seconds = self.run_load(mode, with_deleter)
                found = LogFile(data, report["pid"][0])
                self.show(what, found, report, deleter, seconds)
                self.assertEqual(found.faults, [])
                self.assertEqual(report["lost_round"], [], "scopes whose stream failed (thread, round, line)")
                if deleter:
                    self.assertEqual(deleter["other"][0], 0, "deleter: error %d" % deleter["last_error"][0])

                if mode == 2 or not with_deleter:
                    for t in range(THREADS):
                        self.assertEqual(found.by_thread[t], list(range(LINES)), "thread %d" % t)
                    if deleter:
                        self.assertEqual(deleter["deleted"][0], 0)
                        self.assertGreater(deleter["refused"][0], 0, "the deleter never met the file")
                    continue

                # The deletions did happen, and took whole files' worth of lines with them.
                self.assertGreaterEqual(deleter["deleted"][0], 10)
                missing = THREADS * LINES - sum(len(found.by_thread[t]) for t in range(THREADS))
                self.assertGreater(missing, THREADS * LINES // 4)
                after_deleter = report["after_deleter"]
                for t in range(THREADS):
                    lines = found.by_thread[t]
                    self.assertTrue(lines, "thread %d: no line survived" % t)
                    first = lines[0]
                    self.assertLessEqual(first, after_deleter[t],
                                         "thread %d: lines lost after the deleter had stopped" % t)
                    self.assertEqual(found.gaps(t, first)[:10], [],
                                     "thread %d: lines missing between its first line in the file (%d) and its "
                                     "last" % (t, first))


if __name__ == "__main__":
    unittest.main()
