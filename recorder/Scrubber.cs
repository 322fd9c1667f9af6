// Replaces what could identify a site in recorded answers by consistent pseudonyms. It works by an
// allowlist: every element text and attribute value is replaced, unless it is of a kind that names nothing
// at a site (numbers, booleans, dates, versions, media types, the few fields of the kept-field table); so a
// field that no rule here knows is replaced too. The same original always gets the same pseudonym, in every
// answer, in request paths and in query filters, so references and filters still join up. The shape of each
// document (elements, attributes, namespace declarations and prefixes, order) is kept. Secrets are dropped
// in every mode.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Text;
using System.Text.RegularExpressions;
using System.Xml;
using System.Xml.Linq;

namespace VcbRecord
{
    sealed class Scrubber
    {
        readonly bool exact;
        readonly Dictionary<string, string> map = new Dictionary<string, string>(StringComparer.Ordinal);
        readonly HashSet<string> originals = new HashSet<string>(StringComparer.OrdinalIgnoreCase);
        readonly Dictionary<string, int> counters = new Dictionary<string, int>(StringComparer.Ordinal);
        readonly Dictionary<string, long> kept = new Dictionary<string, long>(StringComparer.Ordinal);
        readonly object gate = new object();

        static readonly Regex Uuid = new Regex(@"^[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}$", RegexOptions.Compiled);
        static readonly Regex PrefixedUuid = new Regex(@"^([a-z][A-Za-z]*)-([0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12})$", RegexOptions.Compiled);
        static readonly Regex Ipv4 = new Regex(@"^(25[0-5]|2[0-4]\d|1?\d?\d)(\.(25[0-5]|2[0-4]\d|1?\d?\d)){3}$", RegexOptions.Compiled);
        static readonly Regex Mac = new Regex(@"^[0-9a-fA-F]{2}([:-][0-9a-fA-F]{2}){5}$", RegexOptions.Compiled);
        static readonly Regex UrlParts = new Regex(@"^(https?)://([^/:?#\s]+)(:\d+)?([^?#]*)(\?[^#]*)?(#.*)?$", RegexOptions.Compiled);
        static readonly Regex Urn = new Regex(@"^urn:vcloud:([A-Za-z]+):(.+)$", RegexOptions.Compiled);
        // A vSphere managed object reference: the kinds that vCenter numbers (vm-50647, domain-c7, group-v3).
        static readonly Regex Moref = new Regex(@"^(vm|host|datastore|resgroup|domain-c|domain-s|group-[a-z]|datacenter|network|dvportgroup|dvs|vapp|folder|cluster|storagePod)-?(\d+)$", RegexOptions.Compiled);
        static readonly Regex FilterTerm = new Regex(@"([A-Za-z][A-Za-z0-9_:@.-]*)(==|!=|=gt=|=ge=|=lt=|=le=)([^;,()]*)", RegexOptions.Compiled);

        // ---- kept by value: kinds that name nothing at a site --------------------------------------------------
        static readonly Regex Number = new Regex(@"^[+-]?\d+(\.\d+)?([eE][+-]?\d+)?$", RegexOptions.Compiled);
        static readonly Regex Version = new Regex(@"^\d+\.\d+(\.\d+){0,2}(-alpha-[0-9A-Za-z.]+)?$", RegexOptions.Compiled);
        static readonly Regex IsoDate = new Regex(@"^\d{4}-\d{2}-\d{2}(T\d{2}:\d{2}(:\d{2}(\.\d{1,9})?)?(Z|[+-]\d{2}:?\d{2})?)?$", RegexOptions.Compiled);
        static readonly Regex Duration = new Regex(@"^-?P(?=\d|T\d)(\d+Y)?(\d+M)?(\d+W)?(\d+D)?(T(?=\d)(\d+H)?(\d+M)?(\d+(\.\d+)?S)?)?$", RegexOptions.Compiled);
        static readonly Regex MediaType = new Regex(@"^(application|text)/(\*|[a-z][A-Za-z0-9.-]*)(\+(xml|json))?(;\s*[a-z]+=[0-9.]+)*$", RegexOptions.Compiled);
        static readonly HashSet<string> KeptWords = new HashSet<string>(StringComparer.Ordinal)
            { "true", "false", "System", "system", "none" };

        // ---- the kept-field table: fields whose values come from a closed set -----------------------------------
        // A keyword of the API (rel="down", "task:cancel", OsType "windows9Server64Guest") or an enumeration
        // (POWERED_ON, VIRTUAL_MACHINE); a value of another shape in such a field is replaced like any other.
        static readonly Regex Keyword = new Regex(@"^[a-z][A-Za-z0-9]*(:[a-z][A-Za-z0-9]*)*$", RegexOptions.Compiled);
        static readonly Regex Enumeration = new Regex(@"^[A-Z][A-Z0-9]*(_[A-Z0-9]+)*$", RegexOptions.Compiled);
        static readonly Regex HardwareVersion = new Regex(@"^vmx-\d+$", RegexOptions.Compiled);
        static readonly Regex ProductVersion = new Regex(@"^\d+(\.\d+)+( [A-Za-z0-9:, ]*)?$", RegexOptions.Compiled);
        static readonly Regex QName = new Regex(@"^([A-Za-z_][A-Za-z0-9_]*:)?[A-Z][A-Za-z0-9]*$", RegexOptions.Compiled);
        static readonly HashSet<string> AccessLevels = new HashSet<string>(StringComparer.Ordinal) { "ReadOnly", "Change", "FullControl", "Custom" };
        static readonly HashSet<string> AllocationModels = new HashSet<string>(StringComparer.Ordinal)
            { "AllocationVApp", "AllocationPool", "ReservationPool", "Flex" };
        // The roles every cloud has; a site's own roles are replaced.
        static readonly HashSet<string> Roles = new HashSet<string>(StringComparer.Ordinal)
            { "System Administrator", "Organization Administrator", "Catalog Author", "vApp Author", "vApp User",
              "Console Access Only", "Defer to Identity Provider", "Organization Auditor", "Multisite System" };

        static bool Word(string v) { return Keyword.IsMatch(v) || Enumeration.IsMatch(v); }
        static bool RoleList(string v) { return v.Split(',').All(r => Roles.Contains(r.Trim())); }

        // field (attribute or element local name) -> which of its values are kept. Documented in the README.
        static readonly Dictionary<string, Func<string, bool>> KeptFields = new Dictionary<string, Func<string, bool>>(StringComparer.Ordinal)
        {
            { "rel", Keyword.IsMatch },
            { "status", Word }, { "taskStatus", Word }, { "taskStatusName", Word }, { "gcStatus", Word }, { "vmToolsStatus", Word },
            { "operationName", Keyword.IsMatch }, { "OsType", Keyword.IsMatch }, { "osType", Keyword.IsMatch },
            { "FenceMode", Keyword.IsMatch }, { "IpAddressAllocationMode", Enumeration.IsMatch }, { "ipAddressAllocationMode", Enumeration.IsMatch },
            { "VimObjectType", Enumeration.IsMatch }, { "Domain", Enumeration.IsMatch }, { "visibility", Enumeration.IsMatch },
            { "identityProviderType", Enumeration.IsMatch }, { "datastoreType", Word }, { "minorErrorCode", Enumeration.IsMatch },
            { "ResourceSubType", Keyword.IsMatch }, { "NetworkAdapterType", Enumeration.IsMatch }, { "AdapterType", Enumeration.IsMatch },
            { "AccessLevel", AccessLevels.Contains }, { "EveryoneAccessLevel", AccessLevels.Contains },
            { "allocationModel", AllocationModels.Contains }, { "AllocationModel", AllocationModels.Contains },
            { "roleNames", RoleList }, { "roles", RoleList },
            { "HardwareVersion", HardwareVersion.IsMatch }, { "VirtualSystemType", HardwareVersion.IsMatch },
        };

        // Path segments that are words of the API, not names: kept in every URL and request path.
        static readonly HashSet<string> PathKeywords = new HashSet<string>(StringComparer.Ordinal)
        {
            "api", "cloudapi", "oauth", "login", "api-explorer", "admin", "extension", "query", "session", "sessions", "versions",
            "org", "orgs", "vdc", "vdcs", "vApp", "vApps", "vAppTemplate", "vdcStorageProfile", "vimServer", "vimServerReferences",
            "providervdc", "providerVdc", "providervdcs", "providerVdcs", "vmwprovidervdc", "datastore", "datastores", "networkPool",
            "networkPools", "metadata", "controlAccess", "owner", "action", "task", "tasksList", "catalog", "catalogs", "catalogItem",
            "media", "network", "networks", "entity", "user", "users", "group", "groups", "role", "roles", "right", "rights", "saml",
            "alias", "vcd", "tenant", "provider", "token", "register", "schema", "extensibility", "vdcReferences", "edgeGateway",
            "edgeGateways", "disk", "disks", "vms", "current", "vdcComputePolicies", "vdcGroups", "sites", "site", "cells",
            "externalNetwork", "externalNetworks", "hostReferences", "host", "resourcePools", "storageProfiles", "upload", "download",
            "ovf", "descriptor.ovf", "SYSTEM", "GENERAL", "lease", "screen", "console", "mksTicket", "ticket", "vmGroups",
        };

        // Query parameters whose values are words of the API (type=adminVM, format=records, sortAsc=name).
        static readonly HashSet<string> KeywordParams = new HashSet<string>(StringComparer.Ordinal)
            { "type", "format", "sortAsc", "sortDesc", "links", "fields" };

        public Scrubber(bool exact) { this.exact = exact; }

        public bool Exact { get { return exact; } }

        // Elements and headers whose values are secrets: dropped whatever the mode.
        public static bool IsSecretName(string local)
        {
            string l = local.ToLowerInvariant();
            return l.EndsWith("password", StringComparison.Ordinal) || l.EndsWith("token", StringComparison.Ordinal)
                || l.EndsWith("cookie", StringComparison.Ordinal) || l.EndsWith("secret", StringComparison.Ordinal)
                || l == "authorization" || l == "x-vcloud-authorization";
        }

        string Pseudonym(string kind, string original, Func<int, string> make)
        {
            lock (gate)
            {
                string key = kind + "\u0001" + original, p;
                if (map.TryGetValue(key, out p)) return p;
                int n;
                counters.TryGetValue(kind, out n);
                // A pseudonym never equals an original seen so far, so that the audit can tell them apart.
                do p = make(++n); while (originals.Contains(p) || string.Equals(p, original, StringComparison.OrdinalIgnoreCase));
                counters[kind] = n;
                map[key] = p;
                originals.Add(original);
                return p;
            }
        }

        string Name(string v)
        {
            return Pseudonym("name", v, n => "name-" + n.ToString("00000", CultureInfo.InvariantCulture));
        }

        public string NameOf(string v) { return exact || KeptByValue(v) ? v : Name(v); }

        string Host(string v)
        {
            return Pseudonym("host", v.ToLowerInvariant(), n => "host-" + n.ToString("00000", CultureInfo.InvariantCulture) + ".example.invalid");
        }

        string UuidOf(string v)
        {
            return Pseudonym("uuid", v.ToLowerInvariant(), n => "5c0ab000-0000-4000-8000-" + n.ToString("x12", CultureInfo.InvariantCulture));
        }

        string Ip(string v)
        {
            return Pseudonym("ip", v, n => string.Format(CultureInfo.InvariantCulture, "10.{0}.{1}.{2}", (n >> 16) & 255, (n >> 8) & 255, n & 255));
        }

        string MacOf(string v)
        {
            return Pseudonym("mac", v.ToLowerInvariant().Replace('-', ':'), n => string.Format(CultureInfo.InvariantCulture,
                "02:00:00:{0:x2}:{1:x2}:{2:x2}", (n >> 16) & 255, (n >> 8) & 255, n & 255));
        }

        // One original moref, one pseudonym, wherever it stands (MoRef, moref, ve:vCenterId, a path). The
        // numbers start at 900000001, far above those of a vCenter, so that a pseudonym is not taken for an
        // original moref of another object.
        public const int MorefBase = 900000000;

        string MorefOf(string v)
        {
            var m = Moref.Match(v);
            if (!m.Success) return Name(v);
            string kind = v.Substring(0, v.Length - m.Groups[2].Length);
            return Pseudonym("moref", v, n => kind + (MorefBase + n).ToString(CultureInfo.InvariantCulture));
        }

        // Each pattern is tried only where the value's first character can start it (a digit or sign for
        // numbers, versions and dates, P or - for durations, a or t for media types): most values are names
        // and hrefs, and the regular expressions are the scrubber's largest cost.
        // A uuid has 36 characters (37 with the line end that a closing $ allows).
        static bool MayBeUuid(string v) { return v.Length == 36 || v.Length == 37; }

        public static bool KeptByValue(string v)
        {
            if (v.Length == 0 || KeptWords.Contains(v)) return true;
            char c = v[0];
            if (char.IsDigit(c) || c == '+' || c == '-')
                if (Number.IsMatch(v) || (Version.IsMatch(v) && !Ipv4.IsMatch(v)) || IsoDate.IsMatch(v)) return true;
            if (c == 'P' || c == '-') return Duration.IsMatch(v);
            return (c == 'a' || c == 't') && MediaType.IsMatch(v);
        }

        static readonly HashSet<string> MorefFields = new HashSet<string>(StringComparer.OrdinalIgnoreCase)
            { "moref", "storageProfileMoref", "vCenterId", "resourcePool", "VmMoref" };

        // Whether the value of this field (an attribute's or a text-only element's local name, on owner) is
        // kept as it is by the kept-field table. Values kept by their kind are decided by KeptByValue.
        public static bool KeptByField(string field, XElement owner, bool isAttribute, string v)
        {
            Func<string, bool> rule;
            if (KeptFields.TryGetValue(field, out rule) && rule(v)) return true;
            string o = owner.Name.LocalName;
            if (!isAttribute && field == "Key" && owner.Parent != null && owner.Parent.Name.LocalName == "MetadataEntry") return true;
            if (isAttribute && field == "name" && Keyword.IsMatch(v) && IsQueryTypeHolder(owner)) return true;
            if (!isAttribute && field == "Description" && owner.Parent == null && o == "VCloud" && ProductVersion.IsMatch(v)) return true;
            if (!isAttribute && field == "Name" && owner.Parent != null && owner.Parent.Name.LocalName == "Role" && RoleList(v)) return true;
            if (isAttribute && field == "name" && o == "Role" && RoleList(v)) return true;
            return false;
        }

        // Query pages and the query list name query types; so do links to query pages.
        static bool IsQueryTypeHolder(XElement e)
        {
            string l = e.Name.LocalName;
            if (l == "QueryResultRecords" || l == "QueryResultReferences" || l == "QueryList") return true;
            string type = (string)e.Attribute("type") ?? "", href = (string)e.Attribute("href") ?? "";
            return type.Contains(".query.") || href.Contains("/api/query");
        }

        // An xsi:type names a type of the schema: it is the shape, kept when it has the form of a type name.
        public static bool KeptXsiType(XAttribute a)
        {
            return a.Name.LocalName == "type" && a.Name.NamespaceName == "http://www.w3.org/2001/XMLSchema-instance" && QName.IsMatch(a.Value);
        }

        // One value of an attribute or a text node, by its field's local name and its element.
        string Value(string field, XElement owner, bool isAttribute, string v, HashSet<string> namespaces)
        {
            if (KeptByValue(v) || namespaces.Contains(v)) return v;
            if (KeptByField(field, owner, isAttribute, v)) { Count("kept " + field); return v; }
            return Free(field, v);
        }

        void Count(string what)
        {
            lock (gate) { long c; kept.TryGetValue(what, out c); kept[what] = c + 1; }
        }

        // A value that no keep rule covers: replaced, whole, by a pseudonym of its kind; URLs and URNs part by
        // part, so that they still lead where their originals led.
        string Free(string field, string v)
        {
            if (KeptByValue(v)) return v;
            // Each pattern is tried only where the value can have its form (its start or its length).
            if (v.StartsWith("http", StringComparison.Ordinal))
            {
                var m = UrlParts.Match(v);
                if (m.Success) return Url(m);
            }
            if (v.StartsWith("/", StringComparison.Ordinal) && (v.StartsWith("/api/", StringComparison.Ordinal) || v.StartsWith("/cloudapi/", StringComparison.Ordinal)))
                return Path(v);
            if (v.StartsWith("urn:vcloud:", StringComparison.Ordinal))
            {
                var urn = Urn.Match(v);
                if (urn.Success)
                    return "urn:vcloud:" + (Keyword.IsMatch(urn.Groups[1].Value) ? urn.Groups[1].Value : Name(urn.Groups[1].Value)) + ":" + Segment(urn.Groups[2].Value, false);
            }
            if (MayBeUuid(v) && Uuid.IsMatch(v)) return UuidOf(v);
            if (char.IsDigit(v[0]) && Ipv4.IsMatch(v)) return Ip(v);
            if ((v.Length == 17 || v.Length == 18) && Mac.IsMatch(v)) return MacOf(v);
            if (Moref.IsMatch(v) || MorefFields.Contains(field)) return MorefOf(v);
            return Name(v);
        }

        // An absolute URL: the host and every part of the path and query that is not a word of the API.
        string Url(Match m)
        {
            return m.Groups[1].Value + "://" + Host(m.Groups[2].Value) + m.Groups[3].Value + Path(m.Groups[4].Value + m.Groups[5].Value) + Fragment(m.Groups[6].Value);
        }

        string Fragment(string f) { return f.Length <= 1 ? f : "#" + Name(f.Substring(1)); }

        // A segment's pseudonym depends on the segment alone (an original keeps its pseudonym), and the same
        // segments (api, vApp, an object's id) stand in many hrefs: their results are kept, up to a bound.
        readonly System.Collections.Concurrent.ConcurrentDictionary<string, string> segments =
            new System.Collections.Concurrent.ConcurrentDictionary<string, string>(StringComparer.Ordinal);
        const int SegmentsKept = 1000000;

        // Once every answer is scrubbed the kept segments are of no more use; the audit that follows needs the
        // memory for the originals it searches.
        public void ForgetSegments() { segments.Clear(); }

        string Segment(string seg, bool afterMetadata)
        {
            if (afterMetadata) return seg;
            string done;
            if (segments.TryGetValue(seg, out done)) return done;
            done = SegmentOf(seg);
            if (segments.Count < SegmentsKept) segments.TryAdd(seg, done);
            return done;
        }

        string SegmentOf(string seg)
        {
            string raw = seg;
            try { seg = Uri.UnescapeDataString(seg); } catch (UriFormatException) { }
            if (seg.Length == 0 || PathKeywords.Contains(seg) || KeptByValue(seg)) return raw;
            if (seg.Length >= 38)
            {
                var pu = PrefixedUuid.Match(seg);
                if (pu.Success) return pu.Groups[1].Value + "-" + UuidOf(pu.Groups[2].Value);
            }
            if (MayBeUuid(seg) && Uuid.IsMatch(seg)) return UuidOf(seg);
            if (seg.EndsWith("Section", StringComparison.Ordinal) && Keyword.IsMatch(seg)) return raw;
            if (Moref.IsMatch(seg)) return MorefOf(seg);
            return Uri.EscapeDataString(Name(seg));
        }

        // A request path with its query: ids, names and hosts in the path, and the values that filters
        // compare against.
        public string Path(string pathAndQuery)
        {
            if (exact) return pathAndQuery;
            int q = pathAndQuery.IndexOf('?');
            string path = q < 0 ? pathAndQuery : pathAndQuery.Substring(0, q);
            var segs = path.Split('/');
            for (int i = 0; i < segs.Length; i++)
            {
                bool afterAction = i > 0 && segs[i - 1] == "action" && Keyword.IsMatch(segs[i]);
                segs[i] = afterAction ? segs[i] : Segment(segs[i], i > 0 && segs[i - 1] == "metadata");
            }
            path = string.Join("/", segs);
            if (q < 0) return path;
            var parts = pathAndQuery.Substring(q + 1).Split('&');
            for (int i = 0; i < parts.Length; i++)
            {
                int eq = parts[i].IndexOf('=');
                if (eq < 0) continue;
                string key = parts[i].Substring(0, eq), val;
                try { val = Uri.UnescapeDataString(parts[i].Substring(eq + 1).Replace('+', ' ')); }
                catch (UriFormatException) { val = parts[i].Substring(eq + 1); }
                if (key == "filter") val = Filter(val);
                else if (KeywordParams.Contains(key) && val.Split(',').All(Keyword.IsMatch)) { }   // type=adminVM: kept
                else val = Free(key, val);
                parts[i] = key + "=" + Uri.EscapeDataString(val);
            }
            return path + "?" + string.Join("&", parts);
        }

        // Free text outside documents (the index's base): the URL rule.
        public string Text(string v)
        {
            if (exact || string.IsNullOrEmpty(v)) return v;
            return Free("", v);
        }

        string Filter(string f)
        {
            return FilterTerm.Replace(f, m => m.Groups[1].Value + m.Groups[2].Value + Free(m.Groups[1].Value, m.Groups[3].Value));
        }

        // The body of an answer, secrets removed and (unless exact) every value that no keep rule covers
        // replaced. Bodies that are not XML are refused by the caller before they get here.
        public byte[] Body(byte[] body)
        {
            XDocument doc;
            using (var reader = XmlReader.Create(new MemoryStream(body), new XmlReaderSettings { DtdProcessing = DtdProcessing.Prohibit }))
                doc = XDocument.Load(reader, LoadOptions.PreserveWhitespace);
            bool changed = false;
            var namespaces = new HashSet<string>(doc.Descendants().SelectMany(e => e.Attributes()).Where(a => a.IsNamespaceDeclaration).Select(a => a.Value), StringComparer.Ordinal);
            foreach (var e in doc.Descendants().ToList())
            {
                bool secret = IsSecretName(e.Name.LocalName);
                foreach (var a in e.Attributes().ToList())
                {
                    if (a.IsNamespaceDeclaration) continue;
                    string nv;
                    if (IsSecretName(a.Name.LocalName)) nv = "";
                    else if (exact) continue;
                    else if (KeptXsiType(a)) { Count("kept xsi:type"); continue; }
                    else nv = Value(a.Name.LocalName, e, true, a.Value, namespaces);
                    if (nv != a.Value) { a.Value = nv; changed = true; }
                }
                foreach (var t in e.Nodes().OfType<XText>().ToList())
                {
                    string nv;
                    if (secret) nv = "";
                    else if (exact || string.IsNullOrWhiteSpace(t.Value)) continue;
                    else nv = Value(e.Name.LocalName, e, false, t.Value, namespaces);
                    if (nv != t.Value) { t.Value = nv; changed = true; }
                }
            }
            if (!exact)
                foreach (var c in doc.DescendantNodes().OfType<XComment>().ToList())
                    if (c.Value.Length > 0) { c.Value = ""; changed = true; }
            if (!changed) return body;
            var ms = new MemoryStream();
            using (var w = XmlWriter.Create(ms, new XmlWriterSettings { Encoding = new UTF8Encoding(false), OmitXmlDeclaration = doc.Declaration == null }))
                doc.Save(w);
            return ms.ToArray();
        }

        // ---- what the audit and the index need --------------------------------------------------------------

        // Every replaced original with its kind and pseudonym.
        public List<MapEntry> Entries()
        {
            var list = new List<MapEntry>();
            lock (gate)
                foreach (var kv in map)
                {
                    int sep = kv.Key.IndexOf('\u0001');
                    list.Add(new MapEntry { Kind = kv.Key.Substring(0, sep), Original = kv.Key.Substring(sep + 1), Pseudonym = kv.Value });
                }
            return list;
        }

        // "host=2 ip=9 ..." and "rel=3412 status=880 ...": what was replaced and what was kept, by kind.
        public string PseudonymSummary()
        {
            lock (gate) return string.Join(" ", counters.OrderBy(k => k.Key, StringComparer.Ordinal).Select(k => k.Key + "=" + k.Value));
        }

        public string KeptSummary()
        {
            lock (gate)
                return string.Join(" ", kept.OrderBy(k => k.Key, StringComparer.Ordinal).Select(k => k.Key.Substring(5) + "=" + k.Value));
        }

        // pseudonym<TAB>original, one a line, sorted: the table for the people who support the agent.
        public void WriteMap(string path)
        {
            var lines = Entries().Select(e => e.Pseudonym + "\t" + e.Original).ToList();
            lines.Sort(StringComparer.Ordinal);
            using (var f = new FileStream(path, FileMode.Create, FileAccess.Write, FileShare.None))
            {
                try { Mono.Unix.Native.Syscall.chmod(path, Mono.Unix.Native.FilePermissions.S_IRUSR | Mono.Unix.Native.FilePermissions.S_IWUSR); }
                catch (Exception) { }
                var bytes = new UTF8Encoding(false).GetBytes(string.Join("\n", lines) + "\n");
                f.Write(bytes, 0, bytes.Length);
            }
        }

        // The parts of a recorded value that the scrubber would have replaced, for the audit: nothing for a
        // kept value; the host and the non-keyword parts of a URL or path; the whole value otherwise.
        public static IEnumerable<string> Exposed(string field, XElement owner, bool isAttribute, string v, HashSet<string> namespaces)
        {
            if (KeptByValue(v) || namespaces.Contains(v)) yield break;
            if (owner != null && KeptByField(field, owner, isAttribute, v)) yield break;
            var m = UrlParts.Match(v);
            if (m.Success)
            {
                yield return m.Groups[2].Value;
                foreach (var p in ExposedPath(m.Groups[4].Value + m.Groups[5].Value)) yield return p;
                if (m.Groups[6].Length > 1) yield return m.Groups[6].Value.Substring(1);
                yield break;
            }
            if (v.StartsWith("/api/", StringComparison.Ordinal) || v.StartsWith("/cloudapi/", StringComparison.Ordinal))
            {
                foreach (var p in ExposedPath(v)) yield return p;
                yield break;
            }
            var urn = Urn.Match(v);
            if (urn.Success)
            {
                if (!Keyword.IsMatch(urn.Groups[1].Value)) yield return urn.Groups[1].Value;
                yield return urn.Groups[2].Value;
                yield break;
            }
            yield return v;
        }

        public static IEnumerable<string> ExposedPath(string pathAndQuery)
        {
            int q = pathAndQuery.IndexOf('?');
            var segs = (q < 0 ? pathAndQuery : pathAndQuery.Substring(0, q)).Split('/');
            for (int i = 0; i < segs.Length; i++)
            {
                string seg = segs[i];
                try { seg = Uri.UnescapeDataString(seg); } catch (UriFormatException) { }
                if (seg.Length == 0 || PathKeywords.Contains(seg) || KeptByValue(seg)) continue;
                if (i > 0 && (segs[i - 1] == "metadata" || (segs[i - 1] == "action" && Keyword.IsMatch(seg)))) continue;
                if (seg.EndsWith("Section", StringComparison.Ordinal) && Keyword.IsMatch(seg)) continue;
                var pu = PrefixedUuid.Match(seg);
                yield return pu.Success ? pu.Groups[2].Value : seg;
            }
            if (q < 0) yield break;
            foreach (string part in pathAndQuery.Substring(q + 1).Split('&'))
            {
                int eq = part.IndexOf('=');
                if (eq < 0) continue;
                string key = part.Substring(0, eq), val;
                try { val = Uri.UnescapeDataString(part.Substring(eq + 1).Replace('+', ' ')); }
                catch (UriFormatException) { val = part.Substring(eq + 1); }
                if (key == "filter")
                {
                    foreach (Match t in FilterTerm.Matches(val))
                        foreach (var p in Exposed(t.Groups[1].Value, null, true, t.Groups[3].Value, NoNamespaces)) yield return p;
                }
                else if (KeywordParams.Contains(key) && val.Split(',').All(Keyword.IsMatch)) { }
                else foreach (var p in Exposed(key, null, true, val, NoNamespaces)) yield return p;
            }
        }

        public static readonly HashSet<string> NoNamespaces = new HashSet<string>();
    }

    sealed class MapEntry
    {
        public string Kind, Original, Pseudonym;
    }
}
