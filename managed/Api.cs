// Calls within one session: reading XML objects, the query service with paging to the end, and
// actions that answer with tasks, polled until they end, with busy entities retried.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Net.Http;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using System.Xml;
using System.Xml.Linq;

namespace vCloudSDKWrapper
{
    // One record of a query result: its element name (VMRecord, AdminVMRecord, ...) and attributes.
    internal sealed class QueryRecord
    {
        public string Element = "";
        public readonly Dictionary<string, string> Attrs = new Dictionary<string, string>(StringComparer.Ordinal);
        public string this[string name]
        {
            get { string v; return Attrs.TryGetValue(name, out v) ? v : ""; }
        }
        public string Name { get { return this["name"]; } }
        public string Href { get { return this["href"]; } }
    }

    internal sealed class Api
    {
        public readonly Session S;
        public readonly RestClient Http;
        public WrapperOptions Opt { get { return Http.Options; } }
        public WrapperLog Log { get { return Http.Log; } }

        public Api(Session session, RestClient http) { S = session; Http = http; }

        public Uri Url(string hrefOrPath) { return RestClient.Rebase(S.Root, hrefOrPath); }

        private static string Describe(HttpMethod m, Uri u) { return m + " " + u.AbsolutePath; }

        public Reply Call(HttpMethod method, string hrefOrPath, string body = null, string contentType = null)
        {
            var uri = Url(hrefOrPath);
            var r = Http.Send(method, uri, S, S.XmlAccept, body, contentType, Describe(method, uri));
            if (r.Status < 200 || r.Status > 299) throw RestClient.Failure(r);
            return r;
        }

        public XDocument Get(string hrefOrPath) { return RestClient.Document(Call(HttpMethod.Get, hrefOrPath)); }

        // Reads an object and checks its element; 403 and 404 become "not found or not accessible",
        // since the server answers 403 both for missing rights and for ids that do not exist.
        public XElement GetObject(string hrefOrPath, XNamespace ns, string element, string what)
        {
            XDocument doc;
            try { doc = Get(hrefOrPath); }
            catch (CloudException e)
            {
                if (e.IsNotFound) throw new CloudException(what + " not found or not accessible (" + e.Message + ")", e.Status, e.MinorCode);
                throw;
            }
            var root = doc.Root;
            if (root == null || root.Name != ns + element)
                throw new CloudException(what + ": '" + hrefOrPath + "' is a " + (root == null ? "empty document" : root.Name.LocalName) + ", not a " + element);
            return root;
        }

        // ---- query service ----

        // Escapes a value for a query filter. From API 35 the characters ( ) ; , are escaped with a
        // backslash; before 35 the value is percent-encoded and the request says filterEncoded=true.
        public string FilterValue(string value)
        {
            if (!S.Version.AtLeast(35)) return Uri.EscapeDataString(value);
            var sb = new StringBuilder();
            foreach (char c in value)
            {
                if (c == '(' || c == ')' || c == ';' || c == ',' || c == '\\') sb.Append('\\');
                sb.Append(c);
            }
            return sb.ToString();
        }

        public string Eq(string attribute, string value) { return attribute + "==" + FilterValue(value); }

        public static string And(params string[] terms)
        {
            return string.Join(";", terms.Where(t => !string.IsNullOrEmpty(t)).ToArray());
        }

        // Every record of a typed query, page after page until the server offers no next page. Stops
        // early after 'max' records when max > 0.
        public IEnumerable<QueryRecord> Query(string type, string filter, int max = 0, string extra = null)
        {
            var q = new StringBuilder("api/query?type=" + Uri.EscapeDataString(type) + "&format=records&page=1&pageSize="
                + Opt.PageSize.ToString(CultureInfo.InvariantCulture));
            if (!string.IsNullOrEmpty(filter))
            {
                q.Append("&filter=" + Uri.EscapeDataString(filter));
                if (!S.Version.AtLeast(35)) q.Append("&filterEncoded=true");
            }
            if (!string.IsNullOrEmpty(extra)) q.Append("&" + extra);
            string next = q.ToString();
            int seen = 0, pages = 0;
            long total = -1;
            var visited = new HashSet<string>(StringComparer.Ordinal);
            Task<Reply> ahead = null;
            string aheadPath = null;
            while (next != null)
            {
                var uri = Url(next);
                if (!visited.Add(uri.PathAndQuery))
                    throw new CloudException("query " + type + ": the server offered page " + uri.PathAndQuery + " twice");
                string what = "GET " + uri.AbsolutePath + " (query " + type + ")";
                var reply = ahead != null && aheadPath == uri.PathAndQuery ? ahead.GetAwaiter().GetResult() : FetchPage(uri, what);
                ahead = null;
                // The next page is fetched while this one is read: its link precedes the records.
                var head = ParsePage(reply, what, true);
                if (head.Next != null && !(max > 0 && seen + head.PageSize >= max))
                {
                    var aheadUri = Url(head.Next);
                    aheadPath = aheadUri.PathAndQuery;
                    string aheadWhat = "GET " + aheadUri.AbsolutePath + " (query " + type + ")";
                    ahead = Task.Run(() => FetchPage(aheadUri, aheadWhat));
                }
                var page = ParsePage(reply, what, false);
                pages++;
                if (page.Total >= 0) total = page.Total;
                foreach (var rec in page.Records)
                {
                    yield return rec;
                    seen++;
                    if (max > 0 && seen >= max) yield break;
                }
                next = page.Next;
                // A server that keeps offering pages beyond its own total would loop for ever.
                if (next != null && total >= 0 && pages > total / Math.Max(1, page.PageSize) + 2)
                    throw new CloudException("query " + type + ": the server offers more pages than its total of " + total + " records needs");
            }
        }

        private sealed class Page
        {
            public long Total = -1;
            public int PageSize = 1;
            public string Next;
            public readonly List<QueryRecord> Records = new List<QueryRecord>();
        }

        private Reply FetchPage(Uri uri, string what)
        {
            var r = Http.Send(HttpMethod.Get, uri, S, S.XmlAccept, null, null, what);
            if (r.Status < 200 || r.Status > 299) throw RestClient.Failure(r);
            if (r.IsHtml) throw new CloudException(what + ": the server or a proxy in front of it answered with an HTML page instead of XML");
            return r;
        }

        // Streams one QueryResultRecords page: records are flat elements, so no tree is built. With
        // headOnly it stops at the first record, having read the paging attributes and links.
        private Page ParsePage(Reply r, string what, bool headOnly)
        {
            var page = new Page();
            string vcloud = Ns.Vcloud.NamespaceName;
            try
            {
                using (var stream = new MemoryStream(r.Body))
                using (var xr = XmlReader.Create(stream, X.ReaderSettings))
                {
                    if (xr.MoveToContent() != XmlNodeType.Element || xr.LocalName != "QueryResultRecords" || xr.NamespaceURI != vcloud)
                        throw new CloudException(what + ": expected QueryResultRecords, got " + (xr.NodeType == XmlNodeType.Element ? xr.LocalName : "no element"));
                    long total;
                    if (long.TryParse(xr.GetAttribute("total"), NumberStyles.Integer, CultureInfo.InvariantCulture, out total)) page.Total = total;
                    int size;
                    if (int.TryParse(xr.GetAttribute("pageSize"), NumberStyles.Integer, CultureInfo.InvariantCulture, out size) && size > 0) page.PageSize = size;
                    if (xr.IsEmptyElement) return page;
                    int depth = xr.Depth;
                    xr.Read();
                    while (!xr.EOF && xr.Depth > depth)
                    {
                        if (xr.NodeType != XmlNodeType.Element || xr.Depth != depth + 1) { xr.Read(); continue; }
                        if (xr.NamespaceURI == vcloud && xr.LocalName == "Link")
                        {
                            if (xr.GetAttribute("rel") == "nextPage") page.Next = xr.GetAttribute("href");
                        }
                        else if (xr.NamespaceURI == vcloud && xr.LocalName.EndsWith("Record", StringComparison.Ordinal))
                        {
                            if (headOnly) return page;
                            var rec = new QueryRecord { Element = xr.LocalName };
                            if (xr.MoveToFirstAttribute())
                            {
                                do
                                {
                                    if (xr.NamespaceURI.Length == 0) rec.Attrs[xr.LocalName] = xr.Value;
                                } while (xr.MoveToNextAttribute());
                                xr.MoveToElement();
                            }
                            page.Records.Add(rec);
                        }
                        xr.Skip();
                    }
                }
            }
            catch (XmlException e)
            {
                throw new CloudException("malformed XML in the answer to " + what + ": " + e.Message);
            }
            return page;
        }

        // ---- tasks and actions ----

        // Sends an action and waits for the task it starts (a Task answer, or Tasks inside an object
        // such as a new vApp). A busy entity is retried until the task time-out. Returns the answer.
        public XDocument Act(HttpMethod method, string href, string body, string contentType, string what, bool retryBusy = true)
        {
            var deadline = DateTime.UtcNow + Opt.TaskTimeout;
            while (true)
            {
                Reply r;
                try
                {
                    r = Call(method, href, body, contentType);
                }
                catch (CloudException e)
                {
                    if (!e.IsBusy || !retryBusy || DateTime.UtcNow >= deadline) throw new CloudException(what + ": " + e.Message, e.Status, e.MinorCode);
                    Log.Info(1, what + ": entity busy, retrying: " + e.Message);
                    Thread.Sleep(Opt.TaskPollInterval);
                    continue;
                }
                if (r.Body.Length == 0) return null;
                var doc = RestClient.Document(r);
                var root = doc.Root;
                if (root.Name == Ns.Vcloud + "Task") WaitTask(root, what, deadline);
                else
                {
                    var tasks = root.Child(Ns.Vcloud, "Tasks");
                    if (tasks != null)
                        foreach (var t in tasks.Elements(Ns.Vcloud + "Task")) WaitTask(t, what, deadline);
                }
                return doc;
            }
        }

        // Waits for the tasks an object lists as running on it, so that the next action does not
        // collide with them.
        public void WaitForRunningTasks(XElement entity, string what)
        {
            var tasks = entity.Child(Ns.Vcloud, "Tasks");
            if (tasks == null) return;
            var deadline = DateTime.UtcNow + Opt.TaskTimeout;
            foreach (var t in tasks.Elements(Ns.Vcloud + "Task"))
            {
                try { WaitTask(t, what + " (earlier task)", deadline); }
                catch (CloudException e) { Log.Info(1, what + ": an earlier task on the entity ended badly: " + e.Message); }
            }
        }

        private static bool Running(string status)
        {
            switch (status)
            {
                case "queued": case "preRunning": case "running": case "postRunning": return true;
            }
            return false;
        }

        public void WaitTask(XElement task, string what, DateTime deadline)
        {
            string href = task.Attr("href");
            while (Running(task.Attr("status")))
            {
                if (DateTime.UtcNow >= deadline)
                    throw new CloudException(what + ": task " + TaskName(task) + " did not finish within "
                        + Opt.TaskTimeout.TotalSeconds + " s (taskTimeout); it may still be running on the server: " + href);
                Thread.Sleep(Opt.TaskPollInterval);
                if (href.Length == 0) throw new CloudException(what + ": a running task without an href cannot be followed");
                task = GetObject(href, Ns.Vcloud, "Task", what + ": task");
            }
            string status = task.Attr("status");
            if (status == "success") return;
            var err = task.Child(Ns.Vcloud, "Error");
            string detail = err == null ? "" : ": " + (err.Attr("minorErrorCode").Length > 0 ? err.Attr("minorErrorCode") + ": " : "") + err.Attr("message");
            int code;
            int.TryParse(err.Attr("majorErrorCode"), out code);
            throw new CloudException(what + ": task " + TaskName(task) + " ended with status '" + status + "'" + detail, code, err.Attr("minorErrorCode"));
        }

        private static string TaskName(XElement task)
        {
            string n = task.Attr("operationName");
            return n.Length > 0 ? n : task.Attr("operation");
        }
    }
}
