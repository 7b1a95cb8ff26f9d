"""Judging one fault-campaign run: what the sensor must hold after what the
tool reported, what a calibration file or a backup must contain, when a run
of the tool counts as hung, which bytes a sensor was never meant to get, and
whether a drawn fault fired or was provably never reached. Pure functions
over bytes and the simulator's report, so that they can be tested on their
own (test_oracles.py)."""
import re

FLASH_SIZE = 0x20000
APP_SIZE = 0x1C000          # 0x80000..0x9BFFF, the area an update erases
APP_BASE = 0x80000
IMAGE_HEADER = 12

# The sensor's own limits on a calibration load.
SENSOR_MAX_LINE = 256
SENSOR_MAX_RECORDS = 99

# Longest time the host may repeat one operation, from its first attempt to
# the start of its last, as the protocol fixes it: boot-mode entry asks until
# 10 s have passed (an attempt takes 1.3 s); flash initiation makes up to ten
# attempts of 0.5 s and a 10 s reply wait; a telegram is repeated while its
# 10 s window is open, each repeat after 0.1 s and a drain of up to 5 s.
OP_SPAN = {"cmd:boot": 11.6, "cmd:flsh": 105.5, "tg:": 16.0}
# Longest stretch in which a working host sends nothing: the erase reply
# wait (10 s for the first byte, 1 s for each further one) and the closing
# steps of an update.
UPDATE_QUIET = 12.5
# Empty telegrams (zeros) are the host resynchronising with a program left
# running: it sends them until the program answers, at most the longest data
# a telegram can announce and a few hundred besides, for at most 25 s more
# than their line time (12 bits a byte).
RESYNC_ZEROS = 65535 + 16 + 288 + 200
RESYNC_EXTRA = 27.0

# What a search may ask a sensor that is not the one it is after: its
# identity, then (when it answered) "appl" and "spec" for its serial number.
SEARCH_LINES = frozenset({"id", "appl", "spec"})


def resync_limit(baud):
    return RESYNC_ZEROS * 12 / baud + RESYNC_EXTRA


# A run outlives its phase's time-outs by more than this: a hang.
HANG_MARGIN = 10.0


# ---- flash ---------------------------------------------------------------------

def outside_app_changes(before, after):
    """Bytes that differ outside the application area (the boot area)."""
    if len(before) != FLASH_SIZE or len(after) != FLASH_SIZE:
        return FLASH_SIZE - APP_SIZE
    return sum(1 for a, b in zip(before[APP_SIZE:], after[APP_SIZE:]) if a != b)


def holds_image(flash, image):
    """An update that went through leaves the image at 0x80000 and the rest
    of the area it erased, up to 0x9BFFF, erased."""
    n = len(image)
    return (len(flash) == FLASH_SIZE and 0 < n <= APP_SIZE and flash[:n] == image
            and flash[n:APP_SIZE].count(0xFF) == APP_SIZE - n)


def app_valid(flash):
    """Whether the sensor starts an application from this flash: the image
    header ("DKFW", length, byte sum of what follows the header)."""
    if len(flash) < APP_SIZE or flash[:4] != b"DKFW":
        return False
    n = int.from_bytes(flash[4:8], "little")
    if not IMAGE_HEADER <= n <= APP_SIZE:
        return False
    return sum(flash[IMAGE_HEADER:n]) & 0xFFFFFFFF == int.from_bytes(flash[8:12], "little")


def worse_off(before, after):
    """Why the sensor is worse off after a run than before it (empty when it
    is not): its boot area changed, or it had an application and has none."""
    why = []
    if outside_app_changes(before, after):
        why.append("boot area changed")
    if app_valid(before) and not app_valid(after):
        why.append("application lost")
    return why


# ---- calibration -------------------------------------------------------------

def file_records(data):
    """The records of a calibration file as a faithful load leaves them in the
    sensor: every line (LF ends, a CR before it dropped) that, with trailing
    blanks, tabs and line ends and leading blanks and tabs removed, begins
    with '@'."""
    out = []
    for raw in data.split(b"\n"):
        line = raw.rstrip(b"\r\n\t ").lstrip(b" \t")
        if line.startswith(b"@"):
            out.append(line)
    return out


def sensor_records(text):
    """Records as the simulator keeps them (calibration.txt: one a line)."""
    return [l.rstrip(b"\r") for l in text.split(b"\n") if l.rstrip(b"\r")]


def load_matches(file_bytes, records_after):
    """A load reported as done must leave exactly the file's records in the
    sensor. A file without records cannot be loaded (the sensor keeps its
    old ones), so no load of it is ever done."""
    want = file_records(file_bytes)
    return bool(want) and records_after == want


def saved_file_matches(file_bytes, records, serial=b"K52A01234"):
    """A save reported as done must hold the sensor's reply whole, each line
    with trailing blanks and underscores removed and CR LF after it: the
    answer "oper" to the "appl" the tool may send first, the listing's
    "CAL:SER" line, the pack header with the record count, every record and
    the trailer, and nothing after but the one empty line the save's line
    splitting leaves after the reply's last line end."""
    if not file_bytes.endswith(b"\r\n"):
        return False
    lines = file_bytes[:-2].split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    count = b"%02d" % (len(records) % 100)
    block = [b"CAL:SER " + serial, b" pack " + count] + [r.rstrip(b" \t_") for r in records] + \
        [b"end " + count + b" records"]
    return lines == block or lines == [b"oper"] + block


def named_files(text):
    """Absolute paths named in a message (a saved copy the tool points to)."""
    return [m.rstrip(".,;:)'\"") for m in re.findall(r"(/[^\s'\"`]+)", text)]


def cal_load_outcome(rc, file_bytes, records_after, records_before, saved_copies):
    """Judges a calibration load against the sensor's records after it: a
    success must leave the file's records; a failure must leave the old ones,
    or name a saved copy (records of each named file given in
    `saved_copies`) that holds them. Returns (ok, why)."""
    if rc == 0:
        return load_matches(file_bytes, records_after), "reported done"
    if records_after == records_before:
        return True, "old records kept"
    if any(recs == records_before for recs in saved_copies):
        return True, "saved copy of the old records named"
    return False, "neither the file's nor the old records, and no saved copy of them named"


# ---- listings ------------------------------------------------------------------

def listing_shown(text, expected_lines):
    """An information listing printed by the tool must be the sensor's, from
    its first pack line on (LF ends, trailing blanks gone)."""
    lines = [l.rstrip() for l in text.replace("\r\n", "\n").split("\n")]
    while lines and lines[-1] == "":
        lines.pop()
    return lines == expected_lines


# ---- hangs ---------------------------------------------------------------------

def _abs(report, t):
    return report["started_unix"] + t


def op_limit(key):
    for prefix, limit in OP_SPAN.items():
        if key == prefix or (prefix.endswith(":") and key.startswith(prefix)):
            return limit
    return None


def hang_findings(start, end, reports, quiet_limit, search_limit=None, no_sensor=False, killed=False, paused=0.0):
    """Why a run of the tool from `start` to `end` (Unix times) counts as
    hung, judged from the reports of the simulators that served it; an empty
    list when it does not.

    - an operation repeated for longer than the protocol allows (OP_SPAN);
    - the host silent on the line for longer than `quiet_limit`, in the
      middle of the run or at its end (a finished host ends right after its
      last words to the sensor);
    - a search that found nothing and ran past `search_limit` (it may be
      silent that long);
    each by more than HANG_MARGIN (and the `paused` seconds the campaign
    held the tool stopped); or the run was killed at the campaign's own
    ceiling."""
    found = []
    margin = HANG_MARGIN + paused
    if no_sensor and search_limit is not None:
        # A search may wait on a port it cannot use until its time-out.
        quiet_limit = max(quiet_limit, search_limit)
    if killed:
        found.append("killed at the campaign's ceiling")
    bursts = []
    for r in reports:
        for op in r.get("operations", []):
            first, last = _abs(r, op["first"]), _abs(r, op["last"])
            if last < start - 0.5 or first > end + 0.5:
                continue
            # A search that found nothing sent only its text queries, at
            # every rate: a transfer program still on the line reads them as
            # telegrams of whatever code the garble gives, again and again.
            # Those are no operation of the host's repeated.
            if no_sensor and op["op"].startswith("tg:") and op["op"] != "tg:--":
                continue
            limit = op_limit(op["op"])
            if op["op"] == "tg:--":
                limit = resync_limit(r.get("config", {}).get("baud", 38400))
            if limit is not None and last - first > limit + margin:
                found.append(f"{op['op']} repeated for {last - first:.0f} s")
        for a, b in r.get("rx_bursts", []):
            a, b = _abs(r, a), _abs(r, b)
            if b >= start - 0.5 and a <= end + 0.5:
                bursts.append((max(a, start), min(b, end)))
    bursts.sort()
    last = start
    for a, b in bursts:
        if a - last > quiet_limit + margin:
            found.append(f"silent on the line for {a - last:.0f} s")
        last = max(last, b)
    if end - last > quiet_limit + margin:
        found.append(f"ran {end - last:.0f} s past its last byte to the sensor")
    if no_sensor and search_limit is not None and end - start > search_limit + margin:
        found.append(f"searched for {end - start:.0f} s")
    return found


def mode_at(reports, when):
    """The sensor's mode at Unix time `when` by the reports' mode changes."""
    mode = None
    for r in reports:
        for m in r.get("modes", []):
            if _abs(r, m["t"]) <= when:
                mode = m["mode"]
    return mode


# ---- bytes a sensor was not meant to get ----------------------------------------

def foreign_traffic(reports, windows, search_allowed):
    """What a sensor received within `windows` ((start, end) Unix times in
    which no run of the tool was meant for it), as its simulators' reports
    show what the host wrote: every burst is a finding, unless
    `search_allowed` and it holds nothing but a search's queries (text lines
    of SEARCH_LINES, no NUL, nothing binary)."""
    found = []
    for r in reports:
        for tr in r.get("rx_traffic", []):
            a, b = _abs(r, tr["t"]), _abs(r, tr["end"])
            if not any(b >= s - 0.2 and a <= e + 0.2 for s, e in windows):
                continue
            lines = set(tr.get("lines", []))
            if search_allowed and not tr["nuls"] and not tr["binary"] and lines <= SEARCH_LINES:
                continue
            what = []
            if tr["nuls"]:
                what.append(f"{tr['nuls']} NULs")
            if tr["binary"]:
                what.append(f"{tr['binary']} binary bytes")
            if lines - SEARCH_LINES or not search_allowed:
                what.append("lines " + ",".join(sorted(lines)) if lines else "text")
            found.append(f"{tr['bytes']} bytes at +{a - windows[0][0]:.1f}s ({'; '.join(what)})")
    return found


def wake_up_zeros(report, start, end):
    """NUL bytes (a wake-up's zeros) a sensor took in its own firmware (not
    in a program) between `start` and `end`."""
    return sum(o["count"] for o in (report or {}).get("operations", []) if o["op"] == "nul"
               and _abs(report, o["last"]) >= start - 0.2 and _abs(report, o["first"]) <= end + 0.2)


# ---- did a fault fire --------------------------------------------------------------

# The report list each armed fault leaves its events in, and which of them
# count as the fault having hit.
EVENT_LISTS = {
    "line": "line_faults", "power-loss": "power_losses", "silent": "silent", "cut": "cuts",
    "line-break": "line_breaks", "verdict": "verdicts", "telegram-errors": "telegram_errors",
    "error-reply": "error_replies", "stuck-cell": "flash_defects", "erase-defect": "flash_defects",
    "slow-erase": "erases", "no-boot-answer": "boot_ignored", "id-noise": "identity_noise",
    "listing": "listing_faults",
}


# Faults that clearing the sensor's faults leaves as they are: the flash
# part's erase time. An erase is recorded when its reply goes out, which for
# one the host gave up on comes after the re-run has cleared the faults.
STAY_AFTER_CLEAR = ("slow-erase",)


def judged_report(fault, frozen, final):
    """The report `fault` is judged on: as it stood when the faults were
    cleared for a re-run (`frozen`; the final one when they never were),
    or the final one for a fault that stays: every erase in it ran at the
    part's slow speed, the first run's included, whenever it ended."""
    if fault["kind"] in STAY_AFTER_CLEAR or not frozen:
        return final
    return frozen


def defect_named(kind, hits, text):
    """Whether the failure `text` of a run against a flash defect that stays
    names it: an erase the sensor reported failed as an erase failure, a
    cell that will not program as a programming or checksum failure. An
    erase that never completes leaves the erase telegram unanswered, which
    on the wire is a sensor gone silent (power, cable) during the erase: the
    missing reply is the honest failure the tool can give."""
    in_erase = any(h.get("telegram") == "tg:27" or "erase" in h.get("what", "") for h in hits)
    pattern = r"eras" if in_erase else r"program|checksum|verif|writ"
    if kind == "defect-erase-hangs":
        pattern = r"eras|Response telegram not received"
    # The caption every update failure starts with names no defect.
    text = re.sub(r"FLASH programming error:", "", text, flags=re.I)
    return re.search(pattern, text, re.I) is not None


def fault_hits(fault, reports):
    """The events of `reports` in which the armed `fault` (a dict: kind,
    and what places it) changed what the host saw."""
    kind = fault["kind"]
    hits = []
    for r in reports:
        for e in r.get(EVENT_LISTS.get(kind, ""), []):
            if kind == "line":
                ok = e["direction"] == fault["direction"] and e["what"] == fault["what"]
                if ok and fault.get("where"):
                    ok = e["where"] == fault["where"]
            elif kind == "verdict":
                ok = e["sent"] != e["honest"]
            elif kind == "stuck-cell":
                ok = e["what"].startswith("stuck cell")
            elif kind == "erase-defect":
                ok = not e["what"].startswith("stuck cell")
            elif kind == "slow-erase":
                ok = e["ms"] >= fault["ms"] * 0.95
            elif kind == "line-break":
                ok = e["rx_lost"] + e["tx_lost"] > 0
            else:
                ok = True
            if ok:
                hits.append(e)
    return hits


def _stage_count(reports, stage):
    return max([r.get("stages_reached", {}).get(stage, 0) for r in reports] or [0])


def _seen_op(reports, pred):
    return any(pred(o["op"]) for r in reports for o in r.get("operations", []))


def reached(fault, reports):
    """Whether the host's runs reached the place of `fault` in the
    simulators that had it armed, with what they reached (for the record of
    a fault that did not fire)."""
    kind = fault["kind"]
    stages = {k: v for r in reports for k, v in r.get("stages_reached", {}).items()}
    furthest = ", ".join(f"{k}:{v}" for k, v in sorted(stages.items())) or "nothing"
    if kind == "line":
        if fault.get("rate"):
            n = sum(r.get("rx_bytes" if fault["direction"] == "rx" else "tx_bytes", 0) for r in reports)
            return n > 0, f"{n} bytes crossed"
        phase, pos = fault["phase"], fault["position"]
        n = max([r.get("line_bytes", {}).get(f"{fault['direction']}:{phase}", 0) for r in reports] or [0])
        return n > pos, f"{n} {fault['direction']} {phase} bytes crossed"
    if "stage" in fault:
        n = _stage_count(reports, fault["stage"])
        return n >= fault["count"], f"reached {furthest}"
    if kind in ("verdict",):
        ok = _seen_op(reports, lambda o: o == "cmd:flsh") and _stage_count(reports, "download") >= fault["download"]
        return ok, f"reached {furthest}"
    if kind in ("telegram-errors", "error-reply"):
        cmd = fault.get("command")
        ok = _seen_op(reports, lambda o: o.startswith("tg:" + cmd) if cmd else o.startswith("tg:"))
        return ok, f"reached {furthest}"
    if kind in ("slow-erase", "erase-defect"):
        return _seen_op(reports, lambda o: o == "tg:27"), f"reached {furthest}"
    if kind == "stuck-cell":
        block = fault["block"]
        ok = _seen_op(reports, lambda o: o == "tg:27" or o == f"tg:25@{block:05X}")
        return ok, f"reached {furthest}"
    if kind == "no-boot-answer":
        return _seen_op(reports, lambda o: o == "cmd:boot"), f"reached {furthest}"
    if kind == "id-noise":
        return _seen_op(reports, lambda o: o == "cmd:id"), "identity asked" if _seen_op(
            reports, lambda o: o == "cmd:id") else "identity never asked"
    if kind == "listing":
        ok = _seen_op(reports, lambda o: o in ("cmd:SPEC", "cmd:STAT:MEAS", "cmd:SERV:TEST", "cmd:STAT:ERR:CODE",
                                               "cmd:STAT:ERR:TEXT"))
        return ok, "listing requested" if ok else "no listing requested"
    return True, f"reached {furthest}"


def describe_hit(e):
    where = e.get("where") or e.get("what") or e.get("sent") or e.get("command") or e.get("answer") or ""
    return f"{e.get('stage', '?')} {e.get('telegram', '')} {where}".strip()


def signal_death(rc, sent, killed=False):
    """The name of the signal a run of the tool died of when the campaign
    did not send it (None when it exited, or died of one it was sent)."""
    if rc is None or rc >= 0 or killed:
        return None
    import signal as _signal
    try:
        name = _signal.Signals(-rc).name
    except ValueError:
        name = f"signal {-rc}"
    return None if name in sent else name
