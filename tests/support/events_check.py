"""Reads norv's event files the way a log pipeline would, with nothing but Python's json module.

    events_check.py FILE...

Every line of every file must be one JSON object with the fields of its event, and no event of
a run may follow the "run" event that closed it. Prints, for each change and action, "event
kind-or-action path-bytes-in-hex outcome" on one line, so the caller can compare the exact names
(paths are rebuilt from their \\xNN and \\\\ escapes); an accept likewise, with its user. Exits 1
with the reason on the first line that does not hold, or when a run was left open at the end.
"""
import json
import sys

COMMON = {"host", "time", "run", "event"}
FIELDS = {
    "change": COMMON | {"kind", "path", "old_md5", "new_md5", "size", "mtime"},
    "action": COMMON | {"action", "path", "outcome"},
    "run": COMMON | {"command", "outcome", "checked", "altered", "created", "deleted", "duration_s"},
    "accept": COMMON | {"kind", "path", "old_md5", "new_md5", "user"},
    "warning": COMMON | {"path", "reason"},
    "hold": COMMON | {"message"},
}


def path_bytes(text):
    out = bytearray()
    i = 0
    while i < len(text):
        if text[i] == "\\" and text[i + 1] == "\\":
            out += b"\\"
            i += 2
        elif text[i] == "\\" and text[i + 1] == "x":
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        else:
            out += text[i].encode("utf-8")
            i += 1
    return bytes(out)


def main():
    open_runs = {}  # run id -> where its first event was, until its "run" event
    closed_runs = set()
    for name in sys.argv[1:]:
        with open(name, "rb") as f:
            for number, raw in enumerate(f, 1):
                where = "%s:%d" % (name, number)
                try:
                    event = json.loads(raw.decode("utf-8"))
                except ValueError as e:
                    sys.exit("%s: not JSON: %s" % (where, e))
                missing = FIELDS.get(event.get("event"), {"event"}) - set(event)
                if missing or event["event"] not in FIELDS:
                    sys.exit("%s: missing %s in %s" % (where, sorted(missing), raw))
                if "T" not in event["time"] or event["time"][-6] not in "+-":
                    sys.exit("%s: time %s is not RFC 3339 with a zone" % (where, event["time"]))
                if event["run"] in closed_runs:
                    sys.exit("%s: an event of run %s after its end" % (where, event["run"]))
                open_runs.setdefault(event["run"], where)
                if event["event"] == "run":
                    closed_runs.add(event["run"])
                    del open_runs[event["run"]]
                if event["event"] == "change":
                    print("change", event["kind"], path_bytes(event["path"]).hex(),
                          event["old_md5"] or "-", event["new_md5"] or "-")
                elif event["event"] == "action":
                    print("action", event["action"], path_bytes(event["path"]).hex(),
                          event["outcome"])
                elif event["event"] == "accept":
                    print("accept", event["kind"], path_bytes(event["path"]).hex(),
                          event["old_md5"] or "-", event["new_md5"] or "-", event["user"])
                elif event["event"] == "run":
                    print("run", event["command"], event["outcome"], event["checked"],
                          event["altered"], event["created"], event["deleted"])
    for run, where in open_runs.items():
        sys.exit("%s: run %s has no closing run event" % (where, run))


main()
