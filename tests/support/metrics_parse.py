#!/usr/bin/python3
# Reads an exposition text on standard input with the monitoring client's own
# parser and prints what it understood as one JSON object: "types" maps each
# family to its type, "samples" lists [name, {label: value}, value as text].
# Exit status 1 (the parser's complaint on standard error) when the text does
# not parse.
import json
import sys

from prometheus_client.parser import text_string_to_metric_families

types, samples = {}, []
try:
    for family in text_string_to_metric_families(sys.stdin.read()):
        types[family.name] = family.type
        for s in family.samples:
            samples.append([s.name, s.labels, repr(float(s.value))])
except Exception as e:  # the parser raises ValueError and others for bad text
    print("parse error:", e, file=sys.stderr)
    sys.exit(1)
print(json.dumps({"types": types, "samples": samples}))
