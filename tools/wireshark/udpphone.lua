-- Wireshark dissector for the udpphone telephone protocol over UDP.
--
-- Registered on UDP port 20080, where the endpoint listens, and as a heuristic dissector for other
-- ports that claims only datagrams beginning with "zelk" that are 12 bytes long, or 13 to 2048
-- bytes long with Command 10.
--
-- Every datagram is told apart the way a receiving endpoint does it: it copies the datagram into
-- a zeroed 2048-byte buffer (so fields past the datagram's end read as zero) and the first of
-- these tests that matches decides:
--   datagram over 2048 bytes        dropped: the receive fails
--   byte 0 is not "z"               dropped
--   Status not 0                    reply (no effect)
--   Command 10, more than 12 bytes  voice
--   exactly 12 bytes                request
--   anything else                   dropped
-- An empty datagram, which the endpoint drops, shows as UDP alone: Wireshark hands an empty
-- payload to no dissector. Where the capture holds only the first bytes of a datagram, what
-- cannot be told from them is marked as not known, never guessed.
--
-- Load it with   tshark -X lua_script:udpphone.lua ...   or copy it into Wireshark's Lua
-- plug-in folder ("Global Lua Plugins" or "Personal Lua Plugins" in tshark -G folders).

local PORT = 20080
local REQUEST_SIZE = 12
local VOICE_SIZE = 416
local PAYLOAD_OFFSET = 14
local RECEIVE_BUFFER = 2048
local CMD_VOICE = 10

local commands = { [5] = "Ring", [7] = "Talk", [8] = "HangUp", [9] = "Disconnect", [10] = "Voice" }
local statuses = { [0] = "request", [1] = "accepted", [2] = "rejected" }

local proto = Proto("udpphone", "udpphone telephone protocol")

local f = {
    magic = ProtoField.bytes("udpphone.magic", "Magic", base.NONE,
        "\"zelk\"; the receiver tests only the first byte"),
    seq = ProtoField.uint16("udpphone.seq", "Seq", base.DEC),
    target = ProtoField.int16("udpphone.target", "Target", base.DEC),
    command = ProtoField.int16("udpphone.command", "Command", base.DEC, commands),
    status = ProtoField.int16("udpphone.status", "Status", base.DEC, statuses),
    length = ProtoField.int16("udpphone.length", "Length", base.DEC, nil, nil,
        "Voice bytes the datagram says it carries"),
    payload = ProtoField.bytes("udpphone.payload", "Payload"),
    unused = ProtoField.bytes("udpphone.unused", "Unused", base.NONE,
        "Bytes the receiving endpoint never reads"),
    shape = ProtoField.string("udpphone.shape", "Shape", base.ASCII,
        "request, reply, voice or dropped, as the receiving endpoint tells them apart"),
    dropped = ProtoField.string("udpphone.dropped", "Dropped because", base.ASCII),
    size = ProtoField.uint32("udpphone.size", "Datagram size", base.DEC),
    written = ProtoField.uint16("udpphone.written", "Bytes written to recv.au", base.DEC),
    zeros = ProtoField.uint16("udpphone.zeros", "Of them zeros past the datagram", base.DEC),
}
proto.fields = f

local e = {
    length_not_positive = ProtoExpert.new("udpphone.length_not_positive",
        "Voice Length 0 or less: nothing is written, the datagram is counted all the same",
        expert.group.PROTOCOL, expert.severity.WARN),
    length_beyond = ProtoExpert.new("udpphone.length_beyond",
        "Length reaches beyond the datagram: zeros are written for the missing bytes",
        expert.group.PROTOCOL, expert.severity.WARN),
    voice_size = ProtoExpert.new("udpphone.voice_size",
        "Voice datagram other than 416 bytes", expert.group.PROTOCOL, expert.severity.NOTE),
    oversize = ProtoExpert.new("udpphone.oversize",
        "Datagram over 2048 bytes: the endpoint's receive fails and it is lost",
        expert.group.PROTOCOL, expert.severity.WARN),
    magic = ProtoExpert.new("udpphone.magic_not_zelk",
        "Magic is not \"zelk\": the receiver tests only its first byte",
        expert.group.PROTOCOL, expert.severity.NOTE),
    short = ProtoExpert.new("udpphone.short",
        "Datagram ends inside the header: the missing bytes read as zero",
        expert.group.PROTOCOL, expert.severity.NOTE),
    unknown_command = ProtoExpert.new("udpphone.unknown_command",
        "Unknown command: the endpoint answers the request as rejected",
        expert.group.PROTOCOL, expert.severity.NOTE),
    not_captured = ProtoExpert.new("udpphone.not_captured",
        "Datagram not captured in full: what the endpoint makes of it is not known",
        expert.group.UNDECODED, expert.severity.NOTE),
}
proto.experts = { e.length_not_positive, e.length_beyond, e.voice_size, e.oversize, e.magic,
    e.short, e.unknown_command, e.not_captured }

-- The datagram as the endpoint's buffer holds it: `size` bytes, of which the first `captured`
-- are in the capture. A byte past the datagram reads as zero; one that is in the datagram but not
-- in the capture is unknown (nil).
local function view(tvb)
    local size = tvb:reported_len()
    local captured = math.min(tvb:len(), size)
    local v = { tvb = tvb, size = size, captured = captured }

    function v.byte(offset)
        if offset >= size then
            return 0
        end
        if offset >= captured then
            return nil
        end
        return tvb(offset, 1):uint()
    end

    function v.word(offset)
        local low, high = v.byte(offset), v.byte(offset + 1)
        if low == nil or high == nil then
            return nil
        end
        local value = low + high * 256
        return value, (value >= 32768) and (value - 65536) or value
    end

    -- The captured bytes of [offset, offset + width) that the datagram holds, as a range; an
    -- empty range at the end of the capture when there are none.
    function v.range(offset, width)
        local from = math.min(offset, captured)
        local to = math.min(offset + width, captured)
        if width < 0 or to < from then
            to = from
        end
        return tvb(from, to - from)
    end

    return v
end

-- The shape and, for a dropped datagram, the reason; nil when bytes it depends on are missing
-- from the capture.
local function classify(v)
    if v.size > RECEIVE_BUFFER then
        return "dropped", "over 2048 bytes, the receive fails"
    end
    if v.size == 0 then
        return "dropped", "empty"
    end
    local first = v.byte(0)
    if first == nil then
        return nil
    end
    if first ~= 0x7A then
        return "dropped", "first byte is not \"z\""
    end
    local _, status = v.word(10)
    if status == nil then
        return nil
    end
    if status ~= 0 then
        return "reply"
    end
    local _, command = v.word(8)
    if command == nil then
        return nil
    end
    if command == CMD_VOICE and v.size > REQUEST_SIZE then
        return "voice"
    end
    if v.size == REQUEST_SIZE then
        return "request"
    end
    if v.size < REQUEST_SIZE then
        return "dropped", "shorter than 12 bytes"
    end
    return "dropped", "longer than 12 bytes and not voice"
end

-- One 16-bit header word, as far as the datagram holds it; the rest reads as zero.
local function add_word(tree, v, field, offset, signed, label)
    local unsigned_value, signed_value = v.word(offset)
    if unsigned_value == nil then
        return nil
    end
    local value = signed and signed_value or unsigned_value
    local item
    if label then
        item = tree:add(field, v.range(offset, 2), value, label(value))
    else
        item = tree:add(field, v.range(offset, 2), value)
    end
    if offset + 2 > v.size then
        item:append_text(" [past the datagram's end, read as zero]")
    end
    return value
end

local function status_label(value)
    return string.format("Status: %s (%d)", statuses[value] or "other", value)
end

local function command_label(value)
    return string.format("Command: %s (%d)", commands[value] or "unknown", value)
end

local function add_header(tree, v)
    local magic = tree:add(f.magic, v.range(0, 4))
    if v.size < 4 or v.captured < 4 or v.tvb(0, 4):raw() ~= "zelk" then
        magic:add_proto_expert_info(e.magic)
    end
    local header = {}
    header.seq = add_word(tree, v, f.seq, 4, false)
    header.target = add_word(tree, v, f.target, 6, true)
    header.command = add_word(tree, v, f.command, 8, true, command_label)
    header.status = add_word(tree, v, f.status, 10, true, status_label)
    if v.size < REQUEST_SIZE then
        tree:add_proto_expert_info(e.short)
    end
    return header
end

local function add_unused(tree, v, from)
    if from < v.captured then
        tree:add(f.unused, v.range(from, v.captured - from))
    end
end

-- Length, payload, and what the endpoint writes: Length bytes from offset 14 of its buffer, zeros
-- where the datagram ended, never past the buffer's end.
local function add_voice(tree, v)
    local length_item_range = v.range(12, 2)
    local _, length = v.word(12)
    if length == nil then
        tree:add_proto_expert_info(e.not_captured,
            "Length not captured in full: what the endpoint writes is not known")
        return nil
    end
    local length_item = tree:add(f.length, length_item_range, length)
    if v.size < PAYLOAD_OFFSET then
        length_item:append_text(" [past the datagram's end, read as zero]")
    end
    local written = 0
    if length <= 0 then
        length_item:add_proto_expert_info(e.length_not_positive)
    else
        written = math.min(length, RECEIVE_BUFFER - PAYLOAD_OFFSET)
    end
    local arrived = math.max(0, math.min(written, v.size - PAYLOAD_OFFSET))
    if arrived > 0 then
        tree:add(f.payload, v.range(PAYLOAD_OFFSET, arrived))
    end
    add_unused(tree, v, PAYLOAD_OFFSET + arrived)
    tree:add(f.written, written):set_generated()
    local zeros = written - arrived
    local zeros_item = tree:add(f.zeros, zeros)
    zeros_item:set_generated()
    local beyond = length - math.max(0, v.size - PAYLOAD_OFFSET)
    if beyond > 0 then
        local text = string.format("Length %d reaches %d bytes beyond the datagram", length, beyond)
        if zeros > 0 then
            text = text .. string.format(": %d zero bytes are written for them", zeros)
        end
        if written < length then
            text = text .. string.format("; only %d bytes, up to the end of the 2048-byte " ..
                "receive buffer, are written", written)
        end
        zeros_item:add_proto_expert_info(e.length_beyond, text)
    end
    if v.size ~= VOICE_SIZE then
        tree:add_proto_expert_info(e.voice_size,
            string.format("Voice datagram of %d bytes, not 416", v.size))
    end
    return length
end

-- A field for the summary line; "?" where the capture does not hold it.
local function shown(value)
    return value == nil and "?" or tostring(value)
end

local function dissect(tvb, pinfo, tree)
    local v = view(tvb)
    pinfo.cols.protocol = "udpphone"
    local root = tree:add(proto, tvb(0, v.captured))
    root:add(f.size, v.size):set_generated()

    local shape, reason = classify(v)
    local shape_text = shape or "unknown"
    root:add(f.shape, shape_text):set_generated()
    if reason then
        root:add(f.dropped, reason):set_generated()
    end
    if shape == nil then
        root:add_proto_expert_info(e.not_captured)
    end
    if v.size > RECEIVE_BUFFER then
        root:add_proto_expert_info(e.oversize)
    end

    local summary
    if v.size == 0 or v.byte(0) ~= 0x7A then
        -- The endpoint reads nothing past the first byte.
        add_unused(root, v, 0)
        summary = reason and ("Dropped: " .. reason) or "Unknown: not captured in full"
    else
        local header = add_header(root, v)
        local command = header.command and (commands[header.command] or
            string.format("Command %d", header.command)) or "?"
        if shape == "voice" then
            local length = add_voice(root, v)
            summary = string.format("Voice Seq=%s Length=%s", shown(header.seq), shown(length))
        else
            add_unused(root, v, REQUEST_SIZE)
            if shape == "request" then
                if commands[header.command] == nil or header.command == CMD_VOICE then
                    root:add_proto_expert_info(e.unknown_command)
                end
                -- 12 bytes are never voice, whatever the Command says.
                if header.command == CMD_VOICE then
                    command = "Command 10"
                end
                summary = string.format("%s request Seq=%s Target=%s", command,
                    shown(header.seq), shown(header.target))
            elseif shape == "reply" then
                summary = string.format("%s reply %s Seq=%s Target=%s", command,
                    statuses[header.status] or "other", shown(header.seq), shown(header.target))
            else
                summary = string.format("%s: %s", shape == nil and "Unknown" or "Dropped",
                    reason or "not captured in full")
            end
        end
    end
    root:append_text(", " .. summary)
    pinfo.cols.info:set(summary)
    return v.captured
end

function proto.dissector(tvb, pinfo, tree)
    return dissect(tvb, pinfo, tree)
end

-- On other ports only what is this protocol beyond reasonable doubt: "zelk" first, and the size
-- of a request or reply, or a voice datagram's Command and a size the endpoint can receive.
local function heuristic(tvb, pinfo, tree)
    local size = tvb:reported_len()
    if size < REQUEST_SIZE or size > RECEIVE_BUFFER or tvb:len() < 10 then
        return false
    end
    if tvb(0, 4):raw() ~= "zelk" then
        return false
    end
    if size ~= REQUEST_SIZE and tvb(8, 2):le_int() ~= CMD_VOICE then
        return false
    end
    dissect(tvb, pinfo, tree)
    return true
end

DissectorTable.get("udp.port"):add(PORT, proto)
proto:register_heuristic("udp", heuristic)
