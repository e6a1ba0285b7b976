"""Reads Google Benchmark JSON files and prints one ratio line per comparison."""
import json
import sys
from collections import defaultdict

COUNTERS = ("allocs_per_value", "allocs_per_request", "document_bytes", "memory_ratio")
medians = {}
counters = defaultdict(dict)
for path in sys.argv[1:]:
    # A binary whose benchmarks a filter left out writes an empty file.
    try:
        with open(path) as f:
            data = json.load(f)
    except (OSError, ValueError):
        continue
    for b in data.get("benchmarks", []):
        if b.get("aggregate_name") != "median":
            continue
        name = b["run_name"]
        medians[name] = b["real_time"]
        for key, value in b.items():
            if key[:1].isupper() or key in COUNTERS or key.startswith(("regions_", "tree_")):
                counters[name][key] = value

groups = defaultdict(dict)
for name, t in medians.items():
    base, _, role = name.rpartition(":")
    if base:
        groups[base][role] = t

print("\n== ratios (ours / reference, medians)")
for base in sorted(groups):
    roles = groups[base]
    if "ours" not in roles:
        continue
    for ref, t in sorted(roles.items()):
        if ref != "ours" and t > 0:
            print(f"{base}_vs_{ref} ratio={roles['ours'] / t:.2f}")
if counters:
    print("\n== counters (medians)")
    for name in sorted(counters):
        items = " ".join(f"{k}={v:.4g}" for k, v in sorted(counters[name].items()))
        print(f"{name} {items}")
