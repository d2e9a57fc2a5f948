#!/usr/bin/env python3
"""Writes one vdir tree per hostile or oversized item (ROOT/<case>/src/cal/item.ics), each
beside one ordinary event, for timing the store on them one at a time:

    bench/make_hostile_items.py ROOT
    for t in ROOT/*/; do /usr/bin/time -f "$t %U s %M KB" \
        build/bench/vdir_store_bench query "$t" 2025-01-01T00:00:00Z 2026-01-01T00:00:00Z 1; done
"""
import os
import sys

HEAD = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\n"
TAIL = "END:VCALENDAR\r\n"
PLAIN = "BEGIN:VEVENT\r\nUID:plain\r\nSUMMARY:plain\r\nDTSTART:20250601T100000Z\r\nEND:VEVENT\r\n"


def event(uid, extra, start="DTSTART:20250601T100000Z"):
    return f"BEGIN:VEVENT\r\nUID:{uid}\r\n{start}\r\n{extra}END:VEVENT\r\n"


def zone(tzid, body):
    return f"BEGIN:VTIMEZONE\r\nTZID:{tzid}\r\n{body}END:VTIMEZONE\r\n"


STANDARD = "BEGIN:STANDARD\r\nDTSTART:19700101T000000\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0100\r\nEND:STANDARD\r\n"


def cases():
    yield "line-10mib", event("l", "DESCRIPTION:" + "x" * (10 << 20) + "\r\n")
    yield "nested-components-262k", event("n", "BEGIN:VALARM\r\n" * 262_000 + "END:VALARM\r\n" * 262_000)
    yield "nested-vtimezone-100k", "BEGIN:VTIMEZONE\r\n" * 100_000 + "END:VTIMEZONE\r\n" * 100_000
    long_tzid = "/a" * 100_000
    yield "tzid-100k-segments", event("t", "", f"DTSTART;TZID={long_tzid}:20250601T100000")
    yield "vtimezones-20k-distinct", "".join(
        zone(f"Z{i}", STANDARD.replace("+0100", "+%02d%02d" % (i % 12, i % 60)))
        + event(f"z{i}", "", f"DTSTART;TZID=Z{i}:20250601T100000") for i in range(20_000))
    yield "vtimezone-minutely", zone("M", STANDARD.replace("END:STANDARD", "RRULE:FREQ=MINUTELY\r\nEND:STANDARD")) + \
        event("m", "", "DTSTART;TZID=M:20250601T100000")
    yield "vtimezone-2000-rules", zone("R", "".join(
        f"BEGIN:STANDARD\r\nDTSTART:{1600 + i}0101T000000\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0{i % 9}00\r\n"
        "RRULE:FREQ=YEARLY\r\nEND:STANDARD\r\n" for i in range(2000))) + event("r", "", "DTSTART;TZID=R:20250601T100000")
    yield "secondly-never", event("s", "RRULE:FREQ=SECONDLY;BYMONTH=2;BYMONTHDAY=30\r\n", "DTSTART:19700101T000000Z")
    yield "secondly-berlin", event("b", "RRULE:FREQ=SECONDLY;BYMINUTE=0,30;BYSECOND=0\r\n",
                                   "DTSTART;TZID=Europe/Berlin:20000101T000000")
    yield "minutely-newyork", event("y", "RRULE:FREQ=MINUTELY;BYDAY=MO,TU,WE,TH,FR;BYHOUR=9,10,11,12,13,14,15,16\r\n",
                                    "DTSTART;TZID=America/New_York:19900101T090000")
    yield "minutely-1900", event("o", "RRULE:FREQ=MINUTELY;INTERVAL=15\r\n", "DTSTART:19000101T000000Z")
    yield "params-320kb", event("p", "ATTENDEE" + ";X-P=\"a,b,c\"" * 27_000 + ":mailto:a@b\r\n")
    yield "values-320kb", event("v", "EXDATE:" + ",".join(["20250601T100000Z"] * 19_000) + "\r\n")
    yield "attendees-320kb", event("a", "".join(f"ATTENDEE;CN=P{i}:mailto:p{i}@example.org\r\n" for i in range(8_000)))
    yield "events-600k", "".join(event(f"e{i}", "SUMMARY:s\r\n", f"DTSTART:1990{(i % 12) + 1:02d}01T100000Z")
                                 for i in range(600_000))


def main():
    root = sys.argv[1]
    for name, body in cases():
        directory = os.path.join(root, name, "src", "cal")
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, "item.ics"), "w") as f:
            f.write(HEAD + body + TAIL)
        with open(os.path.join(directory, "plain.ics"), "w") as f:
            f.write(HEAD + PLAIN + TAIL)


if __name__ == "__main__":
    main()
