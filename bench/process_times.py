#!/usr/bin/env python3
"""Whole-process times of korvex-cli, side by side with what they are held to.

Usage: bench/process_times.py [--build DIR] [--runs N]

  korvex-cli -V and korvex-sim -V, start to exit;
  convert of a 4 MiB image from Intel HEX and from S3 records to binary,
    against srec_cat doing the same (when it is installed);
  read-id on 8 emulated units paced at 1 000 000 baud with the records on:
    the run's time, the line time of what it sent and received (from the
    emulator's trace), and the difference, the run's fixed cost.

Each figure is the median of N runs (default 15; 50 for -V). DIR is the
build folder (default: build beside this script's folder).
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def median_ms(cmd, runs, env=None):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, env=env)
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1000


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(usage=__doc__.split("\n\n")[1].strip(), description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("--runs", type=int, default=15)
    args = parser.parse_args()
    cli = os.path.join(args.build, "korvex-cli")
    sim = os.path.join(args.build, "korvex-sim")
    tmp = tempfile.mkdtemp(prefix="kvx-process-times.")
    try:
        # A baseline first: starting any program from here costs this much.
        print(f"/bin/true                      {median_ms(['/bin/true'], 50):7.1f} ms (the cost of starting a process)")
        print(f"korvex-cli -V                  {median_ms([cli, '-V'], 50):7.1f} ms (target 5 ms)")
        print(f"korvex-sim -V                  {median_ms([sim, '-V'], 50):7.1f} ms")

        image = os.path.join(tmp, "image.bin")
        with open(image, "wb") as f:
            f.write(os.urandom(4 << 20))
        hex_file, s3_file = os.path.join(tmp, "image.hex"), os.path.join(tmp, "image.s37")
        subprocess.run([cli, "convert", image, hex_file], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([cli, "--to", "srec", "convert", image, s3_file], check=True, stdout=subprocess.DEVNULL)
        srec_cat = shutil.which("srec_cat")
        for name, source, kind in (("HEX", hex_file, "-intel"), ("S3 ", s3_file, "-motorola")):
            out = os.path.join(tmp, "out.bin")
            ours = median_ms([cli, "convert", source, out], args.runs)
            with open(out, "rb") as a, open(image, "rb") as b:
                if a.read() != b.read():
                    sys.exit(f"convert of {source} did not give the image back")
            line = f"convert 4 MiB {name} -> BIN       {ours:7.1f} ms"
            if srec_cat:
                theirs = median_ms([srec_cat, source, kind, "-o", out, "-binary"], args.runs)
                line += f"; srec_cat {theirs:.1f} ms: {ours / theirs:.3f} x (target 0.12 x)"
            print(line)

        ports, trace = os.path.join(tmp, "ports"), os.path.join(tmp, "trace.jsonl")
        units = subprocess.Popen([sim, "--units", "8", "--dir", ports, "--baud", "1000000", "--trace", trace],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            for _ in range(200):
                if os.path.exists(os.path.join(ports, "COM8")):
                    break
                time.sleep(0.01)
            env = dict(os.environ, KORVEX_SERIAL_DIR=ports, KORVEX_HOME=os.path.join(tmp, "home"))
            run = [cli, "-q", "--chip", "SC32F5232JV1G", "read-id"]
            subprocess.run(run, check=True, stdout=subprocess.DEVNULL, env=env)  # the records database is made
            start = os.path.getsize(trace)
            whole = median_ms(run, args.runs, env)
        finally:
            units.terminate()
            units.wait()
        # The line time of the busiest unit over all runs, per run: 11 bit
        # times a byte at 1 000 000 baud.
        wire = {}
        with open(trace) as f:
            f.seek(start)
            for row in f:
                e = json.loads(row)
                wire[e["unit"]] = wire.get(e["unit"], 0) + e.get("wire", 0)
        line_ms = max(wire.values()) / args.runs * 11 / 1e6 * 1000
        print(f"read-id on 8 paced units       {whole:7.1f} ms; the line {line_ms:.1f} ms: fixed cost "
              f"{whole - line_ms:.1f} ms (target 100 ms)")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
