#!/usr/bin/python3
"""Checks korvex-cli --json output against the event schema.

validate_events.py SCHEMA STREAM: every line of STREAM must be a JSON object
the schema accepts. Prints each line that is not, with why; exit status 1
when there was one.
"""
import json
import sys

import jsonschema

schema = json.load(open(sys.argv[1], encoding="utf-8"))
validator = jsonschema.Draft7Validator(schema)
bad = 0
with open(sys.argv[2], encoding="utf-8") as stream:
    for number, line in enumerate(stream, 1):
        try:
            event = json.loads(line)
        except ValueError as e:
            print(f"line {number}: not JSON ({e}): {line.rstrip()}")
            bad += 1
            continue
        error = jsonschema.exceptions.best_match(validator.iter_errors(event))
        if error is not None:
            print(f"line {number}: {error.message}: {line.rstrip()}")
            bad += 1
sys.exit(1 if bad else 0)
