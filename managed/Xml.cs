// XML namespaces and helpers for the vCloud API documents, and the bounded XML reader. Elements are
// always matched by namespace URI and local name: the server's prefixes vary between versions.
using System;
using System.Collections.Generic;
using System.Diagnostics;
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
}

namespace vCloudSDKWrapper
{
    // What one page of records holds: the root's counts and its records in document order.
    internal sealed class RecordsPage
    {
        public long Total = -1;
        public int PageSize;
        public int Number;
        public readonly List<QueryRecord> Records = new List<QueryRecord>();
    }

    // Reads a query page of records straight from its UTF-8 bytes. Such pages are one root element whose
    // children are empty elements with flat attribute lists, so nothing of a general reader is needed: the
    // attribute values go from the body into the records, repeated names and values as one string each,
    // with no node objects, name lookups or copies of the text in between.
    //
    // It reads only what it can read exactly as the full reader does, and says so by returning false for
    // anything else: a document type, comments, processing instructions, text, CDATA, an element with
    // content or its own namespace declarations, a prefixed attribute on a record, an encoding other than
    // UTF-8, literal line breaks or tabs in a value, an undeclared prefix, an unknown entity, a character
    // XML does not allow, and a page near the node limit. The caller then reads the page with the full
    // reader, which also gives malformed pages their error.
    internal sealed class RecordPageScanner
    {
        // Names and values shorter than this are looked up in the tables of texts already made.
        private const int MaxAtomLength = 64;

        private static readonly UTF8Encoding StrictUtf8 = new UTF8Encoding(false, true);

        private readonly byte[] b;
        private readonly int end;
        private int p;
        private readonly string vcloud;
        private readonly byte[][] kept;          // the attribute names to keep, as bytes; null: every one
        private readonly string[] keptNames;
        private readonly ParseLimits limits;
        private readonly string what;
        private char[] chars = new char[256];
        private int length;                      // chars of the value just read
        private int plainFrom;                   // where it starts in the body when it is plain ASCII, else -1
        private long nodes;

        // The root's namespace declarations: prefixes (as bytes; empty for the default) and their URIs.
        private readonly List<byte[]> prefixes = new List<byte[]>();
        private readonly List<string> uris = new List<string>();

        // Texts already made, by hash: attribute names, and values per kept attribute (or shared by all).
        private readonly string[] names = new string[64];
        private readonly string[][] values;
        private string element;                  // the last record element's name

        // Attributes of the element being read: start and length of each name, to refuse duplicates.
        private int[] attrStart = new int[32], attrLength = new int[32];

        private RecordPageScanner(byte[] body, int length, string vcloud, string[] keep, ParseLimits limits, string what)
        {
            b = body;
            end = length;
            this.vcloud = vcloud;
            this.limits = limits ?? ParseLimits.Default;
            this.what = what;
            if (keep != null)
            {
                keptNames = keep;
                kept = new byte[keep.Length][];
                for (int i = 0; i < keep.Length; i++) kept[i] = Encoding.UTF8.GetBytes(keep[i]);
            }
            values = new string[keep != null ? keep.Length : 1][];
            for (int i = 0; i < values.Length; i++) values[i] = new string[64];
        }

        // Reads the page, the first 'length' bytes of 'body', into 'page'; false when the page is not one this
        // scanner reads whole (then 'page' may hold part of it and is to be dropped). Throws only when the
        // request's time-out has passed.
        public static bool TryRead(byte[] body, int length, string vcloud, string[] keep, ParseLimits limits, string what, RecordsPage page)
        {
            return new RecordPageScanner(body, length, vcloud, keep, limits, what).Read(page);
        }

        private bool Read(RecordsPage page)
        {
            if (limits.MaxDepth < 1) return false;
            if (end >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) p = 3;
            if (!Declaration()) return false;
            if (Blanks()) nodes++;
            // The root: <[prefix:]QueryResultRecords ...> in the vcloud namespace.
            if (p >= end || b[p] != '<') return false;
            p++;
            int rootStart = p, rootColon;
            if (!Name(out rootColon)) return false;
            int rootEnd = p;
            int count = 0;
            bool empty;
            long total = -1;
            int pageSize = 0, number = 0;
            while (true)
            {
                if (Blanks() && p < end && b[p] != '/' && b[p] != '>')
                {
                    int nameStart = p, colon;
                    if (!Name(out colon)) return false;
                    int nameEnd = p;
                    if (!Equals() || !Value(true)) return false;
                    if (!Remember(count++, nameStart, nameEnd - nameStart)) return false;
                    if (Is(nameStart, nameEnd, "xmlns"))
                    {
                        prefixes.Add(new byte[0]);
                        uris.Add(Current());
                    }
                    else if (colon > 0 && Is(nameStart, nameStart + colon, "xmlns"))
                    {
                        if (Is(nameStart + colon + 1, nameEnd, "xml") || Is(nameStart + colon + 1, nameEnd, "xmlns") || length == 0) return false;
                        prefixes.Add(Slice(nameStart + colon + 1, nameEnd));
                        uris.Add(Current());
                    }
                    else if (colon > 0) return false;
                    else if (Is(nameStart, nameEnd, "total")) { if (!Number(out total)) total = -1; }
                    else if (Is(nameStart, nameEnd, "pageSize")) { long n; pageSize = Number(out n) && n > 0 && n <= int.MaxValue ? (int)n : 0; }
                    else if (Is(nameStart, nameEnd, "page")) { long n; number = Number(out n) && n > 0 && n <= int.MaxValue ? (int)n : 0; }
                    continue;
                }
                if (!Close(out empty)) return false;
                break;
            }
            nodes += 1 + count;
            string rootNs = Namespace(rootStart, rootColon);
            if (rootNs == null || rootNs != vcloud || !Is(rootColon >= 0 ? rootStart + rootColon + 1 : rootStart, rootEnd, "QueryResultRecords")) return false;
            page.Total = total;
            page.PageSize = pageSize;
            page.Number = number;
            if (!empty)
            {
                while (true)
                {
                    if (Blanks()) nodes++;
                    if (p + 1 >= end || b[p] != '<') return false;
                    if (b[p + 1] == '/')
                    {
                        // The root's end tag, exactly its start tag's name.
                        p += 2;
                        int n = rootEnd - rootStart;
                        if (p + n > end || !SameBytes(p, rootStart, n)) return false;
                        p += n;
                        Blanks();
                        if (p >= end || b[p] != '>') return false;
                        p++;
                        nodes++;
                        break;
                    }
                    p++;
                    long before = nodes;
                    if (!Child(page)) return false;
                    // The clock, as the full reader looks at it: each time the count passes a thousand nodes.
                    if ((nodes >> 10) != (before >> 10)) limits.CheckTime(what);
                }
            }
            Blanks();
            return p == end && nodes <= limits.MaxNodes;
        }

        // <?xml version="1.0" [encoding="UTF-8"] [standalone="yes|no"]?>, or nothing. Anything else that
        // starts with "<?" is refused where the root is expected.
        private bool Declaration()
        {
            if (!(p + 5 < end && Is(p, p + 5, "<?xml") && Blank(b[p + 5]))) return true;
            p += 5;
            int field = 0;   // the pseudo-attributes read: 1 version, 2 encoding, 3 standalone
            while (true)
            {
                bool gap = Blanks();
                if (p + 1 < end && b[p] == '?' && b[p + 1] == '>') { p += 2; break; }
                if (!gap) return false;
                int nameStart = p, colon;
                if (!Name(out colon)) return false;
                int nameEnd = p;
                if (!Equals() || !Value(true)) return false;
                string value = Current();
                if (field == 0 && Is(nameStart, nameEnd, "version"))
                {
                    if (value != "1.0") return false;
                    field = 1;
                }
                else if (field == 1 && Is(nameStart, nameEnd, "encoding"))
                {
                    if (!string.Equals(value, "UTF-8", StringComparison.OrdinalIgnoreCase)) return false;
                    field = 2;
                }
                else if ((field == 1 || field == 2) && Is(nameStart, nameEnd, "standalone"))
                {
                    if (value != "yes" && value != "no") return false;
                    field = 3;
                }
                else return false;
            }
            if (field == 0) return false;
            nodes += 4;
            return true;
        }

        // One child of the root: an empty element, kept as a record when it is a record of the vcloud
        // namespace, else only checked.
        private bool Child(RecordsPage page)
        {
            int nameStart = p, colon;
            if (!Name(out colon)) return false;
            int nameEnd = p;
            string ns = Namespace(nameStart, colon);
            if (ns == null) return false;
            int localStart = colon >= 0 ? nameStart + colon + 1 : nameStart;
            bool record = ns == vcloud && nameEnd - localStart >= 6 && Is(nameEnd - 6, nameEnd, "Record");
            QueryRecord rec = null;
            if (record)
            {
                int n = nameEnd - localStart;
                if (element == null || element.Length != n || !SameText(element, localStart)) element = Ascii(localStart, n);
                rec = new QueryRecord(kept != null ? kept.Length : 8) { Element = element };
            }
            int count = 0;
            bool empty;
            while (true)
            {
                if (Blanks() && p < end && b[p] != '/' && b[p] != '>')
                {
                    int aStart = p, aColon;
                    if (!Name(out aColon) || aColon >= 0 || Is(aStart, p, "xmlns")) return false;
                    int aEnd = p;
                    if (!Remember(count++, aStart, aEnd - aStart) || !Equals()) return false;
                    if (rec == null) { if (!Value(false)) return false; continue; }
                    int slot = -1;
                    if (kept != null)
                    {
                        for (int i = 0; i < kept.Length; i++)
                            if (kept[i].Length == aEnd - aStart && SameBytes(aStart, kept[i])) { slot = i; break; }
                        if (slot < 0) { if (!Value(false)) return false; continue; }
                    }
                    if (!Value(true)) return false;
                    string name = slot >= 0 ? keptNames[slot] : AttributeName(aStart, aEnd - aStart);
                    rec.Attrs.Append(name, Text(values[slot >= 0 ? slot : 0]));
                    continue;
                }
                if (!Close(out empty)) return false;
                break;
            }
            if (!empty) return false;
            nodes += 1 + count;
            if (rec != null) page.Records.Add(rec);
            return true;
        }

        // The end of a start tag: '/>' (empty) or '>'.
        private bool Close(out bool empty)
        {
            empty = false;
            if (p < end && b[p] == '>') { p++; return true; }
            if (p + 1 < end && b[p] == '/' && b[p + 1] == '>') { p += 2; empty = true; return true; }
            return false;
        }

        // Remembers the i-th attribute name of an element; false when an earlier one has the same name.
        private bool Remember(int i, int start, int n)
        {
            for (int k = 0; k < i; k++)
                if (attrLength[k] == n && SameBytes(attrStart[k], start, n)) return false;
            if (i == attrStart.Length)
            {
                Array.Resize(ref attrStart, 2 * i);
                Array.Resize(ref attrLength, 2 * i);
            }
            attrStart[i] = start;
            attrLength[i] = n;
            return true;
        }

        // The URI a name's prefix stands for (the default namespace without one); null when undeclared.
        private string Namespace(int nameStart, int colon)
        {
            int n = colon >= 0 ? colon : 0;
            for (int i = prefixes.Count - 1; i >= 0; i--)
                if (prefixes[i].Length == n && SameBytes(nameStart, prefixes[i])) return uris[i];
            return colon >= 0 ? null : "";
        }

        // An XML name of ASCII letters, digits, '_', '-', '.' and at most one ':' inside it; 'colon' is the
        // colon's offset from the start, or -1. Names with other characters go to the full reader.
        private bool Name(out int colon)
        {
            colon = -1;
            byte[] t = b;
            byte[] kind = NameKind;
            int i = p, e = end, start = p;
            if (i >= e || kind[t[i]] != NameStart) return false;
            i++;
            while (i < e)
            {
                byte c = t[i];
                if (kind[c] != 0) { i++; continue; }
                if (c != ':' || colon >= 0) break;
                colon = i - start;
                if (++i >= e || kind[t[i]] != NameStart) return false;
                i++;
            }
            p = i;
            return true;
        }

        private const byte NameStart = 1, NameLater = 2;

        // What each byte may be in a name: NameStart (letters, '_'), NameLater (digits, '-', '.'), or 0.
        private static readonly byte[] NameKind = Table(c => (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ? NameStart
            : (c >= '0' && c <= '9') || c == '-' || c == '.' ? NameLater : (byte)0);

        // The bytes that end a plain run of an attribute value: quotes, '<', '&', controls, and the bytes of
        // multi-byte UTF-8.
        private static readonly byte[] ValueStop = Table(c => c == '"' || c == '\'' || c == '<' || c == '&' || c < 0x20 || c >= 0x80 ? (byte)1 : (byte)0);

        private static byte[] Table(Func<int, byte> of)
        {
            var t = new byte[256];
            for (int c = 0; c < 256; c++) t[c] = of(c);
            return t;
        }

        // Blanks, '=', blanks.
        private bool Equals()
        {
            Blanks();
            if (p >= end || b[p] != '=') return false;
            p++;
            Blanks();
            return true;
        }

        private static bool Blank(byte c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

        private bool Blanks()
        {
            byte[] t = b;
            int i = p, e = end;
            while (i < e)
            {
                byte c = t[i];
                if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
                i++;
            }
            bool any = i > p;
            p = i;
            return any;
        }

        // A quoted attribute value, decoded into 'chars' (and hashed) when 'keep'. Literal tabs and line
        // breaks, which the full reader turns into spaces, and '<' go to the full reader.
        private bool Value(bool keep)
        {
            byte[] t = b;
            byte[] stop = ValueStop;
            int i = p, e = end;
            if (i >= e || (t[i] != '"' && t[i] != '\'')) return false;
            byte quote = t[i++];
            length = 0;
            plainFrom = -1;
            int first = i, run = i;   // the value's start; the start of the plain run not yet taken into 'chars'
            while (true)
            {
                while (i < e && stop[t[i]] == 0) i++;
                if (i >= e) return false;
                byte c = t[i];
                if (c != quote && (c == '"' || c == '\'')) { i++; continue; }
                if (c == quote && run == first)
                {
                    // Plain ASCII from quote to quote, the usual value: read from the body itself.
                    plainFrom = first;
                    length = i - first;
                    p = i + 1;
                    return true;
                }
                if (keep && i > run) PutAscii(run, i);
                if (c == quote) { p = i + 1; return true; }
                if (c == '&')
                {
                    p = i;
                    int ch = Reference();
                    if (ch < 0) return false;
                    i = p;
                    if (keep)
                    {
                        if (ch >= 0x10000)
                        {
                            ch -= 0x10000;
                            Put((char)(0xD800 + (ch >> 10)));
                            Put((char)(0xDC00 + (ch & 0x3FF)));
                        }
                        else Put((char)ch);
                    }
                }
                else if (c >= 0x80)
                {
                    // A run of multi-byte UTF-8, decoded strictly: a malformed sequence goes to the full reader.
                    int from = i;
                    while (i < e && t[i] >= 0x80) i++;
                    if (!DecodeRun(from, i - from, keep)) return false;
                }
                else return false;   // '<' or a control character
                run = i;
            }
        }

        private void PutAscii(int from, int to)
        {
            int n = to - from;
            if (length + n > chars.Length) Array.Resize(ref chars, Math.Max(2 * chars.Length, length + n));
            char[] cs = chars;
            byte[] t = b;
            int at = length;
            for (int k = from; k < to; k++) cs[at++] = (char)t[k];
            length = at;
        }

        private bool DecodeRun(int start, int n, bool keep)
        {
            // U+FFFE and U+FFFF are no XML characters.
            for (int i = start; i + 2 < start + n; i++)
                if (b[i] == 0xEF && b[i + 1] == 0xBF && (b[i + 2] == 0xBE || b[i + 2] == 0xBF)) return false;
            int need;
            try { need = StrictUtf8.GetCharCount(b, start, n); }
            catch (DecoderFallbackException) { return false; }
            if (!keep) return true;
            if (length + need > chars.Length) Array.Resize(ref chars, Math.Max(2 * chars.Length, length + need));
            StrictUtf8.GetChars(b, start, n, chars, length);
            length += need;
            return true;
        }

        private void Put(char c)
        {
            if (length == chars.Length) Array.Resize(ref chars, 2 * chars.Length);
            chars[length++] = c;
        }

        // The character a reference at p stands for: the five predefined entities and decimal and
        // hexadecimal character references of characters XML allows. -1 for anything else.
        private int Reference()
        {
            int semi = p + 1;
            while (semi < end && b[semi] != ';' && b[semi] != '"' && b[semi] != '\'' && b[semi] != '<') semi++;
            if (semi >= end || b[semi] != ';') return -1;
            int start = p + 1;
            p = semi + 1;
            if (Is(start, semi, "lt")) return '<';
            if (Is(start, semi, "gt")) return '>';
            if (Is(start, semi, "amp")) return '&';
            if (Is(start, semi, "quot")) return '"';
            if (Is(start, semi, "apos")) return '\'';
            if (semi - start < 2 || b[start] != '#') return -1;
            bool hex = b[start + 1] == 'x';
            int i = start + (hex ? 2 : 1);
            if (i == semi) return -1;
            long v = 0;
            for (; i < semi; i++)
            {
                int c = b[i];
                int d = c >= '0' && c <= '9' ? c - '0' : !hex ? -1 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
                if (d < 0) return -1;
                v = v * (hex ? 16 : 10) + d;
                if (v > 0x10FFFF) return -1;
            }
            bool allowed = v == 0x9 || v == 0xA || v == 0xD || (v >= 0x20 && v <= 0xD7FF) || (v >= 0xE000 && v <= 0xFFFD) || (v >= 0x10000 && v <= 0x10FFFF);
            return allowed ? (int)v : -1;
        }

        // The value just read as a string.
        private string Current()
        {
            if (plainFrom < 0) return new string(chars, 0, length);
            // ASCII bytes widen to chars one for one: a loop costs less than the encoder's checks and two passes.
            if (chars.Length < length) chars = new char[Math.Max(length, 2 * chars.Length)];
            char[] c = chars;
            byte[] t = b;
            for (int i = 0, from = plainFrom; i < length; i++) c[i] = (char)t[from + i];
            return new string(c, 0, length);
        }

        // The value just read as a string: one instance per distinct short text in each table. The slot
        // comes from the length and a few of the characters; texts that share one just replace each other.
        private string Text(string[] table)
        {
            int n = length;
            if (n == 0) return "";
            if (n > MaxAtomLength) return Current();
            int h;
            bool plain = plainFrom >= 0;
            if (plain) h = ((n * 31 + b[plainFrom]) * 31 + b[plainFrom + n - 1]) * 31 + b[plainFrom + n / 2];
            else h = ((n * 31 + chars[0]) * 31 + chars[n - 1]) * 31 + chars[n / 2];
            int slot = (h ^ (h >> 7)) & (table.Length - 1);
            string known = table[slot];
            if (known != null && known.Length == n && (plain ? SameText(known, plainFrom) : SameChars(known))) return known;
            return table[slot] = Current();
        }

        private string AttributeName(int start, int n)
        {
            int h = 0;
            for (int i = 0; i < n; i++) h = h * 31 + b[start + i];
            int slot = (h ^ (h >> 7)) & (names.Length - 1);
            string known = names[slot];
            if (known != null && known.Length == n && SameText(known, start)) return known;
            return names[slot] = Ascii(start, n);
        }

        private bool SameChars(string s)
        {
            for (int i = 0; i < length; i++)
                if (s[i] != chars[i]) return false;
            return true;
        }

        private bool SameText(string s, int start)
        {
            for (int i = 0; i < s.Length; i++)
                if (s[i] != b[start + i]) return false;
            return true;
        }

        private bool SameBytes(int at, byte[] other)
        {
            for (int i = 0; i < other.Length; i++)
                if (b[at + i] != other[i]) return false;
            return true;
        }

        private bool SameBytes(int x, int y, int n)
        {
            for (int i = 0; i < n; i++)
                if (b[x + i] != b[y + i]) return false;
            return true;
        }

        private bool Is(int start, int stop, string text)
        {
            if (stop - start != text.Length || stop > end) return false;
            for (int i = 0; i < text.Length; i++)
                if (b[start + i] != text[i]) return false;
            return true;
        }

        private string Ascii(int start, int n)
        {
            var s = new char[n];
            for (int i = 0; i < n; i++) s[i] = (char)b[start + i];
            return new string(s);
        }

        private byte[] Slice(int start, int stop)
        {
            var s = new byte[stop - start];
            Array.Copy(b, start, s, 0, s.Length);
            return s;
        }

        // The value in 'chars' as a whole number the way the full reader's callers read it: optional
        // blanks and sign, digits; false for anything else.
        private bool Number(out long n)
        {
            return long.TryParse(Current(), System.Globalization.NumberStyles.Integer, System.Globalization.CultureInfo.InvariantCulture, out n) && n >= 0;
        }
    }
}
