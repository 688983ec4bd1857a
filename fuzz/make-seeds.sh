#!/bin/bash
# Writes the seed corpora of the fuzz targets: the texts and datagrams the protocol's own examples
# name. The files are kept in the repository; run this again only to change them.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/corpus"

rm -rf str_to_int receive_path scenario_parse capture_read peer_session
mkdir -p str_to_int receive_path scenario_parse capture_read peer_session

text() { printf '%b' "$2" >"str_to_int/$1"; }
text leading_blank ' 12'
text plus '+12'
text dollar '$0C'
text zero_x '0x0c'
text trailing_blank '12 '
text signed_hex '-$0C'
text exponent '1e2'
text blanks_only '   '
text empty ''
text int_max_plus_one '2147483648'
text int_min '-2147483648'
text nine_hex_digits '$100000000'
text all_ones '$FFFFFFFF'
text prefix_only '0x'
text sign_only '+'
text x_prefix 'x1F'
text dollar_1f '$1F'
text above_16_bits '70000'
text letters 'abc'
text full_width '\xef\xbc\x91\xef\xbc\x92'

# A receive-path input is three choice bytes, then the datagram:
#   byte 0: call mode (0 idle, 1 calling, 2 talking), plus 0x80 for the window with voice files
#   byte 1: eIP, 0..8 for 127.0.0.1..9, 9 and 10 for names ending in ".invalid"
#   byte 2: the sender, 0..8 for 127.0.0.1..9
# seed NAME CHOICES HEADER-BYTES [TOTAL-SIZE]: the header, padded with a pattern to TOTAL-SIZE.
seed() {
    local name=$1 choices=$2 header=$3 size=${4:-0}
    {
        printf '%b' "$choices$header"
        local have=$(($(printf '%b' "$header" | wc -c)))
        if [ "$size" -gt "$have" ]; then
            head -c $((size - have)) /dev/zero | tr '\0' '\125'
        fi
    } >"receive_path/$name"
}
z='\x7a\x65\x6c\x6b'
ring="$z\x01\x00\x01\x00\x05\x00\x00\x00"
seed ring_idle '\x00\x01\x01' "$ring"
seed ring_calling '\x01\x01\x01' "$ring"
seed ring_talking_invalid_eip '\x02\x09\x03' "$ring"
seed ring_reply '\x00\x01\x01' "$z\x01\x00\x01\x00\x05\x00\x01\x00"
seed ring_other_magic '\x00\x01\x01' '\x7a\xff\x00\x41\x01\x00\x01\x00\x05\x00\x00\x00'
seed ring_target_minus_one '\x00\x01\x01' "$z\x01\x00\xff\xff\x05\x00\x00\x00"
seed not_z '\x00\x01\x01' '\x5a\x65\x6c\x6b\x01\x00\x01\x00\x05\x00\x00\x00'
seed talk_from_eip '\x01\x02\x02' "$z\x02\x00\x01\x00\x07\x00\x00\x00"
seed talk_from_other '\x00\x02\x04' "$z\x02\x00\x01\x00\x07\x00\x00\x00"
seed talk_invalid_eip '\x00\x0a\x02' "$z\x02\x00\x01\x00\x07\x00\x00\x00"
seed disconnect_from_eip '\x82\x03\x03' "$z\x03\x00\x01\x00\x09\x00\x00\x00"
seed hangup_from_eip '\x02\x03\x03' "$z\x03\x00\x01\x00\x08\x00\x00\x00"
seed unknown_command '\x00\x01\x01' "$z\x04\x00\x01\x00\x06\x00\x00\x00"
seed voice_command_12_bytes '\x00\x01\x01' "$z\x04\x00\x01\x00\x0a\x00\x00\x00"
voice="$z\x05\x00\x01\x00\x0a\x00\x00\x00"
seed voice_416 '\x82\x01\x01' "$voice\x90\x01" 416
seed voice_416_no_files '\x02\x01\x01' "$voice\x90\x01" 416
seed voice_13 '\x80\x01\x01' "$voice\x05"
seed voice_20_length_10 '\x80\x01\x05' "$voice\x0a\x00" 20
seed voice_reply '\x80\x01\x01' "$z\x05\x00\x01\x00\x0a\x00\x01\x00\x10\x00" 416
seed eleven_status '\x00\x01\x01' "$z\x01\x00\x01\x00\x05\x00\x01"
seed eleven_no_status '\x00\x01\x01' "$z\x01\x00\x01\x00\x05\x00\x00"
seed datagram_2048 '\x80\x01\x01' "$voice\xf2\x07" 2048
seed datagram_2049 '\x80\x01\x01' "$voice\xf2\x07" 2049
seed length_minus_32768 '\x80\x01\x01' "$voice\x00\x80" 2048
seed length_minus_1 '\x80\x01\x01' "$voice\xff\xff" 2048
seed length_0 '\x80\x01\x01' "$voice\x00\x00" 416
seed length_2034 '\x80\x01\x01' "$voice\xf2\x07" 2048
seed length_2035 '\x80\x01\x01' "$voice\xf3\x07" 2048
seed length_32767 '\x80\x01\x01' "$voice\xff\x7f" 2048
seed length_400_short '\x80\x01\x01' "$voice\x90\x01" 100
seed empty '\x00\x01\x01' ''

# Scenarios: the shipped ones, and every step in each of its forms.
cp ../../scenarios/full-call.scenario ../../scenarios/stranger-talk.scenario scenario_parse/
printf '%s\n' 'send hex=7a656c6b0100010005000000 from=127.0.0.9' 'send 6 seq=65535 target=-1 status=2' \
    'expect request ring target=any seq=3 size=12 within=0.5' 'expect reply hangup status=any' \
    'expect voice count=3 target=2 length=400 size=416 within=2000' 'expect ignored size=11' \
    'stream "tone.au" chunks=1 seq=7 target=3' 'wait 86400000' 'wait stream' 'stop' \
    >scenario_parse/every_form

# Captures for report: pcap and pcapng files, one of each link type it reads, holding requests,
# replies and voice between 192.0.2.1 and 192.0.2.2 (in a file only), one voice datagram cut
# short by the snapshot length.
le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
be16() { printf '\\x%02x\\x%02x' $(($1 >> 8 & 255)) $(($1 & 255)); }
le32() { le16 $(($1 & 65535)); le16 $(($1 >> 16 & 65535)); }
size() { printf '%b' "$1" | wc -c; }
# IPv4 and UDP headers from 192.0.2.$1 to 192.0.2.$2, port 20080 both, before a payload of $3
# bytes.
ip_udp() {
    printf '%s' '\x45\x00'; be16 $((28 + $3)); printf '%s' '\x00\x00\x00\x00\x40\x11\x00\x00'
    printf '\\xc0\\x00\\x02\\x%02x\\xc0\\x00\\x02\\x%02x' "$1" "$2"
    printf '%s' '\x4e\x70\x4e\x70'; be16 $((8 + $3)); printf '%s' '\x00\x00'
}
# pcap MAGIC LINK-TYPE LINK-HEADER FRAME-BODY...: a file of one packet a body, 1.5 ms apart;
# a body of the form KEPT:BODY keeps only KEPT bytes of its frame.
pcap() {
    local magic=$1 link=$2 head=$3 i=0
    shift 3
    le32 "$magic"; printf '%s' '\x02\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00'
    le32 262144; le32 "$link"
    for body; do
        local kept=
        case $body in [0-9]*:*) kept=${body%%:*} body=${body#*:} ;; esac
        local frame="$head$body" wire
        wire=$(size "$frame")
        le32 1800000000; le32 $((i * 1500)); le32 "${kept:-$wire}"; le32 "$wire"
        printf '%b' "$frame" | head -c "${kept:-$wire}" | od -An -v -tx1 | tr -d ' \n' |
            sed 's/\(..\)/\\x\1/g'
        i=$((i + 1))
    done
}
capture() { printf '%b' "$(pcap "${@:2}")" >"capture_read/$1"; }
reply="$z\x01\x00\x01\x00\x05\x00\x01\x00"
voice_head="$z\x03\x00\x01\x00\x0a\x00\x00\x00\x90\x01"
voice="$voice_head$(head -c 402 /dev/zero | od -An -v -tx1 | tr -d ' \n' | sed 's/00/\\x55/g')"
ethernet_vlan='\xee\xee\xee\xee\xee\xee\xee\xee\xee\xee\xee\xee\x81\x00\x00\x2a\x08\x00'
capture ethernet_vlan 0xa1b2c3d4 1 "$ethernet_vlan" "$(ip_udp 1 2 12)$ring\x00\x00" \
    "$(ip_udp 2 1 12)$reply\x00\x00" "$(ip_udp 1 2 416)$voice"
capture sll_nanoseconds 0xa1b23c4d 113 '\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x08\x00' \
    "$(ip_udp 1 2 12)$ring" "$(ip_udp 2 1 12)$reply"
capture sll2_voice_cut 0xa1b2c3d4 276 "\x08\x00$(head -c 18 /dev/zero | sed 's/\x0/\\x00/g')" \
    "80:$(ip_udp 1 2 416)$voice" "$(ip_udp 2 1 416)$voice"
capture raw 0xa1b2c3d4 101 '' "$(ip_udp 1 2 12)$ring" "$(ip_udp 2 1 12)$reply"
# pcapng as the peer writes it: raw IPv4, microsecond stamps.
pcapng_block() {
    local length=$(($(size "$2") + 12))
    le32 "$1"; le32 "$length"; printf '%s' "$2"; le32 "$length"
}
pcapng=$(
    pcapng_block 0x0a0d0d0a '\x4d\x3c\x2b\x1a\x01\x00\x00\x00\xff\xff\xff\xff\xff\xff\xff\xff'
    pcapng_block 1 '\x65\x00\x00\x00\xff\xff\x00\x00\x09\x00\x01\x00\x06\x00\x00\x00\x00\x00\x00\x00'
    for packet in "$(ip_udp 1 2 12)$ring" "$(ip_udp 2 1 12)$reply"; do
        pcapng_block 6 "\x00\x00\x00\x00\x17\x65\x06\x00\x00\x80\x98\x28$(le32 40)$(le32 40)$packet"
    done
)
printf '%b' "$pcapng" >capture_read/pcapng_raw

# Sessions: records of a sender (0: the caller; 1 to 3 others; +4: from another port), a pause
# (milliseconds below 200), a little-endian size and the datagram.
# rec SENDER PAUSE HEX
rec() {
    local size=$((${#3} / 2))
    printf '%b' "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' "$1" "$2" $((size & 255)) $((size >> 8)))"
    printf '%b' "$(printf '%s' "$3" | sed 's/../\\x&/g')"
}
repeat() { printf "$1%.0s" $(seq "$2"); }
word() { printf '%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)); }
request() { printf '7a656c6b%s%s%s0000' "$(word "$1")" "$(word "$2")" "$(word "$3")"; }
# voice SEQ LENGTH [SIZE]: LENGTH voice bytes, zeros to SIZE (416).
voice() {
    local body
    body="7a656c6b$(word "$1")01000a000000$(word "$2")$(repeat 5a "$2")"
    body="$body$(repeat 00 $((${3:-416} - 14 - $2)))"
    printf '%s' "${body:0:$((2 * ${3:-416}))}"
}
{
    rec 0 0 "$(request 1 1 5)"
    rec 0 5 "$(request 2 1 7)"
    for seq in 3 4 5; do rec 0 47 "$(voice $seq 400)"; done
    rec 0 47 "$(voice 6 100)"
    rec 0 150 "$(request 7 1 9)"
} >peer_session/full_call
{
    rec 0 0 "$(request 1 1 5)"
    rec 1 3 "$(request 2 1 7)"
    rec 0 3 "$(request 2 1 7)"
    rec 1 20 "$(voice 9 400)"
    rec 4 20 "$(voice 3 400)"
    rec 0 250 "$(request 4 1 9)"
} >peer_session/stranger
{
    rec 0 0 "$(request 1 1 5)"
    rec 0 1 ''
    rec 0 1 "$(voice 2 400 300)"
    rec 0 1 "$(voice 3 400)01"
    rec 0 1 "$(repeat 00 2049)"
    rec 0 1 "7a656c6b0100010005000100"
} >peer_session/odd_shapes
{
    for call in 1 2; do
        rec 0 0 "$(request 1 1 5)"
        rec 0 2 "$(request 2 1 7)"
        rec 0 47 "$(voice 3 400)"
        rec 0 47 "$(voice 4 400)"
        rec 0 2 "$(request 5 1 9)"
    done
} >peer_session/two_calls
