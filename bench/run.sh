#!/usr/bin/env bash
# Runs every benchmark of the project, each against its reference in the same
# run, and prints the figures. Usage: bash bench/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
B=build/bench

echo "== Session file, event memory, display translation =="
"$B/bench_session"

echo "== Save Special: binary and text export against cp =="
"$B/bench_export"

echo "== History list: a million rows from a worker, reload, memory per row =="
QT_QPA_PLATFORM=offscreen "$B/bench_gui_list"

echo "== TCP relay against socat: bulk, 100-byte lines, round trips, idle CPU =="
"$B/bench_relay"

echo "== MIME: analysis report against the bare parse; Base64 and Quoted-Printable coders =="
"$B/bench_mime"

echo "== Datagram relay against socat: 1000-byte datagrams received, recorded and moved =="
"$B/bench_dgram"

echo "== Playback as client against a direct client: 100 000 request/response exchanges =="
"$B/bench_playback"
