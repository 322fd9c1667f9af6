// Replaces what identifies a site in recorded answers by consistent pseudonyms: the same original always
// gets the same pseudonym, in every answer and in request paths, so references and query filters still
// join up. The shape of each document (elements, attributes, namespace declarations and prefixes, order)
// is kept; only values change. Secrets are dropped in every mode.
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
        readonly Dictionary<string, int> counters = new Dictionary<string, int>(StringComparer.Ordinal);
        readonly object gate = new object();

        static readonly Regex Uuid = new Regex(@"\b[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}\b", RegexOptions.Compiled);
        static readonly Regex Ipv4 = new Regex(@"(?<![\d.])(25[0-5]|2[0-4]\d|1?\d?\d)(\.(25[0-5]|2[0-4]\d|1?\d?\d)){3}(?![\d.])", RegexOptions.Compiled);
        static readonly Regex Mac = new Regex(@"\b[0-9a-fA-F]{2}(:[0-9a-fA-F]{2}){5}\b", RegexOptions.Compiled);
        static readonly Regex Url = new Regex(@"\b(https?)://([^/\s:""'<>?#]+)(:\d+)?", RegexOptions.Compiled);
        static readonly Regex Moref = new Regex(@"^([a-zA-Z]+-)(\d+)$", RegexOptions.Compiled);
        static readonly Regex FilterTerm = new Regex(@"([A-Za-z][A-Za-z0-9_:@.-]*)(==|!=|=gt=|=ge=|=lt=|=le=)([^;,()]*)", RegexOptions.Compiled);

        // Values that name nothing at a site and that clients compare against: kept as they are.
        static readonly HashSet<string> KeepValues = new HashSet<string>(StringComparer.Ordinal)
            { "", "none", "system", "System", "true", "false" };
        // Attributes and elements ending in "name" that hold a kind of thing, not a site's name.
        static readonly HashSet<string> NotNames = new HashSet<string>(StringComparer.OrdinalIgnoreCase)
            { "operationName", "typeName", "roleNames", "serviceNamespace", "objectTypeName" };
        static readonly HashSet<string> NameLike = new HashSet<string>(StringComparer.OrdinalIgnoreCase)
            { "description", "computerName", "emailAddress", "email", "user", "userName", "fullName", "vmNameInVc",
              "subject", "hostName", "displayName", "Value", "NameInSource", "VirtualSystemIdentifier", "vappScopedLocalId",
              "VAppScopedLocalId", "Connection", "network", "UserName", "Url", "url" };
        static readonly HashSet<string> MorefLike = new HashSet<string>(StringComparer.OrdinalIgnoreCase)
            { "moref", "MoRef", "storageProfileMoref", "resourcePool" };

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
                counters[kind] = ++n;
                p = make(n);
                map[key] = p;
                return p;
            }
        }

        string Name(string v)
        {
            if (KeepValues.Contains(v)) return v;
            return Pseudonym("name", v, n => "name-" + n.ToString("00000", CultureInfo.InvariantCulture));
        }

        public string NameOf(string v) { return exact ? v : Name(v); }

        string Host(string v)
        {
            return Pseudonym("host", v.ToLowerInvariant(), n => "host-" + n.ToString("00000", CultureInfo.InvariantCulture) + ".example.invalid");
        }

        string UuidOf(string v)
        {
            return Pseudonym("uuid", v.ToLowerInvariant(), n => "5c0ab000-0000-4000-8000-" + n.ToString("x12", CultureInfo.InvariantCulture));
        }

        // Free text: URLs' hosts, uuids, IPv4 and MAC addresses.
        public string Text(string v)
        {
            if (exact || string.IsNullOrEmpty(v)) return v;
            v = Url.Replace(v, m => m.Groups[1].Value + "://" + Host(m.Groups[2].Value) + m.Groups[3].Value);
            v = Uuid.Replace(v, m => UuidOf(m.Value));
            v = Mac.Replace(v, m => Pseudonym("mac", m.Value.ToLowerInvariant(), n => string.Format(CultureInfo.InvariantCulture,
                "02:00:00:{0:x2}:{1:x2}:{2:x2}", (n >> 16) & 255, (n >> 8) & 255, n & 255)));
            v = Ipv4.Replace(v, m => m.Value.StartsWith("255.", StringComparison.Ordinal) || m.Value == "0.0.0.0"
                ? m.Value
                : Pseudonym("ip", m.Value, n => string.Format(CultureInfo.InvariantCulture, "10.{0}.{1}.{2}", (n >> 16) & 255, (n >> 8) & 255, n & 255)));
            return v;
        }

        // A request path with its query: ids and hosts, and the names that filters compare against.
        public string Path(string pathAndQuery)
        {
            if (exact) return pathAndQuery;
            int q = pathAndQuery.IndexOf('?');
            if (q < 0) return Text(pathAndQuery);
            var parts = pathAndQuery.Substring(q + 1).Split('&');
            for (int i = 0; i < parts.Length; i++)
            {
                int eq = parts[i].IndexOf('=');
                if (eq < 0) continue;
                string key = parts[i].Substring(0, eq), val = Uri.UnescapeDataString(parts[i].Substring(eq + 1).Replace('+', ' '));
                if (key == "filter") val = Filter(val);
                else val = Text(val);
                parts[i] = key + "=" + Uri.EscapeDataString(val);
            }
            return Text(pathAndQuery.Substring(0, q)) + "?" + string.Join("&", parts);
        }

        string Filter(string f)
        {
            return FilterTerm.Replace(f, m =>
            {
                string key = m.Groups[1].Value, val = m.Groups[3].Value;
                return key + m.Groups[2].Value + (IsNameKey(key) ? Name(val) : Text(val));
            });
        }

        static bool IsNameKey(string local)
        {
            if (NotNames.Contains(local)) return false;
            return local.EndsWith("name", StringComparison.OrdinalIgnoreCase) || NameLike.Contains(local);
        }

        // One value of an attribute or a text-only element, by its local name and its element.
        string Value(string local, XElement owner, string v)
        {
            if (v.Length == 0) return v;
            if (MorefLike.Contains(local))
            {
                var m = Moref.Match(v);
                return m.Success ? Pseudonym("moref", v, n => m.Groups[1].Value + (1000 + n).ToString(CultureInfo.InvariantCulture)) : Name(v);
            }
            if (v.StartsWith("http://", StringComparison.Ordinal) || v.StartsWith("https://", StringComparison.Ordinal))
                return UrlValue(v);
            if (local == "name" && KeepsName(owner)) return v;
            if (local == "Value" && !IsStringMetadata(owner)) return Text(v);
            if (IsNameKey(local)) return Name(v);
            if (local == "message") return v;
            return Text(v);
        }

        string UrlValue(string v)
        {
            int q = v.IndexOf('?');
            return q < 0 ? Text(v) : Text(v.Substring(0, q)) + Path(v.Substring(q)).Substring(0);
        }

        // Names of query types and of the query pages themselves are kinds, not names.
        static bool KeepsName(XElement e)
        {
            string l = e.Name.LocalName;
            if (l == "QueryResultRecords" || l == "QueryList" || l == "VersionInfo" || l == "MetadataEntry") return true;
            string type = (string)e.Attribute("type") ?? "", href = (string)e.Attribute("href") ?? "";
            return type.Contains(".query.") || href.Contains("/api/query");
        }

        static bool IsStringMetadata(XElement value)
        {
            var typed = value.Parent;
            if (typed == null) return false;
            foreach (var a in typed.Attributes())
                if (a.Name.LocalName == "type" && a.Value.EndsWith("MetadataStringValue", StringComparison.Ordinal)) return true;
            return false;
        }

        // The body of an answer, secrets removed and (unless exact) identifying values replaced. Bodies that
        // are not XML are refused by the caller before they get here.
        public byte[] Body(byte[] body)
        {
            XDocument doc;
            using (var reader = XmlReader.Create(new MemoryStream(body), new XmlReaderSettings { DtdProcessing = DtdProcessing.Prohibit }))
                doc = XDocument.Load(reader, LoadOptions.PreserveWhitespace);
            bool changed = false;
            foreach (var e in doc.Descendants().ToList())
            {
                if (IsSecretName(e.Name.LocalName) && !e.HasElements)
                {
                    if (e.Value.Length > 0) { e.Value = ""; changed = true; }
                    continue;
                }
                foreach (var a in e.Attributes().ToList())
                {
                    if (a.IsNamespaceDeclaration) continue;
                    string l = a.Name.LocalName;
                    if (IsSecretName(l)) { a.Value = ""; changed = true; continue; }
                    if (exact || l == "type" || l == "rel") continue;
                    string nv = Value(l, e, a.Value);
                    if (nv != a.Value) { a.Value = nv; changed = true; }
                }
                if (!exact && !e.HasElements && e.Value.Length > 0)
                {
                    string nv = Value(e.Name.LocalName, e, e.Value);
                    if (nv != e.Value) { e.Value = nv; changed = true; }
                }
            }
            if (!changed) return body;
            var ms = new MemoryStream();
            using (var w = XmlWriter.Create(ms, new XmlWriterSettings { Encoding = new UTF8Encoding(false), OmitXmlDeclaration = doc.Declaration == null }))
                doc.Save(w);
            return ms.ToArray();
        }

        // pseudonym<TAB>original, one a line, sorted: the table for the people who support the agent.
        public void WriteMap(string path)
        {
            var lines = new List<string>();
            lock (gate)
                foreach (var kv in map)
                    lines.Add(kv.Value + "\t" + kv.Key.Substring(kv.Key.IndexOf('\u0001') + 1));
            lines.Sort(StringComparer.Ordinal);
            using (var f = new FileStream(path, FileMode.Create, FileAccess.Write, FileShare.None))
            {
                try { Mono.Unix.Native.Syscall.chmod(path, Mono.Unix.Native.FilePermissions.S_IRUSR | Mono.Unix.Native.FilePermissions.S_IWUSR); }
                catch (Exception) { }
                var bytes = new UTF8Encoding(false).GetBytes(string.Join("\n", lines) + "\n");
                f.Write(bytes, 0, bytes.Length);
            }
        }
    }
}
