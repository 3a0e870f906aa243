#!/usr/bin/env bash
# Runs every load, loss, hostile-peer and voice measurement in turn, with the
# same pass-through options for servers and clients, and prints their tables.
# Usage: tools/measure/all.sh [BIN_DIR] [--server-args "..."] [--client-args "..."] [--quick]
#        (default build/bin; e.g. --server-args "--rate 16,65535" --client-args "--rate 16,65535";
#        --quick: shorter runs, for a check that everything still works)
# Each measurement bounds its own processes; the whole takes about 25 minutes.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bin=build/bin
server_args=""
client_args=""
quick=0
while [ $# -gt 0 ]; do
    case $1 in
        --server-args) server_args=$2; shift 2 ;;
        --client-args) client_args=$2; shift 2 ;;
        --quick) quick=1; shift ;;
        -*) echo "unknown option $1" >&2; exit 2 ;;
        *) bin=$1; shift ;;
    esac
done
if [ $quick = 1 ]; then
    load="--seconds 10 --clients 3,8"; stall="--seconds 15 --runs 1"; flood="--seconds 8 --modes none,junk"
    hostile="--seconds 8"; noack="--seconds 15"; talk="--seconds 10"
else
    load="--seconds 60 --clients 3,8,32"; stall="--seconds 40 --runs 3"; flood="--modes none,challenge,connect,token,junk"
    hostile=""; noack=""; talk="--seconds 30"
fi
pass=(--server-args "$server_args" --client-args "$client_args")
echo "## $(date -u +%FT%TZ) on $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "### Load (16 ms moves)";            "$root/scripts/loadcheck.py" --bin "$bin" $load "${pass[@]}"
echo "### Stall under loss";              "$here/stall.py" --bin "$bin" $stall "${pass[@]}"
echo "### Floods";                        "$here/hostile.py" flood --bin "$bin" $flood "${pass[@]}"
echo "### Voice spam";                    "$here/hostile.py" voice-spam --bin "$bin" $hostile "${pass[@]}"
echo "### Never-acknowledging client";    "$here/hostile.py" no-ack --bin "$bin" $noack "${pass[@]}"
echo "### Mouth to ear, mid-utterance";   "$here/voice.py" latency --bin "$bin" "${pass[@]}"
echo "### Playback gaps, 3 users moving"; "$here/voice.py" underruns --bin "$bin" $talk "${pass[@]}"
echo "## done, load $(cut -d' ' -f1-3 /proc/loadavg)"
