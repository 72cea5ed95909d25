"""The exact minimum of the largest clusters, through the public API, for builds without the private
test module (such as the previous release): the six largest clusters of 200 000 standard-library
lines at 0.8 (clustered by the second build), then each cluster's members clustered again at 0.8
under both builds, each in a fresh process. A component's members form one cluster again, so the
time is its exact minimum plus a small edge search.

    python bench/bench_cluster_members.py OLD_STAGE NEW_STAGE [TIMEOUT_SECONDS]
"""
import json, os, subprocess, sys, tempfile
CHILD = r'''
import sys, json, time, resource
lines = json.load(open(sys.argv[1]))
from simsieve import _simsieve as native
c0 = resource.getrusage(resource.RUSAGE_SELF); w = time.perf_counter()
r = native.cluster_canonicals(lines, 0.8, 0)
w = time.perf_counter() - w; c1 = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps({"wall": w, "cpu": c1.ru_utime - c0.ru_utime + c1.ru_stime - c0.ru_stime, "clusters": len(r), "sizes": [len(c[0]) for c in r][:3], "min": [c[1] for c in r][:3]}))
'''
a, b = sys.argv[1], sys.argv[2]
HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.path.join(tempfile.gettempdir(), "simsieve-bench-largest-clusters.json")
if not os.path.exists(CACHE):
    pick = ("import sys, json; sys.path.insert(0, sys.argv[1]); from stdlib_corpus import stdlib_lines; "
            "from simsieve import _simsieve as n; l = stdlib_lines(200000); r = n.cluster_canonicals(l, 0.8); "
            "big = sorted(r, key=lambda c: -len(c[0]))[:6]; json.dump([[l[i] for i in c[0]] for c in big], open(sys.argv[2], 'w'))")
    subprocess.run([sys.executable, "-c", pick, HERE, CACHE], env=dict(os.environ, PYTHONPATH=b), check=True)
clusters = json.load(open(CACHE))
for k, members in enumerate(clusters):
    path = os.path.join(tempfile.gettempdir(), f"simsieve-bench-cluster{k}.json")
    json.dump(members, open(path, "w"))
    for name, stage in (("a", a), ("b", b)):
        try:
            d = subprocess.run([sys.executable, "-c", CHILD, path], env=dict(os.environ, PYTHONPATH=stage), capture_output=True, text=True, timeout=float(sys.argv[3]) if len(sys.argv) > 3 else 300)
            print(f"cluster {k} ({len(members)} members) {name}: {d.stdout.strip() or d.stderr[-300:]}", flush=True)
        except subprocess.TimeoutExpired:
            print(f"cluster {k} ({len(members)} members) {name}: timed out", flush=True)
