"""The fault campaign's judges: calibration files against the sensor's
records, flash outside the application area, and hangs from a simulator's
report. Run: python3 -m unittest test_oracles (in this directory)."""
import unittest

import oracles as O

RECS = [b"@CAL01 T=+20.0 K0=+1.0", b"@CAL02 T=+40.0 K0=+0.9"]


def listing(records, preamble=(b"CAL:SER K52A01234",)):
    n = b"%02d" % len(records)
    lines = list(preamble) + [b" pack " + n] + records + [b"end " + n + b" records"]
    return b"".join(l + b"\r\n" for l in lines)


class Calibration(unittest.TestCase):
    def test_file_records_are_the_trimmed_at_lines(self):
        data = b"CAL:SER X\r\n pack 02\r\n  @CAL01 T=+20.0 K0=+1.0 \t\r\n\r\nx@no\n@CAL02 T=+40.0 K0=+0.9"
        self.assertEqual(O.file_records(data), RECS)
        self.assertEqual(O.file_records(b""), [])
        self.assertEqual(O.file_records(b"\x00\xff@\r"), [])

    def test_a_load_is_done_only_when_the_sensor_holds_the_files_records(self):
        f = listing(RECS)
        self.assertTrue(O.load_matches(f, RECS))
        self.assertFalse(O.load_matches(f, RECS[:1]))           # a record lost on the way
        self.assertFalse(O.load_matches(f, RECS[::-1]))         # order
        self.assertFalse(O.load_matches(f, [RECS[0], RECS[1] + b"x"]))
        # A file without records leaves the sensor's own: never a done load.
        self.assertFalse(O.load_matches(b"junk\r\n pack 00\r\n", [b"@OLD01 a"]))
        self.assertFalse(O.load_matches(b"", []))

    def test_a_saved_file_must_be_the_whole_listing(self):
        self.assertTrue(O.saved_file_matches(listing(RECS), RECS))
        # Whatever came before the header is the listing's preamble.
        self.assertTrue(O.saved_file_matches(listing(RECS, (b"oper", b"CAL:SER K")), RECS))
        # The save trims trailing blanks and underscores of every line.
        self.assertTrue(O.saved_file_matches(listing([RECS[0], RECS[1]]), [RECS[0], RECS[1] + b" __"]))
        whole = listing(RECS)
        self.assertFalse(O.saved_file_matches(whole[:-2], RECS))                       # no final line end
        self.assertFalse(O.saved_file_matches(whole[:whole.index(b"end")], RECS))     # truncated
        self.assertFalse(O.saved_file_matches(whole.replace(b"+40.0", b"+48.0"), RECS))  # a byte changed
        self.assertFalse(O.saved_file_matches(whole + b"extra\r\n", RECS))
        # The save's own empty last line is part of its format; a second is not.
        self.assertTrue(O.saved_file_matches(whole + b"\r\n", RECS))
        self.assertFalse(O.saved_file_matches(whole + b"\r\n\r\n", RECS))
        self.assertFalse(O.saved_file_matches(listing(RECS), RECS + [b"@CAL03 x"]))     # count
        self.assertFalse(O.saved_file_matches(b"", RECS))

    def test_sensor_records_read_as_kept(self):
        self.assertEqual(O.sensor_records(b"@A 1\r\n\n@B 2\n"), [b"@A 1", b"@B 2"])


class Flash(unittest.TestCase):
    def test_only_bytes_outside_the_application_area_count(self):
        before = bytes(O.FLASH_SIZE)
        after = bytearray(before)
        after[0] = after[O.APP_SIZE - 1] = 1
        self.assertEqual(O.outside_app_changes(before, bytes(after)), 0)
        after[O.APP_SIZE] = after[-1] = 7
        self.assertEqual(O.outside_app_changes(before, bytes(after)), 2)
        self.assertEqual(O.outside_app_changes(before, b""), O.FLASH_SIZE - O.APP_SIZE)

    def test_holds_image(self):
        flash = b"DKFW1234" + bytes(O.FLASH_SIZE - 8)
        self.assertTrue(O.holds_image(flash, b"DKFW12"))
        self.assertFalse(O.holds_image(flash, b"DKFW13"))
        self.assertFalse(O.holds_image(flash, b""))
        self.assertFalse(O.holds_image(flash[:-1], b"DKFW"))


def report(ops=(), bursts=(), modes=(), start=1000.0):
    return {"started_unix": start, "operations": [{"op": k, "first": a, "last": b, "count": 2} for k, a, b in ops],
            "rx_bursts": [list(b) for b in bursts], "modes": [{"t": t, "mode": m} for t, m in modes]}


class Hangs(unittest.TestCase):
    def test_a_clean_run_is_no_hang(self):
        r = report(ops=[("cmd:boot", 1, 2.3), ("tg:27", 20, 20), ("tg:25@80000", 22, 24)], bursts=[(1, 30)])
        self.assertEqual(O.hang_findings(1000, 1031, [r], O.UPDATE_QUIET), [])

    def test_an_operation_repeated_past_its_window(self):
        ok = report(ops=[("tg:25@80000", 10, 10 + 16 + 9.9)], bursts=[(1, 40)])
        self.assertEqual(O.hang_findings(1000, 1041, [ok], O.UPDATE_QUIET), [])
        bad = report(ops=[("tg:25@80000", 10, 10 + 16 + 10.5)], bursts=[(1, 40)])
        self.assertEqual(len(O.hang_findings(1000, 1041, [bad], O.UPDATE_QUIET)), 1)
        boot = report(ops=[("cmd:boot", 1, 23)], bursts=[(1, 24)])
        self.assertEqual(len(O.hang_findings(1000, 1025, [boot], O.UPDATE_QUIET)), 1)
        # Zeros of a resynchronisation are bounded by their line time at the rate.
        zeros = report(ops=[("tg:--", 10, 60)], bursts=[(1, 70)])
        zeros["config"] = {"baud": 19200}
        self.assertEqual(O.hang_findings(1000, 1071, [zeros], O.UPDATE_QUIET), [])
        zeros["config"] = {"baud": 38400}
        zeros["operations"][0]["last"] = 10 + O.resync_limit(38400) + 10.5
        self.assertEqual(len(O.hang_findings(1000, 1090, [zeros], O.UPDATE_QUIET)), 1)
        # Operations of another run of the tool do not count.
        self.assertEqual(O.hang_findings(1100, 1130, [bad], O.UPDATE_QUIET), ["ran 30 s past its last byte to the sensor"])

    def test_the_line_left_silent(self):
        tail = report(bursts=[(1, 10)])
        self.assertEqual(O.hang_findings(1000, 1010 + O.UPDATE_QUIET + 9, [tail], O.UPDATE_QUIET), [])
        self.assertEqual(len(O.hang_findings(1000, 1010 + O.UPDATE_QUIET + 11, [tail], O.UPDATE_QUIET)), 1)
        middle = report(bursts=[(1, 5), (5 + O.UPDATE_QUIET + 11, 60)])
        self.assertEqual(len(O.hang_findings(1000, 1060, [middle], O.UPDATE_QUIET)), 1)
        # Two simulators (a power cycle) in one window: their bursts join.
        a, b = report(bursts=[(1, 10)]), report(bursts=[(0, 20)], start=1015.0)
        self.assertEqual(O.hang_findings(1000, 1036, [a, b], O.UPDATE_QUIET), [])

    def test_search_and_ceiling(self):
        r = report(bursts=[(0, 75)])
        self.assertEqual(O.hang_findings(1000, 1075, [r], O.UPDATE_QUIET, 60, no_sensor=True), ["searched for 75 s"])
        self.assertEqual(O.hang_findings(1000, 1069, [r], O.UPDATE_QUIET, 60, no_sensor=True), [])
        self.assertIn("killed at the campaign's ceiling", O.hang_findings(1000, 1001, [r], 5, killed=True))
        # A search on a port it cannot open sends nothing until its time-out.
        self.assertEqual(O.hang_findings(1000, 1061, [report()], O.UPDATE_QUIET, 60, no_sensor=True), [])
        self.assertEqual(len(O.hang_findings(1000, 1061, [report()], O.UPDATE_QUIET, 60)), 1)

    def test_mode_at(self):
        r = report(modes=[(0, "application starting"), (5, "boot firmware"), (9, "downloaded program")])
        self.assertEqual(O.mode_at([r], 1007), "boot firmware")
        self.assertEqual(O.mode_at([r], 1100), "downloaded program")
        self.assertIsNone(O.mode_at([r], 999))


if __name__ == "__main__":
    unittest.main()
