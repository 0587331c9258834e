-- The Lumivox wire protocol for tshark and Wireshark: the control messages
-- on the TCP connection between a driver and lumivox-server, and the audio
-- packets and acknowledgements on the UDP streams that the connection opens.
--
--   tshark -X lua_script:lumivox.lua -r capture.pcap
--   wireshark -X lua_script:lumivox.lua capture.pcap
--
-- or copy this file into the personal Lua plugins folder (Help > About >
-- Folders). The control port range is a preference (lumivox.control_ports,
-- default 9000-9255: 9000 plus the display number). UDP streams need no
-- port: each is learnt from its open-stream request and reply, so a capture
-- must hold the control connection from the stream's open onwards.
--
-- Every field is little-endian. A control message is a 4-byte header (type,
-- a byte whose meaning depends on the type, the length in 4-byte words) and
-- its fields; the same type number means different messages by direction
-- and phase (the first message each way is the setup exchange). An audio
-- packet is a 12-byte header and its coded audio; an acknowledgement is 16
-- bytes. What is short or inconsistent is marked, never thrown.

local control = Proto("lumivox", "Lumivox control")
local stream = Proto("lumivox_udp", "Lumivox stream")

local SETUP_NAMES_DRIVER = {[0] = "setup request"}
local SETUP_NAMES_SERVER = {[0] = "setup refused", [1] = "setup accepted"}
local RUNNING_NAMES_DRIVER = {
  [0] = "open-stream request",
  [1] = "close-stream request",
  [2] = "set-control request",
  [3] = "query-control request",
  [5] = "pause-stream request",
  [6] = "key proof",
}
local RUNNING_NAMES_SERVER = {[0] = "open-stream reply", [1] = "query-control reply", [2] = "event"}
local DIRECTIONS = {[0] = "playback", [1] = "recording"}
local KINDS = {[0] = "probe", [1] = "8-bit companded", [2] = "16-bit linear", [3] = "GSM 06.10"}
local WIRE_RATES = {[0] = 8000, 11025, 16000, 22050, 32000, 44100, 48000}
local STATUS = {[0] = "refused", [1] = "accepted"}

local f = control.fields
f.type = ProtoField.uint8("lumivox.type", "Type", base.DEC)
f.message = ProtoField.string("lumivox.message", "Message")
f.byte1 = ProtoField.uint8("lumivox.byte1", "Header byte 1", base.DEC)
f.words = ProtoField.uint16("lumivox.length", "Length (4-byte words)", base.DEC)
f.version = ProtoField.uint16("lumivox.version", "Version", base.DEC)
f.key_offer = ProtoField.uint8("lumivox.key_offer", "Key offered", base.DEC, {[0] = "no", [1] = "yes"})
f.challenge = ProtoField.bytes("lumivox.challenge", "Key challenge (server's nonce)")
f.refusal = ProtoField.uint8("lumivox.refusal", "Reason", base.DEC, {[0] = "none given", [1] = "a key is required"})
f.proof_nonce = ProtoField.bytes("lumivox.proof_nonce", "Driver's nonce")
f.proof_mac = ProtoField.bytes("lumivox.proof_mac", "Proof (HMAC-SHA256)")
f.event = ProtoField.uint8("lumivox.event", "Event", base.DEC, {[1] = "key refused"})
f.devices = ProtoField.uint16("lumivox.devices", "Devices", base.DEC)
f.controls = ProtoField.uint16("lumivox.controls", "Controls", base.DEC)
f.entry_direction = ProtoField.uint8("lumivox.device.direction", "Device direction", base.DEC, DIRECTIONS)
f.entry_id = ProtoField.uint16("lumivox.device.id", "Device id", base.DEC)
f.control_kind = ProtoField.uint8("lumivox.control.kind", "Control kind", base.DEC, {[0] = "volume"})
f.control_id = ProtoField.uint16("lumivox.control.id", "Control id", base.DEC)
f.control_device = ProtoField.uint16("lumivox.control.device", "Control's device id", base.DEC)
f.direction = ProtoField.uint8("lumivox.direction", "Direction", base.DEC, DIRECTIONS)
f.address = ProtoField.ipv4("lumivox.address", "Driver address")
f.driver_port = ProtoField.uint16("lumivox.driver_port", "Driver UDP port", base.DEC)
f.adaptive = ProtoField.uint8("lumivox.adaptive", "Adaptive", base.DEC)
f.rate = ProtoField.uint32("lumivox.rate", "Rate (Hz)", base.DEC)
f.stream_id = ProtoField.uint32("lumivox.stream_id", "Stream id", base.DEC)
f.lead = ProtoField.uint32("lumivox.lead", "Lead (frames)", base.DEC)
f.lead_max = ProtoField.uint32("lumivox.lead_max", "Largest lead (frames)", base.DEC)
f.device_id = ProtoField.uint16("lumivox.device_id", "Device id", base.DEC)
f.status = ProtoField.uint8("lumivox.status", "Status", base.DEC, STATUS)
f.sequence = ProtoField.uint32("lumivox.sequence", "Sequence", base.DEC)
f.server_port = ProtoField.uint16("lumivox.server_port", "Server UDP port", base.DEC)
f.min_lead = ProtoField.uint32("lumivox.min_lead", "Smallest lead (frames)", base.DEC)
f.position = ProtoField.uint32("lumivox.position", "Position (frames)", base.DEC)
f.control_value = ProtoField.uint32("lumivox.value", "Value", base.HEX)

local u = stream.fields
u.kind = ProtoField.string("lumivox_udp.datagram", "Datagram")
u.start = ProtoField.uint32("lumivox_udp.start", "Start (timebase frames)", base.DEC)
u.wire_frames = ProtoField.uint16("lumivox_udp.wire_frames", "Wire frames", base.DEC)
u.duration = ProtoField.uint16("lumivox_udp.duration", "Duration (timebase frames)", base.DEC)
u.coding = ProtoField.uint8("lumivox_udp.kind", "Kind", base.DEC, KINDS)
u.stereo = ProtoField.uint8("lumivox_udp.stereo", "Stereo", base.DEC)
u.rate_index = ProtoField.uint8("lumivox_udp.rate_index", "Rate index", base.DEC)
u.rate = ProtoField.uint32("lumivox_udp.rate", "Wire rate (Hz)", base.DEC)
u.payload = ProtoField.bytes("lumivox_udp.payload", "Coded audio")
u.consumed = ProtoField.uint32("lumivox_udp.consumed", "Consumed (timebase frames)", base.DEC)
u.received_end = ProtoField.uint32("lumivox_udp.received_end", "Received end (timebase frames)", base.DEC)
u.last_start = ProtoField.uint32("lumivox_udp.last_start", "Last packet's start", base.DEC)
u.last_duration = ProtoField.uint16("lumivox_udp.last_duration", "Last packet's duration", base.DEC)
u.unsolicited = ProtoField.uint16("lumivox_udp.unsolicited", "Unsolicited", base.DEC)

local malformed = ProtoExpert.new("lumivox.malformed", "Malformed Lumivox message",
                                  expert.group.MALFORMED, expert.severity.ERROR)
local unknown = ProtoExpert.new("lumivox.unknown", "Unknown Lumivox message type",
                                expert.group.UNDECODED, expert.severity.WARN)
local malformed_datagram = ProtoExpert.new("lumivox_udp.malformed", "Malformed Lumivox datagram",
                                           expert.group.MALFORMED, expert.severity.ERROR)
control.experts = {malformed, unknown}
stream.experts = {malformed_datagram}

control.prefs.control_ports = Pref.range("Control ports", "9000-9255",
                                         "TCP ports of lumivox-server (9000 plus the display)", 65535)

local tcp_stream = Field.new("tcp.stream")

-- Per TCP connection: whether each side has sent its first (setup)
-- message, and the open-stream requests waiting for their reply. Per
-- message: its decoded name, kept from the first pass.
local connections = {}
local names = {}
-- UDP streams by the driver's port: for each port the streams it has
-- carried, in order, each with the frame of its open-stream request, its
-- direction and the driver's address. A port is used again by later
-- streams, so a datagram belongs to the last stream opened before it.
local streams = {}

-- Whether port lies in a range preference's text ("9000-9255,9300").
local function in_ranges(text, port)
  for part in string.gmatch(tostring(text), "[^,%s]+") do
    local low, high = string.match(part, "^(%d+)-(%d+)$")
    low = tonumber(low or part)
    high = tonumber(high or part)
    if low and high and port >= low and port <= high then return true end
  end
  return false
end

local function from_driver(pinfo)
  return in_ranges(control.prefs.control_ports, pinfo.dst_port)
end

local function field_at(tree, field, tvb, at, size, need)
  if at + size > need then return end
  return tree:add_le(field, tvb(at, size))
end

local function control_name(tvb, pinfo, offset)
  -- Keyed by the message's place in the frame: one segment may carry
  -- several messages, each handed over as a tvb of its own.
  local key = pinfo.number .. ":" .. (tvb:offset() + offset)
  if names[key] ~= nil then return names[key] end
  local conversation = tcp_stream()
  local id = conversation and conversation.value or -1
  local c = connections[id]
  if not c then
    c = {driver = false, server = false}
    connections[id] = c
  end
  local driver = from_driver(pinfo)
  local type = tvb(offset, 1):uint()
  local name
  if driver then
    name = c.driver and RUNNING_NAMES_DRIVER[type] or (not c.driver and SETUP_NAMES_DRIVER[type])
    c.driver = true
  else
    name = c.server and RUNNING_NAMES_SERVER[type] or (not c.server and SETUP_NAMES_SERVER[type])
    c.server = true
  end
  names[key] = name or false
  return names[key]
end

-- Learns a UDP stream from its open-stream request: every datagram of the
-- stream goes to or from the driver's port. The server may send its first
-- recording datagram before its reply, so the request is what counts.
local function learn(pinfo, name, tvb, offset, length)
  if pinfo.visited or name ~= "open-stream request" or length < 30 then return end
  local port = tvb(offset + 8, 2):le_uint()
  streams[port] = streams[port] or {}
  table.insert(streams[port], {frame = pinfo.number, direction = tvb(offset + 1, 1):uint(),
                               driver = tostring(pinfo.src)})
  DissectorTable.get("udp.port"):add(port, stream)
end

-- The stream a datagram on port belongs to, and whether port is the driver's.
local function stream_of(port, number)
  local found = nil
  for _, s in ipairs(streams[port] or {}) do
    if s.frame < number then found = s end
  end
  return found
end

local function dissect_message(tvb, pinfo, tree)
  local length = tvb:len()
  local name = control_name(tvb, pinfo, 0)
  local item = tree:add(control, tvb(0, length))
  item:add(f.type, tvb(0, 1))
  item:add(f.byte1, tvb(1, 1))
  item:add_le(f.words, tvb(2, 2))
  if not name then
    item:add_proto_expert_info(unknown, "type " .. tvb(0, 1):uint() .. " is not a message of this direction")
    return length
  end
  item:add(f.message, name):set_generated()
  item:append_text(": " .. name)
  pinfo.cols.info:append((tostring(pinfo.cols.info) == "" and "" or ", ") .. name)
  local need = length
  local short = {
    ["setup request"] = 16, ["setup refused"] = 8, ["setup accepted"] = 16,
    ["open-stream request"] = 36, ["open-stream reply"] = 28, ["close-stream request"] = 8,
    ["set-control request"] = 16, ["query-control request"] = 8, ["query-control reply"] = 16,
    ["pause-stream request"] = 16, ["key proof"] = 52, ["event"] = 8,
  }
  if length < short[name] then
    item:add_proto_expert_info(malformed, name .. " of " .. length .. " bytes, under " .. short[name])
  end
  if name == "setup request" then
    item:add(f.key_offer, tvb(1, 1))
    field_at(item, f.version, tvb, 4, 2, need)
  elseif name == "setup refused" then
    item:add(f.refusal, tvb(1, 1))
  elseif name == "key proof" then
    if need >= 52 then
      item:add(f.proof_nonce, tvb(4, 16))
      item:add(f.proof_mac, tvb(20, 32))
    end
  elseif name == "event" then
    item:add(f.event, tvb(1, 1))
  elseif name == "setup accepted" then
    if tvb(1, 1):uint() == 0xA5 and need >= 12 then item:add(f.challenge, tvb(4, 8)) end
    local devices, controls = 0, 0
    if need >= 16 then
      devices = tvb(12, 2):le_uint()
      controls = tvb(14, 2):le_uint()
      item:add_le(f.devices, tvb(12, 2))
      item:add_le(f.controls, tvb(14, 2))
    end
    local at = 16
    for i = 1, devices + controls do
      if at + 8 > need then
        item:add_proto_expert_info(malformed, "the lists run past the message's end")
        break
      end
      if i <= devices then
        local d = item:add(control, tvb(at, 8), "Device " .. i)
        d:add(f.entry_direction, tvb(at, 1))
        d:add_le(f.entry_id, tvb(at + 2, 2))
      else
        local k = item:add(control, tvb(at, 8), "Control " .. (i - devices))
        k:add(f.control_kind, tvb(at, 1))
        k:add_le(f.control_id, tvb(at + 2, 2))
        k:add_le(f.control_device, tvb(at + 4, 2))
      end
      at = at + 8
    end
  elseif name == "open-stream request" then
    item:add(f.direction, tvb(1, 1))
    if need >= 30 then
      -- A 32-bit number with the first octet in its top byte.
      local v = tvb(4, 4):le_uint()
      local dotted = string.format("%d.%d.%d.%d", math.floor(v / 16777216) % 256,
                                   math.floor(v / 65536) % 256, math.floor(v / 256) % 256, v % 256)
      item:add(f.address, tvb(4, 4), Address.ip(dotted))
      item:add_le(f.driver_port, tvb(8, 2))
      item:add(f.adaptive, tvb(10, 1))
      item:add_le(f.rate, tvb(12, 4))
      item:add_le(f.stream_id, tvb(16, 4))
      item:add_le(f.lead, tvb(20, 4))
      item:add_le(f.lead_max, tvb(24, 4))
      item:add_le(f.device_id, tvb(28, 2))
    end
  elseif name == "open-stream reply" then
    item:add(f.status, tvb(1, 1))
    if need >= 28 then
      item:add_le(f.sequence, tvb(4, 4))
      item:add_le(f.server_port, tvb(8, 2))
      item:add(f.adaptive, tvb(10, 1))
      item:add_le(f.rate, tvb(12, 4))
      item:add_le(f.stream_id, tvb(16, 4))
      item:add_le(f.min_lead, tvb(20, 4))
      item:add_le(f.lead_max, tvb(24, 4))
    end
  elseif name == "close-stream request" then
    field_at(item, f.stream_id, tvb, 4, 4, need)
  elseif name == "pause-stream request" then
    field_at(item, f.stream_id, tvb, 4, 4, need)
    field_at(item, f.position, tvb, 8, 4, need)
  elseif name == "set-control request" then
    field_at(item, f.control_id, tvb, 4, 2, need)
    field_at(item, f.control_value, tvb, 8, 4, need)
  elseif name == "query-control request" then
    field_at(item, f.control_id, tvb, 4, 2, need)
  elseif name == "query-control reply" then
    item:add(f.status, tvb(1, 1))
    field_at(item, f.sequence, tvb, 4, 4, need)
    field_at(item, f.control_value, tvb, 8, 4, need)
  end
  learn(pinfo, name, tvb, 0, length)
  return length
end

local function message_length(tvb, pinfo, offset)
  local words = tvb(offset + 2, 2):le_uint()
  if words < 2 then return 8 end  -- too short to be framed: shown as malformed
  return words * 4
end

function control.dissector(tvb, pinfo, tree)
  pinfo.cols.protocol = "Lumivox"
  if tvb:len() < 4 then
    pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
    return
  end
  dissect_tcp_pdus(tvb, tree, 4, message_length, dissect_message)
end

function stream.dissector(tvb, pinfo, tree)
  local s = stream_of(pinfo.src_port, pinfo.number)
  local driver_sends = s ~= nil and tostring(pinfo.src) == s.driver
  if not driver_sends then s = stream_of(pinfo.dst_port, pinfo.number) end
  if not s then return 0 end
  -- The driver sends playback's audio and recording's acknowledgements.
  local audio = (s.direction == 0) == driver_sends
  local length = tvb:len()
  pinfo.cols.protocol = "Lumivox"
  local item = tree:add(stream, tvb(0, length))
  if not audio then
    item:add(u.kind, "acknowledgement"):set_generated()
    pinfo.cols.info = "acknowledgement"
    if length ~= 16 then
      item:add_proto_expert_info(malformed_datagram, "an acknowledgement is 16 bytes, not " .. length)
      return length
    end
    item:add_le(u.consumed, tvb(0, 4))
    item:add_le(u.received_end, tvb(4, 4))
    item:add_le(u.last_start, tvb(8, 4))
    item:add_le(u.last_duration, tvb(12, 2))
    item:add_le(u.unsolicited, tvb(14, 2))
    pinfo.cols.info:append(" consumed " .. tvb(0, 4):le_uint() .. ", received end " .. tvb(4, 4):le_uint())
    return length
  end
  item:add(u.kind, "audio packet"):set_generated()
  pinfo.cols.info = "audio packet"
  if length < 12 then
    item:add_proto_expert_info(malformed_datagram, "an audio packet's header is 12 bytes, not " .. length)
    return length
  end
  item:add_le(u.start, tvb(0, 4))
  item:add_le(u.wire_frames, tvb(4, 2))
  item:add_le(u.duration, tvb(6, 2))
  item:add(u.coding, tvb(8, 1))
  item:add(u.stereo, tvb(9, 1))
  item:add(u.rate_index, tvb(10, 1))
  local rate = WIRE_RATES[tvb(10, 1):uint()]
  if rate then item:add(u.rate, rate):set_generated() end
  if length > 12 then item:add(u.payload, tvb(12, length - 12)) end
  local kind = KINDS[tvb(8, 1):uint()] or ("kind " .. tvb(8, 1):uint())
  pinfo.cols.info:append(" start " .. tvb(0, 4):le_uint() .. ", " .. tvb(6, 2):le_uint() ..
                         " frames, " .. kind .. (rate and (" " .. rate .. " Hz") or ""))
  return length
end

local registered = nil
function control.prefs_changed()
  local tcp = DissectorTable.get("tcp.port")
  if registered then tcp:remove(registered, control) end
  registered = control.prefs.control_ports
  tcp:add(registered, control)
end

function control.init()
  connections = {}
  names = {}
  streams = {}
end

DissectorTable.get("tcp.port"):add(control.prefs.control_ports, control)
registered = control.prefs.control_ports
