#!/usr/bin/env python3
"""Expands recurrence rules with python-dateutil, as an independent reference.

Reads one case a line: DTSTART RRULE FROM TO (wall times as YYYYMMDDTHHMMSS, no zone).
Writes one line a case: the starts in [FROM, TO), space separated, or "!" and a reason.
The set follows RFC 5545 where dateutil does not (see recurrence_comparison_test.cpp): DTSTART is
always the first instance and counts for COUNT, whether or not the rule matches it.
"""
import re
import signal
import sys
import time
import datetime as datetime_module
from datetime import datetime

from dateutil.rrule import rrulestr

FORMAT = "%Y%m%dT%H%M%S"


class Timeout(Exception):
    pass


def on_alarm(signum, frame):
    raise Timeout()


def expand(dtstart, text, start, end):
    # UNTIL is compared in wall time, as the expander is given it.
    text = re.sub(r"(UNTIL=\d{8}T\d{6})Z", r"\1", text)
    found = [dtstart]
    count = None
    # dateutil walks empty periods up to datetime.MAXYEAR: nothing after the window matters.
    datetime_module.MAXYEAR = min(9999, end.year + 1)
    try:
        rule = rrulestr(text, dtstart=dtstart)
        count = rule._count
        for instant in rule.replace(count=None):
            if count is not None and len(found) >= count:
                break
            if instant >= end:
                break
            if instant != dtstart:
                found.append(instant)
    except ValueError as error:
        # dateutil refuses rules whose BY parts can never meet the interval's grid: the rule
        # gives nothing, and the set is DTSTART alone.
        if "empty" not in str(error):
            raise
    return [x for x in found[:count] if start <= x < end]


def main():
    # Processor time, not wall time: a busy machine must not change which rules are skipped.
    signal.signal(signal.SIGVTALRM, on_alarm)
    for line in sys.stdin:
        fields = line.split()
        if len(fields) != 4:
            continue
        dtstart, text, start, end = fields
        signal.setitimer(signal.ITIMER_VIRTUAL, 1.5)
        began = time.process_time()
        try:
            found = expand(datetime.strptime(dtstart, FORMAT), text,
                           datetime.strptime(start, FORMAT), datetime.strptime(end, FORMAT))
            result = " ".join(x.strftime(FORMAT) for x in found)
        except Timeout:
            result = "!timeout"
        except Exception as error:  # noqa: BLE001 - reported to the test, which fails on it
            result = "!" + type(error).__name__ + ": " + str(error).replace("\n", " ")
        finally:
            signal.setitimer(signal.ITIMER_VIRTUAL, 0)
        print(result)
        if time.process_time() - began > 0.2:
            print("slow (%.1f s): %s" % (time.process_time() - began, line.strip()), file=sys.stderr)
        sys.stdout.flush()


if __name__ == "__main__":
    main()
