"""The side-by-side benchmark suite behind bench/run.py: workloads, the report and its plots."""
