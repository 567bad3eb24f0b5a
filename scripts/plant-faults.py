#!/usr/bin/env python3
"""Plants one-line faults in the product's sources, one at a time, and says which
ones the test suite lets through.

A fault is drawn at random, evenly over every place in the product's C++ sources
where one of these fits:
  compare   a comparison turned round: == and !=, < and >=, > and <=
  logic     && for || and the other way round
  negate    a leading ! dropped from a condition
  drop      a whole-line call statement removed
  bound     a character, or a number compared with, one less ('Z' becomes 'Y',
            `n <= 255` becomes `n <= 254`)
Text inside string and character literals (except a bound's own) and comments is
never changed. Each fault is built into a build folder of its own and the whole
test suite runs against it; a fault is killed when a test fails or times out. A
fault the suite lets through is built once more with the sanitizers, and the suite
runs there too, as CI runs it both ways: a leak or undefined behaviour it plants is
caught there or nowhere.
A fault that does not compile is replaced by another draw, as it could never ship,
and so is one that compiles to the very code the unchanged source does (debugging
information aside): no test could ever tell it apart, for it is no fault at all.
The sources are put back afterwards, also when interrupted.

    scripts/plant-faults.py [--count N] [--seed S] [--build DIR] [--sanitized DIR]
                            [--list] [--again LOG] [--within PATH] [--tests REGEX]

--list prints the drawn faults without building. --again takes the faults a run's
output (LOG) says survived and plants each of them once more, to see whether tests
added since catch them. The build folder (default
build/faults) is configured from the default preset on first use, and the sanitized
one (default build/faults-asan) from the asan preset, both without benchmarks and
with dependents not relinked when a shared library changes, which keeps one fault's
build to seconds. --sanitized none leaves the second run out. To look for weak
spots in one part faster, --within draws only from sources below PATH and --tests
runs only the tests whose names match REGEX; a score is a sample of the whole and
uses neither.
"""

import argparse
import json
import os
import pathlib
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
PRODUCT = ["platform", "app", "workbench", "inspector", "palette", "preview", "tools"]

COMPARE = {"==": "!=", "!=": "==", "<": ">=", ">=": "<", ">": "<=", "<=": ">"}
LOGIC = {"&&": "||", "||": "&&"}
# Binary operators as clang-format writes them: spaced on both sides. A template's
# angle brackets never are, nor are << and >>.
OPERATOR = re.compile(r"(?<=\S) (==|!=|<=|>=|<|>|&&|\|\|) (?=\S)")
NEGATION = re.compile(r"(?<=[(\s])!(?=[A-Za-z_(])")
CALL = re.compile(r"^\s*(?:[A-Za-z_][\w:]*(?:\.|->|::))*[A-Za-z_]\w*\(.*\);\s*$")
NOT_A_CALL = re.compile(r"^\s*(return|throw|case|delete|using|typedef|static_assert)\b")
BOUND = re.compile(r"'[B-Zb-z1-9]'|\b[1-9]\d*\b")
COMPARED = re.compile(r"(?:==|!=|<=|>=|<|>) $")


def masked(line):
    """The line with literals' and comments' contents blanked, same length."""
    out, i, quote = [], 0, None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            out.append(c if c == quote else " ")
            if c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith("//", i):
            out.append(" " * (len(line) - i))
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)[: len(line)]


def sites(path, lines):
    in_block = False
    for number, line in enumerate(lines):
        text = line
        if in_block:
            if "*/" not in text:
                continue
            in_block = False
            text = " " * (text.index("*/") + 2) + text[text.index("*/") + 2 :]
        if "/*" in text and "*/" not in text:
            in_block = True
            text = text[: text.index("/*")]
        stripped = text.strip()
        if not stripped or stripped.startswith(("#", "//", "*")):
            continue
        plain = masked(text)
        for m in OPERATOR.finditer(plain):
            op = m.group(1)
            kind = "logic" if op in LOGIC else "compare"
            table = LOGIC if op in LOGIC else COMPARE
            yield (path, number, kind, m.start(1), op, table[op])
        for m in NEGATION.finditer(plain):
            yield (path, number, "negate", m.start(), "!", "")
        if CALL.match(plain) and not NOT_A_CALL.match(plain) and plain.count("(") == plain.count(")"):
            yield (path, number, "drop", 0, line.rstrip("\n"), "")
        for m in BOUND.finditer(text):
            token = m.group(0)
            if token.startswith("'"):
                if plain[m.start() + 1] == " ":  # a quote inside a string
                    continue
                moved = "'" + chr(ord(token[1]) - 1) + "'"
            elif COMPARED.search(plain[: m.start()]) and plain[m.start() : m.end()] == token:
                moved = str(int(token) - 1)
            else:
                continue
            yield (path, number, "bound", m.start(), token, moved)


def all_sites():
    found = []
    for folder in PRODUCT:
        for path in sorted((ROOT / folder).rglob("*.cpp")):
            lines = path.read_text(encoding="utf-8").splitlines(keepends=True)
            found.extend(sites(path, lines))
    return found


def planted(site):
    path, number, kind, column, old, new = site
    lines = path.read_text(encoding="utf-8").splitlines(keepends=True)
    line = lines[number]
    if kind == "drop":
        lines[number] = "\n"
    else:
        assert line[column : column + len(old)] == old, (path, number, line)
        lines[number] = line[:column] + new + line[column + len(old) :]
    return "".join(lines)


def describe(site):
    path, number, kind, _, old, new = site
    where = f"{path.relative_to(ROOT)}:{number + 1}"
    if kind == "drop":
        return f"{where} drop `{old.strip()}`"
    return f"{where} {kind} `{old}` -> `{new}`"


def preset_environment(preset):
    """The environment a test preset runs the suite in, as ctest --preset would."""
    presets = json.loads((ROOT / "CMakePresets.json").read_text(encoding="utf-8"))
    chosen = next(p for p in presets["testPresets"] if p["name"] == preset)
    return {name: value.replace("${sourceDir}", str(ROOT))
            for name, value in chosen.get("environment", {}).items()}


def run(command, build, timeout, environment=None):
    try:
        done = subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout,
                              env={**os.environ, "QT_QPA_PLATFORM": "offscreen", **(environment or {})})
        return done.returncode, done.stdout.decode(errors="replace")
    except subprocess.TimeoutExpired:
        return -1, "timed out"


def configure(build, preset):
    if (build / "build.ninja").exists():
        return
    subprocess.run(["cmake", "--preset", preset, "-B", str(build), "-DWB_BUILD_BENCH=OFF",
                    "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)


def objects_of(path, build):
    """The object files built from a source: CMake names each after the source's path
    below its target's folder."""
    def below_target(o):
        return str(o.relative_to(next(p for p in o.parents if p.suffix == ".dir")))[:-2]
    return sorted(o for o in build.rglob(path.name + ".o")
                  if "CMakeFiles" in o.parts and str(path).endswith("/" + below_target(o)))


def code_of(objects):
    """The objects' contents without their debugging information."""
    code = []
    with tempfile.TemporaryDirectory() as scratch:
        for obj in objects:
            stripped = pathlib.Path(scratch) / "code.o"
            subprocess.run(["objcopy", "--strip-debug", str(obj), str(stripped)], check=True)
            code.append(stripped.read_bytes())
    return code


def suite(build, jobs, timeout, preset="default", tests=None):
    """"killed" when a test fails or times out, else "survived"."""
    chosen = ["-R", tests] if tests else []
    code, out = run(["ctest", "--test-dir", str(build), f"-j{jobs}", "--stop-on-failure",
                     "--timeout", str(timeout)] + chosen, build, 3600, preset_environment(preset))
    return ("killed" if code != 0 else "survived"), out


def try_fault(site, build, sanitized, jobs, tests=None):
    path = site[0]
    original = path.read_bytes()
    objects = objects_of(path, build)
    before = code_of(objects)
    try:
        path.write_text(planted(site), encoding="utf-8")
        code, out = run(["cmake", "--build", str(build), f"-j{jobs}"], build, 1800)
        if code != 0:
            return "stillborn", out
        if objects and code_of(objects) == before:
            return "same code", out
        verdict, out = suite(build, jobs, 120, tests=tests)
        if verdict == "killed" or sanitized is None:
            return verdict, out
        code, out = run(["cmake", "--build", str(sanitized), f"-j{jobs}"], sanitized, 1800)
        if code != 0:
            return "stillborn", out
        verdict, out = suite(sanitized, jobs, 300, "asan", tests)
        return ("killed, sanitized" if verdict == "killed" else verdict), out
    finally:
        path.write_bytes(original)
        os.utime(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=40)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--build", default="build/faults")
    parser.add_argument("--sanitized", default="build/faults-asan")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--again", metavar="LOG")
    parser.add_argument("--within", metavar="PATH")
    parser.add_argument("--tests", metavar="REGEX")
    args = parser.parse_args()
    # Stopped from outside, it still puts the planted file back on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    seed = args.seed if args.seed is not None else int(time.time())
    candidates = all_sites()
    if args.within:
        below = (ROOT / args.within).resolve()
        candidates = [site for site in candidates if below in (site[0], *site[0].parents)]
    draw = random.Random(seed)
    draw.shuffle(candidates)
    if args.again:
        told = [re.sub(r"^survived\s+(\d+s\s+)?", "", line.rstrip("\n"))
                for line in open(args.again, encoding="utf-8") if line.startswith("survived ")]
        candidates = [site for site in candidates if describe(site) in told]
        args.count = len(candidates)
    print(f"{len(candidates)} places for a fault; seed {seed}", flush=True)
    if args.list:
        for site in candidates[: args.count]:
            print(describe(site))
        return 0
    build = (ROOT / args.build).resolve()
    sanitized = None if args.sanitized == "none" else (ROOT / args.sanitized).resolve()
    for folder, preset in ((build, "default"), (sanitized, "asan")):
        if folder is None:
            continue
        configure(folder, preset)
        if run(["cmake", "--build", str(folder), f"-j{args.jobs}"], folder, 3600)[0] != 0:
            print(f"the unchanged sources do not build in {folder}", file=sys.stderr)
            return 2
    killed, survivors, tried = 0, [], 0
    for site in candidates:
        if tried == args.count:
            break
        began = time.monotonic()
        verdict, _ = try_fault(site, build, sanitized, args.jobs, args.tests)
        print(f"{verdict:9} {time.monotonic() - began:4.0f}s {describe(site)}", flush=True)
        if verdict in ("stillborn", "same code"):
            continue
        tried += 1
        if verdict.startswith("killed"):
            killed += 1
        else:
            survivors.append(describe(site))
    for folder in (build, sanitized):
        if folder is not None:
            run(["cmake", "--build", str(folder), f"-j{args.jobs}"], folder, 3600)
    print(f"\nkilled {killed} of {tried} (seed {seed})")
    for survivor in survivors:
        print(f"  survived: {survivor}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
