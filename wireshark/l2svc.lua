-- Wireshark dissector for l2agent service frames: names every frame from and to the station
-- address, decodes info replies field by field, shows board-address frames (a board's own
-- address, the group address, reset acknowledgements and tags), and flags what the agent or
-- l2station would not take. It runs after the other dissectors, so Ethernet keeps its own
-- fields (eth.addr and the rest). Installed where Wireshark loads global Lua plugins; load it by
-- hand with `tshark -X lua_script:l2svc.lua`. The constants below are the wire definition's
-- (common/wire.h); a unit test holds them to it.

local kStationAddress = "00:11:22:33:44:55"
local kServiceAddress = "66:77:88:99:aa:bb"
local kGroupAddress = "67:77:88:99:aa:bb"
local kResetKeyword = "req:kiv+init"
local kInfoKeyword = "req:kiv+info"
local kInfoReplyTag = "res:kiv+info"
local kResetAckTag = "res:kiv+init"
local kLabelSeparator = " : "
local kTagLabel = "Tag"
local kBootLabel = "Boot"
local kStartLabel = "Start"
local kKeyLabel = "Key"
local kChallengeLabel = "Challenge"
local kProofLabel = "Proof"
local kStationType = 0x88b5
local kOldBoardsType = 0x88b6
local kInfoLabels = { "Device", "Version", "Product", "HardId", "IpAddress" }
local kHeaderLen = 14
local kTypeOffset = 12

local l2svc = Proto("l2svc", "l2agent service frame")

local kinds = {
    ["info-request"] = "Info request",
    ["reset-request"] = "Reset request",
    ["echo-request"] = "Echo request",
    ["info-reply"] = "Info reply",
    ["reset-ack"] = "Reset acknowledged",
    ["echo-reply"] = "Echo reply",
    ["short"] = "Frame too short",
}

local f = {
    kind = ProtoField.string("l2svc.kind", "Kind"),
    dst = ProtoField.ether("l2svc.dst", "Destination"),
    src = ProtoField.ether("l2svc.src", "Source"),
    board = ProtoField.ether("l2svc.board", "Board's own address"),
    addressing = ProtoField.string("l2svc.addressing", "Addressing"),
    type = ProtoField.uint16("l2svc.type", "Type", base.HEX),
    text = ProtoField.string("l2svc.text", "Text"),
    padding = ProtoField.bytes("l2svc.padding", "Padding"),
    data = ProtoField.bytes("l2svc.data", "Data after the text"),
    device = ProtoField.string("l2svc.device", "Device"),
    version = ProtoField.string("l2svc.version", "Version"),
    product = ProtoField.string("l2svc.product", "Product"),
    hardid = ProtoField.string("l2svc.hardid", "HardId"),
    ipaddress = ProtoField.string("l2svc.ipaddress", "IpAddress"),
    tag = ProtoField.string("l2svc.tag", "Tag"),
    boot = ProtoField.string("l2svc.boot", "Boot id"),
    start = ProtoField.string("l2svc.start", "Agent start"),
    key = ProtoField.string("l2svc.key", "Key id"),
    challenge = ProtoField.string("l2svc.challenge", "Challenge"),
    proof = ProtoField.string("l2svc.proof", "Proof"),
}
l2svc.fields = { f.kind, f.dst, f.src, f.board, f.addressing, f.type, f.text, f.padding, f.data,
                 f.device, f.version, f.product, f.hardid, f.ipaddress, f.tag, f.boot, f.start,
                 f.key, f.challenge, f.proof }
local labelFields = { Device = f.device, Version = f.version, Product = f.product,
                      HardId = f.hardid, IpAddress = f.ipaddress }

local e = {
    short = ProtoExpert.new("l2svc.short", "Frame too short to carry both addresses",
                            expert.group.MALFORMED, expert.severity.ERROR),
    malformed = ProtoExpert.new("l2svc.malformed", "Info reply that does not parse",
                                expert.group.MALFORMED, expert.severity.ERROR),
    trailing = ProtoExpert.new("l2svc.trailing", "Keyword followed by more bytes",
                               expert.group.PROTOCOL, expert.severity.NOTE),
    type = ProtoExpert.new("l2svc.reply_type", "Reply with a non-zero type field",
                           expert.group.PROTOCOL, expert.severity.WARN),
}
l2svc.experts = { e.short, e.malformed, e.trailing, e.type }

l2svc.prefs.enabled = Pref.bool("Decode service frames", true,
                                "Off: frames from and to the station address are left to the "
                                .. "Ethernet dissector")

local function address(tvb, offset)
    return tvb(offset, 6):bytes():tohex(true, ":")
end

-- Characters that reorder or hide the text around them: the bidi marks, embeddings,
-- overrides and isolates, zero-width and other invisible format characters, the line and
-- paragraph separators and the tag characters. l2station escapes them all (their Unicode
-- categories Cf, Zl and Zp); these are the ones a text may carry.
local function hidden(c)
    return c == 0xAD or c == 0x61C or c == 0x6DD or c == 0x70F or c == 0x180E or c == 0xFEFF
        or (c >= 0x600 and c <= 0x605) or (c >= 0x200B and c <= 0x200F)
        or (c >= 0x2028 and c <= 0x202E) or (c >= 0x2060 and c <= 0x2064)
        or (c >= 0x2066 and c <= 0x206F) or (c >= 0xFFF9 and c <= 0xFFFB)
        or (c >= 0xE0001 and c <= 0xE007F)
end

-- The code point of one UTF-8 sequence (lead byte and continuation bytes).
local function codepoint(seq)
    local lead = seq:byte(1)
    local c = lead >= 0xF0 and lead - 0xF0 or lead >= 0xE0 and lead - 0xE0 or lead - 0xC0
    for i = 2, #seq do
        c = c * 64 + (seq:byte(i) - 0x80)
    end
    return c
end

-- Every control character (C0, DEL, C1) as \xNN, every hidden one as \uXXXX (\UXXXXXXXX
-- beyond the first plane) and a backslash doubled, as l2station shows a board's text: a
-- hostile board cannot drive the terminal that prints the fields, nor disguise a name.
local function shown(s)
    s = s:gsub("\\", "\\\\")
    s = s:gsub("[%z\1-\31\127]", function(c) return string.format("\\x%02x", c:byte()) end)
    -- C1 controls as UTF-8: C2 80 to C2 9F.
    s = s:gsub("\194([\128-\159])", function(c) return string.format("\\x%02x", c:byte()) end)
    return (s:gsub("[\194-\244][\128-\191]+", function(seq)
        local c = codepoint(seq)
        if not hidden(c) then
            return nil
        end
        return c <= 0xFF and string.format("\\x%02x", c)
            or c <= 0xFFFF and string.format("\\u%04x", c)
            or string.format("\\U%08x", c)
    end))
end

-- Reply text is Latin-1: one byte a character.
local function latin1(s)
    return (s:gsub("[\128-\255]", function(c)
        local b = c:byte()
        return string.char(0xC0 + math.floor(b / 64), 0x80 + b % 64)
    end))
end

-- Whether the bytes are valid UTF-8.
local function validUtf8(s)
    local i, n = 1, #s
    while i <= n do
        local c = s:byte(i)
        local len = c < 0x80 and 1 or (c >= 0xC2 and c <= 0xDF) and 2 or
                    (c >= 0xE0 and c <= 0xEF) and 3 or (c >= 0xF0 and c <= 0xF4) and 4 or 0
        if len == 0 or i + len - 1 > n then
            return false
        end
        for k = 1, len - 1 do
            local b = s:byte(i + k)
            if b < 0x80 or b > 0xBF then
                return false
            end
        end
        i = i + len
    end
    return true
end

-- Device and Version are the board's file bytes: UTF-8 where valid, Latin-1 otherwise.
local function fileText(s)
    return validUtf8(s) and s or latin1(s)
end

-- The text up to the first zero byte, then what follows it: zero padding, or other data.
local function addText(tree, payload)
    if payload == nil then
        return ""
    end
    local raw = payload:raw()
    local zero = raw:find("\0", 1, true)
    local textLen = zero and zero - 1 or #raw
    local text = raw:sub(1, textLen)
    if textLen > 0 then
        tree:add(f.text, payload(0, textLen), shown(latin1(text)))
    else
        tree:add(f.text, payload(0, 0), "")
    end
    if textLen < #raw then
        local rest = payload(textLen)
        if raw:sub(textLen + 1):find("[^\0]") then
            tree:add(f.data, rest)
        else
            tree:add(f.padding, rest):append_text(string.format(" (%d zero bytes)", rest:len()))
        end
    end
    return text
end

-- The lines of a reply text, each with its offset; nil when the last one has no line feed.
local function replyLines(body)
    local lines, starts = {}, {}
    local at = 1
    while at <= #body do
        local nl = body:find("\n", at, true)
        if not nl then
            return nil
        end
        lines[#lines + 1] = body:sub(at, nl - 1)
        starts[#starts + 1] = at - 1
        at = nl + 1
    end
    return lines, starts
end

-- The lines a board-address reply ends with: "Tag : TAG", and the restart values "Boot : ID"
-- and "Start : VALUE" (which the dissector shows, and cannot check).
-- Keyed boards and stations add "Key : ID", "Challenge : C" and "Proof : [ID ]HMAC", shown
-- as they are: only a key checks them.
local closingFields = { [kTagLabel] = f.tag, [kBootLabel] = f.boot, [kStartLabel] = f.start,
                        [kKeyLabel] = f.key, [kChallengeLabel] = f.challenge,
                        [kProofLabel] = f.proof }
local function addTag(tree, payload, line, start)
    for label, field in pairs(closingFields) do
        if line:sub(1, #label + #kLabelSeparator) == label .. kLabelSeparator then
            local first = start + #label + #kLabelSeparator
            tree:add(field, payload(first, #line - #label - #kLabelSeparator),
                     shown(line:sub(#label + #kLabelSeparator + 1)))
        end
    end
end

-- An info reply, as l2station parses it: "Label : value" lines after the tag, each ended by
-- a line feed; a Product or HardId value may run across a line end. Returns nil or the reason
-- it does not parse, and the device and product for the Info column.
local function addInfoReply(tree, payload)
    local raw = payload:raw()
    local zero = raw:find("\0", 1, true)
    local body = zero and raw:sub(1, zero - 1) or raw
    local lines, starts = replyLines(body)
    if not lines then
        return "cut short (no final line feed)"
    end
    if lines[1] ~= kInfoReplyTag then
        return "does not start with " .. kInfoReplyTag
    end
    local values, ranges, seen, open = {}, {}, {}, nil
    for i = 2, #lines do
        local line = lines[i]
        local sep = line:find(kLabelSeparator, 1, true)
        local label = sep and line:sub(1, sep - 1) or nil
        local known = label and labelFields[label] ~= nil
        if (not known or seen[label]) and (open == "Product" or open == "HardId") then
            values[open] = values[open] .. "\n" .. line
            ranges[open][2] = starts[i] + #line
        else
            if not sep then
                return string.format("line %d is not 'Label : value'", i)
            end
            open = known and label or nil
            if known then
                if seen[label] then
                    return label .. " given twice"
                end
                seen[label] = true
                values[label] = line:sub(sep + #kLabelSeparator)
                ranges[label] = { starts[i] + sep - 1 + #kLabelSeparator, starts[i] + #line }
            elseif closingFields[label] then
                addTag(tree, payload, line, starts[i])
            end
        end
    end
    local missing = {}
    for _, label in ipairs(kInfoLabels) do
        if not seen[label] then
            missing[#missing + 1] = label
        end
    end
    -- What is there is shown, also when something is missing.
    for _, label in ipairs(kInfoLabels) do
        if not seen[label] then
            goto next
        end
        local first, last = ranges[label][1], ranges[label][2]
        local range = payload(first, last - first)
        if label == "IpAddress" then
            local offset = first
            for ip in values[label]:gmatch("[^ ]+") do
                local s = values[label]:find(ip, offset - first + 1, true)
                tree:add(f.ipaddress, payload(first + s - 1, #ip), shown(ip))
                offset = first + s - 1 + #ip
            end
        elseif label == "Device" or label == "Version" then
            tree:add(labelFields[label], range, shown(fileText(values[label])))
        else
            tree:add(labelFields[label], range, shown(latin1(values[label])))
        end
        ::next::
    end
    if zero then
        tree:add(f.padding, payload(zero - 1))
    end
    if #missing > 0 then
        return "missing " .. table.concat(missing, ", ")
    end
    return nil, shown(fileText(values.Device)), shown(latin1(values.Product))
end

-- Who a request goes to, or a reply comes from; a station's copy for agents before 1.3 says so.
local function addressing(way, dst, src, type)
    local other = way == "request" and dst or src
    local copy = way == "request" and type == kOldBoardsType and ", copy for agents before 1.3"
                 or ""
    if other == kServiceAddress then
        return "shared service address"
    elseif other == kGroupAddress then
        return "group address (board-address mode)" .. copy
    end
    return "board's own address (board-address mode)" .. copy
end

local function dissect(tvb, pinfo, root, way)
    local len = tvb:len()
    pinfo.cols.protocol = "L2SVC"
    local tree = root:add(l2svc, tvb())
    tree:add(f.dst, tvb(0, 6))
    if len < 12 then
        tree:add(f.kind, "short")
        tree:add_proto_expert_info(e.short, string.format("%d bytes", len))
        pinfo.cols.info = kinds.short
        return
    end
    tree:add(f.src, tvb(6, 6))
    local dst, src = address(tvb, 0), address(tvb, 6)
    local type = len >= kHeaderLen and tvb(kTypeOffset, 2):uint() or nil
    tree:add(f.addressing, addressing(way, dst, src, type))
    if way == "reply" and src ~= kServiceAddress then
        tree:add(f.board, tvb(6, 6))
    elseif way == "request" and dst ~= kServiceAddress and dst ~= kGroupAddress then
        tree:add(f.board, tvb(0, 6))
    end
    if len >= kHeaderLen then
        local typeItem = tree:add(f.type, tvb(kTypeOffset, 2))
        if way == "reply" and tvb(kTypeOffset, 2):uint() ~= 0 then
            typeItem:add_proto_expert_info(e.type)
        end
    end
    local payload = len > kHeaderLen and tvb(kHeaderLen) or nil
    local raw = payload and payload:raw() or ""
    local kind, info
    if way == "request" then
        local keyword
        if raw:sub(1, #kResetKeyword) == kResetKeyword then
            kind, keyword = "reset-request", kResetKeyword
        elseif raw:sub(1, #kInfoKeyword) == kInfoKeyword then
            kind, keyword = "info-request", kInfoKeyword
        else
            kind = "echo-request"
        end
        local kindItem = tree:add(f.kind, kind)
        local text = addText(tree, payload)
        -- The tag is on the first line; a proven reset's lines follow it.
        local first = text:match("^[^\n]*")
        local tag = keyword and first:match("^" .. keyword:gsub("%p", "%%%0") .. " #(%w+)$")
        if tag then
            tree:add(f.tag, payload(#keyword + 2, #tag), tag)
            local at = #first + 1
            for line in text:sub(#first + 2):gmatch("([^\n]*)\n") do
                addTag(tree, payload, line, at)
                at = at + #line + 1
            end
        elseif keyword and #text > #keyword then
            kindItem:add_proto_expert_info(e.trailing, string.format(
                "%d more bytes after %s; the agent still takes it as %s", #text - #keyword,
                keyword, kinds[kind]:lower()))
        end
        info = kinds[kind]
        if kind == "echo-request" then
            info = info .. string.format(", %d bytes", len)
        end
    elseif raw:sub(1, #kInfoReplyTag) == kInfoReplyTag then
        kind = "info-reply"
        local kindItem = tree:add(f.kind, kind)
        local why, device, product = addInfoReply(tree, payload)
        if why then
            kindItem:add_proto_expert_info(e.malformed, why)
            info = kinds[kind] .. " (malformed: " .. shown(why) .. ")"
        else
            info = string.format("%s: %s %s", kinds[kind], device, product)
        end
    elseif raw:sub(1, #kResetAckTag + 1) == kResetAckTag .. "\n" then
        kind = "reset-ack"
        tree:add(f.kind, kind)
        local zero = raw:find("\0", 1, true)
        local lines, starts = replyLines(zero and raw:sub(1, zero - 1) or raw)
        for i = 2, lines and #lines or 0 do
            addTag(tree, payload, lines[i], starts[i])
        end
        info = kinds[kind]
    else
        kind = "echo-reply"
        tree:add(f.kind, kind)
        addText(tree, payload)
        info = kinds[kind] .. string.format(", %d bytes", len)
    end
    tree:append_text(", " .. kinds[kind])
    pinfo.cols.info = info
end

-- Whether the frame is a station's or a board's: "request" from the station address, to the
-- group address, or with the station type (a station asking from its own address); "reply" to
-- the station address, or a board's reply to a station's own address (a zero type); or nil. A frame too short for its source address
-- counts by its destination alone.
local function direction(tvb)
    if tvb:len() < 6 then
        return nil
    end
    local dst = address(tvb, 0)
    local src = tvb:len() >= 12 and address(tvb, 6) or nil
    local type = tvb:len() >= kHeaderLen and tvb(kTypeOffset, 2):uint() or nil
    if src == kStationAddress and dst ~= kStationAddress then
        return "request"
    elseif dst == kStationAddress and src ~= kStationAddress then
        return "reply"
    elseif src == nil and (dst == kServiceAddress or dst == kGroupAddress) then
        return "request"
    elseif dst == kGroupAddress or type == kStationType or type == kOldBoardsType then
        return "request"
    elseif type == 0 and src ~= nil then
        -- A zero type is no EtherType, and as an 802.3 length no real frame has it.
        return "reply"
    end
    return nil
end

-- After every other dissector, on the whole frame: Ethernet has added its fields, and the
-- columns and this tree are the service frame's. A frame too short for an Ethernet header is
-- named here too.
function l2svc.dissector(tvb, pinfo, root)
    local way = l2svc.prefs.enabled and direction(tvb)
    if way then
        dissect(tvb, pinfo, root, way)
    end
end

register_postdissector(l2svc)
