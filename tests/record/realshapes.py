#!/usr/bin/env python3
"""A loopback proxy in front of the simulator that answers with the shapes real servers send.

usage: realshapes.py SIM_URL MODES OUT_FILE    (MODES: a comma list; the proxy's URL goes to OUT_FILE)

real: the answers that the simulator shapes otherwise are changed to what real servers sent
  (see shared/real-server-shapes.md): a tenant's OrgVdcRecord has orgName and no org href, and at 34.0 links
  its provider VDC in the admin API; a tenant's UserRecord has no org href either; the Session carries the
  org name in AuthorizedLocations and AuthContext and in an api-explorer link; an AdminOrg links its SAML
  metadata under /login/org/{org name}/; a Vm and the vApp that nests it carry an ovfenv:Environment whose
  ve:vCenterId is the VM's moref, beside the VCloudExtension's MoRef. The Session also carries
  ShapeProbes: a signed and a negative number, durations, media types, a bare uuid, an IPv4 and a MAC
  address, and a link whose path holds a one-letter-prefixed uuid.
  Shapes that depend on the API version the request asks for: at 33.0 a tenant's OrgVdcRecord has a number
  for allocationModel, a status name, a networkPool href into the admin extension and the task attributes,
  and a VApp carries a lower-case autoNature element; at 34.0 and 35.0 the tenant's OrgVdcRecord links its
  provider VDC in the admin API; from 34.0 a Vm's root says encrypted="false" and each session Location
  names the server's highest API version; at 36.0 the tenant's OrgVdcRecord starts with name, description,
  computeProviderScope and networkProviderScope and adds memoryOverheadMB.
canary: as real, and a unique canary ("Canary-N") is planted in every value that names something:
  a fooBar attribute on every element of every answer, a siteTag on every root, a section that no table
  knows in every Vm (with text beside its element, and a comment), and every attribute value and text of the Vm, vApp and AdminOrg documents and of the
  Session's additions (namespace declarations, xsi:type and metadata keys aside: they are the shape).
short: every records page of adminVM announces one record more than the query holds, and the page after
  the last one is an empty records page (as servers answer it) rather than the simulator's 400.
shrink: from page 2 on, every records page of adminVM announces one record less than page 1 did.
Every AdminOrg also carries a secret, as an attribute (clientSecret) and as an element (OAuthSecret).
"""
import http.client
import http.server
import itertools
import re
import socketserver
import sys
import threading
import urllib.parse

sim_url, modes, out_file = sys.argv[1].rstrip('/'), sys.argv[2].split(','), sys.argv[3]
mode = 'canary' if 'canary' in modes else 'real'
SECRET = 'Zq4-secret-value-7731'

sim = urllib.parse.urlsplit(sim_url)
counter = itertools.count(1)
announced = [0]   # the total that the last adminVM page announced
lock = threading.Lock()


def canary():
    with lock:
        return 'Canary-%04d' % next(counter)


def canary_url(v):
    """The URL on a canary host, with canaries in its query: its path (and so the id it leads to) stays."""
    parts = urllib.parse.urlsplit(v.decode())
    query = (parts.query + '&amp;' if parts.query else '') + 'filter=name==%s&amp;sortAsc=%s&amp;x=%s' % (canary(), canary(), canary())
    return 'https://%s.example.com%s?%s' % (canary().lower(), parts.path, query)


START_TAG = re.compile(rb'<([A-Za-z_][\w.-]*:)?([A-Za-z_][\w.-]*)((?:\s+[^<>]*?)?)(/?)>', re.S)
ATTR = re.compile(rb'(\s)([\w:.-]+)="([^"]*)"')
TEXT = re.compile(rb'>([^<]+)<')


def plant_everywhere(body):
    """Replaces every attribute value and text that is not shape with a canary."""
    def attr(m):
        name = m.group(2)
        if name.startswith(b'xmlns') or name == b'xsi:type':
            return m.group(0)
        v = canary_url(m.group(3)) if m.group(3).startswith(b'http') else canary()
        return m.group(1) + name + b'="' + v.encode() + b'"'

    def tag(m):
        return b'<' + (m.group(1) or b'') + m.group(2) + ATTR.sub(attr, m.group(3)) + m.group(4) + b'>'

    body = START_TAG.sub(tag, body)

    def text(m):
        t = m.group(1)
        if not t.strip():
            return m.group(0)
        # a metadata key is the shape of the entry; the value after it is planted
        return b'>' + canary().encode() + b'<'
    parts = re.split(rb'(<(?:\w+:)?Key>[^<]*</(?:\w+:)?Key>)', body)
    return b''.join(p if re.match(rb'<(?:\w+:)?Key>', p) else TEXT.sub(text, p) for p in parts)


def plant_attributes(body):
    """A fooBar attribute that no table knows on every element, a siteTag on the root."""
    first = [True]

    def tag(m):
        if m.group(0).startswith(b'<?'):
            return m.group(0)
        extra = b' fooBar="' + canary().encode() + b'"'
        if first[0]:
            first[0] = False
            extra += b' siteTag="' + canary().encode() + b'"'
        return b'<' + (m.group(1) or b'') + m.group(2) + m.group(3) + extra + m.group(4) + b'>'
    return START_TAG.sub(tag, body)


OVFENV = ('<ovfenv:Environment xmlns:ovfenv="http://schemas.dmtf.org/ovf/environment/1" '
          'xmlns:ve="http://www.vmware.com/schema/ovfenv" ovfenv:id="" ve:vCenterId="{moref}">'
          '<ovfenv:PlatformSection><ovfenv:Kind>VMware ESXi</ovfenv:Kind><ovfenv:Version>7.0.3</ovfenv:Version>'
          '<ovfenv:Vendor>VMware, Inc.</ovfenv:Vendor><ovfenv:Locale>en</ovfenv:Locale></ovfenv:PlatformSection>'
          '<ovfenv:PropertySection><ovfenv:Property ovfenv:key="vCloud_computerName" ovfenv:value="{name}"/>'
          '</ovfenv:PropertySection><ve:EthernetAdapterSection><ve:Adapter ve:mac="00:50:56:3a:7b:01" '
          've:network="{name}-net" ve:unitNumber="7"/></ve:EthernetAdapterSection></ovfenv:Environment>')


def add_environment(body, canaries):
    """Each Vm that carries a MoRef also gets an ovfenv:Environment naming the same moref."""
    def vm(m):
        block = m.group(0)
        ref = re.search(rb'<(?:\w+:)?MoRef>([^<]+)</', block)
        name = re.search(rb'\sname="([^"]*)"', block)
        if not ref:
            return block
        env = OVFENV.format(moref=ref.group(1).decode(), name=name.group(1).decode() if name else 'vm').encode()
        new = (b'<SomeNewSection>' + canary().encode() + b'<X>' + canary().encode() + b'</X></SomeNewSection><!--' +
               canary().encode() + b'-->') if canaries else b''
        close = m.group(2)
        return block[:len(block) - len(close)] + env + new + close
    return re.sub(rb'<((?:\w+:)?)Vm\b.*?(</\1Vm>)', vm, body, flags=re.S)


def transform(path, query, body, base, version):
    q = urllib.parse.parse_qs(query)
    qtype = q.get('type', [''])[0]
    if path == '/api/query' and qtype == 'orgVdc':
        def rec(m):
            r = m.group(0)
            r = re.sub(rb'\sorg="[^"]*"', b'', r)
            extra = b' taskDetails=" "'
            if version == (33, 0):
                r = re.sub(rb'\sallocationModel="[^"]*"', b' allocationModel="2"', r)
                r = re.sub(rb'\sstatus="[^"]*"', b' status="READY"', r)
                extra += (b' networkPool="' + base.encode() + b'/api/admin/extension/networkPool/2e1c3f4a-5b6c-4d7e-8f90-a1b2c3d4e5f6"'
                          b' pvdcHardwareVersion="vmx-19" task="" taskStatus="" taskStatusName=""')
            if version in ((34, 0), (35, 0)):
                pvdc = base + '/api/admin/providervdc/7d6b0c8a-58a2-4bb6-9bc6-0f1d5e3c4a21'
                extra += b' providerVdc="' + pvdc.encode() + b'" providerVdcName="pvdc-gold" vcName="vc-site"'
            if version >= (36, 0):
                extra = b''   # no task attributes without a task
                # name, description and the scopes first, then the rest as it came, and memoryOverheadMB
                m2 = re.match(rb'(<(?:\w+:)?OrgVdcRecord)(.*?)(/?>)$', r, re.S)
                attrs = m2.group(2)
                first = b''
                for a in (b'name', b'description'):
                    found = re.search(rb'\s' + a + rb'="[^"]*"', attrs)
                    if found:
                        first += found.group(0)
                        attrs = attrs.replace(found.group(0), b'', 1)
                return (m2.group(1) + first + b' computeProviderScope="vc-site" networkProviderScope="nsx-site"' + extra +
                        attrs + b' memoryOverheadMB="0"' + m2.group(3))
            return r.replace(b' name=', extra + b' name=', 1)
        body = re.sub(rb'<(?:\w+:)?OrgVdcRecord\b[^>]*>', rec, body)
    elif path == '/api/query' and qtype == 'user':
        body = re.sub(rb'(<(?:\w+:)?UserRecord\b[^>]*?)\sorg="[^"]*"', rb'\1', body)
    elif path in ('/api/session', '/api/session/'):
        org = re.search(rb'\sorg="([^"]*)"', body).group(1).decode()
        site = canary() if mode == 'canary' else 'site-east'
        extra = ('<Link rel="down" href="{b}/api-explorer/tenant/{o}" type="text/html"/>'
                 '<AuthorizedLocations><Location><LocationId>{u}@{s}</LocationId><SiteName>{site}</SiteName>'
                 '<OrgName>{o}</OrgName><RestApiEndpoint>{b}</RestApiEndpoint><UIEndpoint>{b}</UIEndpoint>'
                 '<AuthContext>{o}</AuthContext>' + ('<ApiVersion>37.3</ApiVersion>' if version >= (34, 0) else '') +
                 '</Location></AuthorizedLocations>'
                 ).format(b=base, o=org, site=site, u='0c5a1b2e-3f4d-4e5f-8a9b-0c1d2e3f4a5b', s='1d6b2c3f-4a5e-4f60-9bac-1d2e3f4a5b6c')
        if mode == 'real':
            # values at the borders of the scrubber's rules: kept by their kind, or replaced by a pseudonym of it
            extra += ('<ShapeProbes><Signed>+12</Signed><Negative>-12</Negative><Past>-P1D</Past><Span>PT5M</Span>'
                      '<Media>text/xml</Media><Media>application/json</Media><Id>0f1d5e3c-58a2-4bb6-9bc6-7d6b0c8a4a21</Id>'
                      '<Address>192.168.7.9</Address><Mac>00:50:56:aa:bb:cc</Mac>'
                      '<Link rel="down" href="{b}/api/vApp/a-1e2d3c4b-5a69-4788-9a0b-1c2d3e4f5a6b" type="text/html"/>'
                      '</ShapeProbes>').format(b=base)
        if mode == 'canary':
            # and a moref that has the form of a pseudonym: no other moref may get it as its pseudonym
            # and a value that URL-encodes with %26
            extra = plant_everywhere(extra.encode()).decode() + '<SiteTag>vm-900000003</SiteTag><SiteNote>R&amp;D east</SiteNote>'
        body = re.sub(rb'(</(?:\w+:)?Session>)', extra.encode() + rb'\1', body)
    elif path == '/api/query' and qtype == 'adminVM' and ('short' in modes or 'shrink' in modes):
        page = int(q.get('page', ['1'])[0])
        def total(m):
            t = int(m.group(2))
            t = t + 1 if 'short' in modes else t - 1 if page > 1 else t
            return m.group(1) + str(t).encode() + b'"'
        body = re.sub(rb'(<(?:\w+:)?QueryResultRecords\b[^>]*?\stotal=")(\d+)"', total, body, count=1)
        announced[0] = int(re.search(rb'\stotal="(\d+)"', body).group(1))
    elif re.match(r'^/api/admin/org/[^/]+$', path):
        org = re.search(rb'<(?:\w+:)?AdminOrg\b[^>]*\sname="([^"]*)"', body)
        if org:
            link = '<Link rel="down" href="%s/login/org/%s/saml/metadata/alias/vcd" type="text/xml"/>' % (base, org.group(1).decode())
            link += '<OAuthSecret>%s</OAuthSecret>' % SECRET
            body = re.sub(rb'(<(?:\w+:)?AdminOrg\b)([^>]*>)', lambda m: m.group(1) + b' clientSecret="' + SECRET.encode() + b'"' + m.group(2) + link.encode(), body, count=1)
        if mode == 'canary':
            body = plant_everywhere(body)
    elif re.match(r'^/api/vApp/(vm|vapp)-[^/]+$', path):
        body = add_environment(body, mode == 'canary')
        if version >= (34, 0):
            body = re.sub(rb'<((?:\w+:)?)Vm\b', rb'<\1Vm encrypted="false"', body)
        if version == (33, 0) and path.startswith('/api/vApp/vapp-'):
            body = re.sub(rb'(</(?:\w+:)?VApp>)\s*$', rb'<autoNature>false</autoNature>\1', body)
        if mode == 'canary':
            body = plant_everywhere(body)
    if mode == 'canary':
        body = plant_attributes(body)
    return body


def asked_version(accept):
    m = re.search(r'version=(\d+)\.(\d+)', accept)
    return (int(m.group(1)), int(m.group(2))) if m else (0, 0)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, *args):
        pass

    def handle_one(self, method):
        length = int(self.headers.get('Content-Length') or 0)
        data = self.rfile.read(length) if length else None
        conn = http.client.HTTPConnection(sim.hostname, sim.port, timeout=60)
        headers = {k: v for k, v in self.headers.items() if k.lower() not in ('host', 'connection', 'accept-encoding')}
        conn.request(method, self.path, body=data, headers=headers)
        resp = conn.getresponse()
        body = resp.read()
        status, ctype = resp.status, resp.getheader('Content-Type') or ''
        parts = urllib.parse.urlsplit(self.path)
        if 'short' in modes and status == 400 and parts.path == '/api/query' and 'type=adminVM' in parts.query:
            status, ctype = 200, 'application/vnd.vmware.vcloud.query.records+xml;version=38.0'
            body = ('<QueryResultRecords xmlns="http://www.vmware.com/vcloud/v1.5" name="adminVM" total="%d" '
                    'type="application/vnd.vmware.vcloud.query.records+xml"/>' % (announced[0] - 1)).encode()  # the transform adds the one
        base = 'http://%s:%d' % self.server.server_address[:2]
        if body:
            body = body.replace(sim_url.encode(), base.encode())
            if 'xml' in ctype and status == 200 and method == 'GET':
                body = transform(parts.path, parts.query, body, base, asked_version(self.headers.get('Accept') or ctype))
        self.send_response(status)
        for k, v in resp.getheaders():
            if k.lower() in ('content-length', 'transfer-encoding', 'connection', 'content-encoding', 'content-type'):
                continue
            if k.lower() == 'location':
                v = v.replace(sim_url, base)
            self.send_header(k, v)
        if ctype:
            self.send_header('Content-Type', ctype)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        conn.close()

    def do_GET(self):
        self.handle_one('GET')

    def do_POST(self):
        self.handle_one('POST')

    def do_PUT(self):
        self.handle_one('PUT')

    def do_DELETE(self):
        self.handle_one('DELETE')


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


server = Server(('127.0.0.1', 0), Handler)
with open(out_file, 'w') as f:
    f.write('http://127.0.0.1:%d\n' % server.server_address[1])
# Ends with its standard input, like the simulators this test starts.
threading.Thread(target=lambda: (sys.stdin.read(), server.shutdown()), daemon=True).start()
server.serve_forever()
