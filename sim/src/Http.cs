// Request and response values, the error the handlers throw, and the XML and JSON writers they render with.
using System;
using System.Collections.Generic;
using System.Collections.Specialized;
using System.Globalization;
using System.IO;
using System.Net;
using System.Text;
using System.Xml;

namespace VcdSim
{
    static class Ns
    {
        public const string V = "http://www.vmware.com/vcloud/v1.5";
        public const string Ext = "http://www.vmware.com/vcloud/extension/v1.5";
        public const string Versions = "http://www.vmware.com/vcloud/versions";
        public const string Ovf = "http://schemas.dmtf.org/ovf/envelope/1";
        public const string Vmw = "http://www.vmware.com/schema/ovf";
        public const string Rasd = "http://schemas.dmtf.org/wbem/wscim/1/cim-schema/2/CIM_ResourceAllocationSettingData";
        public const string Vssd = "http://schemas.dmtf.org/wbem/wscim/1/cim-schema/2/CIM_VirtualSystemSettingData";
        public const string Xsi = "http://www.w3.org/2001/XMLSchema-instance";
        public const string Common = "http://schemas.dmtf.org/wbem/wscim/1/common";
        public const string OvfEnv = "http://schemas.dmtf.org/ovf/environment/1";
    }

    // How a document is written for the request being answered, as real servers write theirs: every root
    // declares the whole namespace set whether it uses it or not; the vcloud namespace may sit on a prefix
    // (ns5:) in one answer and be the default namespace in the next; and from API 32.0 every Link with an
    // "+xml" media type comes again with "+json". Set per request by the API before it builds its answer.
    class Manners
    {
        public bool LinkTwins;
        public string VcloudPrefix;       // null: the vcloud namespace is the default one
        public bool NamespaceSet = true;

        // The namespaces every root declares, in the order servers write them; the versions namespace
        // is bound to ns9 (the versions document itself binds vcloud to ns2 instead).
        public static readonly string[,] RootSet =
        {
            { "ovf", Ns.Ovf }, { "vssd", Ns.Vssd }, { "common", Ns.Common }, { "rasd", Ns.Rasd },
            { "vmw", Ns.Vmw }, { "ovfenv", Ns.OvfEnv }, { "vmext", Ns.Ext }, { "ns9", Ns.Versions },
        };

        public static readonly Manners Plain = new Manners { NamespaceSet = false };

        [ThreadStatic] static Manners current;
        public static Manners Current { get { return current ?? Plain; } set { current = value; } }
    }

    // A failure that becomes an Error answer: HTTP status, minorErrorCode and message.
    class SimError : Exception
    {
        public readonly int Status;
        public readonly string Minor;

        public SimError(int status, string minor, string message) : base(message)
        {
            Status = status;
            Minor = minor;
        }

        public static SimError Forbidden(string what)
        {
            return new SimError(403, "ACCESS_TO_RESOURCE_IS_FORBIDDEN",
                "Either you need some or all of the following rights [" + what +
                "] to perform operations [" + what + "] or the target entity is invalid.");
        }

        public static SimError Bad(string message) { return new SimError(400, "BAD_REQUEST", message); }
        public static SimError Busy(string name)
        {
            return new SimError(400, "BUSY_ENTITY", "The entity " + name + " is busy completing an operation.");
        }
        public static SimError InvalidReference(string message) { return new SimError(400, "INVALID_REFERENCE", message); }
        public static SimError DuplicateName(string message) { return new SimError(400, "DUPLICATE_NAME", message); }
        public static SimError NotFound() { return new SimError(404, "RESOURCE_NOT_FOUND", "The requested resource was not found."); }
        public static SimError Method() { return new SimError(405, "METHOD_NOT_ALLOWED", "The requested method is not supported for this resource."); }
    }

    class Req
    {
        public HttpListenerContext Ctx;
        public string Method;
        public string Path;        // undecoded path, without the query
        public string[] Segs;      // decoded path segments
        public NameValueCollection Query = new NameValueCollection();
        public byte[] Body = new byte[0];
        public string ContentType = "";
        public string RequestId;
        public Session Session;
        public string Version;     // the API version the request asked for

        public string Header(string name)
        {
            return Ctx == null ? null : Ctx.Request.Headers[name];
        }

        public string Seg(int i) { return i < Segs.Length ? Segs[i] : null; }

        public static NameValueCollection ParseQuery(string q)
        {
            var nv = new NameValueCollection();
            if (string.IsNullOrEmpty(q)) return nv;
            foreach (string part in q.Split('&'))
            {
                if (part.Length == 0) continue;
                int eq = part.IndexOf('=');
                string k = eq < 0 ? part : part.Substring(0, eq);
                string v = eq < 0 ? "" : part.Substring(eq + 1);
                nv.Add(Decode(k), Decode(v));
            }
            return nv;
        }

        // Query values decode '+' as a blank, as form encoding does.
        public static string Decode(string s)
        {
            return Uri.UnescapeDataString(s.Replace('+', ' '));
        }

        public XmlDocument BodyXml()
        {
            if (Body.Length == 0) throw SimError.Bad("The request has no body.");
            var doc = new XmlDocument();
            try
            {
                var settings = new XmlReaderSettings { DtdProcessing = DtdProcessing.Prohibit, XmlResolver = null };
                using (var rd = XmlReader.Create(new MemoryStream(Body), settings))
                    doc.Load(rd);
            }
            catch (XmlException ex)
            {
                throw SimError.Bad("The request body is not well-formed XML: " + ex.Message);
            }
            return doc;
        }

        // Refuses a body whose Content-Type is not the media type that the operation consumes.
        public void RequireContentType(string media)
        {
            if (Body.Length == 0) throw SimError.Bad("The request needs a body of type " + media + ".");
            string ct = ContentType ?? "";
            int semi = ct.IndexOf(';');
            if (semi >= 0) ct = ct.Substring(0, semi);
            if (!string.Equals(ct.Trim(), media, StringComparison.OrdinalIgnoreCase))
                throw new SimError(415, "UNSUPPORTED_MEDIA_TYPE",
                    "The request has an unsupported media type " + (ContentType ?? "") + "; expected " + media + ".");
        }
    }

    class Resp
    {
        public int Status = 200;
        public string ContentType;
        public byte[] Body = new byte[0];
        public readonly List<KeyValuePair<string, string>> Headers = new List<KeyValuePair<string, string>>();

        public Resp Header(string k, string v)
        {
            Headers.Add(new KeyValuePair<string, string>(k, v));
            return this;
        }

        public static Resp Empty(int status) { return new Resp { Status = status }; }

        public static Resp Json(int status, string json)
        {
            return new Resp { Status = status, ContentType = "application/json", Body = Encoding.UTF8.GetBytes(json) };
        }
    }

    // Streams one XML document into a buffer with XmlWriter: no document tree is built.
    class XmlOut
    {
        readonly MemoryStream ms = new MemoryStream();
        public readonly XmlWriter W;

        public XmlOut()
        {
            var s = new XmlWriterSettings { Encoding = new UTF8Encoding(false), Indent = false, CloseOutput = false };
            W = XmlWriter.Create(ms, s);
            W.WriteStartDocument();
        }

        public byte[] Done()
        {
            W.WriteEndDocument();
            W.Flush();
            return ms.ToArray();
        }

        public void Root(string local, string ns, params string[] prefixes)
        {
            RootP(null, local, ns, prefixes);
        }

        // A root element written with a prefix (vmext:VimServer) and further namespace declarations. A root in
        // the vcloud namespace takes the answer's vcloud prefix, if it has one; its children follow it, since
        // the writer gives each element the prefix in scope for its namespace.
        public void RootP(string prefix, string local, string ns, params string[] prefixes)
        {
            var m = Manners.Current;
            if (prefix == null && ns == Ns.V) prefix = m.VcloudPrefix;
            if (prefix == null) W.WriteStartElement(local, ns);
            else W.WriteStartElement(prefix, local, ns);
            // The root's own namespace is declared first, as servers write it.
            if (prefix == null) W.WriteAttributeString("xmlns", ns);
            else W.WriteAttributeString("xmlns", prefix, null, ns);
            var declared = new HashSet<string>();
            if (prefix != null) declared.Add(prefix);
            if (m.NamespaceSet)
            {
                bool versionsRoot = ns == Ns.Versions;
                if (versionsRoot && declared.Add("ns2")) W.WriteAttributeString("xmlns", "ns2", null, Ns.V);
                for (int i = 0; i < Manners.RootSet.GetLength(0); i++)
                {
                    string p = Manners.RootSet[i, 0], uri = Manners.RootSet[i, 1];
                    if (uri == ns && (versionsRoot || prefix == null)) continue;   // the root's own default namespace
                    if (declared.Add(p)) W.WriteAttributeString("xmlns", p, null, uri);
                }
            }
            foreach (string p in prefixes)
            {
                string uri = Declarable(p);
                if (uri != null && declared.Add(p)) W.WriteAttributeString("xmlns", p, null, uri);
            }
        }

        static string Declarable(string prefix)
        {
            switch (prefix)
            {
                case "vcloud": return Ns.V;
                case "vmext": return Ns.Ext;
                case "ovf": return Ns.Ovf;
                case "vmw": return Ns.Vmw;
                case "rasd": return Ns.Rasd;
                case "vssd": return Ns.Vssd;
                case "xsi": return Ns.Xsi;
            }
            return null;
        }

        // The name an xsi:type value gives a vcloud type: prefixed when the vcloud namespace is not the default.
        public string VcloudType(string local)
        {
            string p = W.LookupPrefix(Ns.V);
            return string.IsNullOrEmpty(p) ? local : p + ":" + local;
        }

        // Opens an element nested in the current one.
        public void Open(string local, string ns = Ns.V) { W.WriteStartElement(local, ns); }

        // Opens either the document's root, with its namespace declarations, or an element nested in the current
        // one: for representations that are served alone and also inside others.
        public void Open(bool asRoot, string local, string ns, params string[] prefixes)
        {
            if (asRoot) Root(local, ns, prefixes);
            else W.WriteStartElement(local, ns);
        }

        public void Attr(string name, string value)
        {
            if (value != null) W.WriteAttributeString(name, value);
        }

        public void Attr(string name, bool value) { W.WriteAttributeString(name, value ? "true" : "false"); }
        public void Attr(string name, long value) { W.WriteAttributeString(name, value.ToString(CultureInfo.InvariantCulture)); }

        public void El(string name, string text, string ns = Ns.V)
        {
            W.WriteElementString(name, ns, text ?? "");
        }

        public void El(string name, bool v, string ns = Ns.V) { El(name, v ? "true" : "false", ns); }
        public void El(string name, long v, string ns = Ns.V) { El(name, v.ToString(CultureInfo.InvariantCulture), ns); }

        public void Link(string rel, string href, string type = null, string name = null)
        {
            OneLink(rel, href, type, name);
            if (type != null && type.EndsWith("+xml", StringComparison.Ordinal) && Manners.Current.LinkTwins)
                OneLink(rel, href, type.Substring(0, type.Length - 4) + "+json", name);
        }

        void OneLink(string rel, string href, string type, string name)
        {
            W.WriteStartElement("Link", Ns.V);
            W.WriteAttributeString("rel", rel);
            W.WriteAttributeString("href", href);
            if (type != null) W.WriteAttributeString("type", type);
            if (name != null) W.WriteAttributeString("name", name);
            W.WriteEndElement();
        }

        // A link to an object at its own href, with its media type.
        public void Link(string rel, Entity e) { Link(rel, Refs.Href(e), Refs.MediaType(e)); }

        // The identifying attributes of a representation, in the order most objects print them: href, id, name,
        // type. (vApps, VMs, templates, tasks and provider objects print the name first: IdentityNameFirst.)
        public void Identity(string href, string id, string name, string type)
        {
            Attr("href", href);
            Attr("id", id);
            Attr("name", name);
            Attr("type", type);
        }

        public void Identity(Entity e, string href, string type) { Identity(href, Refs.Urn(e), e.Name, type); }

        public void IdentityNameFirst(Entity e, string href, string type)
        {
            Attr("name", e.Name);
            Attr("id", Refs.Urn(e));
            Attr("href", href);
            Attr("type", type);
        }

        // A reference element: href, name, type (and id when asked).
        public void Ref(string elem, Entity e, string ns = Ns.V, bool withId = false, string href = null, string type = null)
        {
            W.WriteStartElement(elem, ns);
            W.WriteAttributeString("href", href ?? Refs.Href(e));
            if (withId) W.WriteAttributeString("id", Refs.Urn(e));
            W.WriteAttributeString("name", e.Name);
            W.WriteAttributeString("type", type ?? Refs.MediaType(e));
            W.WriteEndElement();
        }

        // A reference element to something that is named but not served as an object of its own.
        public void RefTo(string elem, string href, string name, string type, string id = null)
        {
            W.WriteStartElement(elem, Ns.V);
            Attr("href", href);
            Attr("id", id);
            Attr("name", name);
            Attr("type", type);
            W.WriteEndElement();
        }

        // A container element holding a reference to each item; href and type as Ref() takes them.
        public void RefList<T>(string container, string elem, IEnumerable<T> items, Func<Entity, string> href = null, string type = null)
            where T : Entity
        {
            W.WriteStartElement(container, Ns.V);
            foreach (var e in items) Ref(elem, e, href: href == null ? null : href(e), type: type);
            W.WriteEndElement();
        }

        public void End() { W.WriteEndElement(); }
    }

    // A small JSON writer for the session endpoints and the control endpoint.
    class JsonOut
    {
        readonly StringBuilder sb = new StringBuilder();
        // One entry per open object or array: whether it already holds an item.
        readonly Stack<bool> hasItem = new Stack<bool>();
        bool afterKey;

        public JsonOut Obj() { Sep(); sb.Append('{'); hasItem.Push(false); return this; }
        public JsonOut EndObj() { sb.Append('}'); hasItem.Pop(); return this; }
        public JsonOut Arr() { Sep(); sb.Append('['); hasItem.Push(false); return this; }
        public JsonOut EndArr() { sb.Append(']'); hasItem.Pop(); return this; }

        public JsonOut Key(string k)
        {
            Sep();
            Str(k);
            sb.Append(':');
            afterKey = true;
            return this;
        }

        void Sep()
        {
            if (afterKey) { afterKey = false; return; }
            if (hasItem.Count == 0) return;
            if (hasItem.Pop()) sb.Append(',');
            hasItem.Push(true);
        }

        void Str(string s)
        {
            sb.Append('"');
            foreach (char c in s)
            {
                switch (c)
                {
                    case '"': sb.Append("\\\""); break;
                    case '\\': sb.Append("\\\\"); break;
                    case '\n': sb.Append("\\n"); break;
                    case '\r': sb.Append("\\r"); break;
                    case '\t': sb.Append("\\t"); break;
                    default:
                        if (c < 0x20) sb.AppendFormat("\\u{0:x4}", (int)c);
                        else sb.Append(c);
                        break;
                }
            }
            sb.Append('"');
        }

        public JsonOut Val(string s) { Sep(); if (s == null) sb.Append("null"); else Str(s); return this; }
        public JsonOut Val(long v) { Sep(); sb.Append(v.ToString(CultureInfo.InvariantCulture)); return this; }
        public JsonOut Val(double v) { Sep(); sb.Append(v.ToString("R", CultureInfo.InvariantCulture)); return this; }
        public JsonOut Val(bool v) { Sep(); sb.Append(v ? "true" : "false"); return this; }

        public JsonOut Prop(string k, string v) { return Key(k).Val(v); }
        public JsonOut Prop(string k, long v) { return Key(k).Val(v); }
        public JsonOut Prop(string k, double v) { return Key(k).Val(v); }
        public JsonOut Prop(string k, bool v) { return Key(k).Val(v); }

        public override string ToString() { return sb.ToString(); }
    }
}
