#!/usr/bin/env python3
"""Runs the benchmarks and prints each one against the baseline measured in the
same run: the median of several repetitions of each, and their ratio (or, for the
trial, the difference). A benchmark that reports its ratio itself as a counter
(x_dlopen, x_std_map) is printed with that counter's median.

    scripts/bench-ratios.py [BENCHMARKS_BINARY] [--repetitions N]

The binary defaults to build/default/bin/benchmarks.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

# (what, benchmark, baseline, how): how is "ratio" (benchmark / baseline) or
# "difference" (benchmark - baseline, in microseconds).
PAIRS = [
    ("registry at 10000 classes against 10", "BM_GetClass/10000", "BM_GetClass/10", "ratio"),
    ("package description against reading the header", "BM_GetPackageDescription",
     "BM_OpenReadHeader", "ratio"),
    ("inspector refresh against a plain Qt list", "BM_InspectorRefresh/200",
     "BM_QtListBaseline/200", "ratio"),
    ("palette registration against plain Qt",
     "BM_PaletteRegistration/10000/process_time/real_time",
     "BM_QtPaletteBaseline/10000/process_time/real_time", "ratio"),
    ("start-up to shown against plain Qt", "BM_StartupToShown", "BM_QtBaselineToShown", "ratio"),
    ("a form from its description against plain Qt", "BM_FormFromDescription",
     "BM_QtBaselineSameWidgets", "ratio"),
    ("a label's Caption written by name against its setter", "BM_SetCaptionByName",
     "BM_SetCaptionDirect", "ratio"),
    ("a button's Left written by name against its setter", "BM_SetLeftByName",
     "BM_SetLeftDirect", "ratio"),
    ("LoadPack: what a trial adds", "BM_LoadPackWithTrial/iterations:100/real_time",
     "BM_LoadPackWithoutTrial/iterations:100/real_time", "difference"),
    ("the named run: what a trial adds", "BM_NamedRunWithTrial/iterations:100/real_time",
     "BM_NamedRunWithoutTrial/iterations:100/real_time", "difference"),
    ("LoadPack pressed back to back: what a trial adds",
     "BM_LoadPackWithTrialBackToBack/iterations:100/real_time",
     "BM_LoadPackWithoutTrial/iterations:100/real_time", "difference"),
    ("the preview of TClickCounter, its trial included, against an empty window",
     "BM_PreviewOpen/iterations:100/real_time", "BM_EmptyWindowOpen/iterations:100/real_time",
     "ratio"),
]
COUNTERS = [
    ("LoadPackage against a bare dlopen", "BM_LoadPackage", "x_dlopen"),
    ("LoadPackage of a changed file against a bare dlopen", "BM_LoadChangedPackage", "x_dlopen"),
    ("registry against std::unordered_map, 10 classes", "BM_GetClass/10", "x_std_map"),
    ("registry against std::unordered_map, 10000 classes", "BM_GetClass/10000", "x_std_map"),
]

UNIT_TO_MICROSECONDS = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary", nargs="?", default="build/default/bin/benchmarks")
    parser.add_argument("--repetitions", type=int, default=9)
    args = parser.parse_args()

    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    out = subprocess.run(
        [args.binary, "--benchmark_format=json", f"--benchmark_repetitions={args.repetitions}"],
        env=env, check=True, capture_output=True, text=True).stdout
    times, counters = {}, {}
    for run in json.loads(out)["benchmarks"]:
        if run.get("run_type") != "iteration":
            continue
        name = run["run_name"]
        scale = UNIT_TO_MICROSECONDS[run.get("time_unit", "ns")]
        times.setdefault(name, []).append(run["real_time"] * scale)
        for key in ("x_dlopen", "x_std_map"):
            if key in run:
                counters.setdefault((name, key), []).append(run[key])

    for what, bench, base, how in PAIRS:
        if bench not in times or base not in times:
            print(f"{what}: not in this build")
            continue
        b, a = statistics.median(times[bench]), statistics.median(times[base])
        result = f"{b / a:.2f}" if how == "ratio" else f"{b - a:+.0f} us"
        print(f"{what}: {result} ({bench} {b:.1f} us, {base} {a:.1f} us)")
    for what, bench, key in COUNTERS:
        values = counters.get((bench, key))
        print(f"{what}: {statistics.median(values):.3f} ({bench} {key})" if values else
              f"{what}: not in this build")
    return 0


if __name__ == "__main__":
    sys.exit(main())
