#!/usr/bin/env python3
"""Where a CTest run's time went: each test's own time, from CTest's log,
summed by label; the tests that make Wine prefixes (probe_32bit, *_prefix,
*_setup) are summed apart, whatever their label.

  ctest-times.py LOG LISTING...

LOG is a LastTest log; the labels come from the listings of the build trees
that hold the tests (ctest --show-only=json-v1, which empties the tree's
LastTest.log). Tests run side by side, so the sums may exceed the wall
time.
"""
import collections
import json
import re
import sys

PREFIXES = 'Wine prefixes'


def labels(path):
    with open(path) as f:
        listing = json.load(f)
    return {test['name']: next((p['value'] for p in test.get('properties', [])
                                if p['name'] == 'LABELS'), [])
            for test in listing['tests']}


def main():
    log, listings = sys.argv[1], sys.argv[2:]
    known = {}
    for path in listings:
        known.update(labels(path))
    count, seconds = collections.Counter(), collections.Counter()
    name = None
    with open(log, errors='replace') as f:
        for line in f:
            found = re.match(r'\d+/\d+ Test: (.*)', line)
            if found:
                name = found.group(1)
            found = re.match(r'Test time = *([\d.]+) sec', line)
            if found and name:
                if re.search(r'(_prefix|_setup|^probe_32bit)$', name):
                    group = PREFIXES
                else:
                    group = '|'.join(known.get(name, [])) or '(no label)'
                count[group] += 1
                seconds[group] += float(found.group(1))
                name = None
    print('; '.join('%s: %d tests, %.0f s' % (group, count[group], seconds[group])
                    for group in sorted(count)))


if __name__ == '__main__':
    main()
