"""Judging one fault-campaign run: what the sensor must hold after what the
tool reported, what a calibration file must contain, and when a run of the
tool counts as hung. Pure functions over bytes and the simulator's report,
so that they can be tested on their own (test_oracles.py)."""

FLASH_SIZE = 0x20000
APP_SIZE = 0x1C000          # 0x80000..0x9BFFF, the area an update erases
APP_BASE = 0x80000

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


def resync_limit(baud):
    return RESYNC_ZEROS * 12 / baud + RESYNC_EXTRA


# A run outlives its phase's time-outs by more than this: a hang.
HANG_MARGIN = 10.0


def outside_app_changes(before, after):
    """Bytes that differ outside the application area (the boot area)."""
    if len(before) != FLASH_SIZE or len(after) != FLASH_SIZE:
        return FLASH_SIZE - APP_SIZE
    return sum(1 for a, b in zip(before[APP_SIZE:], after[APP_SIZE:]) if a != b)


def holds_image(flash, image):
    return len(flash) == FLASH_SIZE and len(image) > 0 and flash[:len(image)] == image


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


def saved_file_matches(file_bytes, records):
    """A save reported as done must hold the sensor's listing: from the pack
    header on, the header with the record count, every record (trailing
    blanks and underscores removed, as the save writes lines) and the
    trailer, each ending in CR LF, and nothing after but the one empty line
    the save's line splitting leaves after the listing's last line end.
    Lines before the header are the listing's preamble (or what the sensor
    sent before it)."""
    if not file_bytes.endswith(b"\r\n"):
        return False
    lines = file_bytes[:-2].split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    count = b"%02d" % (len(records) % 100)
    want = [b" pack " + count] + [r.rstrip(b" \t_") for r in records] + [b"end " + count + b" records"]
    for i, l in enumerate(lines):
        if l.startswith(b" pack "):
            return lines[i:] == want
    return False


# ---- hangs ---------------------------------------------------------------------

def _abs(report, t):
    return report["started_unix"] + t


def op_limit(key):
    for prefix, limit in OP_SPAN.items():
        if key == prefix or (prefix.endswith(":") and key.startswith(prefix)):
            return limit
    return None


def hang_findings(start, end, reports, quiet_limit, search_limit=None, no_sensor=False, killed=False):
    """Why a run of the tool from `start` to `end` (Unix times) counts as
    hung, judged from the reports of the simulators that served it; an empty
    list when it does not.

    - an operation repeated for longer than the protocol allows (OP_SPAN);
    - the host silent on the line for longer than `quiet_limit`, in the
      middle of the run or at its end (a finished host ends right after its
      last words to the sensor);
    - a search that found nothing and ran past `search_limit` (it may be
      silent that long);
    each by more than HANG_MARGIN; or the run was killed at the campaign's
    own ceiling."""
    found = []
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
            limit = op_limit(op["op"])
            if op["op"] == "tg:--":
                limit = resync_limit(r.get("config", {}).get("baud", 38400))
            if limit is not None and last - first > limit + HANG_MARGIN:
                found.append(f"{op['op']} repeated for {last - first:.0f} s")
        for a, b in r.get("rx_bursts", []):
            a, b = _abs(r, a), _abs(r, b)
            if b >= start - 0.5 and a <= end + 0.5:
                bursts.append((max(a, start), min(b, end)))
    bursts.sort()
    last = start
    for a, b in bursts:
        if a - last > quiet_limit + HANG_MARGIN:
            found.append(f"silent on the line for {a - last:.0f} s")
        last = max(last, b)
    if end - last > quiet_limit + HANG_MARGIN:
        found.append(f"ran {end - last:.0f} s past its last byte to the sensor")
    if no_sensor and search_limit is not None and end - start > search_limit + HANG_MARGIN:
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
