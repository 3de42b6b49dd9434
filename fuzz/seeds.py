#!/usr/bin/env python3
"""Writes the harnesses' seed corpora (fuzz/corpus/<harness>/<seed>) in their input layouts:
ordinary inputs of each kind, and the regression inputs of faults found before. Run it again
after a change of layout; the seeds are kept in the repository as written."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(harness, name, data):
    folder = os.path.join(HERE, "corpus", harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def align4(data):
    return data + b"\0" * (-len(data) % 4)


def rtattr(kind, payload):
    return align4(struct.pack("<HH", 4 + len(payload), kind) + payload)


def nlmsg(kind, payload, flags=0x2, seq=1, pid=0):
    return align4(struct.pack("<IHHII", 16 + len(payload), kind, flags, seq, pid) + payload)


def chunk(data):
    return struct.pack("<H", len(data)) + data


def ip(text):
    return bytes(int(part) for part in text.split("."))


# Netlink replies: the peer address (10.0.0.1) and the link index (2) asked about, then the
# datagrams.
def chunks(*datagrams, peer=ip("10.0.0.1"), link_index=2):
    return peer + struct.pack("<I", link_index) + b"".join(chunk(d) for d in datagrams)


NLMSG_ERROR, NLMSG_DONE = 2, 3
RTM_NEWLINK, RTM_NEWADDR, RTM_NEWROUTE, RTM_NEWNEIGH = 16, 20, 24, 28
INT_MIN = -(2**31)


def error(code):
    return nlmsg(NLMSG_ERROR, struct.pack("<i", code) + b"\0" * 16, flags=0)


def done(code=None):
    return nlmsg(NLMSG_DONE, b"" if code is None else struct.pack("<i", code))


# The kernel's own words of an error (extended acknowledgement): an attribute before them, then
# the message with its NUL.
NLM_F_CAPPED, NLM_F_ACK_TLVS = 0x100, 0x200
NLMSGERR_ATTR_MSG, NLMSGERR_ATTR_OFFS = 1, 2


def words(text):
    return (rtattr(NLMSGERR_ATTR_OFFS, struct.pack("<I", 20))
            + rtattr(NLMSGERR_ATTR_MSG, text.encode() + b"\0"))


# After the error field, the header of the request it answers, and its payload unless capped.
def error_with_words(code, text, request_payload, capped=False):
    request = struct.pack("<IHHII", 16 + len(request_payload), RTM_NEWNEIGH, 0x505, 1, 0)
    body = struct.pack("<i", code) + request + (b"" if capped else request_payload)
    flags = NLM_F_ACK_TLVS | (NLM_F_CAPPED if capped else 0)
    return nlmsg(NLMSG_ERROR, align4(body) + words(text), flags=flags)


def done_with_words(code, text):
    return nlmsg(NLMSG_DONE, struct.pack("<i", code) + words(text), flags=0x2 | NLM_F_ACK_TLVS)


def link(index, mac=b"\x02\x00\x00\x00\x00\x02", kind=1, flags=0x1043):
    return nlmsg(RTM_NEWLINK, struct.pack("<BxHiII", 0, kind, index, flags, 0) + rtattr(1, mac))


def address(index, local, prefix=24, flags=0):
    header = struct.pack("<BBBBI", 2, prefix, flags, 0, index)
    return nlmsg(RTM_NEWADDR, header + rtattr(2, ip(local)) + rtattr(1, ip(local)))


def route(attributes, table=254):
    header = struct.pack("<BBBBBBBBI", 2, 0, 0, 0, table, 3, 0, 1, 0)
    return nlmsg(RTM_NEWROUTE, header + b"".join(attributes))


def neighbour(index, destination):
    header = struct.pack("<BxxxiHBB", 2, index, 0x80, 0, 1)
    return nlmsg(RTM_NEWNEIGH, header + rtattr(1, ip(destination)) + rtattr(2, b"\x02" * 6))


def nexthop(index, gateway):
    attribute = rtattr(5, ip(gateway))
    return struct.pack("<HBBi", 8 + len(attribute), 0, 0, index) + attribute


# The netlink reply reader and the decoders.
write("netlink_reply", "acknowledgement", chunks(error(0)))
write("netlink_reply", "kernel_error", chunks(error(-17)))
write("netlink_reply", "link_dump", chunks(link(1, kind=772, flags=0x49) + link(2), done(0)))
write("netlink_reply", "route_dump", chunks(
    route([rtattr(15, struct.pack("<I", 254)), rtattr(4, struct.pack("<I", 2)),
           rtattr(5, ip("10.0.0.1"))])
    + route([rtattr(9, nexthop(2, "10.0.0.1") + nexthop(3, "10.0.1.1"))]), done()))
# A default route that names its nexthop object alone (the kernel's compatibility mode off),
# the objects: a group of two, one with an IPv6 gateway; and a multipath route with a hop through
# an IPv6 gateway (RTA_VIA).
RTM_NEWNEXTHOP = 104
RTA_MULTIPATH, RTA_VIA, RTA_NH_ID = 9, 18, 30
NHA_ID, NHA_GROUP, NHA_OIF, NHA_GATEWAY = 1, 2, 5, 6


def nexthop_object(ident, index, gateway, family=2):
    attributes = rtattr(NHA_ID, struct.pack("<I", ident)) + rtattr(NHA_OIF, struct.pack("<I", index))
    return nlmsg(RTM_NEWNEXTHOP, struct.pack("<BBBBI", family, 0, 3, 0, 0) + attributes
                 + rtattr(NHA_GATEWAY, gateway))


def nexthop_group(ident, members):
    group = b"".join(struct.pack("<IBBH", member, 1, 0, 0) for member in members)
    return nlmsg(RTM_NEWNEXTHOP, struct.pack("<BBBBI", 0, 0, 3, 0, 0)
                 + rtattr(NHA_ID, struct.pack("<I", ident)) + rtattr(NHA_GROUP, group))


def via_hop(index):
    attribute = rtattr(RTA_VIA, struct.pack("<H", 10) + b"\x20\x01\x0d\xb8" + b"\0" * 12)
    return struct.pack("<HBBi", 8 + len(attribute), 0, 0, index) + attribute


write("netlink_reply", "route_by_nexthop_id", chunks(
    route([rtattr(15, struct.pack("<I", 254)), rtattr(RTA_NH_ID, struct.pack("<I", 10))])
    + nexthop_group(10, [1, 2, 3]) + nexthop_object(1, 2, ip("10.0.0.1"))
    + nexthop_object(2, 2, ip("10.0.0.3")) + nexthop_object(3, 2, b"\x20\x01" + b"\0" * 14, 10),
    done()))
write("netlink_reply", "route_multipath_through_another_family", chunks(
    route([rtattr(RTA_MULTIPATH, nexthop(2, "10.0.0.1") + via_hop(2) + nexthop(2, "10.0.0.3"))]),
    done()))
write("netlink_reply", "address_dump", chunks(
    address(2, "10.0.0.2") + address(2, "10.0.0.3", flags=0x01) + address(3, "192.168.5.2"),
    done(0)))
write("netlink_reply", "neighbour_dump_over_two_datagrams",
      chunks(neighbour(2, "10.0.0.1"), neighbour(2, "10.0.0.9") + done(0)))
write("netlink_reply", "error_inside_done", chunks(link(2) + done(-19)))
NEIGHBOUR_REQUEST = struct.pack("<BxxxiHBB", 2, 2, 0x80, 0, 1) + rtattr(1, ip("10.0.0.1")) + b"\x01"
write("netlink_reply", "kernel_error_with_words",
      chunks(error_with_words(-22, "Invalid neighbour state", NEIGHBOUR_REQUEST)))
write("netlink_reply", "kernel_error_with_words_capped",
      chunks(error_with_words(-22, "Invalid neighbour state", NEIGHBOUR_REQUEST, capped=True)))
write("netlink_reply", "error_inside_done_with_words",
      chunks(link(2) + done_with_words(-22, "Invalid values in header for neighbor get request")))
# Regressions: an error field of INT_MIN (its negation overflowed), and a prefix longer than
# 32 bits (its mask shifted by a negative count).
write("netlink_reply", "regression_error_int_min", chunks(error(INT_MIN)))
write("netlink_reply", "regression_done_int_min", chunks(link(2) + done(INT_MIN)))
write("netlink_reply", "regression_prefix_over_32",
      chunks(address(2, "10.0.0.2", prefix=40) + address(2, "10.0.0.3", prefix=33), done(0)))

# The route-change drain: datagrams, an interruption, an overrun, the end.
write("route_changes", "changes_then_empty", bytes([60, 0, 200, 60, 202]))
write("route_changes", "overrun", bytes([201, 202]))
write("route_changes", "failure", bytes([60, 203]))

# ARP frames: the link (index 2, its MAC, 10.0.0.2) and the address asked for (10.0.0.1); what
# the kernel tells of the frame (interface, packet type, Ethernet source, VLAN tag); the frame.
LINK_MAC = b"\x02\x00\x00\x00\x00\x02"
LINK = struct.pack("<i", 2) + LINK_MAC + ip("10.0.0.2") + ip("10.0.0.1")
GATEWAY_MAC = b"\x02\xab\xcd\xef\x10\x99"
PACKET_HOST, PACKET_BROADCAST = 0, 1


def arp(operation, sender_mac, sender_ip, target_mac, target_ip):
    return (struct.pack(">HHBBH", 1, 0x0800, 6, 4, operation) + sender_mac + ip(sender_ip)
            + target_mac + ip(target_ip))


def received(frame, interface=2, packet_type=PACKET_HOST, source=GATEWAY_MAC, vlan=0):
    return LINK + struct.pack("<iB", interface, packet_type) + source + bytes([vlan]) + frame


ANSWER = arp(2, GATEWAY_MAC, "10.0.0.1", LINK_MAC, "10.0.0.2")
write("arp_frame", "answer", received(ANSWER))
write("arp_frame", "answer_on_another_link", received(ANSWER, interface=3))
write("arp_frame", "answer_to_every_host", received(ANSWER, packet_type=PACKET_BROADCAST))
write("arp_frame", "answer_from_another_ethernet_source",
      received(ANSWER, source=b"\x02\xab\xcd\xef\x10\x98"))
write("arp_frame", "answer_vlan_tagged", received(ANSWER, vlan=1))
write("arp_frame", "request", received(arp(1, GATEWAY_MAC, "10.0.0.1", b"\0" * 6, "10.0.0.2")))
write("arp_frame", "truncated", received(ANSWER[:20]))

# Neighbor Discovery packets: the link (index 2, its MAC, fe80::2) and the router asked for
# (fe80::1); what the kernel tells of the frame (interface, packet type, Ethernet source, VLAN
# tag); the packet after the Ethernet header.
def ip6(last):
    return b"\xfe\x80" + b"\0" * 13 + bytes([last])


ND_LINK = struct.pack("<i", 2) + LINK_MAC + ip6(2) + ip6(1)
PACKET_MULTICAST = 2


def nd(kind, source, destination, target, flags=0, options=b"", hop_limit=255):
    message = bytes([kind, 0, 0, 0, flags, 0, 0, 0]) + target + options
    pseudo = source + destination + struct.pack(">I", len(message)) + b"\0\0\0\x3a"
    data = pseudo + message + b"\0" * (len(message) % 2)
    total = sum(struct.unpack(">%dH" % (len(data) // 2), data))
    while total > 0xffff:
        total = (total & 0xffff) + (total >> 16)
    checksum = struct.pack(">H", ~total & 0xffff)
    header = struct.pack(">IHBB", 0x60000000, len(message), 58, hop_limit) + source + destination
    return header + message[:2] + checksum + message[4:]


def nd_received(packet, interface=2, packet_type=PACKET_HOST, source=GATEWAY_MAC, vlan=0):
    return ND_LINK + struct.pack("<iB", interface, packet_type) + source + bytes([vlan]) + packet


ADVERT = nd(136, ip6(1), ip6(2), ip6(1), flags=0xe0, options=b"\x02\x01" + GATEWAY_MAC)
write("nd_frame", "advertisement", nd_received(ADVERT))
write("nd_frame", "advertisement_on_another_link", nd_received(ADVERT, interface=3))
write("nd_frame", "advertisement_to_every_host", nd_received(ADVERT, packet_type=PACKET_MULTICAST))
write("nd_frame", "advertisement_from_another_ethernet_source",
      nd_received(ADVERT, source=b"\x02\xab\xcd\xef\x10\x98"))
write("nd_frame", "advertisement_vlan_tagged", nd_received(ADVERT, vlan=1))
write("nd_frame", "advertisement_forwarded",
      nd_received(nd(136, ip6(1), ip6(2), ip6(1), flags=0xe0,
                     options=b"\x02\x01" + GATEWAY_MAC, hop_limit=64)))
write("nd_frame", "advertisement_unsolicited_without_option",
      nd_received(nd(136, ip6(1), ip6(2), ip6(1), flags=0xa0)))
write("nd_frame", "solicitation",
      nd_received(nd(135, ip6(2), b"\xff\x02" + b"\0" * 9 + b"\x01\xff\0\0\x01", ip6(1),
                     options=b"\x01\x01" + LINK_MAC)))
write("nd_frame", "option_of_length_zero",
      nd_received(nd(136, ip6(1), ip6(2), ip6(1), flags=0xe0, options=b"\x02\x00" + GATEWAY_MAC)))
write("nd_frame", "truncated", nd_received(ADVERT[:50]))

# IP Helper buffers: the buffer's 32-bit address, then the buffer.
BASE = 0x00400000


def interface_table(indexes, count=None):
    table = struct.pack("<i", len(indexes) if count is None else count)
    for index in indexes:
        table += struct.pack("<I", index) + b"\0" * 256
    return table


def adapter(index, gateway, next_address):
    record = bytearray(648)
    struct.pack_into("<I", record, 0, next_address)
    struct.pack_into("<I", record, 412, index)
    record[472:472 + len(gateway)] = gateway.encode()
    return bytes(record)


write("iphelper", "interface_table", struct.pack("<I", BASE) + interface_table([2, 3]))
write("iphelper", "interface_count_past_the_buffer",
      struct.pack("<I", BASE) + interface_table([2], count=9))
write("iphelper", "adapter_chain", struct.pack("<I", BASE)
      + adapter(2, "10.0.0.1", BASE + 648) + adapter(3, "10.0.1.1", 0))
write("iphelper", "adapter_chain_that_loops", struct.pack("<I", BASE)
      + adapter(2, "10.0.0.1", BASE + 648) + adapter(3, "10.0.1.1", BASE))
# IP_ADDR_STRING entries after the records: a further address and further gateways of the first
# adapter, and a list that loops.
def address_string(address, mask, next_address):
    entry = bytearray(40)
    struct.pack_into("<I", entry, 0, next_address)
    entry[4:4 + len(address)] = address.encode()
    entry[20:20 + len(mask)] = mask.encode()
    return bytes(entry)


def with_lists(record, address_next, gateway_next):
    record = bytearray(record)
    struct.pack_into("<I", record, 428, address_next)
    record[432:448] = b"192.168.5.2".ljust(16, b"\0")
    record[448:464] = b"255.255.255.0".ljust(16, b"\0")
    struct.pack_into("<I", record, 468, gateway_next)
    return bytes(record)


EXTRA = BASE + 2 * 648
write("iphelper", "adapter_lists", struct.pack("<I", BASE)
      + with_lists(adapter(2, "10.0.0.1", BASE + 648), EXTRA, EXTRA + 40) + adapter(3, "0.0.0.0", 0)
      + address_string("10.0.0.2", "255.255.255.0", 0)
      + address_string("192.168.5.1", "", EXTRA + 80) + address_string("10.0.0.254", "", 0))
write("iphelper", "adapter_gateway_list_that_loops", struct.pack("<I", BASE)
      + with_lists(adapter(2, "10.0.0.1", 0), 0, BASE + 648) + address_string("10.0.0.3", "", BASE + 468))


def forward_row(destination, mask, next_hop, index, kind, metric):
    return (ip(destination) + ip(mask) + struct.pack("<I", 0) + ip(next_hop)
            + struct.pack("<IIIIII", index, kind, 3, 0, 0, metric) + struct.pack("<IIII", 0, 0, 0, 0))


write("iphelper", "forward_table", struct.pack("<I", BASE) + struct.pack("<I", 3)
      + forward_row("0.0.0.0", "0.0.0.0", "10.0.0.1", 2, 4, 10)
      + forward_row("0.0.0.0", "0.0.0.0", "10.0.0.254", 2, 4, 50)
      + forward_row("10.0.0.0", "255.255.255.0", "10.0.0.2", 2, 3, 10))
write("iphelper", "gateway_without_nul",
      struct.pack("<I", BASE) + adapter(2, "10.100.200.255.1", 0))


# MIB_IPFORWARD_TABLE2: a count, padding to 8, rows of 104 bytes (index at 8, the prefix's
# SOCKADDR_INET at 12 and its length at 40, the next hop's at 44, the metric at 84).
def route6(index, next_hop, prefix_length=0, metric=10):
    row = bytearray(104)
    struct.pack_into("<I", row, 8, index)
    struct.pack_into("<H", row, 12, 23)
    row[40] = prefix_length
    struct.pack_into("<H", row, 44, 23)
    row[52:68] = next_hop
    struct.pack_into("<I", row, 84, metric)
    return bytes(row)


write("iphelper", "forward_table2", struct.pack("<I", BASE) + struct.pack("<II", 2, 0)
      + route6(2, ip6(1)) + route6(3, ip6(9), prefix_length=64))
write("iphelper", "forward_table2_count_past_the_buffer",
      struct.pack("<I", BASE) + struct.pack("<II", 5, 0) + route6(2, ip6(1)))

# The remembered gateways' file and the administrator's trusted gateways: texts as an
# administrator, an older release or an attacker with a bad day could leave them.
V2 = b"tarnwick-antiarp gateways 2\n# link family address mac last-confirmed\n"
write("trust_text", "remembered", V2 + b"eth0 ipv4 10.0.0.1 02:00:00:00:00:01 2026-12-07T17:00:00Z\n")
write("trust_text", "remembered_first_format", b"tarnwick-antiarp gateways 1\neth0 10.0.0.1 020000000001\n")
write("trust_text", "remembered_crlf",
      V2.replace(b"\n", b"\r\n") + b"eth0 ipv4 10.0.0.1 02:00:00:00:00:01 2026-12-07T17:00:00Z\r\n")
write("trust_text", "regression_link_name_with_del",
      V2 + b"eth%7f0 ipv4 10.0.0.1 02:00:00:00:00:01 2026-12-07T17:00:00Z\n")
write("trust_text", "regression_mac_with_colons_in_first_format",
      b"tarnwick-antiarp gateways 1\neth0 10.0.0.1 02:00:00:00:00:01\neth1 10.0.0.1 020000000002\n")
write("trust_text", "regression_first_format_mac_of_seven_bytes",
      b"tarnwick-antiarp gateways 1\neth0 10.0.0.1 00000002000002\neth1 10.0.0.1 010000000001\n")
write("trust_text", "bad_lines_among_good",
      V2 + b"eth0 ipv4 10.0.0.1 02:00:00:00:00:01\n" + b"x" * 1100 + b"\n"
      + b"eth1 ipv4 10.0.0.1 02-00-00-00-00-02 2026-02-30T00:00:00Z\n"
      + b"eth2 ipv4 10.0.0.1 0200000000AB 0000-01-01T00:00:00Z\n")
write("trust_text", "regression_more_entries_than_kept",
      V2 + b"".join(b"eth%d ipv4 10.0.0.1 02:00:00:00:00:01 2026-12-07T17:%02d:%02dZ\n"
                    % (i, (i // 60) % 60, i % 60) for i in range(600)))
write("trust_text", "remembered_ipv6",
      V2 + b"eth0 ipv6 fe80::1 02:00:00:00:00:01 2026-12-07T17:00:00Z\n"
      + b"eth0 ipv6 FE80:0:0::0:2 02:00:00:00:00:02 2026-12-07T17:00:00Z\n"
      + b"eth0 ipv6 fe80::1::2 02:00:00:00:00:03 2026-12-07T17:00:00Z\n")
write("trust_text", "trusted", b"# trusted\n10.0.0.1 00:11:22:33:44:55 eth0\n"
      b"10.0.0.2,00-11-22-33-44-66\r\n10.0.0.3 0011223344AA # file server\n10.0.0.4\n"
      b"fe80::1 00:11:22:33:44:77 eth0\n")

# Switches, in UTF-16 code units.
for name, text in [("install", "/install"), ("debug_upper_case", "-DEBUG"), ("help", "?"),
                   ("long_version", "--Version"),
                   ("not_a_switch", "/installer"),
                   # Look-alikes that a conversion with best fit made into switches.
                   ("full_width_install", "/\uff29\uff2e\uff33\uff34\uff21\uff2c\uff2c"),
                   ("dotted_capital_i", "/\u0130NSTALL"), ("full_width_question_mark", "\uff1f"),
                   ("cjk_after_slash", "/\u4e2d")]:
    write("command_line", name, text.encode("utf-16-le"))
# An unpaired surrogate, which a conversion to narrow text made "?".
write("command_line", "unpaired_surrogate", struct.pack("<H", 0xDE61))

# Unit files: display name, description and path, each with a 16-bit length in front.
def unit(display, description, path):
    return chunk(display.encode()) + chunk(description.encode()) + chunk(path)


write("systemd_unit", "plain", unit("Tarnwick AntiARP", "Protects the ARP table.",
                                    b"/usr/sbin/antiarp"))
write("systemd_unit", "line_breaks_and_percent_signs",
      unit("Name\nExecStart=/bin/sh", "50% done\\\n[Service]", b"/opt/a b/%h/antiarp"))
write("systemd_unit", "quotes_and_control_characters",
      unit("\x7f", "\t", b"/opt/\"x\"\\y/$HOME/\x01antiarp"))
write("systemd_unit", "not_utf8", unit("Tarnwick", "d", b"/opt/\xff\xfe/antiarp"))
