#!/bin/bash
# Shows a whole call between two copies of the release build on two hosts: A (10.231.0.1) and
# B (10.231.0.2), two network namespaces joined by a veth pair, each program on a virtual display
# of its own and driven with xdotool. A rings B, A talks, both stream their send.au to the other,
# A disconnects. Then the received files are compared with the sent ones byte for byte, the
# datagrams captured on the wire are checked field by field, and screenshots of both windows are
# left in a folder under /tmp, which the script names.
#
# Everything runs inside a network and mount namespace of the script's own (and the two hosts in
# namespaces inside that one), so nothing it sends can leave the machine.
#
# Usage: scripts/two-hosts-demo.sh        (builds into $UDPPHONE_DEMO_BUILD_DIR, default build-demo)
# shellcheck disable=SC2016  # awk programs and field names go in single quotes on purpose
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

if [ "${1:-}" != --inside ]; then
    # import takes the screenshots, tcpdump watches the wire; only this script needs them.
    scripts/install-deps.sh imagemagick tcpdump
    build_dir=${UDPPHONE_DEMO_BUILD_DIR:-build-demo}
    if [ ! -f "$build_dir/CMakeCache.txt" ]; then
        cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DUDPPHONE_TESTS=OFF \
            >/dev/null
    fi
    cmake --build "$build_dir" --target udpphone >/dev/null
    out=$(mktemp -d /tmp/udpphone-demo.XXXXXX)
    exec unshare --net --mount "$0" --inside "$(readlink -f "$build_dir")" "$out"
fi

build_dir=$2
out=$3
repo=$PWD
port=20080
declare -A address=([A]=10.231.0.1 [B]=10.231.0.2)
# B starts with an address nobody has: the Ring from A must replace it before B sends anything.
decoy=10.231.0.99
declare -A send_size=([A]=20100 [B]=12050)
declare -A holder display window program

started=$(date +%s.%N)
say() { printf '[%6.2fs] %s\n' "$(awk "BEGIN { print $(date +%s.%N) - $started }")" "$*"; }
fail() {
    say "FAILED: $*"
    local host
    for host in A B; do
        if [ -n "${window[$host]:-}" ]; then
            DISPLAY=${display[$host]} import -window "${window[$host]}" "$out/failed-$host.png" &&
                say "host $host's window at the failure: $out/failed-$host.png"
        fi
    done
    exit 1
}

# Stopped in reverse order of starting: the programs before their displays, the hosts last.
pids=()
cleanup() {
    local status=$?
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    local gone=1
    for host in A B; do
        if [ -n "${holder[$host]:-}" ] && [ -e "/proc/${holder[$host]}" ]; then
            echo "two-hosts-demo: host $host's namespace is still held" >&2
            gone=0
            status=1
        fi
    done
    [ $gone = 0 ] || say "stopped everything it started; the hosts' namespaces and the veth pair are gone"
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount --make-rprivate /
ip link set lo up

# Polls COMMAND every 50 ms for at most SECONDS.
wait_until() {
    local seconds=$1 what=$2
    shift 2
    local deadline=$(($(date +%s) + seconds))
    until "$@"; do
        [ "$(date +%s)" -lt "$deadline" ] || fail "gave up after ${seconds}s waiting for $what"
        sleep 0.05
    done
}

on_host() {
    local host=$1
    shift
    nsenter --target "${holder[$host]}" --net -- "$@"
}

# --- the two hosts -------------------------------------------------------------------------------
own_namespace=$(readlink /proc/self/ns/net)
in_namespace_of_its_own() { # PID
    local namespace
    namespace=$(readlink "/proc/$1/ns/net" 2>/dev/null) || return 1
    [ -n "$namespace" ] && [ "$namespace" != "$own_namespace" ]
}
for host in A B; do
    # The holder keeps the namespace alive; it goes when the holder and the program are gone.
    # Bounded, so that even a killed script cannot leave a host behind for long.
    unshare --net -- sleep 300 &
    holder[$host]=$!
    pids+=("${holder[$host]}")
    wait_until 5 "host $host's namespace" in_namespace_of_its_own "${holder[$host]}"
done
ip link add veth-a type veth peer name veth-b
ip link set veth-a netns "${holder[A]}"
ip link set veth-b netns "${holder[B]}"
for host in A B; do
    link=veth-${host,,}
    on_host "$host" sh -c "
        sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
        sysctl -qw net.ipv6.conf.$link.disable_ipv6=1
        ip link set lo up
        ip addr add ${address[$host]}/24 dev $link
        ip link set $link up"
    [ -z "$(on_host "$host" ip route show default)" ] || fail "host $host has a default route"
done
say "hosts: A ${address[A]} and B ${address[B]} on a veth pair, no other route"

# --- what each host's program finds beside it ---------------------------------------------------
# Numbered records, so a lost, doubled or reordered chunk cannot go unseen.
pattern() { # HOST SIZE
    local record='host-A voice %06d\n'
    [ "$1" = A ] || record='B%05d:'
    awk -v record="$record" -v size="$2" \
        'BEGIN { while (length(s) < size) s = s sprintf(record, n++); printf "%s", substr(s, 1, size) }'
}
for host in A B; do
    dir=$out/host$host
    mkdir -p "$dir/runtime"
    chmod 700 "$dir/runtime"
    cp "$build_dir/udpphone" "$dir/udpphone"
    pattern "$host" "${send_size[$host]}" >"$dir/send.au"
    : >"$dir/recv.au"
    [ "$(stat -c %s "$dir/send.au")" = "${send_size[$host]}" ] || fail "could not write $dir/send.au"
    say "host $host: $dir: udpphone, send.au ${send_size[$host]} bytes ($(head -c 19 "$dir/send.au" | tr '\n' ' ')...), recv.au 0 bytes"
done

# --- the wire ------------------------------------------------------------------------------------
capture=$out/wire.pcap
# Started straight through nsenter (it execs without forking), so $! is tcpdump's own PID.
nsenter --target "${holder[A]}" --net -- \
    tcpdump -Z root -U --immediate-mode -i veth-a -w "$capture" 2>"$out/tcpdump.log" &
tcpdump_pid=$!
pids+=("$tcpdump_pid")
wait_until 10 "tcpdump" grep -q 'listening on' "$out/tcpdump.log"

datagrams() {
    { tcpdump -nn -x -r "$capture" 2>/dev/null || true; } | awk -f "$repo/scripts/demo/datagrams.awk"
}
# Counts the captured datagrams for which the awk CONDITION holds (fields as datagrams.awk says).
captured() { datagrams | awk "$1" | wc -l; }
seen() { [ "$(captured "$1")" -ge "${2:-1}" ]; }

# --- displays and programs -----------------------------------------------------------------------
for host in A B; do
    Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp -noreset 3>"$out/display$host" \
        2>"$out/xvfb$host.log" &
    pids+=($!)
    wait_until 10 "Xvfb for host $host" test -s "$out/display$host"
    display[$host]=":$(head -n 1 "$out/display$host")"
done

x() { # HOST XDOTOOL-ARGUMENTS...
    local host=$1
    shift
    DISPLAY=${display[$host]} xdotool "$@"
}

for host in A B; do
    dir=$out/host$host
    # The X socket in /tmp/.X11-unix is reached across the network namespace.
    nsenter --target "${holder[$host]}" --net -- env DISPLAY="${display[$host]}" QT_QPA_PLATFORM=xcb \
        XDG_RUNTIME_DIR="$dir/runtime" "$dir/udpphone" >"$out/program$host.log" 2>&1 </dev/null &
    program[$host]=$!
    pids+=("${program[$host]}")
done
listening() { on_host "$1" ss -Huln "sport = :$port" | grep -q .; }
for host in A B; do
    window[$host]=$(timeout 20 env DISPLAY="${display[$host]}" \
        xdotool search --sync --onlyvisible --name '^Form1$' | head -n 1) || true
    [ -n "${window[$host]}" ] || fail "no window of host $host's program"
    wait_until 10 "host $host listening on UDP $port" listening "$host"
    say "host $host: udpphone pid ${program[$host]} on display ${display[$host]}, window ${window[$host]}, listening on ${address[$host]}:$port"
done

# Client coordinates of the controls' centres (left + width / 2, top + height / 2).
declare -A centre=(
    [eIP]="68 18" [bRing]="45 52" [bTalk]="125 52" [bDiscon]="205 52" [bOpen]="205 132"
    [Memo1]="124 212")
click() { # HOST CONTROL
    x "$1" windowfocus --sync "${window[$1]}"
    # shellcheck disable=SC2086  # two coordinates
    x "$1" mousemove --window "${window[$1]}" ${centre[$2]} click 1
}
type_into_eIP() { # HOST TEXT
    click "$1" eIP
    x "$1" key --clearmodifiers ctrl+a
    x "$1" type --delay 20 "$2"
    say "host $1: eIP := $2"
}
screenshot() { # HOST NAME
    x "$1" mousemove 639 479 # keep the pointer off the controls
    sleep 0.3                # a few ticks, so LMode and the counters are painted
    DISPLAY=${display[$1]} import -window "${window[$1]}" "$out/$2.png"
    say "host $1: screenshot $out/$2.png"
}
holds_voice_files() { # HOST
    local open
    open=$(for fd in /proc/"${program[$1]}"/fd/*; do readlink "$fd"; done)
    grep -qx "$out/host$1/send.au" <<<"$open" && grep -qx "$out/host$1/recv.au" <<<"$open"
}
file_size() { stat -c %s "$out/host$1/$2"; }

# --- the call ------------------------------------------------------------------------------------
type_into_eIP A "${address[B]}"
type_into_eIP B "$decoy"
for host in A B; do
    click "$host" bOpen
    wait_until 5 "host $host opening its voice files" holds_voice_files "$host"
    say "host $host: click open -> send.au and recv.au held open"
done
screenshot A 1-A-opened
screenshot B 1-B-opened

from_A="\$1 == \"${address[A]}\""
from_B="\$1 == \"${address[B]}\""

click A bRing
say "host A: click Ring"
wait_until 5 "B's reply to the Ring" seen "$from_B && \$5 == 12 && \$9 == 5"
say "  B answered the Ring: $(datagrams | awk "$from_B && \$5 == 12 && \$9 == 5" | awk '{print "Seq " $7 ", Status " $10}')"
screenshot B 2-B-after-ring

click A bTalk
say "host A: click Talk"
wait_until 5 "B's reply to the Talk" seen "$from_B && \$5 == 12 && \$9 == 7"
say "  B answered the Talk: $(datagrams | awk "$from_B && \$5 == 12 && \$9 == 7" | awk '{print "Seq " $7 ", Status " $10}')"

got_everything() {
    [ "$(file_size B recv.au)" -ge "${send_size[A]}" ] && [ "$(file_size A recv.au)" -ge "${send_size[B]}" ]
}
wait_until 30 "both files to stream" got_everything
sleep 0.5 # ten more ticks at the end of both files, which must send nothing
say "  streamed: B's recv.au $(file_size B recv.au) bytes, A's recv.au $(file_size A recv.au) bytes"
screenshot A 3-A-talking
screenshot B 3-B-talking

click A bDiscon
say "host A: click Disconnect"
wait_until 5 "B's reply to the Disconnect" seen "$from_B && \$5 == 12 && \$9 == 9"
say "  B answered the Disconnect: $(datagrams | awk "$from_B && \$5 == 12 && \$9 == 9" | awk '{print "Seq " $7 ", Status " $10}')"
sleep 0.3 # nothing may follow the Disconnect
screenshot A 4-A-disconnected
screenshot B 4-B-disconnected
# The rest of B's log is below the visible lines.
click B Memo1
x B key --clearmodifiers ctrl+End
screenshot B 5-B-log-end

for host in A B; do
    boxes=$(x "$host" search --onlyvisible --pid "${program[$host]}" --name '.' | wc -l)
    [ "$boxes" = 1 ] || fail "host $host shows $boxes windows (an error box?)"
done

# --- the programs end --------------------------------------------------------------------------
for host in A B; do
    kill -TERM "${program[$host]}"
    status=0
    wait "${program[$host]}" || status=$?
    say "host $host: SIGTERM -> exit code $status"
    [ "$status" = 0 ] || fail "host $host's program ended with $status"
done
sleep 0.2
kill -INT "$tcpdump_pid"
wait "$tcpdump_pid" || true

# --- checks --------------------------------------------------------------------------------------
checks=0
check() { # DESCRIPTION EXPECTED ACTUAL
    if [ "$2" != "$3" ]; then
        say "CHECK FAILED: $1"
        printf '  expected: %s\n  actual:   %s\n' "$2" "$3"
        exit 1
    fi
    checks=$((checks + 1))
}

for pair in "A B" "B A"; do
    read -r from to <<<"$pair"
    if cmp "$out/host$from/send.au" "$out/host$to/recv.au"; then
        say "cmp host $from send.au ($(file_size "$from" send.au) bytes) = host $to recv.au ($(file_size "$to" recv.au) bytes): identical"
    else
        fail "host $to's recv.au differs from host $from's send.au"
    fi
done

datagrams >"$out/datagrams.txt"
chunks() { echo $((($1 + 399) / 400)); }
nA=$(chunks "${send_size[A]}")
nB=$(chunks "${send_size[B]}")
disconnect_seq=$((nA + 3))
summary() { awk "$1" "$out/datagrams.txt" | awk "{ print $2 }" | paste -sd' '; }
in_order() { awk "$1" "$out/datagrams.txt" | awk '{ print $7 }' | paste -sd' '; }

check "nothing on the wire but UDP and ARP" 0 \
    "$(grep '^other' "$out/datagrams.txt" | grep -vc '^other [0-9:.]* ARP, ' || true)"
check "no host asked for the address B started with" 0 \
    "$(grep -c "who-has $decoy " "$out/datagrams.txt" || true)"
sed -i '/^other/d' "$out/datagrams.txt"
check "every datagram between A and B, port $port to port $port, magic zelk" \
    "$(wc -l <"$out/datagrams.txt")" \
    "$(captured "(\$1 == \"${address[A]}\" && \$3 == \"${address[B]}\" || \$1 == \"${address[B]}\" && \$3 == \"${address[A]}\") && \$2 == $port && \$4 == $port && \$6 == \"7a656c6b\"")"
check "A's requests: Seq Target Command Status" \
    "1 1 5 0, 2 1 7 0, $disconnect_seq 1 9 0" \
    "$(awk "$from_A && \$5 == 12" "$out/datagrams.txt" | awk '{ print $7, $8, $9, $10 }' | paste -sd, | sed 's/,/, /g')"
check "B's replies: Seq Target Command Status" \
    "1 1 5 1, 2 1 7 1, $disconnect_seq 1 9 1" \
    "$(awk "$from_B && \$5 == 12" "$out/datagrams.txt" | awk '{ print $7, $8, $9, $10 }' | paste -sd, | sed 's/,/, /g')"
voice_A="$from_A && \$9 == 10"
voice_B="$from_B && \$9 == 10"
check "A's voice: $nA datagrams of 416 bytes, Target 1, Status 0" \
    "$nA" "$(captured "$voice_A && \$5 == 416 && \$8 == 1 && \$10 == 0")"
check "B's voice: $nB datagrams of 416 bytes, Target 1, Status 0" \
    "$nB" "$(captured "$voice_B && \$5 == 416 && \$8 == 1 && \$10 == 0")"
check "A's voice Seq: 3 to $((nA + 2)), after Ring 1 and Talk 2" \
    "$(seq 3 $((nA + 2)) | paste -sd' ')" "$(in_order "$voice_A")"
check "B's voice Seq: 1 to $nB" "$(seq 1 "$nB" | paste -sd' ')" "$(in_order "$voice_B")"
lengths() { yes 400 | head -n $(($1 / 400)) | paste -sd' ' | sed "s/\$/ $(($1 % 400))/;s/ 0\$//;s/^ //"; }
check "A's voice Length: 400 ... and the rest" "$(lengths "${send_size[A]}")" "$(summary "$voice_A" '$11')"
check "B's voice Length: 400 ... and the rest" "$(lengths "${send_size[B]}")" "$(summary "$voice_B" '$11')"
hex_of() { od -An -v -tx1 "$1" | tr -d ' \n'; }
check "A's voice payloads on the wire are A's send.au" \
    "$(hex_of "$out/hostA/send.au")" "$(summary "$voice_A" '$12' | tr -d ' ')"
check "B's voice payloads on the wire are B's send.au" \
    "$(hex_of "$out/hostB/send.au")" "$(summary "$voice_B" '$12' | tr -d ' ')"
check "zero filler after every voice payload" 0 "$(captured '$9 == 10 && $13 != "zero"')"
check "the Disconnect is A's last datagram" "1 9" \
    "$(awk "$from_A" "$out/datagrams.txt" | tail -n 1 | awk '{ print $8, $9 }')"
check "B's voice begins after its replies to the Ring and the Talk" "5 7" \
    "$(awk "$from_B" "$out/datagrams.txt" | awk '$9 == 10 { exit } { print $9 }' | paste -sd' ')"
say "wire: $(wc -l <"$out/datagrams.txt") datagrams, $checks checks passed (capture $capture, decoded $out/datagrams.txt)"

hexseq() { printf '%02X %02X' $(($1 % 256)) $(($1 / 256)); }
cat <<EOF
expected in the screenshots ($out):
  host A: LSend $nA, LRecv $nB, LMode 1, hook clear, bOpen "open ok", Memo1 only "Memo1" (replies are not logged)
  host B: LSend $nB, LRecv $nA, LMode 1, hook clear, bOpen "open ok", eIP ${address[A]}, eTarget 1, Memo1 from the top:
    Read: 12 7A 65 6C 6B $(hexseq "$disconnect_seq") 01 00 09 00 01 00
    Send: 01 09
    Read: 12 7A 65 6C 6B 02 00 01 00 07 00 01 00
    Send: 01 07
    Read: 12 7A 65 6C 6B 01 00 01 00 05 00 01 00
    Send: 01 05
    Dial: 1
    Memo1
EOF
say "two-hosts demo passed"
