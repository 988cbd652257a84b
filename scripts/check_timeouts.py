#!/usr/bin/env python3
"""Fails if a test of the given build folders has no time limit of its own
(ctest's default is 1500 s, so a hang would wait 25 minutes).

usage: check_timeouts.py BUILD_DIR...
"""

import json
import subprocess
import sys

missing, count = [], 0
for build in sys.argv[1:]:
    listing = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                             check=True, capture_output=True, text=True).stdout
    for test in json.loads(listing)["tests"]:
        count += 1
        limits = [p["value"] for p in test.get("properties", []) if p["name"] == "TIMEOUT"]
        if not limits or not 0 < limits[0] < 1500:
            missing.append(f"{build}: {test['name']}")
for line in missing:
    print(f"FAIL: no time limit of its own: {line}")
print(f"{count} tests, {len(missing)} without a time limit of their own")
sys.exit(1 if missing else 0)
