"""The fault campaign's judges: the flash an update leaves, calibration files
and loads against the sensor's records, hangs, bytes a sensor was not meant
to get, whether a fault fired or was provably not reached, and deaths by a
signal. Run: python3 -m unittest test_oracles (in this directory)."""
import signal
import unittest

import oracles as O

RECS = [b"@CAL01 T=+20.0 K0=+1.0", b"@CAL02 T=+40.0 K0=+0.9"]


def listing(records, preamble=(b"CAL:SER K52A01234",)):
    n = b"%02d" % len(records)
    lines = list(preamble) + [b" pack " + n] + records + [b"end " + n + b" records"]
    return b"".join(l + b"\r\n" for l in lines)


def app(size=100, version=b"3.10"):
    body = b"VER=" + version + bytes(range(256)) * (size // 256 + 1)
    body = body[:size - 12]
    return b"DKFW" + size.to_bytes(4, "little") + (sum(body) & 0xFFFFFFFF).to_bytes(4, "little") + body


def flash(image=b"", boot=b"B"):
    f = bytearray(b"\xff" * O.FLASH_SIZE)
    f[:len(image)] = image
    f[O.APP_SIZE:O.APP_SIZE + len(boot)] = boot
    return bytes(f)


class Calibration(unittest.TestCase):
    def test_file_records_are_the_trimmed_at_lines(self):
        data = b"CAL:SER X\r\n pack 02\r\n  @CAL01 T=+20.0 K0=+1.0 \t\r\n\r\nx@no\n@CAL02 T=+40.0 K0=+0.9"
        self.assertEqual(O.file_records(data), RECS)
        self.assertEqual(O.file_records(b""), [])
        self.assertEqual(O.file_records(b"\x00\xff@\r"), [])
        self.assertEqual(O.sensor_records(b"@A 1\r\n\n@B 2\n"), [b"@A 1", b"@B 2"])

    def test_a_saved_file_must_be_the_whole_reply(self):
        whole = listing(RECS)
        cases = [
            (whole, True),
            (listing(RECS, (b"oper", b"CAL:SER K52A01234")), True),   # the answer to "appl" ahead of it
            (whole + b"\r\n", True),                                     # the save's own empty last line
            (listing([RECS[0], RECS[1]]), True),
            (whole + b"\r\n\r\n", False),
            (listing(RECS, (b"CAL:SDR K52A01234",)), False),              # a garbled preamble
            (listing(RECS, (b"oper", b"oper", b"CAL:SER K52A01234")), False),
            (listing(RECS, ()), False),                                   # no preamble
            (listing(RECS, (b"CAL:SER K52B05678",)), False),              # another sensor's
            (whole[:-2], False),                                          # no final line end
            (whole[:whole.index(b"end")], False),
            (whole.replace(b"+40.0", b"+48.0"), False),
            (whole + b"extra\r\n", False),
            (b"", False),
        ]
        for data, ok in cases:
            self.assertEqual(O.saved_file_matches(data, RECS), ok, data)
        # The save trims trailing blanks and underscores of every line.
        self.assertTrue(O.saved_file_matches(whole, [RECS[0], RECS[1] + b" __"]))
        self.assertFalse(O.saved_file_matches(whole, RECS + [b"@CAL03 x"]))

    def test_every_load_leaves_the_files_records_or_the_old_ones_or_names_a_copy(self):
        f, old, new = listing(RECS), [b"@OLD01 a"], RECS
        mixed = [RECS[0], b"@OLD01 a"]
        cases = [
            (0, new, [], True),            # done: the file's records
            (0, old, [], False),           # "done" but nothing changed
            (0, RECS[:1], [], False),      # a record lost on the way
            (1, old, [], True),            # failed, the old records kept
            (1, mixed, [], False),         # failed half-way, nothing to go back to
            (1, mixed, [old], True),       # ... with a saved copy of the old ones named
            (1, mixed, [new], False),      # a named file that is not the old records
            (2, old, [], True),
        ]
        for rc, after, copies, ok in cases:
            self.assertEqual(O.cal_load_outcome(rc, f, after, old, copies)[0], ok, (rc, after, copies))
        # A file without records is never loaded.
        self.assertFalse(O.cal_load_outcome(0, b"junk\r\n pack 00\r\n", old, old, [])[0])
        self.assertEqual(O.named_files("Failed. The old calibration is in /tmp/x/K52.cal; load it with "
                                       "'duxk cal load /tmp/x/K52.cal'."), ["/tmp/x/K52.cal", "/tmp/x/K52.cal"])

    def test_listings_shown_from_the_pack_line_on(self):
        want = ["Pack 01 specification", "  serial        K52A01234"]
        self.assertTrue(O.listing_shown("Pack 01 specification\n  serial        K52A01234\n\n", want))
        self.assertFalse(O.listing_shown("busy_\n", want))
        self.assertFalse(O.listing_shown("Pack 01 specification\n", want))


class Flash(unittest.TestCase):
    def test_only_bytes_outside_the_application_area_count(self):
        before = bytes(O.FLASH_SIZE)
        after = bytearray(before)
        after[0] = after[O.APP_SIZE - 1] = 1
        self.assertEqual(O.outside_app_changes(before, bytes(after)), 0)
        after[O.APP_SIZE] = after[-1] = 7
        self.assertEqual(O.outside_app_changes(before, bytes(after)), 2)
        self.assertEqual(O.outside_app_changes(before, b""), O.FLASH_SIZE - O.APP_SIZE)

    def test_an_update_leaves_the_image_and_the_rest_of_the_area_erased(self):
        img = app(500)
        left = bytearray(flash(img))
        left[0x3000] = 0x12                   # an old byte the erase left, far behind the image
        cases = [
            (flash(img), img, True),
            (flash(img, boot=b"X"), img, True),   # the boot area is not the update's
            (bytes(left), img, False),
            (flash(img), img[:-1] + b"\x00", False),
            (flash(img), b"", False),
            (flash(img)[:-1], img, False),
            (flash(app(O.APP_SIZE)), app(O.APP_SIZE), True),
        ]
        for data, image, ok in cases:
            self.assertEqual(O.holds_image(data, image), ok)

    def test_worse_off(self):
        good, erased = flash(app(300)), flash()
        self.assertTrue(O.app_valid(good))
        self.assertFalse(O.app_valid(erased))
        self.assertEqual(O.worse_off(erased, erased), [])
        self.assertEqual(O.worse_off(erased, good), [])
        self.assertEqual(O.worse_off(good, erased), ["application lost"])
        self.assertEqual(O.worse_off(erased, flash(boot=b"X")), ["boot area changed"])


def report(ops=(), bursts=(), modes=(), start=1000.0, traffic=(), **more):
    r = {"started_unix": start, "operations": [{"op": k, "first": a, "last": b, "count": n}
                                               for k, a, b, n in [(o + (2,))[:4] for o in ops]],
         "rx_bursts": [list(b) for b in bursts], "modes": [{"t": t, "mode": m} for t, m in modes],
         "rx_traffic": [dict(t=a, end=b, bytes=n, nuls=z, binary=x, mismatched=0, lines=l)
                        for a, b, n, z, x, l in traffic]}
    r.update(more)
    return r


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
        zeros = report(ops=[("tg:--", 10, 60)], bursts=[(1, 70)], config={"baud": 19200})
        self.assertEqual(O.hang_findings(1000, 1071, [zeros], O.UPDATE_QUIET), [])
        zeros["config"] = {"baud": 38400}
        zeros["operations"][0]["last"] = 10 + O.resync_limit(38400) + 10.5
        self.assertEqual(len(O.hang_findings(1000, 1090, [zeros], O.UPDATE_QUIET)), 1)
        # A search that found nothing: what a program made of its queries is
        # no repetition of the host's, its own resynchronisation still is.
        garbled = report(ops=[("tg:11", 10, 44), ("tg:--", 45, 45 + O.resync_limit(38400) + 10.5)],
                         bursts=[(1, 70)], config={"baud": 38400})
        self.assertEqual(O.hang_findings(1000, 1071, [garbled], O.UPDATE_QUIET, 90, no_sensor=True),
                         [f"tg:-- repeated for {O.resync_limit(38400) + 10.5:.0f} s"])
        # Operations of another run of the tool do not count.
        self.assertEqual(O.hang_findings(1100, 1130, [bad], O.UPDATE_QUIET),
                         ["ran 30 s past its last byte to the sensor"])

    def test_the_line_left_silent(self):
        tail = report(bursts=[(1, 10)])
        self.assertEqual(O.hang_findings(1000, 1010 + O.UPDATE_QUIET + 9, [tail], O.UPDATE_QUIET), [])
        self.assertEqual(len(O.hang_findings(1000, 1010 + O.UPDATE_QUIET + 11, [tail], O.UPDATE_QUIET)), 1)
        middle = report(bursts=[(1, 5), (5 + O.UPDATE_QUIET + 11, 60)])
        self.assertEqual(len(O.hang_findings(1000, 1060, [middle], O.UPDATE_QUIET)), 1)
        # The seconds the campaign held the tool stopped are no hang of its own.
        self.assertEqual(O.hang_findings(1000, 1060, [middle], O.UPDATE_QUIET, paused=8), [])
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


class OtherSensors(unittest.TestCase):
    def test_bytes_not_meant_for_a_sensor(self):
        query = (5, 6, 12, 0, 0, ["id"])
        serial = (7, 8, 30, 0, 0, ["id", "appl", "spec"])
        zeros = (5, 6, 300, 288, 0, ["id"])
        update = (5, 9, 9000, 100, 8000, ["boot", "flsh"])
        cases = [
            ([query], True, 0),             # a search may ask who is there
            ([serial], True, 0),
            ([query], False, 1),            # ... but nothing at all goes to a port named for another
            ([zeros], True, 1),             # a wake-up is never a search's
            ([update], True, 1),
            ([(20, 21, 12, 0, 0, ["id"])], False, 0),   # outside the window
        ]
        for traffic, search, n in cases:
            self.assertEqual(len(O.foreign_traffic([report(traffic=traffic)], [(1004, 1010)], search)), n,
                             (traffic, search))

    def test_wake_up_zeros_in_the_sensors_own_firmware(self):
        r = report(ops=[("cmd:id", 1, 1), ("nul", 2, 3, 288), ("cmd:id", 4, 4), ("tg:--", 10, 12, 600)])
        self.assertEqual(O.wake_up_zeros(r, 1000, 1005), 288)
        self.assertEqual(O.wake_up_zeros(r, 1009, 1020), 0)   # a program's zeros are not these


class Firing(unittest.TestCase):
    def test_a_fault_fired_only_where_it_changed_what_the_host_saw(self):
        lf = {"direction": "rx", "what": "drop", "where": "tg:25", "stage": "program", "telegram": "tg:25@80000"}
        r = report(line_faults=[lf], verdicts=[{"sent": "C", "honest": "C"}, {"sent": "P", "honest": "T"}],
                   line_breaks=[{"rx_lost": 0, "tx_lost": 0}],
                   flash_defects=[{"what": "stuck cell kept its bits in a program"}], erases=[{"ms": 700}])
        cases = [
            ({"kind": "line", "direction": "rx", "what": "drop"}, 1),
            ({"kind": "line", "direction": "rx", "what": "corrupt"}, 0),
            ({"kind": "line", "direction": "rx", "what": "drop", "where": "calibration listing"}, 0),
            ({"kind": "verdict"}, 1),                   # the honest one changed nothing
            ({"kind": "line-break"}, 0),                # a dead line that lost no byte
            ({"kind": "stuck-cell"}, 1),
            ({"kind": "erase-defect"}, 0),
            ({"kind": "slow-erase", "ms": 7000}, 0),
            ({"kind": "slow-erase", "ms": 700}, 1),
        ]
        for fault, n in cases:
            self.assertEqual(len(O.fault_hits(fault, [r])), n, fault)
        self.assertEqual(O.describe_hit(lf), "program tg:25@80000 tg:25")

    def test_a_slow_erase_is_judged_on_the_final_report(self):
        # The first run's 12.6 s erase ends (and is recorded) only after the
        # re-run has cleared the faults and frozen the report without it.
        frozen = report(ops=[("tg:27", 5, 5)])
        final = report(ops=[("tg:27", 5, 5)], erases=[{"ms": 12600, "stage": "erase", "telegram": "tg:27"}],
                       faults_cleared=[{"t": 17.0}])
        slow, fast = {"kind": "slow-erase", "ms": 12600}, {"kind": "slow-erase", "ms": 13300}
        cases = [
            (slow, frozen, final, 1),
            (fast, frozen, final, 0),            # an erase shorter than the drawn one did not hit
            (slow, frozen, None, 0),
            (slow, None, final, 1),
            ({"kind": "power-loss"}, report(power_losses=[{"stage": "erase"}]), report(power_losses=[{}] * 2), 1),
            ({"kind": "power-loss"}, None, report(power_losses=[{}] * 2), 2),
        ]
        for fault, fr, fi, n in cases:
            self.assertEqual(len(O.fault_hits(fault, [O.judged_report(fault, fr, fi) or {}])), n, (fault, fr, fi))

    def test_a_defect_that_stays_is_named(self):
        erase = [{"telegram": "tg:27", "what": "erase failed"}]
        cell = [{"telegram": "tg:25", "what": "stuck cell did not program"}]
        unknown = "FLASH programming error: Unknown transfer error\n"
        cases = [
            ("defect-erase-fails", erase, unknown + "The sensor reports that erasing its flash failed at 0x80000", True),
            ("defect-erase-fails", erase, "FLASH programming error: Checksum error", False),
            ("defect-erase-fails", erase, "FLASH programming error: Checksum error\n"
             "The sensor reports that erasing its flash failed at 0x80000", True),
            ("defect-partial-erase", erase, "Success: Firmware transferred successfully", False),
            ("defect-stuck-cell", cell, unknown + "The sensor reports that programming its flash failed", True),
            ("defect-stuck-cell", cell, "FLASH programming error: Checksum error", True),
            ("defect-stuck-cell", cell, "FLASH programming error: Response telegram not received", False),
            ("defect-erase-hangs", erase, "FLASH programming error: Response telegram not received", True),
            ("defect-erase-hangs", erase, "FLASH programming error: Entering bootmode failed", False),
        ]
        for kind, hits, text, named in cases:
            self.assertEqual(O.defect_named(kind, hits, text), named, (kind, text))

    def test_a_fault_not_fired_is_provably_not_reached(self):
        r = report(ops=[("cmd:boot", 1, 1), ("cmd:flsh", 2, 2), ("tg:21", 8, 8), ("tg:25@800F0", 9, 9)],
                   stages_reached={"download": 11354, "program": 300}, line_bytes={"rx:telegram": 400, "tx:reply": 60})
        cases = [
            ({"kind": "line", "direction": "rx", "phase": "telegram", "position": 399}, True),
            ({"kind": "line", "direction": "rx", "phase": "telegram", "position": 400}, False),
            ({"kind": "line", "direction": "tx", "phase": "verdict", "position": 0}, False),
            ({"kind": "power-loss", "stage": "program", "count": 300}, True),
            ({"kind": "power-loss", "stage": "program", "count": 301}, False),
            ({"kind": "cut", "stage": "checksum", "count": 1}, False),
            ({"kind": "verdict", "download": 11354}, True),
            ({"kind": "telegram-errors", "command": "27"}, False),
            ({"kind": "telegram-errors", "command": ""}, True),
            ({"kind": "slow-erase"}, False),
            ({"kind": "stuck-cell", "block": 0x800F0}, True),
            ({"kind": "stuck-cell", "block": 0x801E0}, False),
            ({"kind": "no-boot-answer"}, True),
            ({"kind": "id-noise"}, False),
        ]
        for fault, ok in cases:
            self.assertEqual(O.reached(fault, [r])[0], ok, fault)

    def test_death_by_a_signal_the_campaign_did_not_send(self):
        cases = [(0, [], None), (1, [], None), (-signal.SIGSEGV, [], "SIGSEGV"),
                 (-signal.SIGKILL, ["SIGKILL"], None), (-signal.SIGABRT, ["SIGTERM"], "SIGABRT"),
                 (-signal.SIGKILL, [], "SIGKILL")]
        for rc, sent, death in cases:
            self.assertEqual(O.signal_death(rc, sent), death, (rc, sent))
        self.assertIsNone(O.signal_death(-signal.SIGKILL, [], killed=True))   # the campaign's own ceiling


if __name__ == "__main__":
    unittest.main()
