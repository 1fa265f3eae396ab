"""Reads norv's event files the way a log pipeline would: Python's json module, and the events'
JSON Schema (packaging/norv-events.schema.json) checked with jsonschema.

    events_check.py FILE...

Every line of every file must be one JSON object that the schema accepts; event.sequence must
grow from line to line (the files given oldest first), and no event of a run may follow the
"run" event that closed it (a "service" event belongs to no run). Prints, for each change and action, "event kind-or-action
path-bytes-in-hex outcome" on one line, so the caller can compare the exact names (paths are
rebuilt from their \\xNN and \\\\ escapes); an accept likewise, with its user. Exits 1 with the
reason on the first line that does not hold, or when a run was left open at the end.
"""
import json
import os
import sys

import jsonschema

SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging",
                      "norv-events.schema.json")


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
    with open(SCHEMA) as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    open_runs = {}  # run id -> where its first event was, until its "run" event
    closed_runs = set()
    last_sequence = 0
    for name in sys.argv[1:]:
        with open(name, "rb") as f:
            for number, raw in enumerate(f, 1):
                where = "%s:%d" % (name, number)
                try:
                    event = json.loads(raw.decode("utf-8"))
                except ValueError as e:
                    sys.exit("%s: not JSON: %s" % (where, e))
                error = jsonschema.exceptions.best_match(validator.iter_errors(event))
                if error is not None:
                    sys.exit("%s: not an event: %s at %s in %s" %
                             (where, error.message, list(error.absolute_path), raw))
                sequence = event["event"]["sequence"]
                if sequence <= last_sequence:
                    sys.exit("%s: sequence %d after %d" % (where, sequence, last_sequence))
                last_sequence = sequence
                action = event["event"]["action"]
                n = event["norv"]
                if action == "service":  # the service's own, no run's
                    print("service", n["state"], n["period_s"])
                    continue
                if n["run"] in closed_runs:
                    sys.exit("%s: an event of run %s after its end" % (where, n["run"]))
                open_runs.setdefault(n["run"], where)
                if action == "run":
                    closed_runs.add(n["run"])
                    del open_runs[n["run"]]
                if action == "change":
                    print("change", n["kind"], path_bytes(n["path"]).hex(),
                          n["old_md5"] or "-", n["new_md5"] or "-")
                elif action == "action":
                    print("action", n["action"], path_bytes(n["path"]).hex(), n["outcome"])
                elif action == "accept":
                    print("accept", n["kind"], path_bytes(n["path"]).hex(),
                          n["old_md5"] or "-", n["new_md5"] or "-", n["user"])
                elif action == "run":
                    print("run", n["command"], n["outcome"], n["checked"], n["altered"],
                          n["created"], n["deleted"])
    for run, where in open_runs.items():
        sys.exit("%s: run %s has no closing run event" % (where, run))


main()
