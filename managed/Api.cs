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
        public readonly RecordAttributes Attrs;
        public QueryRecord() : this(0) { }
        public QueryRecord(int attributes) { Attrs = new RecordAttributes(attributes); }
        public string this[string name]
        {
            get { string v; return Attrs.TryGetValue(name, out v) ? v : ""; }
        }
        public string Name { get { return this["name"]; } }
        public string Href { get { return this["href"]; } }
    }

    // A record's attributes by name: one array of name and value pairs, searched in order. A list of
    // 100,000 records makes as many of these, and a table per record would cost several times the texts
    // it holds.
    internal sealed class RecordAttributes : IEnumerable<KeyValuePair<string, string>>
    {
        private string[] pairs;   // name, value, name, value, ...
        private int count;

        public RecordAttributes(int capacity) { pairs = new string[2 * Math.Max(capacity, 2)]; }

        public int Count { get { return count; } }

        private int IndexOf(string name)
        {
            for (int i = 0; i < count; i++)
                if (string.Equals(pairs[2 * i], name, StringComparison.Ordinal)) return i;
            return -1;
        }

        public bool TryGetValue(string name, out string value)
        {
            int i = IndexOf(name);
            value = i >= 0 ? pairs[2 * i + 1] : null;
            return i >= 0;
        }

        // Sets an attribute, replacing one of the same name.
        public string this[string name]
        {
            get { string v; if (!TryGetValue(name, out v)) throw new KeyNotFoundException(name); return v; }
            set
            {
                if (name == null) throw new ArgumentNullException("name");
                int i = IndexOf(name);
                if (i < 0)
                {
                    if (2 * count == pairs.Length) Array.Resize(ref pairs, 2 * pairs.Length);
                    i = count++;
                    pairs[2 * i] = name;
                }
                pairs[2 * i + 1] = value;
            }
        }

        public IEnumerator<KeyValuePair<string, string>> GetEnumerator()
        {
            for (int i = 0; i < count; i++) yield return new KeyValuePair<string, string>(pairs[2 * i], pairs[2 * i + 1]);
        }

        System.Collections.IEnumerator System.Collections.IEnumerable.GetEnumerator() { return GetEnumerator(); }

        // Adds an attribute the caller knows the record does not hold yet (a page's reader refuses
        // duplicate attributes before it gets here).
        internal void Append(string name, string value)
        {
            if (2 * count == pairs.Length) Array.Resize(ref pairs, 2 * pairs.Length);
            pairs[2 * count] = name;
            pairs[2 * count + 1] = value;
            count++;
        }
    }

    // A record's identity within a walk: equal exactly when the identity texts (its href, or all its
    // attributes without one) are equal. An href that ends in a UUID in its canonical form (36 lower-case
    // characters) is held as the UUID's 128 bits and the text before it, which all records of a query share
    // as one instance: the walk's sets of 100,000 identities then hold no href of their own, and the hrefs
    // die with their pages instead of reaching the collector's old generation.
    internal struct RecordKey : IEquatable<RecordKey>
    {
        public ulong High, Low;
        public string Text;   // the href before its UUID; or, without a UUID, the whole identity
        public bool HasUuid;

        public bool Equals(RecordKey other)
        {
            return High == other.High && Low == other.Low && HasUuid == other.HasUuid && string.Equals(Text, other.Text, StringComparison.Ordinal);
        }

        public override bool Equals(object other) { return other is RecordKey && Equals((RecordKey)other); }

        public override int GetHashCode()
        {
            return HasUuid ? (High ^ Low).GetHashCode() ^ Text.Length : StringComparer.Ordinal.GetHashCode(Text);
        }

        // The key of an identity text; 'before' is the text before the UUID of the previous key, to share.
        public static RecordKey Of(string identity, ref string before)
        {
            int at = identity.Length - 36;
            ulong high, low;
            if (at < 0 || !CanonicalUuid(identity, at, out high, out low)) return new RecordKey { Text = identity };
            if (before == null || before.Length != at || string.CompareOrdinal(identity, 0, before, 0, at) != 0) before = identity.Substring(0, at);
            return new RecordKey { High = high, Low = low, Text = before, HasUuid = true };
        }

        // Reads text[at, at + 36) as a UUID written as 8-4-4-4-12 lower-case hexadecimal digits. Upper-case
        // digits are refused, so that hrefs which differ only in the case of their UUID keep distinct keys.
        public static bool CanonicalUuid(string text, int at, out ulong high, out ulong low)
        {
            high = low = 0;
            int digits = 0;
            for (int i = 0; i < 36; i++)
            {
                char c = text[at + i];
                if (i == 8 || i == 13 || i == 18 || i == 23)
                {
                    if (c != '-') return false;
                    continue;
                }
                int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
                if (v < 0) return false;
                if (digits++ < 16) high = (high << 4) | (uint)v;
                else low = (low << 4) | (uint)v;
            }
            return true;
        }
    }

    internal sealed class Api
    {
        private readonly Session first;
        public readonly RestClient Http;
        public WrapperOptions Opt { get { return Http.Options; } }
        public WrapperLog Log { get { return Http.Log; } }

        public Api(Session session, RestClient http) { first = session; Http = http; }

        // The connection's newest session: once a request has logged in again, the operation's next
        // requests go out in the new session.
        public Session S
        {
            get
            {
                var newest = first.Renewal == null ? null : first.Renewal.Current;
                return newest ?? first;
            }
        }

        // What the session kept of resolved names (null: nothing is kept), the entries this operation
        // took from it, and whether the operation has asked the server to change anything.
        public NameCache Names;
        public readonly List<string> KeptUsed = new List<string>();
        public bool Changed;

        public Uri Url(string hrefOrPath) { return RestClient.Rebase(S.Root, hrefOrPath); }

        private static string Describe(HttpMethod m, Uri u) { return m + " " + u.AbsolutePath; }

        public Reply Call(HttpMethod method, string hrefOrPath, string body = null, string contentType = null)
        {
            var uri = Url(hrefOrPath);
            if (method != HttpMethod.Get) Changed = true;
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

        // The order every paged query asks for. Pages are windows into one fixed order of the records, so
        // a walk can tell whether its pages still join up while records are created and deleted.
        public const string SortKey = "name";

        // How many attempts a walk gets when its pages stop joining up or its records fall short of the
        // server's total, before the query fails.
        public const int WalkAttempts = 3;

        // A walk of this many page requests or more ends with a full collection (some 8,000 records).
        private const int CollectAfterPages = 64;

        // The most records a walk makes room for at once when the server states its total: a large list's
        // identity set and its caller's list are then made once instead of doubling some twenty times, each
        // time a new large array that the collector frees only in a full collection. A larger total (or one
        // a server overstates) grows from there as usual.
        internal const int MaxPresized = 1 << 18;

        // One window of a query result. Page Page at Size records a page holds records [Start, End) of the
        // order, counted from Offset when the server is asked to skip records first (its offset parameter).
        internal struct Window
        {
            public int Page, Size;
            public long Offset;
            public bool Anchored;  // starts on records already read, so its first record must be one of them
            public long Start { get { return Offset + (long)(Page - 1) * Size; } }
            public long End { get { return Start + Size; } }
            public string Param
            {
                get
                {
                    string paged = "page=" + Page.ToString(CultureInfo.InvariantCulture) + "&pageSize=" + Size.ToString(CultureInfo.InvariantCulture);
                    return Offset > 0 ? "offset=" + Offset.ToString(CultureInfo.InvariantCulture) + "&" + paged : paged;
                }
            }
        }

        // Records a window shares with the one before: a few, so that a deletion ahead of the read
        // position between two requests still leaves an already read record at the window's start.
        // Two of 128 cost 1.6 % more requests and bytes than the records need.
        internal static int Overlap(int size) { return Math.Max(1, size / 64); }

        // How far back from the end of the window before an offset window's first record may sit: records
        // created ahead of the read position between two requests move it back by one each. A first record
        // further back means the server did not skip what the offset asked it to.
        internal const int OffsetSlack = 16;

        // The window to read once the first 'covered' records of the order are read. With offsets, a full
        // page that starts 'overlap' records before 'covered'. Without (a server that does not skip
        // records), of all page sizes up to max, the one whose page starts at least 'overlap' records
        // before 'covered' and ends furthest. It depends only on 'covered', so every window of a walk
        // follows from the page size and total.
        internal static Window NextWindow(long covered, int max, int overlap, bool offsets = false)
        {
            if (covered <= 0) return new Window { Page = 1, Size = max, Anchored = false };
            if (offsets) return new Window { Page = 1, Size = max, Offset = Math.Max(0, covered - overlap), Anchored = true };
            foreach (int ov in new[] { overlap, 1, 0 })
            {
                if (ov > overlap) continue;
                long want = covered - ov;
                var best = new Window();
                for (int q = max; q >= 1; q--)
                {
                    long page = want / q + 1;
                    if (page > int.MaxValue) continue;
                    var w = new Window { Page = (int)page, Size = q, Anchored = ov > 0 };
                    if (w.End > covered && w.End > best.End) best = w;
                }
                if (best.Page > 0) return best;
            }
            return new Window { Page = (int)Math.Min(int.MaxValue, covered + 1), Size = 1, Anchored = false };
        }

        // The total of the whole order from a window's answer. Servers state the total either of the whole
        // order or of what is left after the offset; the reading nearer the total known so far is taken
        // (an offset window starts well past the first records, far more than records change by between
        // two requests).
        internal static long AbsoluteTotal(long stated, long offset, long known)
        {
            if (stated < 0 || offset <= 0 || known < 0) return stated < 0 || offset <= 0 ? stated : stated + offset;
            return Math.Abs(stated + offset - known) <= Math.Abs(stated - known) ? stated + offset : stated;
        }

        private string QueryBase(string type, string filter, string extra, ICollection<string> fields = null)
        {
            var q = new StringBuilder("api/query?type=" + Uri.EscapeDataString(type) + "&format=records");
            // Only the attributes the caller reads: a VM record has some thirty, and reading them costs
            // the client more than anything else in a long list. A record always carries its href.
            // A metadata filter goes without it, as public clients send one.
            bool metadata = filter != null && filter.IndexOf("metadata", StringComparison.Ordinal) >= 0;
            var asked = fields == null || metadata ? new List<string>() : fields.Where(f => f != "href").ToList();
            if (asked.Count > 0) q.Append("&fields=" + string.Join(",", asked.Select(Uri.EscapeDataString).ToArray()));
            if (!string.IsNullOrEmpty(filter))
            {
                q.Append("&filter=" + Uri.EscapeDataString(filter));
                if (!S.Version.AtLeast(35)) q.Append("&filterEncoded=true");
            }
            if (!string.IsNullOrEmpty(extra)) q.Append("&" + extra);
            if (extra == null || (extra.IndexOf("sortAsc=", StringComparison.Ordinal) < 0 && extra.IndexOf("sortDesc=", StringComparison.Ordinal) < 0))
                q.Append("&sortAsc=" + SortKey);
            return q.ToString();
        }

        // The record element each query type answers with. A page of any other record element is not an
        // answer to the query (a server bug, or a proxy that mixed answers up): taking vApp records for VMs
        // would make an agent back up vApps as VMs.
        private static readonly Dictionary<string, string> RecordElements = new Dictionary<string, string>(StringComparer.Ordinal)
        {
            { "vm", "VMRecord" }, { "adminVM", "AdminVMRecord" },
            { "vApp", "VAppRecord" }, { "adminVApp", "AdminVAppRecord" },
            { "orgVdc", "OrgVdcRecord" }, { "adminOrgVdc", "AdminVdcRecord" },
            { "orgVdcStorageProfile", "OrgVdcStorageProfileRecord" },
            { "adminOrgVdcStorageProfile", "AdminOrgVdcStorageProfileRecord" },
            { "virtualCenter", "VirtualCenterRecord" },
            { "datastoreProviderVdcRelation", "DatastoreProviderVdcRelationRecord" },
            { "providerVdc", "VMWProviderVdcRecord" },
            { "providerVdcStorageProfile", "ProviderVdcStorageProfileRecord" },
            { "organization", "OrgRecord" },
            { "user", "UserRecord" }, { "adminUser", "AdminUserRecord" },
            { "task", "TaskRecord" }, { "adminTask", "AdminTaskRecord" },
        };

        private static string RecordElement(string type)
        {
            string element;
            if (!RecordElements.TryGetValue(type, out element))
                throw new CloudException("query " + type + ": no record element is known for this query type");
            return element;
        }

        // The first record on a page that is not of the expected element, or null.
        private static string ForeignRecord(List<QueryRecord> records, string expected)
        {
            foreach (var rec in records)
                if (!string.Equals(rec.Element, expected, StringComparison.Ordinal)) return rec.Element;
            return null;
        }

        // The identity a record is de-duplicated by: its href, or all its attributes when it has none.
        private static string Identity(QueryRecord rec)
        {
            if (rec.Href.Length > 0) return rec.Href;
            var sb = new StringBuilder(rec.Element);
            foreach (var kv in rec.Attrs.OrderBy(k => k.Key, StringComparer.Ordinal)) sb.Append('\n').Append(kv.Key).Append('=').Append(kv.Value);
            return sb.ToString();
        }

        // A window requested ahead of the one the walk is reading, and the read under way.
        private sealed class Fetch
        {
            public Window Window;
            public Task<Page> Read;
        }

        // Every record of a typed query, each once, in windows over one sorted order. The walk is whole
        // or it fails: every window after the first must begin with a record this walk already read (so
        // no record that existed throughout can fall between two windows), and the records read must
        // reach the server's total. A walk that misses either starts again, up to WalkAttempts times.
        // Without a total only the maxQueryPages cap ends a server that never sends a short page. Stops
        // early after 'max' records when max > 0.
        //
        // Once the first page has given the total, the windows up to it are known in advance, so up to
        // queryConcurrency of them are read while the caller works through the current one. They are
        // still taken in walk order and checked exactly as one after the other, so the records and their
        // order are those of a walk that reads one window at a time.
        //
        // With 'attributes', a record keeps only those attributes and its href: a caller that reads a few
        // of a record's thirty-odd attributes spares the text and table entries of the rest.
        //
        // 'sized' learns, once, how many records the server's first total promises (at most MaxPresized, and
        // at most 'max' when given), so that the caller can make room for them.
        public IEnumerable<QueryRecord> Query(string type, string filter, int max = 0, string extra = null, ICollection<string> attributes = null,
                                              Action<int> sized = null)
        {
            string[] keep = null;
            if (attributes != null)
            {
                var names = new HashSet<string>(attributes, StringComparer.Ordinal);
                names.Add("href");
                keep = names.ToArray();
            }
            string basePath = QueryBase(type, filter, extra, attributes);
            string label = "query " + type;
            string recordElement = RecordElement(type);
            // Windows start where they should through the server's offset parameter until it shows it does
            // not honour it; page numbers over varying page sizes then place them.
            bool offsets = true, offsetsLeft = false;
            var seen = new HashSet<RecordKey>();
            bool presized = false;
            string before = null;   // the text before the UUID of the walk's last key, shared by the next ones
            Func<QueryRecord, RecordKey> key = rec => RecordKey.Of(Identity(rec), ref before);
            int requests = 0, yielded = 0;
            long knownTotal = -1;   // the largest total the server has stated in this query
            int concurrency = Math.Max(1, Opt.QueryConcurrency);
            string why = "";
            var ahead = new List<Fetch>();
            var readers = new Readers();
            try
            {
                for (int attempt = 1; attempt <= WalkAttempts; attempt++)
                {
                    var walked = new HashSet<RecordKey>();
                    // The identities of the last records read, newest last: an offset window must start on one.
                    var tail = new List<RecordKey>();
                    RecordKey? firstId = null;
                    long covered = 0, lastTotal = -1;
                    int size = Opt.PageSize;
                    why = "";
                    while (true)
                    {
                        var w = NextWindow(covered, size, Overlap(size), offsets);
                        Page page;
                        if (ahead.Count > 0 && ahead[0].Window.Page == w.Page && ahead[0].Window.Size == w.Size && ahead[0].Window.Offset == w.Offset)
                        {
                            var fetch = ahead[0];
                            ahead.RemoveAt(0);
                            page = fetch.Read.GetAwaiter().GetResult();
                        }
                        else
                        {
                            Settle(ahead);
                            CountRequest(ref requests, label, knownTotal, size);
                            page = ReadWindow(basePath, w, label, keep);
                        }
                        if (page.Refused == Refusal.Fields)
                        {
                            Log.Info(1, label + ": the server refused the fields parameter; asking for whole records");
                            basePath = QueryBase(type, filter, extra);
                            Settle(ahead);
                            continue;
                        }
                        if (page.Refused == Refusal.Offset)
                        {
                            // Starts the walk again with page numbers; the attempt is not counted.
                            why = "the server refused the offset parameter; placing windows by page numbers";
                            offsets = false;
                            offsetsLeft = true;
                            attempt--;
                            break;
                        }
                        if (page.Broken != null) { why = page.Broken; break; }
                        string foreign = ForeignRecord(page.Records, recordElement);
                        if (foreign != null)
                            throw new CloudException(label + ": the server answered with " + foreign + " records where " + recordElement + " records belong");
                        if (page.PageSize > 0 && page.PageSize < w.Size)
                        {
                            // The server pages at a smaller size than asked (its maxPageSize): plan with that.
                            size = page.PageSize;
                            Settle(ahead);
                            continue;
                        }
                        if (page.PageSize > w.Size || page.Records.Count > w.Size)
                            throw new CloudException(label + ": the server sent " + page.Records.Count + " records in pages of " + page.PageSize + " when asked for " + w.Size);
                        if (page.Number > 0 && page.Number != w.Page)
                            throw new CloudException(label + ": asked for page " + w.Page + ", the server sent page " + page.Number);
                        page.Total = AbsoluteTotal(page.Total, w.Offset, lastTotal >= 0 ? lastTotal : knownTotal);
                        if (page.Total >= 0) { lastTotal = page.Total; knownTotal = Math.Max(knownTotal, page.Total); }
                        if (!presized && page.Total > 0 && seen.Count == 0)
                        {
                            presized = true;
                            int room = (int)Math.Min(page.Total, MaxPresized);
                            seen = new HashSet<RecordKey>(room);
                            if (sized != null) sized(max > 0 ? Math.Min(room, max) : room);
                        }
                        if (w.Offset > 0 && page.Records.Count > 0 && firstId.HasValue && key(page.Records[0]).Equals(firstId.Value))
                        {
                            // The window starts where the whole order does: the server ignored the offset.
                            why = "the server ignored the offset parameter; placing windows by page numbers";
                            offsets = false;
                            offsetsLeft = true;
                            attempt--;
                            break;
                        }
                        if (w.Anchored && (page.Records.Count == 0 || !(w.Offset > 0 ? tail : (ICollection<RecordKey>)walked).Contains(key(page.Records[0]))))
                        {
                            why = "the pages no longer joined up: records were created or deleted while they were read";
                            break;
                        }
                        bool last = page.Records.Count < w.Size || (page.Total >= 0 && w.End >= page.Total);
                        // Records of this page not yet returned: only a capped walk needs to know.
                        int fresh = 0;
                        if (max > 0) foreach (var rec in page.Records) if (!seen.Contains(key(rec))) fresh++;
                        if (!last && !(max > 0 && yielded + fresh >= max))
                        {
                            // The next windows are read while the caller works through this one: as many as
                            // the total still needs, up to twice queryConcurrency; one when there is no total
                            // (its end is not known) or when the caller wants only the first 'max' records.
                            // The session's gate still lets only queryConcurrency requests onto the wire; the
                            // reads beyond wait there, so that a request goes out as soon as another's answer
                            // has arrived rather than after it has been parsed and taken by this walk.
                            int depth = page.Total >= 0 && max <= 0 ? 2 * concurrency : 1;
                            long planned = ahead.Count > 0 ? ahead[ahead.Count - 1].Window.End : w.End;
                            while (ahead.Count < depth && !(page.Total >= 0 && planned >= page.Total))
                            {
                                var next = NextWindow(planned, size, Overlap(size), offsets);
                                CountRequest(ref requests, label, knownTotal, size);
                                ahead.Add(new Fetch { Window = next, Read = readers.Read(ReadWindow, basePath, next, label, keep) });
                                planned = next.End;
                            }
                        }
                        // The page's records go to the caller one by one and are dropped with the page.
                        var records = page.Records;
                        page = null;
                        tail.Clear();
                        for (int i = Math.Max(0, records.Count - Overlap(size) - OffsetSlack); i < records.Count; i++) tail.Add(key(records[i]));
                        if (firstId == null && records.Count > 0) firstId = key(records[0]);
                        foreach (var rec in records)
                        {
                            var id = key(rec);
                            // Offset windows check their join on the tail of the window before.
                            if (!offsets) walked.Add(id);
                            if (!seen.Add(id)) continue;
                            yield return rec;
                            yielded++;
                            if (max > 0 && yielded >= max) yield break;
                        }
                        covered = w.End;
                        if (last) break;
                    }
                    Settle(ahead);
                    if (why.Length == 0)
                    {
                        if (lastTotal < 0 || seen.Count >= lastTotal)
                        {
                            if (requests >= CollectAfterPages)
                            {
                                // A long walk leaves its pages, their records and its href sets behind, much
                                // of it promoted to the collector's old generation while pages were read
                                // ahead. Collecting now hands that memory back before the caller converts
                                // the list, which is when a large list's memory peaks.
                                seen = null;
                                walked = null;
                                GC.Collect();
                            }
                            yield break;
                        }
                        why = "read " + seen.Count + " of the " + lastTotal + " records the server counts";
                    }
                    Log.Info(1, label + ": " + (offsetsLeft ? "starting again: " : "attempt " + attempt + " of " + WalkAttempts + " incomplete: ") + why);
                    offsetsLeft = false;
                }
            }
            finally
            {
                // No read of this walk outlives it: one the walk no longer needs is waited for and dropped.
                Settle(ahead);
                readers.Dispose();
            }
            throw new CloudException(label + ": the list is incomplete: " + why + " (" + WalkAttempts + " attempts)");
        }

        // The threads that read a walk's windows ahead. A read blocks on HTTP, so it runs on a thread of
        // this walk's own: pool threads must stay free for the HTTP client's own completions. A thread is
        // started only when no thread of the walk is idle, and each takes window after window until the walk
        // ends, so a walk of 800 windows starts as many threads as it has reads under way at once, not 800.
        private sealed class Readers : IDisposable
        {
            private readonly Queue<Action> work = new Queue<Action>();
            private int waiting;   // threads waiting for work that no Read has woken yet
            private bool done;

            public Task<Page> Read(Func<string, Window, string, string[], Page> read, string basePath, Window w, string label,
                string[] keep)
            {
                var result = new TaskCompletionSource<Page>();
                Action job = () =>
                {
                    Page page;
                    try { page = read(basePath, w, label, keep); }
                    catch (Exception e) { result.SetException(e); return; }
                    result.SetResult(page);
                };
                lock (work)
                {
                    if (done) throw new ObjectDisposedException("the walk has ended");
                    work.Enqueue(job);
                    if (waiting > 0)
                    {
                        waiting--;
                        Monitor.Pulse(work);
                    }
                    else new Thread(Run) { IsBackground = true, Name = "query window reader" }.Start();
                }
                return result.Task;
            }

            private void Run()
            {
                // The bodies of this thread's windows go into one page buffer, used again for each: a page's
                // records hold strings of their own once it is read.
                RestClient.Lender = new RestClient.PageBuffer();
                while (true)
                {
                    Action job;
                    lock (work)
                    {
                        while (work.Count == 0 && !done)
                        {
                            waiting++;
                            Monitor.Wait(work);
                        }
                        if (work.Count == 0) return;
                        job = work.Dequeue();
                    }
                    job();
                }
            }

            // Lets the threads end once the queue is empty; reads under way run to their end.
            public void Dispose()
            {
                lock (work)
                {
                    done = true;
                    Monitor.PulseAll(work);
                }
            }
        }

        // Waits for the reads still under way and drops them, failures included.
        private static void Settle(List<Fetch> ahead)
        {
            foreach (var fetch in ahead)
            {
                try { fetch.Read.Wait(); }
                catch (AggregateException) { }
            }
            ahead.Clear();
        }

        // maxQueryPages bounds the requests a query makes beyond those its stated total needs (every
        // attempt's windows, overlap included), so a large cloud lists whole while a server that never
        // states a total and never sends a short page is still stopped.
        private void CountRequest(ref int requests, string label, long total, int size)
        {
            long needed = total <= 0 ? 0 : WalkAttempts * (total / Math.Max(1, size - Overlap(size)) + 2);
            if (++requests > Opt.MaxQueryPages + needed)
                throw new CloudException(label + ": the server offers more than " + (Opt.MaxQueryPages + needed)
                    + " pages (maxQueryPages " + Opt.MaxQueryPages + " beyond what its total needs); the list is not read to its end");
        }

        private enum Refusal { None, Fields, Offset }

        private sealed class Page
        {
            public long Total = -1;
            public int PageSize;
            public int Number;
            public string Broken;   // why this window cannot be used, when the walk should start again
            public Refusal Refused; // a query parameter the server would not take
            public readonly List<QueryRecord> Records;
            public Page() : this(new List<QueryRecord>()) { }
            public Page(List<QueryRecord> records) { Records = records; }
        }

        // One window of the walk. A window past the end of the order (the list shrank since its size
        // was planned) is reported as broken, so the walk starts again instead of failing outright.
        private Page ReadWindow(string basePath, Window w, string label, string[] keep)
        {
            var uri = Url(basePath + "&" + w.Param);
            string what = "GET " + uri.AbsolutePath + " (" + label + ", page " + w.Page + " of size " + w.Size + ")";
            var r = Http.Send(HttpMethod.Get, uri, S, S.XmlAccept, null, null, what, page: true);
            if (r.Status == 400 && w.Start == 0 && basePath.IndexOf("&fields=", StringComparison.Ordinal) >= 0)
                return new Page { Refused = Refusal.Fields };
            if (r.Status == 400 && w.Offset > 0)
                return new Page { Refused = Refusal.Offset };
            if (r.Status == 400 && w.Page > 1)
                return new Page { Broken = "the server refused page " + w.Page + " of size " + w.Size + " (the list may have shrunk)" };
            if (r.Status < 200 || r.Status > 299) throw RestClient.Failure(r);
            if (r.IsHtml) throw new CloudException(what + ": the server or a proxy in front of it answered with an HTML page instead of XML");
            var content = ReadRecordsPage(r.BodyBytes, r.BodyLength, what, r.Limits, keep);
            return new Page(content.Records) { Total = content.Total, PageSize = content.PageSize, Number = content.Number };
        }

        private static bool Kept(string[] kept, string name)
        {
            foreach (string k in kept)
                if (string.Equals(k, name, StringComparison.Ordinal)) return true;
            return false;
        }

        // One QueryResultRecords page, with only the 'keep' attributes of each record when given. The page's
        // own scanner reads it when it can ('scan'); any other page, a malformed one too, goes to the full
        // reader, streamed: records are flat elements, so no tree is built.
        internal static RecordsPage ReadRecordsPage(byte[] body, int length, string what, ParseLimits limits, string[] keep, bool scan = true)
        {
            string vcloud = Ns.Vcloud.NamespaceName;
            if (scan)
            {
                var scanned = new RecordsPage();
                if (RecordPageScanner.TryRead(body, length, vcloud, keep, limits, what, scanned)) return scanned;
            }
            var page = new RecordsPage();
            try
            {
                using (var stream = new MemoryStream(body, 0, length, false))
                using (var xr = X.Reader(stream, what, limits))
                {
                    if (xr.MoveToContent() != XmlNodeType.Element || xr.LocalName != "QueryResultRecords" || xr.NamespaceURI != vcloud)
                        throw new CloudException(what + ": expected QueryResultRecords, got " + (xr.NodeType == XmlNodeType.Element ? xr.LocalName : "no element"));
                    long total;
                    if (long.TryParse(xr.GetAttribute("total"), NumberStyles.Integer, CultureInfo.InvariantCulture, out total) && total >= 0) page.Total = total;
                    int n;
                    if (int.TryParse(xr.GetAttribute("pageSize"), NumberStyles.Integer, CultureInfo.InvariantCulture, out n) && n > 0) page.PageSize = n;
                    if (int.TryParse(xr.GetAttribute("page"), NumberStyles.Integer, CultureInfo.InvariantCulture, out n) && n > 0) page.Number = n;
                    if (xr.IsEmptyElement) return page;
                    // The names to keep as the reader's own name table holds them: the reader gives every
                    // attribute name as that same instance, so a kept name matches on reference, and any
                    // other name on its length, without hashing either.
                    string[] kept = keep == null ? null : keep.Select(k => xr.NameTable != null ? xr.NameTable.Add(k) : k).ToArray();
                    int depth = xr.Depth;
                    xr.Read();
                    while (!xr.EOF && xr.Depth > depth)
                    {
                        if (xr.NodeType != XmlNodeType.Element || xr.Depth != depth + 1) { xr.Read(); continue; }
                        if (xr.NamespaceURI == vcloud && xr.LocalName.EndsWith("Record", StringComparison.Ordinal))
                        {
                            var rec = new QueryRecord(kept != null ? kept.Length : xr.AttributeCount) { Element = xr.LocalName };
                            if (xr.MoveToFirstAttribute())
                            {
                                do
                                {
                                    if (xr.NamespaceURI.Length == 0 && (kept == null || Kept(kept, xr.LocalName))) rec.Attrs[xr.LocalName] = xr.Value;
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
                // 204 is the one answer that says "done" without a body. Any other empty answer lost the
                // task it should have carried: the change may or may not have been made, and it is not
                // reported as done.
                if (r.Body.Length == 0)
                {
                    if (r.Status == 204) return null;
                    throw new CloudException(what + ": empty answer (HTTP " + r.Status + "); whether the server made the change is not known", r.Status, "");
                }
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
            string detail = err == null ? "" : ": " + RestClient.Visible(RestClient.Redact(
                (err.Attr("minorErrorCode").Length > 0 ? err.Attr("minorErrorCode") + ": " : "") + err.Attr("message"), null));
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
