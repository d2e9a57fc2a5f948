#!/usr/bin/env python3
"""Writes a vdir corpus for the store's benchmark: single events over three years and
repeating series with exceptions and overrides across five time zones, some with 50
attendees, plus one daily series running since 1970.

    bench/make_vdir_corpus.py ROOT [--singles 5000] [--series 500] [--seed 1]
"""
import argparse
import datetime as dt
import os
import random

ZONES = ["Europe/Berlin", "America/New_York", "Asia/Tokyo", "Australia/Sydney", "UTC"]

# VTIMEZONEs as CalDAV servers send them, for the zones that have daylight saving in the
# corpus years; files of the other zones rely on the system's database.
VTIMEZONES = {
    "Europe/Berlin": """BEGIN:VTIMEZONE
TZID:Europe/Berlin
BEGIN:DAYLIGHT
TZOFFSETFROM:+0100
TZOFFSETTO:+0200
TZNAME:CEST
DTSTART:19700329T020000
RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU
END:DAYLIGHT
BEGIN:STANDARD
TZOFFSETFROM:+0200
TZOFFSETTO:+0100
TZNAME:CET
DTSTART:19701025T030000
RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU
END:STANDARD
END:VTIMEZONE
""",
    "America/New_York": """BEGIN:VTIMEZONE
TZID:America/New_York
BEGIN:DAYLIGHT
TZOFFSETFROM:-0500
TZOFFSETTO:-0400
TZNAME:EDT
DTSTART:20070311T020000
RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=2SU
END:DAYLIGHT
BEGIN:STANDARD
TZOFFSETFROM:-0400
TZOFFSETTO:-0500
TZNAME:EST
DTSTART:20071104T020000
RRULE:FREQ=YEARLY;BYMONTH=11;BYDAY=1SU
END:STANDARD
END:VTIMEZONE
""",
}


def stamp(t):
    return t.strftime("%Y%m%dT%H%M%S")


def when(name, t, zone, all_day=False):
    if all_day:
        return f"{name};VALUE=DATE:{t.strftime('%Y%m%d')}"
    if zone == "UTC":
        return f"{name}:{stamp(t)}Z"
    return f"{name};TZID={zone}:{stamp(t)}"


def attendees(rng, count):
    lines = ["ORGANIZER;CN=Organizer:mailto:organizer@example.com"]
    statuses = ["ACCEPTED", "DECLINED", "TENTATIVE", "NEEDS-ACTION"]
    for i in range(count):
        lines.append(f"ATTENDEE;CN=Person {i};PARTSTAT={rng.choice(statuses)}:"
                     f"mailto:person{i}@example.com")
    return lines


def calendar(zone, events):
    out = ["BEGIN:VCALENDAR", "VERSION:2.0", "PRODID:-//Vandrelis//Bench//EN"]
    text = "\n".join(out) + "\n"
    if zone in VTIMEZONES:
        text += VTIMEZONES[zone]
    for lines in events:
        text += "BEGIN:VEVENT\n" + "\n".join(lines) + "\nEND:VEVENT\n"
    return text.replace("\n", "\r\n") + "END:VCALENDAR\r\n"


def write(path, text):
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("--singles", type=int, default=5000)
    parser.add_argument("--series", type=int, default=500)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    source = os.path.join(args.root, "bench")
    singles_dir = os.path.join(source, "singles")
    series_dir = os.path.join(source, "series")
    os.makedirs(singles_dir, exist_ok=True)
    os.makedirs(series_dir, exist_ok=True)
    write(os.path.join(source, "addresses"), "person3@example.com\n")
    base = dt.datetime(2024, 1, 1)

    for i in range(args.singles):
        zone = ZONES[i % len(ZONES)]
        start = base + dt.timedelta(days=rng.randrange(3 * 365), hours=rng.randrange(7, 19),
                                    minutes=rng.choice([0, 15, 30, 45]))
        all_day = i % 20 == 0
        lines = [f"UID:single-{i}@example.com", f"DTSTAMP:{stamp(base)}Z",
                 f"SUMMARY:Single event {i}", when("DTSTART", start, zone, all_day)]
        if all_day:
            lines.append(when("DTEND", start + dt.timedelta(days=1), zone, True))
        else:
            lines.append(when("DTEND", start + dt.timedelta(minutes=rng.choice([30, 60, 90])), zone))
        if i % 10 == 0:
            lines += attendees(rng, 5)
            lines.append("DESCRIPTION:Agenda\\n- first point\\n- second point")
        write(os.path.join(singles_dir, f"single-{i}.ics"), calendar(zone, [lines]))

    rules = ["FREQ=DAILY", "FREQ=WEEKLY;BYDAY=MO,WE,FR", "FREQ=WEEKLY;INTERVAL=2",
             "FREQ=MONTHLY;BYDAY=1TU", "FREQ=WEEKLY;COUNT=40", "FREQ=DAILY;UNTIL=20261231T000000Z"]
    for i in range(args.series):
        zone = ZONES[i % len(ZONES)]
        start = base + dt.timedelta(days=rng.randrange(365), hours=rng.randrange(8, 18))
        rule = rules[i % len(rules)]
        master = [f"UID:series-{i}@example.com", f"DTSTAMP:{stamp(base)}Z",
                  f"SUMMARY:Series {i}", when("DTSTART", start, zone),
                  when("DTEND", start + dt.timedelta(minutes=30), zone), f"RRULE:{rule}"]
        if i % 10 == 0:
            master += attendees(rng, 50)
        step = dt.timedelta(days=7 if "WEEKLY" in rule else 1)
        for k in (3, 5, 8):
            master.append(when("EXDATE", start + k * step, zone))
        overrides = []
        for k in (2, 6):
            original = start + k * step
            moved = original + dt.timedelta(hours=2)
            overrides.append([f"UID:series-{i}@example.com", f"DTSTAMP:{stamp(base)}Z",
                              f"SUMMARY:Series {i} (moved)", when("RECURRENCE-ID", original, zone),
                              when("DTSTART", moved, zone),
                              when("DTEND", moved + dt.timedelta(minutes=30), zone)])
        write(os.path.join(series_dir, f"series-{i}.ics"), calendar(zone, [master] + overrides))

    since = [f"UID:since-1970@example.com", f"DTSTAMP:{stamp(base)}Z", "SUMMARY:Since 1970",
             "DTSTART;TZID=Europe/Berlin:19700101T090000",
             "DTEND;TZID=Europe/Berlin:19700101T091500", "RRULE:FREQ=DAILY"]
    write(os.path.join(series_dir, "since-1970.ics"), calendar("Europe/Berlin", [since]))


if __name__ == "__main__":
    main()
