// XML namespaces and helpers for the vCloud API documents, entity references (href, URN, UUID), and a
// small JSON reader for the session endpoints. Elements are always matched by namespace URI and local
// name: the server's prefixes vary between versions.
using System;
using System.Collections.Generic;
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

        public static XDocument Parse(byte[] body, string what)
        {
            try
            {
                using (var stream = new MemoryStream(body))
                using (var reader = XmlReader.Create(stream, ReaderSettings))
                    return XDocument.Load(reader);
            }
            catch (XmlException e)
            {
                throw new CloudException("malformed XML in the answer to " + what + ": " + e.Message);
            }
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
    // booleans and nulls.
    internal sealed class Json
    {
        private readonly string s;
        private int i;
        private Json(string text) { s = text; }

        public static object Parse(string text)
        {
            var p = new Json(text ?? "");
            p.Space();
            var v = p.Value();
            p.Space();
            if (p.i != p.s.Length) throw new FormatException("text after the JSON value");
            return v;
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

        private object Value()
        {
            if (i >= s.Length) throw new FormatException("unexpected end of JSON");
            char c = s[i];
            if (c == '{') return Object();
            if (c == '[') return Array();
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

        private Dictionary<string, object> Object()
        {
            var map = new Dictionary<string, object>();
            i++;
            Space();
            if (i < s.Length && s[i] == '}') { i++; return map; }
            while (true)
            {
                Space();
                if (i >= s.Length || s[i] != '"') throw new FormatException("expected a JSON key at " + i);
                string key = String();
                Space();
                if (i >= s.Length || s[i] != ':') throw new FormatException("expected ':' at " + i);
                i++;
                Space();
                map[key] = Value();
                Space();
                if (i < s.Length && s[i] == ',') { i++; continue; }
                if (i < s.Length && s[i] == '}') { i++; return map; }
                throw new FormatException("expected ',' or '}' at " + i);
            }
        }

        private List<object> Array()
        {
            var list = new List<object>();
            i++;
            Space();
            if (i < s.Length && s[i] == ']') { i++; return list; }
            while (true)
            {
                Space();
                list.Add(Value());
                Space();
                if (i < s.Length && s[i] == ',') { i++; continue; }
                if (i < s.Length && s[i] == ']') { i++; return list; }
                throw new FormatException("expected ',' or ']' at " + i);
            }
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
