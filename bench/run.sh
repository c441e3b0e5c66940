#!/bin/bash
# The bench: km740tool.exe under Wine against the 38400-baud line rate (throughput, loss,
# backlog, latency), its CPU while waiting, its start-up, memory and size against a minimal
# dialog, what each per-record step costs under Wine, instructions per byte of the download
# logic on the host, and the timing model of Windows and Wine at every rate (bench/model.sh,
# seconds on its own), also with a slow display. Prints the table and writes it to bench/results.md.
#
# Usage: bench/run.sh            ~10 minutes (100 KB paced and 256 KB flooded per record length),
#                                plus up to 5 minutes waiting for a quiet machine
#        BENCH_FULL=1 bench/run.sh   1 MB for both (about 40 minutes: 2-byte records alone take 15)
# Knobs: BENCH_BEFORE (a git revision: the slow-display model also for its download control),
#        BENCH_PACED_BYTES, BENCH_FLOOD_BYTES, BENCH_LENGTHS (2,10,40,200), BENCH_STARTS (7),
#        BENCH_MAX_LOAD (1.0: the timed stage waits for a 1-minute load below this),
#        BENCH_LOAD_WAIT (300: seconds it waits at most, then runs anyway and says so).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${KM_JOBS:-2}
full=${BENCH_FULL:-0}
if [ "$full" = 1 ]; then
    paced=${BENCH_PACED_BYTES:-1048576}
    flood=${BENCH_FLOOD_BYTES:-1048576}
else
    paced=${BENCH_PACED_BYTES:-102400}
    flood=${BENCH_FLOOD_BYTES:-262144}
fi
lengths=${BENCH_LENGTHS:-2,10,40,200}
starts=${BENCH_STARTS:-7}
max_load=${BENCH_MAX_LOAD:-1.0}
load_wait=${BENCH_LOAD_WAIT:-300}
out=build/bench
mkdir -p "$out"

echo "=== packages"
scripts/deps.sh host wine valgrind

echo "=== building"
cmake --preset host >/dev/null
cmake --build build/host -j"$jobs" --target devsim
cmake --preset windows >/dev/null
cmake --build build/windows -j"$jobs" --target km740tool uidriver portcheck
# The logic as shipped is optimised; the host preset is a Debug build, so count on a Release one.
cmake -S . -B build/bench-host -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench-host -j"$jobs" --target km740_sim
g++ -std=c++17 -O2 -I. bench/host_download.cpp build/bench-host/libkm740_sim.a \
    -o "$out/host_download"
x86_64-w64-mingw32-windres -I. -Ibuild/windows/res bench/minimal_dialog.rc -O coff -o "$out/minimal_dialog.res.o"
# The same compiler and flags as the Windows preset's Release build of km740tool.exe.
x86_64-w64-mingw32-g++-posix -O3 -DNDEBUG -mwindows -static -static-libgcc -static-libstdc++ \
    bench/minimal_dialog.cpp "$out/minimal_dialog.res.o" -o "$out/minimal_dialog.exe" -luser32
x86_64-w64-mingw32-g++-posix -O3 -DNDEBUG -static -static-libgcc -static-libstdc++ \
    bench/record_cost.cpp -o "$out/record_cost.exe" -luser32 -lgdi32

echo "=== size"
size_of() {  # exe -> "bytes stripped dll,dll"
    local exe=$1 copy="$out/stripped.exe"
    cp "$exe" "$copy"
    x86_64-w64-mingw32-strip "$copy"
    echo "$(stat -c %s "$exe") $(stat -c %s "$copy") $(x86_64-w64-mingw32-objdump -p "$exe" |
        awk '/DLL Name:/ {print $3}' | sort | paste -sd, -)"
}
read -r tb ts td <<<"$(size_of build/windows/km740tool.exe)"
read -r mb ms md <<<"$(size_of "$out/minimal_dialog.exe")"
python3 - "$out/size.json" "$tb" "$ts" "$td" "$mb" "$ms" "$md" <<'EOF'
import json, sys
o, tb, ts, td, mb, ms, md = sys.argv[1:]
json.dump({"tool": {"bytes": int(tb), "stripped": int(ts), "dlls": td.split(",")},
           "minimal": {"bytes": int(mb), "stripped": int(ms), "dlls": md.split(",")}},
          open(o, "w"), indent=1)
EOF
echo "km740tool.exe $tb bytes ($ts stripped), imports $td"
echo "minimal_dialog.exe $mb bytes ($ms stripped), imports $md"

echo "=== host: instructions per byte (callgrind; does not depend on load)"
python3 bench/host_bench.py --program "$out/host_download" --bytes "$paced" \
    --lengths "$lengths" --out "$out/host.json"

echo "=== waiting for a 1-minute load average below $max_load (at most $load_wait s)"
load1() { cut -d' ' -f1 /proc/loadavg; }
waited=0
while awk -v l="$(load1)" -v m="$max_load" 'BEGIN { exit !(l >= m) }'; do
    if [ "$waited" -ge "$load_wait" ]; then
        echo "load still $(load1) after $waited s: running anyway (the table says so)"
        break
    fi
    sleep 15
    waited=$((waited + 15))
done
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "load before: $load_before (waited $waited s)"

echo "=== Wine: throughput, latency, CPU, start-up (paced $paced B, flood $flood B per length)"
started=$(date -u +%Y-%m-%dT%H:%M:%SZ)
python3 bench/wine_bench.py --paced-bytes "$paced" --flood-bytes "$flood" --lengths "$lengths" \
    --starts "$starts" --devsim build/host/devsim --minimal "$out/minimal_dialog.exe" \
    --record-cost "$out/record_cost.exe" \
    --out "$out/wine.json"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

echo "=== host: the timing model, Windows and Wine at every rate, with this run's Wine costs"
wine_costs=$(python3 - "$out/wine.json" <<'EOF'
import json, statistics, sys
runs = json.load(open(sys.argv[1])).get("record_cost", [])
keys = (("repaint", "repaint_us"), ("write", "write_flush_us"), ("sleep1", "sleep1_us"),
        ("clearcommerror", "clearcommerror_us"))
print(",".join("%s=%.1f" % (k, statistics.median(r[f] for r in runs)) for k, f in keys
               if runs and all(f in r for r in runs)))
EOF
)
bench/model.sh ${wine_costs:+--wine "$wine_costs"} | tee "$out/model.md"

echo "=== host: the timing model with a slow display (repaint 0.8 to 5 ms under both timings)"
slow=()
for before in "" ${BENCH_BEFORE:-}; do
    for repaint in 800 1000 2000 5000; do
        costs="${wine_costs:+$wine_costs,}repaint=$repaint"
        args=(${before:+--before "$before"} --wine "$costs" --windows repaint=$repaint)
        file="$out/model-repaint-$repaint${before:+-$before}.md"
        {
            echo "command: bench/model.sh ${args[*]}"
            bench/model.sh "${args[@]}" | grep -v '^(the download control as at'
        } >"$file"
        grep '^worst' "$file"
        slow+=("$file")
    done
done

cmd="bench/run.sh"
[ "$full" = 1 ] && cmd="BENCH_FULL=1 $cmd"
[ -n "${BENCH_BEFORE:-}" ] && cmd="BENCH_BEFORE=$BENCH_BEFORE $cmd"
python3 - "$out/machine.json" <<EOF
import json, subprocess, sys
def sh(c):
    return subprocess.run(c, shell=True, stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()
facts = [
    ("date (UTC, start of the Wine stage)", "$started"),
    ("command", "\`$cmd\`"),
    ("data set per record length", "paced $paced bytes, flooded $flood bytes; record lengths $lengths"),
    ("machine", "%s cores, %s" % (sh("nproc"), sh("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2").strip())),
    ("system", sh("uname -sr") + ", " + sh(". /etc/os-release; echo \$PRETTY_NAME")),
    ("Wine", sh("wine --version 2>/dev/null")),
    ("load average (1, 5, 15 min)", "before the Wine stage $load_before (after waiting $waited s for < $max_load), after it $load_after"),
]
json.dump({"command": "$cmd", "facts": facts}, open(sys.argv[1], "w"), indent=1)
EOF

echo "=== the table"
python3 bench/report.py --wine "$out/wine.json" --host "$out/host.json" --size "$out/size.json" \
    --machine "$out/machine.json" --model "$out/model.md" \
    --slow-display "${slow[@]}" --out bench/results.md
