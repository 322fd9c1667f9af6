// XML namespaces and helpers for the vCloud API documents, and the bounded XML reader. Elements are
// always matched by namespace URI and local name: the server's prefixes vary between versions.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
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
