#!/usr/bin/env python3
# Writes the seed corpora under corpus/: a few inputs per target, each a
# small conversation in the target's input format (see the targets), so that
# a short run starts from frames, floods, departures and admissions instead
# of from nothing. Run it again when an input format changes.
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    d = os.path.join(here, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(bytes(data))


def word(n):
    return list(struct.pack('<H', n))


def frame(*head, text=b''):
    return list(head) + list(text) + [0]


# ---- host_streams: [members][ids...] then ops (op % 10) ----
def hs_write(k, data):
    return [0, k, len(data)] + list(data)


def hs_update(n=0, take=7, ms=0):
    return [5, ms // 500 * 4 + n, take]


def hs_send(msg_id, member_sel, text):
    return [6, msg_id, member_sel, len(text)] + list(text)


def hs_flood(k, chunk, times):
    return [9, k, len(chunk) - 1] + list(chunk) + word(times - 1)


three = [2, 10, 20, 30]  # 3 members: ids 12, 22, 32
put('host_streams', 'routing', three + hs_write(0, frame(7, 255, text=b'hello all')) +
    hs_write(1, frame(8, 32, text=b'to 32')) + hs_write(2, frame(9, 1, text=b'to host')) +
    hs_update(2) + hs_send(4, 1, b'from host') + hs_update(1) + [7, 2] +
    [8, 0, 1] + hs_update(3))
put('host_streams', 'split-frames', three + hs_write(0, [7, 255] + list(b'hal')) + hs_update() +
    hs_write(0, list(b'ves') + [0, 3]) + hs_update() + hs_write(0, [22] + list(b'rest') + [0]) +
    hs_write(1, [0, 0, 5, 0]) + hs_update(3))
put('host_streams', 'flood-paused-reader', three + [8, 1, 2] +
    hs_flood(0, frame(1, 255, text=b'abcdefghijklmnopqrstuvwxyz0'), 4096) + hs_update(3) * 6 +
    [8, 1, 3] + hs_update(3))
put('host_streams', 'too-long', three + hs_flood(0, b'z' * 32, 2200) + hs_update(3) * 3)
put('host_streams', 'inbox-flood', three + hs_flood(2, [1, 1, 0], 4096) + hs_update(3) * 3)
put('host_streams', 'frozen-member-others-flow', three + [8, 2, 2] +
    (hs_flood(0, frame(1, 32, text=b'abcdefghijklmnopqrstuvwxyz0'), 4096) + hs_update(3) * 6) * 2 +
    hs_write(1, frame(7, 12, text=b'to 12')) + hs_update(3, 0))
put('host_streams', 'close-midframe', three + hs_write(1, [3, 255] + list(b'half')) + [8, 1, 0] +
    hs_update(2) + hs_write(0, frame(3, 255, text=b'after')) + hs_update(2))
# 22 reads nothing while 12 floods it past the high-water mark; the clock
# then moves past the stall timeout, 22 is dropped and 12 flows again.
put('host_streams', 'stalled-reader', three + [8, 1, 2] +
    (hs_flood(0, frame(1, 22, text=b'abcdefghijklmnopqrstuvwxyz0'), 4096) + hs_update(3) * 4) * 2 +
    hs_update(3, ms=10500) + hs_write(0, frame(2, 32, text=b'to 32')) + hs_update(3))

# ---- script: ops (op % 12); a member index byte follows the op once seated ----
def sc_seat(k, mid, name, first=False):
    return [0] + ([] if first else [k]) + [mid, len(name)] + list(name)


def sc_send(k, msg_id, sel, text):
    return [1, k, msg_id, sel, len(text) - 1] + list(text[:8])


def sc_update(k=0, n=3, s=0):
    return [3, k, s * 8 + n]


def sc_host(k, msg_id, sel, length, seed=b'hostline'):
    if length <= 64:
        return [6, k, msg_id, sel, 0, length - 1] + list(seed[:min(length, 8)])
    return [6, k, msg_id, sel, 250] + word(length - 1) + list(seed[:8])


def sc_flood(k, sel, msg_id, length, times, seed=b'floodtxt'):
    return [10, k, sel, msg_id] + word(length - 1) + list(seed[:min(length, 8)]) + [times - 1]


members = sc_seat(0, 10, b'ann', first=True) + sc_seat(0, 20, b'bob') + sc_seat(0, 30, b'cy')
put('script', 'conversation', members + sc_send(0, 7, 10, b'hi all') + sc_send(1, 8, 100, b'to host') +
    sc_send(2, 9, 120, b'to one') + sc_update() + [5, 0, 9] + sc_host(0, 4, 10, 20) + sc_update() +
    [7, 1] + sc_update() + [9, 2, 0] + sc_update() + [11, 0] + sc_seat(0, 40, b'dee', first=True) +
    sc_send(0, 3, 10, b'again') + sc_update())
put('script', 'paused-reader-flood', members + [8, 2] + sc_flood(0, 10, 5, 2000, 128) +
    sc_update(0, 7) * 4 + sc_flood(1, 10, 6, 2000, 128) + sc_update(0, 7) * 4 + [8, 2] +
    sc_update(0, 7) * 4)
put('script', 'frozen-member-others-flow', members + [8, 2] + sc_flood(0, 98, 5, 2000, 128) +
    sc_update(0, 7) * 4 + sc_flood(0, 98, 5, 2000, 128) + sc_update(0, 7) * 4 +
    sc_send(1, 7, 99, b'to ann') + sc_update(0, 7) + [5, 0, 0])
put('script', 'host-send-burst-within-relay-room', members + [8, 1] + sc_host(0, 4, 10, 60000) + sc_host(0, 4, 10, 60000) +
    sc_host(0, 4, 120, 30000) + sc_update(0, 7) + [8, 1] + sc_update(0, 7))
put('script', 'host-send-after-relays-within-relay-room', members + sc_flood(0, 10, 5, 2047, 64) + sc_flood(1, 10, 5, 2047, 64) +
    sc_update(0, 0) + sc_host(0, 4, 10, 40000) + sc_host(0, 4, 10, 40000) + sc_update(0, 7))
# cy reads nothing while ann floods everybody; 11 s later the stall rule
# drops cy, and ann's frames flow to bob again.
put('script', 'stalled-reader', members + [8, 2] + sc_flood(0, 10, 5, 2000, 128) +
    sc_update(0, 7) * 4 + sc_update(0, 3, s=11) + sc_send(1, 7, 10, b'after') + sc_update(0, 7))

# ---- client_stream: ops (op % 10) ----
def cs_write(data):
    return [0, len(data)] + list(data)


def cs_update(n=3):
    return [5, n]


put('client_stream', 'frames', cs_write(frame(1, 7, 255, text=b'hello') + frame(5, 126, 255, text=b'bob')) +
    cs_write([9, 3]) + cs_write([9, 0, 0, 0]) + cs_update() + [7, 7] + [8, 4, 255, 0, 10] + cs_update() +
    cs_write(frame(5, 127, 255, text=b'bob')) + cs_update())
put('client_stream', 'too-long', [4, 31] + list(b'y' * 32) + word(2100) + cs_update() * 4)
put('client_stream', 'overflow', [8, 4, 255, 230] + word(40000) + [8, 4, 255, 230] + word(40000) + cs_update())
put('client_stream', 'host-closes', cs_write(frame(1, 2, 255, text=b'bye')) + [9, 0] + cs_update())
put('client_stream', 'paused-half-close', [9, 2] + [8, 4, 1, 0, 20] + cs_update() + [9, 1] + [9, 2] + cs_update())

# ---- admission: [flags][ending][split][queued][handshake...] ----
put('admission', 'name-fin', [0, 0, 0, 0] + list(b'alice') + [0])
put('admission', 'split-silent', [1, 2, 3, 0] + list(b'bob') + [0])
put('admission', 'reset-queued', [2, 1, 0, 1] + list(b'carol') + [0])
put('admission', 'too-long', [0, 0, 0, 0] + list(b'n' * 70))
put('admission', 'cancelled', [0x43, 2, 0, 0] + list(b'dave') + [0])
put('admission', 'full', [0x30, 2, 0, 0] + list(b'eve') + [0])
put('admission', 'disconnect-mid', [1, 3, 0x50, 2] + list(b'fran') + [0])
put('admission', 'terminate-mid', [1, 4, 0x10, 0] + list(b'gus'))
put('admission', 'silent-part', [0, 2, 0, 0] + list(b'hal'))

# ---- dictionary: ops (op % 10) then a key ----
KEYS = ['result', 'res', 'usr', 'user', 'id', 'msg', 'rcv', 'error', 'pkg', 'address', 'r', 're', 'u', 'us', 'm']


def key(name):
    return [KEYS.index(name)]


put('dictionary', 'results', [1] + key('user') + [4] + list(b'gold') + [8] + key('m') + [5] +
    [0] + key('id') + word(7) + word(0) + [6] + key('res') + word(3) + [4] + key('res') +
    [7] + key('result') + [3] + list(b'abc') + [4] + key('result'))
put('dictionary', 'odd-strings', [1] + key('msg') + [5] + list(b'ab\0cd') + [3] + key('msg') + [9] +
    [4] + key('msg') + [2] + key('msg') + [0] + key('id') + word(1) + word(0) + [2] + key('id') + [3] +
    [5] + key('id') + [8] + key('u') + [4])
put('dictionary', 'prefixes', [1] + key('u') + [1, 120] + [1] + key('us') + [2, 65, 66] + [1] + key('user') +
    [3] + list(b'xyz') + [8] + key('r') + [6] + [4] + key('us') + [7] + key('usr') + [2] + list(b'hi'))

# ---- router_answers: [kind] then the answer (kind % 4: 0 NAT-PMP, 1 SSDP,
# 2 HTTP with a description, 3 HTTP with a SOAP answer; bit 2: closed) ----


def http(status, body, chunked=False):
    head = 'HTTP/1.1 %s\r\nContent-Type: text/xml; charset="utf-8"\r\nConnection: close\r\n' % status
    if chunked:
        parts = [body[i:i + 97] for i in range(0, len(body), 97)]
        data = ''.join('%x\r\n%s\r\n' % (len(p), p) for p in parts) + '0\r\n\r\n'
        return list((head + 'Transfer-Encoding: chunked\r\n\r\n' + data).encode())
    return list((head + 'Content-Length: %d\r\n\r\n' % len(body.encode()) + body).encode())


def envelope(inner):
    return ('<?xml version="1.0"?>\r\n<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>%s</s:Body></s:Envelope>\r\n'
            % inner)


def response(action, args):
    fields = ''.join('<%s>%s</%s>' % (k, v, k) for k, v in args)
    return envelope('<u:%sResponse xmlns:u="urn:schemas-upnp-org:service:WANIPConnection:2">%s</u:%sResponse>'
                    % (action, fields, action))


def fault(code, text):
    return envelope('<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>'
                    '<UPnPError xmlns="urn:schemas-upnp-org:control-1-0"><errorCode>%d</errorCode>'
                    '<errorDescription>%s</errorDescription></UPnPError></detail></s:Fault>' % (code, text))


def service(kind, control):
    return ('<service><serviceType>urn:schemas-upnp-org:service:%s</serviceType><serviceId>urn:upnp-org:'
            'serviceId:x</serviceId><SCPDURL>/x.xml</SCPDURL><controlURL>%s</controlURL><eventSubURL>/evt'
            '</eventSubURL></service>' % (kind, control))


def device(kind, services, inner=''):
    return ('<device><deviceType>urn:schemas-upnp-org:device:%s</deviceType><serviceList>%s</serviceList>'
            '%s</device>' % (kind, ''.join(services), '<deviceList>%s</deviceList>' % inner if inner else ''))


igd = ('<?xml version="1.0"?>\r\n<root xmlns="urn:schemas-upnp-org:device-1-0"><specVersion><major>1</major>'
       '<minor>1</minor></specVersion>' +
       device('InternetGatewayDevice:2', [service('Layer3Forwarding:1', '/ctl/L3F')],
              device('WANDevice:2', [service('WANCommonInterfaceConfig:1', '/ctl/CmnIfCfg')],
                     device('WANConnectionDevice:2', [service('WANIPConnection:2', '/ctl/IPConn'),
                                                      service('WANIPv6FirewallControl:1', '/ctl/IP6FCtl')]))) +
       '</root>')
ppp = ('<?xml version="1.0"?><root><URLBase>http://127.66.0.1:49152/</URLBase>' +
       device('InternetGatewayDevice:1', [service('WANPPPConnection:1', 'upnp/control/WANPPPConn1'),
                                          service('WANIPConnection:1', 'http://127.66.0.1:49153/ipc')]) +
       '</root>')

put('router_answers', 'natpmp-address', [0] + [0, 128, 0, 0] + list(struct.pack('>I', 1234)) + [11, 22, 33, 44])
put('router_answers', 'natpmp-mapped', [0] + [0, 130, 0, 0] + list(struct.pack('>IHHI', 1234, 31903, 31904, 1200)))
put('router_answers', 'natpmp-refused', [0] + [0, 130, 0, 2] + list(struct.pack('>IHHI', 5, 31903, 0, 0)))
put('router_answers', 'ssdp', [1] + list(
    b'HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n'
    b'USN: uuid:3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b::urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n'
    b'EXT:\r\nLOCATION: http://127.77.0.1:5555/rootDesc.xml\r\n\r\n'))
put('router_answers', 'ssdp-lower', [1] + list(b'HTTP/1.1 200 OK\r\nlocation:http://127.66.0.9/desc.xml\r\n\r\n'))
put('router_answers', 'description', [2] + http('200 OK', igd))
put('router_answers', 'description-chunked', [2] + http('200 OK', igd, chunked=True))
put('router_answers', 'description-base', [6] + list(('HTTP/1.0 200 OK\r\n\r\n' + ppp).encode()))
put('router_answers', 'soap-address', [3] + http('200 OK', response(
    'GetExternalIPAddress', [('NewExternalIPAddress', '11.22.33.44')])))
put('router_answers', 'soap-entry', [3] + http('200 OK', response(
    'GetSpecificPortMappingEntry', [('NewInternalPort', '31903'), ('NewInternalClient', '127.77.0.2'),
                                    ('NewEnabled', '1'), ('NewLeaseDuration', '1199')])))
put('router_answers', 'soap-no-such-entry', [3] + http('500 Internal Server Error', fault(714, 'NoSuchEntryInArray')))
put('router_answers', 'soap-permanent-only', [3] + http('500 Internal Server Error', fault(725, 'OnlyPermanentLeasesSupported'),
                                                         chunked=True))


# ---- discovery: [kind] [sender's address, 4 bytes] then the datagram (kind
# even: a query, odd: an answer) ----
def dq(version=1):
    return list(b'LLDQ') + [version]


def da(members, flags, name, version=1, length=None):
    return list(b'LLDA') + [version, members, flags, len(name) if length is None else length] + list(name)


lan = [127, 66, 0, 2]
put('discovery', 'query', [0] + lan + dq())
put('discovery', 'query-long', [0] + lan + dq() + [0])
put('discovery', 'answer-open', [1] + lan + da(2, 0, b'gold'))
put('discovery', 'answer-private', [1] + lan + da(254, 1, b'the back room'))
put('discovery', 'answer-escapes', [1] + lan + da(3, 0, b'\x1b[2Jred\nline\x7f'))
put('discovery', 'answer-short', [1] + lan + da(2, 0, b'gold', length=9))
put('discovery', 'answer-flags', [1] + lan + da(2, 6, b'gold'))

# ---- secure: [mode] (odd: the handshake first), handshake ops (op % 8)
# until op 7, then record ops (op % 8); see secure.cpp ----
def hk_client(which, name, wrong_psk=False, wrong_salt=False):
    return [0, which | (4 if wrong_psk else 0) | (8 if wrong_salt else 0), len(name)] + list(name)


def hk_record(client=0, stale=False, length=0):
    return [2, client | (0x40 if stale else 0) | (0x38 if length else 0)]


def hk_feed(n=0):
    return [6, n]


def rc_seal(length, hold=False):
    op = 1 if hold else 0
    if length < 48:
        return [op, length]
    if length < 4048:
        return [op, 192] + word(length - 48)
    return [op, 250, 16384 - length]


def rc_deliver(n):
    return [7] + word(n | 0x8000 if n >= 64 else n)


hello = hk_client(0, b'alice') + hk_feed() * 2 + hk_record() + hk_feed() * 2
put('secure', 'conversation', [1] + hello + hk_record() + [7] + rc_seal(5) + rc_seal(300) + rc_deliver(9) +
    rc_deliver(400) + rc_seal(0) + rc_seal(16384) + rc_deliver(20000) + rc_seal(3))
put('secure', 'handshake-bytewise', [1] + hk_client(1, b'b' * 63) + hk_feed(1) * 130 + hk_record(0) +
    hk_feed(1) * 20 + [7] + rc_seal(1) + rc_deliver(1) * 25)
put('secure', 'records-split', [0] + rc_seal(40) + rc_seal(4000) + rc_seal(12) + rc_deliver(1) +
    rc_deliver(2) + rc_deliver(63) + rc_deliver(5000) + rc_seal(0) + rc_deliver(17) + rc_deliver(1))
put('secure', 'wrong-secret', [1] + hk_client(0, b'mallory', wrong_psk=True) + hk_feed() + hk_record() + [7])
put('secure', 'wrong-greeting', [1] + hk_client(2, b'eve', wrong_salt=True) + hk_feed() + [7])
put('secure', 'replayed-record', [1] + hk_client(0, b'bob') + hk_feed() * 2 + hk_record(0, stale=True) + [7])
put('secure', 'two-clients', [1] + hk_client(0, b'carol') + hk_client(3, b'dave') + [1, 0] + hk_feed() * 2 +
    hk_record(1) + hk_record(0) + [7])
put('secure', 'first-record-not-empty', [1] + hk_client(0, b'alice') + hk_feed() * 2 + hk_record(length=1) + [7])
put('secure', 'garbage', [1, 3, 50] + list(b'\x00\x30' + b'\x17' * 48) + hk_feed(40) + [7])
put('secure', 'piece-too-big', [1] + hk_client(0, b'zed') + hk_feed(5) + [6, 255, 9])
put('secure', 'name-with-zero', [1] + hk_client(1, b'ab\x00cd') + hk_feed() + [7])
put('secure', 'reordered', [0] + rc_seal(10) + rc_seal(11, hold=True) + rc_seal(12) + [2] + rc_deliver(200))
put('secure', 'replayed', [0] + rc_seal(10) + rc_seal(10) + rc_deliver(100) + [3, 1] + rc_deliver(100))
put('secure', 'flipped', [0] + rc_seal(30) + rc_seal(30) + [4] + word(40) + [0x80] + rc_deliver(60) + rc_deliver(60))
put('secure', 'cut', [0] + rc_seal(30) + [5] + word(3) + rc_seal(30) + rc_deliver(100))
put('secure', 'bad-length', [0] + rc_seal(8) + [6, 2, 0, 3] + rc_seal(8) + rc_deliver(100))
put('secure', 'leftover-after-first-record', [1] + hk_client(0, b'frank') + hk_feed() * 2 + hk_record() +
    hk_record(length=1) + hk_record() + [7] + rc_deliver(3) + rc_seal(7) + rc_deliver(100))


# ---- stun: [kind % 3] then the input (0 one message, 1 a TCP stream in pieces each led by its
# length, 2 a HOST[:PORT] text); the messages are coturn 4.6.1's own answers to a lobby host ----
TURN_ANSWERS = {name: bytes.fromhex(answer) for name, answer in [
    ('unauthorized', '011300582112a4420101010101010101010101010009001000000401556e617574686f72697a656400150010313834613866343132336265303362640014000a6c6f6262792e74657374000080220014436f7475726e2d342e362e312027476f727374278028000446b3de57'),
    ('allocated', '010300582112a442020202020202020202020202001600080001ff565e12a4430020000800018cb45e12a443000d00040000025880220014436f7475726e2d342e362e312027476f7273742700080014603f805490f0c44ca985068f9a20640f6fcdce42802800042320049a'),
    ('attempt', '001c00342112a442cf0992269ab562203a14d72e002a0004551dfb00001200080001e1e25e12a44380220014436f7475726e2d342e362e312027476f7273742780280004fa7073d7'),
    ('bound-with-data', '010b00382112a44203030303030303030303030380220014436f7475726e2d342e362e312027476f7273742700080014079cbfef578ccd5fe6dbfe12df8aa2894648debb802800047e59861c68656c6c6f'),
    ('stale-nonce', '011400582112a44204040404040404040404040400090010000004265374616c65206e6f6e63650000150010343265336239623835653666343434380014000a6c6f6262792e74657374000080220014436f7475726e2d342e362e312027476f727374278028000441d17242'),
    ('refreshed', '010400402112a442050505050505050505050505000d00040000025880220014436f7475726e2d342e362e312027476f7273742700080014c41577260d8eb2678a40f599744f9df4064021ff80280004ec2853b0'),
]}
for name, answer in TURN_ANSWERS.items():
    put('stun', name, [0] + list(answer))


def pieces(data, size):
    return [b for i in range(0, len(data), size) for b in [len(data[i:i + size])] + list(data[i:i + size])]


put('stun', 'control-stream', [1] + pieces(TURN_ANSWERS['unauthorized'] + TURN_ANSWERS['allocated'] +
                                          TURN_ANSWERS['attempt'], 7))
put('stun', 'bound-then-player', [1] + pieces(TURN_ANSWERS['bound-with-data'], 64))
put('stun', 'not-stun', [1] + pieces(TURN_ANSWERS['refreshed'] + b'GET / HTTP/1.1\r\n', 33))
for text in ['relay.example:3478', '[::1]:5349', '[fe80::1%eth0]', '127.90.0.1', '2001:db8::7']:
    put('stun', 'host-' + ''.join(c if c.isalnum() else '_' for c in text), [2] + list(text.encode()))
