#!/usr/bin/env bash
# A working demo station: builds everything, makes a station root under ./demo (or
# $VELMORA_DEMO_ROOT), starts the Manager PC peer (velmora-mgrpc on 127.0.0.1:11001),
# the main operation program stand-in (harwent-sim, writing a violation file every 12 s),
# the camera-control and supervisor stand-ins, checks the configuration (velmora
# --check-config) and runs Velmora in its terminal view. The center asks for a status
# every 60 s, so the idle station's link watchdog stays quiet.
# Keys in the view: s send/stop, c CDMA, a about, q quit. Everything stops with Velmora.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
scripts/build.sh
bin="$top/build/bin"
root="${VELMORA_DEMO_ROOT:-$top/demo}"
rm -rf "$root"
mkdir -p "$root/d/QN64-ABRIX/Data" "$root/d/QN64-ABRIX/Bin" "$root/d/ENF_IMG" \
         "$root/d/Capture_img" "$root/d/System_Log/$(date +%Y)" "$root/center"
cat > "$root/d/QN64-ABRIX/Data/ConfigInfoSetup.ini" <<'INI'
[SelectSystem]
THIS_PROGRAM_KIND=2
[LocalInfo]
LOCAL_ADDRESS=ABCDE
LOCAL_NAME=Demo Station 1
CENTER_COMM_KIND=0
MANAGE_PC_IP=127.0.0.1
VOL_FILE_SEND_SYSTEM=1
AUTO_SEND_LOG=1
ENF_CAMERA_CNT=1
[OperationInfo]
OPERATION_MODE=0
[DigitalCAM_1]
TARGET_LANE_1=1
LOOP1_CHASUN_1=1,2
LOOP1_CHASUN_2=3,4
[Velmora]
SET_MACHINE_CLOCK=0
INI
cat > "$root/d/QN64-ABRIX/Data/LocalMemorySet.ini" <<'INI'
[AdditionItem]
ENF_IMG_DIRECTORY=d:/ENF_IMG
INI
for prog in Brisketon Quillamor; do ln -sf "$bin/sibling-stub" "$root/d/QN64-ABRIX/Bin/$prog.exe"; done
export VELMORA_ROOT="$root"
# The settings as the station will read them, and any problem with the root.
"$bin/velmora" --check-config || { echo "the demo root has configuration problems" >&2; exit 1; }
# The center may set the station's time; on a demo machine it stays an offset.
export VELMORA_CLOCK_OFFSET=1
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT
"$bin/velmora-mgrpc" --listen 127.0.0.1 --store "$root/center" >"$root/center/mgrpc.log" 2>&1 &
pids+=($!)
"$bin/harwent-sim" --vol-every 12 --vol-max 40000 >"$root/harwent-sim.out" 2>&1 &
pids+=($!)
for title in Zentoral Morwick; do "$bin/sibling-stub" --title "$title" & pids+=($!); done
sleep 0.5
echo "Demo station root: $root (center log: $root/center/mgrpc.log)"
cd "$root/d/QN64-ABRIX/Bin"
set +e
"$bin/velmora" "$@"
status=$?
echo "velmora ended with status $status"
echo "system log: $(ls "$root"/d/System_Log/*/* 2>/dev/null | head -1)"
echo "files stored by the center: $(find "$root/center" -type f ! -name '*.log' | wc -l)"
