// XML namespaces and helpers for the vCloud API documents, entity references (href, URN, UUID), and a
// small JSON reader for the session endpoints. Elements are always matched by namespace URI and local
// name: the server's prefixes vary between versions.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Text;
using System.Xml;
using System.Xml.Linq;

namespace vCloudSDKWrapper
{
    internal static class Ns
    {
        public static readonly XNamespace Vcloud = "http://www.vmware.com/vcloud/v1.5";
        public static readonly XNamespace Ext = "http://www.vmware.com/vcloud/extension/v1.5";
        public static readonly XNamespace Versions = "http://www.vmware.com/vcloud/versions";
        public static readonly XNamespace Ovf = "http://schemas.dmtf.org/ovf/envelope/1";
        public static readonly XNamespace Xsi = "http://www.w3.org/2001/XMLSchema-instance";
    }

    internal static class X
    {
        public static readonly XmlReaderSettings ReaderSettings = new XmlReaderSettings
        {
            DtdProcessing = DtdProcessing.Prohibit,
            XmlResolver = null,
            IgnoreComments = true,
            IgnoreProcessingInstructions = true
        };

        // A document from a reply, read within the reply's limits and what is left of its time-out.
        public static XDocument Parse(Reply r)
        {
            return Parse(r.Body, r.What, r.Limits);
        }

        public static XDocument Parse(byte[] body, string what, ParseLimits limits)
        {
            try
            {
                using (var stream = new MemoryStream(body))
                using (var reader = Reader(stream, what, limits))
                    return XDocument.Load(reader);
            }
            catch (XmlException e)
            {
                throw new CloudException("malformed XML in the answer to " + what + ": " + e.Message);
            }
        }

        // A streaming reader that enforces the limits on every node it reads.
        public static XmlReader Reader(Stream stream, string what, ParseLimits limits)
        {
            return new LimitedReader(XmlReader.Create(stream, ReaderSettings), what, limits ?? ParseLimits.Default);
        }

        public static string Attr(this XElement e, string name)
        {
            if (e == null) return "";
            var a = e.Attribute(name);
            return a == null ? "" : a.Value;
        }

        public static XElement Child(this XElement e, XNamespace ns, string local)
        {
            return e == null ? null : e.Element(ns + local);
        }

        public static string ChildText(this XElement e, XNamespace ns, string local)
        {
            var c = Child(e, ns, local);
            return c == null ? "" : c.Value.Trim();
        }

        public static IEnumerable<XElement> Links(this XElement e)
        {
            return e == null ? Enumerable.Empty<XElement>() : e.Elements(Ns.Vcloud + "Link");
        }

        // The first Link with that rel (and media type, when given).
        public static XElement Link(this XElement e, string rel, string type = null)
        {
            foreach (var l in Links(e))
            {
                if (l.Attr("rel") != rel) continue;
                if (type != null && !MediaTypeIs(l.Attr("type"), type)) continue;
                return l;
            }
            return null;
        }

        // Media types are compared without parameters, case-insensitively.
        public static bool MediaTypeIs(string actual, string expected)
        {
            if (actual == null) return false;
            int semi = actual.IndexOf(';');
            string bare = (semi >= 0 ? actual.Substring(0, semi) : actual).Trim();
            return string.Equals(bare, expected, StringComparison.OrdinalIgnoreCase);
        }

        public static void ExpectRoot(XDocument doc, XNamespace ns, string local, string what)
        {
            var root = doc.Root;
            if (root == null || root.Name != ns + local)
                throw new CloudException("unexpected answer to " + what + ": expected a " + local + " element, got "
                    + (root == null ? "an empty document" : root.Name.LocalName));
        }

        public static string Escape(string text) { return System.Security.SecurityElement.Escape(text ?? ""); }
    }

    // How deep, how large and how late a server's document may be. Readers count every node (attributes
    // included) and look at the clock every thousand nodes, so no document costs more than its limits.
    internal sealed class ParseLimits
    {
        public int MaxDepth = 100;
        public long MaxNodes = 1000000;
        public Stopwatch Clock;                          // started when the request was sent; null for no time-out
        public TimeSpan Timeout = System.Threading.Timeout.InfiniteTimeSpan;

        public static readonly ParseLimits Default = new ParseLimits();

        public static ParseLimits From(WrapperOptions opt, Stopwatch clock)
        {
            return new ParseLimits { MaxDepth = opt.MaxNestingDepth, MaxNodes = opt.MaxNodes, Clock = clock, Timeout = opt.HttpTimeout };
        }

        public CloudException TooDeep(string what)
        {
            return new CloudException("the answer to " + what + " nests deeper than " + MaxDepth + " levels (maxNestingDepth)");
        }

        public CloudException TooMany(string what)
        {
            return new CloudException("the answer to " + what + " holds more than " + MaxNodes + " nodes (maxNodes)");
        }

        public void CheckTime(string what)
        {
            if (Clock != null && Timeout != System.Threading.Timeout.InfiniteTimeSpan && Clock.Elapsed > Timeout)
                throw new CloudException("the answer to " + what + " was not read and parsed within " + Timeout.TotalSeconds + " s (httpTimeout)");
        }
    }

    // Passes an XmlReader through, failing as soon as the document breaks one of its limits.
    internal sealed class LimitedReader : XmlReader, IXmlLineInfo
    {
        private readonly XmlReader r;
        private readonly string what;
        private readonly ParseLimits limits;
        private long nodes;

        public LimitedReader(XmlReader inner, string what, ParseLimits limits) { r = inner; this.what = what; this.limits = limits; }

        public override bool Read()
        {
            if (!r.Read()) return false;
            nodes += 1 + r.AttributeCount;
            if (r.Depth > limits.MaxDepth) throw limits.TooDeep(what);
            if (nodes > limits.MaxNodes) throw limits.TooMany(what);
            if ((nodes & 1023) < 1 + r.AttributeCount) limits.CheckTime(what);
            return true;
        }

        public override int AttributeCount { get { return r.AttributeCount; } }
        public override string BaseURI { get { return r.BaseURI; } }
        public override int Depth { get { return r.Depth; } }
        public override bool EOF { get { return r.EOF; } }
        public override bool IsEmptyElement { get { return r.IsEmptyElement; } }
        public override bool IsDefault { get { return r.IsDefault; } }
        public override string LocalName { get { return r.LocalName; } }
        public override string Name { get { return r.Name; } }
        public override string NamespaceURI { get { return r.NamespaceURI; } }
        public override XmlNameTable NameTable { get { return r.NameTable; } }
        public override XmlNodeType NodeType { get { return r.NodeType; } }
        public override string Prefix { get { return r.Prefix; } }
        public override ReadState ReadState { get { return r.ReadState; } }
        public override string Value { get { return r.Value; } }
        public override bool HasValue { get { return r.HasValue; } }
        public override XmlSpace XmlSpace { get { return r.XmlSpace; } }
        public override string XmlLang { get { return r.XmlLang; } }
        public override XmlReaderSettings Settings { get { return r.Settings; } }
        public override string GetAttribute(int i) { return r.GetAttribute(i); }
        public override string GetAttribute(string name) { return r.GetAttribute(name); }
        public override string GetAttribute(string name, string ns) { return r.GetAttribute(name, ns); }
        public override string LookupNamespace(string prefix) { return r.LookupNamespace(prefix); }
        public override void MoveToAttribute(int i) { r.MoveToAttribute(i); }
        public override bool MoveToAttribute(string name) { return r.MoveToAttribute(name); }
        public override bool MoveToAttribute(string name, string ns) { return r.MoveToAttribute(name, ns); }
        public override bool MoveToElement() { return r.MoveToElement(); }
        public override bool MoveToFirstAttribute() { return r.MoveToFirstAttribute(); }
        public override bool MoveToNextAttribute() { return r.MoveToNextAttribute(); }
        public override bool ReadAttributeValue() { return r.ReadAttributeValue(); }
        public override void ResolveEntity() { r.ResolveEntity(); }
        public override void Close() { r.Close(); }
        protected override void Dispose(bool disposing) { if (disposing) r.Dispose(); base.Dispose(disposing); }
        public bool HasLineInfo() { var li = r as IXmlLineInfo; return li != null && li.HasLineInfo(); }
        public int LineNumber { get { var li = r as IXmlLineInfo; return li == null ? 0 : li.LineNumber; } }
        public int LinePosition { get { var li = r as IXmlLineInfo; return li == null ? 0 : li.LinePosition; } }
    }

    // What kind of text names an entity.
    internal enum RefForm { Name, Href, Urn }

    // Entity references: hrefs such as https://host/api/vApp/vm-<uuid>, URNs such as
    // urn:vcloud:vm:<uuid>, and bare UUIDs.
    internal static class Ref
    {
        public static RefForm Form(string text)
        {
            if (text.StartsWith("https://", StringComparison.OrdinalIgnoreCase) || text.StartsWith("http://", StringComparison.OrdinalIgnoreCase))
                return RefForm.Href;
            if (text.StartsWith("urn:vcloud:", StringComparison.OrdinalIgnoreCase)) return RefForm.Urn;
            return RefForm.Name;
        }

        // The UUID at the end of an href or URN ("vm-", "vapp-" and "vappTemplate-" prefixes removed).
        public static string Uuid(string reference)
        {
            if (string.IsNullOrEmpty(reference)) return "";
            string s = reference.Trim();
            int q = s.IndexOfAny(new[] { '?', '#' });
            if (q >= 0) s = s.Substring(0, q);
            s = s.TrimEnd('/');
            int cut = Math.Max(s.LastIndexOf('/'), s.LastIndexOf(':'));
            if (cut >= 0) s = s.Substring(cut + 1);
            foreach (var prefix in new[] { "vappTemplate-", "vapp-", "vm-" })
                if (s.StartsWith(prefix, StringComparison.OrdinalIgnoreCase)) return s.Substring(prefix.Length);
            return s;
        }

        // The entity kind of a URN: urn:vcloud:vm:<uuid> gives "vm".
        public static string UrnKind(string urn)
        {
            var parts = urn.Split(':');
            return parts.Length == 4 ? parts[2].ToLowerInvariant() : "";
        }

        public static bool Same(string a, string b)
        {
            string ua = Uuid(a), ub = Uuid(b);
            return ua.Length > 0 && string.Equals(ua, ub, StringComparison.OrdinalIgnoreCase);
        }

        public static bool LooksLikeUuid(string text)
        {
            Guid g;
            return text.Length == 36 && Guid.TryParse(text, out g);
        }
    }

    // Reads the JSON bodies of the session endpoints into nested dictionaries, lists, strings, doubles,
    // booleans and nulls. It keeps its open containers on a list of its own instead of recursing, so a
    // body's nesting costs heap within maxNestingDepth, never stack.
    internal sealed class Json
    {
        private readonly string s;
        private int i;
        private Json(string text) { s = text; }

        public static object Parse(string text, int maxDepth = 100, long maxNodes = 1000000)
        {
            return new Json(text ?? "").Document(maxDepth, maxNodes);
        }

        public static string Str(object node, params string[] path)
        {
            foreach (var key in path)
            {
                var map = node as Dictionary<string, object>;
                if (map == null || !map.TryGetValue(key, out node)) return "";
            }
            if (node is string) return (string)node;
            if (node is double) return ((double)node).ToString(CultureInfo.InvariantCulture);
            return "";
        }

        private void Space() { while (i < s.Length && char.IsWhiteSpace(s[i])) i++; }

        private object Document(int maxDepth, long maxNodes)
        {
            var open = new List<object>();      // the containers that are not closed yet, innermost last
            var keys = new List<string>();      // per open container, the key its next value goes to
            object root = null;
            long nodes = 0;
            Space();
            while (true)
            {
                // A value starts here.
                if (i >= s.Length) throw new FormatException("unexpected end of JSON");
                if (++nodes > maxNodes) throw new FormatException("more than " + maxNodes + " JSON values (maxNodes)");
                char c = s[i];
                bool closedAtOnce = false;
                if (c == '{' || c == '[')
                {
                    if (open.Count >= maxDepth) throw new FormatException("JSON nested deeper than " + maxDepth + " levels (maxNestingDepth)");
                    i++;
                    object container = c == '{' ? (object)new Dictionary<string, object>() : new List<object>();
                    Attach(open, keys, ref root, container);
                    open.Add(container);
                    keys.Add(null);
                    Space();
                    if (i < s.Length && s[i] == (c == '{' ? '}' : ']'))
                    {
                        i++;
                        open.RemoveAt(open.Count - 1);
                        keys.RemoveAt(keys.Count - 1);
                        closedAtOnce = true;
                    }
                    else
                    {
                        if (c == '{') keys[keys.Count - 1] = Key();
                        continue;
                    }
                }
                if (!closedAtOnce) Attach(open, keys, ref root, Scalar());
                // After a value: the end of the document, a comma or the close of the innermost container.
                while (true)
                {
                    Space();
                    if (open.Count == 0)
                    {
                        if (i != s.Length) throw new FormatException("text after the JSON value");
                        return root;
                    }
                    bool isMap = open[open.Count - 1] is Dictionary<string, object>;
                    if (i < s.Length && s[i] == ',')
                    {
                        i++;
                        Space();
                        if (isMap) keys[keys.Count - 1] = Key();
                        break;
                    }
                    if (i < s.Length && s[i] == (isMap ? '}' : ']'))
                    {
                        i++;
                        open.RemoveAt(open.Count - 1);
                        keys.RemoveAt(keys.Count - 1);
                        continue;
                    }
                    throw new FormatException("expected ',' or '" + (isMap ? '}' : ']') + "' at " + i);
                }
            }
        }

        private static void Attach(List<object> open, List<string> keys, ref object root, object value)
        {
            if (open.Count == 0) { root = value; return; }
            var map = open[open.Count - 1] as Dictionary<string, object>;
            if (map != null) map[keys[keys.Count - 1]] = value;
            else ((List<object>)open[open.Count - 1]).Add(value);
        }

        // A member's key and its colon; leaves i at the value.
        private string Key()
        {
            Space();
            if (i >= s.Length || s[i] != '"') throw new FormatException("expected a JSON key at " + i);
            string key = String();
            Space();
            if (i >= s.Length || s[i] != ':') throw new FormatException("expected ':' at " + i);
            i++;
            Space();
            return key;
        }

        private object Scalar()
        {
            char c = s[i];
            if (c == '"') return String();
            if (Word("true")) return true;
            if (Word("false")) return false;
            if (Word("null")) return null;
            int start = i;
            while (i < s.Length && "+-0123456789.eE".IndexOf(s[i]) >= 0) i++;
            double d;
            if (i == start || !double.TryParse(s.Substring(start, i - start), NumberStyles.Float, CultureInfo.InvariantCulture, out d))
                throw new FormatException("bad JSON value at " + start);
            return d;
        }

        private bool Word(string w)
        {
            if (string.CompareOrdinal(s, i, w, 0, w.Length) != 0) return false;
            i += w.Length;
            return true;
        }

        private string String()
        {
            var sb = new StringBuilder();
            i++;
            while (i < s.Length)
            {
                char c = s[i++];
                if (c == '"') return sb.ToString();
                if (c != '\\') { sb.Append(c); continue; }
                if (i >= s.Length) break;
                char e = s[i++];
                switch (e)
                {
                    case 'n': sb.Append('\n'); break;
                    case 't': sb.Append('\t'); break;
                    case 'r': sb.Append('\r'); break;
                    case 'b': sb.Append('\b'); break;
                    case 'f': sb.Append('\f'); break;
                    case 'u':
                        if (i + 4 > s.Length) throw new FormatException("bad \\u escape");
                        sb.Append((char)int.Parse(s.Substring(i, 4), NumberStyles.HexNumber, CultureInfo.InvariantCulture));
                        i += 4;
                        break;
                    default: sb.Append(e); break;
                }
            }
            throw new FormatException("unterminated JSON string");
        }
    }
}
