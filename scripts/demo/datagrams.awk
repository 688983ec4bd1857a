# Turns the output of `tcpdump -nn -x` into one line per captured IPv4 UDP datagram:
#   SRC SPORT DST DPORT SIZE MAGIC SEQ TARGET COMMAND STATUS LENGTH PAYLOAD FILLER
# with the phone fields as a receiver reads them (SEQ unsigned, the others signed 16-bit), "-" for a
# field the datagram is too short to hold, PAYLOAD the hex of the LENGTH voice bytes that arrived
# and FILLER "zero" or "nonzero" for the bytes after them (both only for voice, command 10).
# Every other packet becomes "other" and tcpdump's summary.

BEGIN { H = "0123456789abcdef" }

function byte(i) {
    return (index(H, substr(hex, 2 * i + 1, 1)) - 1) * 16 + index(H, substr(hex, 2 * i + 2, 1)) - 1
}
function be16(i) { return 256 * byte(i) + byte(i + 1) }
function le16(i) { return byte(i) + 256 * byte(i + 1) }
function s16(i, v) { v = le16(i); return v >= 32768 ? v - 65536 : v }
function address(i) { return byte(i) "." byte(i + 1) "." byte(i + 2) "." byte(i + 3) }

function flush(ihl, p, size, seq, target, command, status, len, payload, filler, n, i) {
    if (summary == "") return
    if (int(byte(0) / 16) != 4 || byte(9) != 17) {
        print "other " summary
        summary = ""
        return
    }
    ihl = (byte(0) % 16) * 4
    p = ihl + 8
    size = be16(ihl + 4) - 8
    seq = size >= 6 ? le16(p + 4) : "-"
    target = size >= 8 ? s16(p + 6) : "-"
    command = size >= 10 ? s16(p + 8) : "-"
    status = size >= 12 ? s16(p + 10) : "-"
    len = size >= 14 ? s16(p + 12) : "-"
    payload = "-"
    filler = "-"
    if (command == 10 && size > 14) {
        n = len < 0 ? 0 : len < size - 14 ? len : size - 14
        if (n > 0) payload = substr(hex, 2 * (p + 14) + 1, 2 * n)
        filler = "zero"
        for (i = p + 14 + n; i < p + size; i++) if (byte(i) != 0) filler = "nonzero"
    }
    print address(12), be16(ihl), address(16), be16(ihl + 2), size, substr(hex, 2 * p + 1, 8),
        seq, target, command, status, len, payload, filler
    summary = ""
}

/^[^\t]/ { flush(); summary = $0; hex = ""; next }
/^\t0x/ { for (i = 2; i <= NF; i++) hex = hex $i }
END { flush() }
