// vcbrecord: logs in through the wrapper's own transport (its limits, retries, TLS checks and redaction)
// and saves what the bridge's operations read from a cloud: versions and session, the query pages of every
// type they use, and the documents of organisations, VDCs, vApps, VMs, vCenter servers, provider VDCs,
// users and storage profiles with their metadata and access settings. The command-line tool starts it
// for `vcloud-bridge record DIR`; the password arrives on standard input.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Net.Http;
using System.Threading;
using System.Threading.Tasks;
using System.Xml.Linq;
using vCloudSDKWrapper;

namespace VcbRecord
{
    sealed class RecordError : Exception
    {
        public RecordError(string message) : base(message) { }
    }

    sealed class Recorder
    {
        const string Usage =
            "usage: mono vcbrecord.exe --server URL --user USER@ORG [--exact] [--map FILE] [--org ORG]... [--max-vms N]\n" +
            "                          [--option KEY=VALUE]... [--quiet] DIR   (the password is read from standard input)\n" +
            "       mono vcbrecord.exe --check DIR --map FILE   (audits a scrubbed recording against its map)\n";

        readonly RestClient http;
        readonly Session session;
        readonly Recording rec;
        readonly Scrubber scrub;
        readonly List<string> orgs;
        readonly int maxVms;
        readonly bool quiet;
        readonly List<string> missing = new List<string>();
        readonly List<string> limits = new List<string>();
        int refused;
        long lastProgress;
        readonly Stopwatch clock = Stopwatch.StartNew();

        Recorder(RestClient http, Session session, Recording rec, Scrubber scrub, List<string> orgs, int maxVms, bool quiet)
        {
            this.http = http; this.session = session; this.rec = rec; this.scrub = scrub;
            this.orgs = orgs; this.maxVms = maxVms; this.quiet = quiet;
        }

        static int Main(string[] args)
        {
            string server = null, user = null, dir = null, mapFile = null;
            bool exact = false, quiet = false, check = false;
            int maxVms = 0;
            var orgs = new List<string>();
            var opt = new WrapperOptions();
            try
            {
                for (int i = 0; i < args.Length; i++)
                {
                    string a = args[i];
                    Func<string> next = () =>
                    {
                        if (i + 1 >= args.Length) throw new ArgumentException(a + " needs a value");
                        return args[++i];
                    };
                    switch (a)
                    {
                        case "--server": server = next(); break;
                        case "--user": user = next(); break;
                        case "--exact": exact = true; break;
                        case "--check": check = true; break;
                        case "--map": mapFile = next(); break;
                        case "--org": orgs.Add(next()); break;
                        case "--max-vms":
                            if (!int.TryParse(next(), NumberStyles.None, CultureInfo.InvariantCulture, out maxVms) || maxVms < 1)
                                throw new ArgumentException("--max-vms needs a whole number from 1");
                            break;
                        case "--option":
                            {
                                string kv = next();
                                int eq = kv.IndexOf('=');
                                if (eq <= 0) throw new ArgumentException("--option needs KEY=VALUE");
                                opt.Set(kv.Substring(0, eq), kv.Substring(eq + 1), "--option");
                                break;
                            }
                        case "--quiet": quiet = true; break;
                        case "-h": case "--help": Console.Out.Write(Usage); return 0;
                        default:
                            if (a.StartsWith("-", StringComparison.Ordinal) || dir != null) throw new ArgumentException("unknown argument " + a);
                            dir = a; break;
                    }
                }
                if (check)
                {
                    if (dir == null || mapFile == null || server != null || exact) throw new ArgumentException("--check needs DIR and --map FILE, and nothing else");
                    return Check(dir, mapFile);
                }
                if (server == null || user == null || dir == null) throw new ArgumentException("--server, --user and DIR are needed");
                if (exact && mapFile != null) throw new ArgumentException("--map has nothing to hold with --exact");
                dir = Path.GetFullPath(dir);
                if (mapFile != null)
                {
                    mapFile = Path.GetFullPath(mapFile);
                    if ((mapFile + "/").StartsWith(dir.TrimEnd('/') + "/", StringComparison.Ordinal))
                        throw new ArgumentException("--map must name a file outside " + dir + ": the table undoes the scrubbing");
                }
                if (Directory.Exists(dir) && Directory.EnumerateFileSystemEntries(dir).Any())
                    throw new ArgumentException(dir + " is not empty: record into a new or empty directory");
            }
            catch (Exception e) when (e is ArgumentException || e is CloudException)
            {
                Console.Error.WriteLine("vcbrecord: " + e.Message);
                Console.Error.Write(Usage);
                return 2;
            }
            string password = Console.In.ReadLine() ?? "";
            var http = new RestClient(opt, WrapperLog.None);
            Session s;
            try
            {
                s = Connection.Login(http, server, user, password);
            }
            catch (CloudException e)
            {
                Console.Error.WriteLine("vcbrecord: " + e.Message);
                return 1;
            }
            finally { password = null; }
            var scrubber = new Scrubber(exact);
            var r = new Recorder(http, s, new Recording(dir), scrubber, orgs, maxVms, quiet);
            int status = 0;
            try
            {
                r.Walk();
            }
            catch (Exception e) when (e is CloudException || e is RecordError || e is IOException)
            {
                r.missing.Add(RestClient.Visible(e.Message));
                Console.Error.WriteLine("\nvcbrecord: " + RestClient.Visible(e.Message));
                status = 1;
            }
            try { Connection.Logout(http, s); } catch (CloudException) { }
            // The map goes first: it lies outside the recording, and it is what --check needs should the
            // audit below not finish.
            if (mapFile != null) scrubber.WriteMap(mapFile);
            if (!scrubber.Exact)
            {
                // The recording is not complete until the audit finds none of the replaced originals in it; an
                // audit cut short leaves it marked incomplete.
                scrubber.ForgetSegments();
                var audit = new Audit(scrubber.Entries());
                for (int i = 0; i < r.missing.Count; i++) r.missing[i] = audit.Redact(r.missing[i]);
                r.WriteIndex("no: the audit did not finish");
                var auditClock = Stopwatch.StartNew();
                var hits = audit.Run(dir);
                foreach (var h in hits) Console.Error.WriteLine("vcbrecord: audit: a replaced " + h.Kind + " is left in " + h.File);
                if (hits.Count > 0) r.missing.Add("audit: " + hits[0] + (hits.Count > 1 ? " and " + (hits.Count - 1) + (hits.Count >= 20 ? " or more" : "") + " other files" : ""));
                if (!quiet)
                    Console.Error.WriteLine("\rvcloud-bridge record: audit of " + audit.Files + " files: " + (hits.Count == 0 ? "no original left" : hits.Count + " with an original left") +
                                            " (" + (auditClock.ElapsedMilliseconds / 1000.0).ToString("0.0", CultureInfo.InvariantCulture) + " s)");
            }
            r.Finish();
            if (status == 0 && r.missing.Count > 0) status = 1;
            return status;
        }

        // --check DIR --map FILE: the audit of a recording made earlier, for the person about to send it.
        static int Check(string dir, string mapFile)
        {
            if (!File.Exists(Path.Combine(dir, "index.txt")))
            {
                Console.Error.WriteLine("vcbrecord: " + dir + " is not a recording (no index.txt)");
                return 2;
            }
            List<MapEntry> entries;
            try { entries = Audit.ReadMap(mapFile); }
            catch (Exception e) when (e is IOException || e is UnauthorizedAccessException)
            {
                Console.Error.WriteLine("vcbrecord: cannot read the map " + mapFile + ": " + e.Message);
                return 2;
            }
            var audit = new Audit(entries);
            var hits = audit.Run(dir);
            foreach (var h in hits) Console.Out.WriteLine("audit: a replaced " + h.Kind + " is left in " + h.File);
            Console.Out.WriteLine("audit: " + audit.Files + " files, " + entries.Count + " originals: " +
                                  (hits.Count == 0 ? "none left" : hits.Count + (hits.Count >= 20 ? " or more" : "") + " files hold one"));
            return hits.Count == 0 ? 0 : 1;
        }

        string Accept { get { return session.XmlAccept; } }

        // ---- fetching and saving ---------------------------------------------------------------------------

        // GETs one path (or href) and saves the answer; with read, returns its document when it is a 2xx XML
        // answer. Only query pages are read: the walk goes on from their records alone, and every other answer
        // was parsed a second time, after the scrubbing, for nothing.
        XDocument Fetch(string hrefOrPath, bool noAuth = false, bool read = false)
        {
            var uri = RestClient.Rebase(session.Root, hrefOrPath);
            string accept = noAuth ? "application/*+xml" : Accept;
            var r = http.Send(HttpMethod.Get, uri, noAuth ? null : session, accept, null, null, "GET " + uri.AbsolutePath);
            // A server error, or a session that stopped being accepted, leaves the recording with a hole.
            if (r.Status >= 500 || r.Status == 401) throw RestClient.Failure(r);
            bool xml = r.ContentType.IndexOf("xml", StringComparison.OrdinalIgnoreCase) >= 0;
            byte[] body = r.Body;
            if (xml && body.Length > 0)
            {
                try { body = scrub.Body(body); }
                catch (System.Xml.XmlException e) { throw new RecordError("GET " + uri.PathAndQuery + ": the answer is not well-formed XML: " + e.Message); }
            }
            else if (!scrub.Exact) body = new byte[0];   // no text of unknown shape is kept when scrubbing
            rec.Add("GET", scrub.Path(uri.PathAndQuery), accept, r.Status, r.ContentType, body);
            Progress();
            if (r.Status < 200 || r.Status > 299) { Interlocked.Increment(ref refused); return null; }
            return xml && read ? RestClient.Document(r) : null;
        }

        void Progress()
        {
            if (quiet || Console.IsErrorRedirected) return;
            long now = clock.ElapsedMilliseconds;
            if (now - Interlocked.Read(ref lastProgress) < 500) return;
            Interlocked.Exchange(ref lastProgress, now);
            Console.Error.Write("\rvcloud-bridge record: " + rec.Count + " answers, " + (now / 1000) + " s   ");
        }

        // ---- the walk ----------------------------------------------------------------------------------------

        sealed class Found
        {
            public readonly List<XElement> Orgs = new List<XElement>(), Vdcs = new List<XElement>(), VApps = new List<XElement>(),
                Vms = new List<XElement>(), VCenters = new List<XElement>(), Pvdcs = new List<XElement>(), Users = new List<XElement>(),
                Profiles = new List<XElement>();
        }

        void Walk()
        {
            Fetch("api/versions", noAuth: true);
            Fetch("api/session");
            Fetch("api/org");
            Fetch("api/query");
            bool sys = session.IsSystem;
            var found = new Found();
            // The user's own organisation comes along, so that the loaded copy knows the user who recorded it.
            string orgFilter = orgs.Count == 0 ? null
                : string.Join(",", orgs.Concat(new[] { session.OrgName }).Distinct(StringComparer.OrdinalIgnoreCase).Select(o => "name==" + Escape(o)));
            Query("organization", orgFilter, found.Orgs);
            string byOrg = null;
            if (orgs.Count > 0)
            {
                foreach (string o in orgs)
                    if (!found.Orgs.Any(e => string.Equals(e.Attr("name"), o, StringComparison.OrdinalIgnoreCase)))
                        throw new RecordError("no organisation named " + o + " is visible to " + session.Login);
                byOrg = string.Join(",", found.Orgs.Select(o => "org==" + Escape(o.Attr("href"))));
            }
            // Tenant record types carry no org reference; a tenant sees only its own organisation anyway.
            string scoped = sys ? byOrg : null;
            Query(sys ? "adminOrgVdc" : "orgVdc", scoped, found.Vdcs);
            Query(sys ? "adminVApp" : "vApp", scoped, found.VApps);
            Query(sys ? "adminVM" : "vm", scoped, found.Vms, maxVms);
            Query(sys ? "adminOrgVdcStorageProfile" : "orgVdcStorageProfile", scoped, found.Profiles);
            Query(sys ? "adminUser" : "user", scoped, found.Users);
            Query(sys ? "adminVAppTemplate" : "vAppTemplate", scoped, null);
            string byVdc = orgs.Count == 0 || found.Vdcs.Count == 0 ? null : string.Join(",", found.Vdcs.Select(v => "vdc==" + Escape(v.Attr("href"))));
            if (orgs.Count == 0 || byVdc != null) Query("orgVdcNetwork", byVdc, null);
            Query("catalog", orgs.Count == 0 ? null : string.Join(",", found.Orgs.Select(o => "orgName==" + Escape(o.Attr("name")))), null);
            if (sys)
            {
                Fetch("api/admin");
                Fetch("api/admin/extension/vimServerReferences");
                Query("virtualCenter", null, found.VCenters);
                Query("providerVdc", null, found.Pvdcs);
                Query("datastore", null, null);
            }
            var work = new List<string>();
            foreach (var o in found.Orgs) { work.Add(o.Attr("href")); work.Add("api/admin/org/" + Uuid(o.Attr("href"))); }
            foreach (var v in found.Vdcs) { work.Add(v.Attr("href")); work.Add("api/admin/vdc/" + Uuid(v.Attr("href"))); }
            foreach (var a in found.VApps)
                foreach (string tail in new[] { "", "/controlAccess/", "/owner", "/metadata" }) work.Add(a.Attr("href") + tail);
            foreach (var m in found.Vms)
                if (m.Attr("isVAppTemplate") != "true") { work.Add(m.Attr("href")); work.Add(m.Attr("href") + "/metadata"); }
            foreach (var c in found.VCenters) work.Add(c.Attr("href"));
            foreach (var p in found.Pvdcs) { work.Add(p.Attr("href")); work.Add("api/admin/providervdc/" + Uuid(p.Attr("href"))); }
            foreach (var u in found.Users) work.Add(u.Attr("href"));
            foreach (var p in found.Profiles) work.Add(p.Attr("href"));
            // Documents come in a few at a time, as the wrapper reads them; the transport keeps to its own
            // limit of requests in flight per session.
            Exception first = null;
            Parallel.ForEach(work.Where(w => !string.IsNullOrEmpty(w)), new ParallelOptions { MaxDegreeOfParallelism = Math.Max(1, http.Options.QueryConcurrency) },
                (href, state) =>
                {
                    try { Fetch(href); }
                    catch (Exception e) when (e is CloudException || e is RecordError || e is IOException)
                    {
                        lock (missing) if (first == null) first = e;
                        state.Stop();
                    }
                });
            if (first != null) throw first;
        }

        static readonly HashSet<string> Kept = new HashSet<string>(StringComparer.Ordinal) { "href", "name", "isVAppTemplate" };

        static string Uuid(string href) { return Ref.Uuid(href); }

        // A filter value with the characters the query language gives a meaning escaped.
        static string Escape(string v)
        {
            var sb = new System.Text.StringBuilder();
            foreach (char c in v)
            {
                if (c == '(' || c == ')' || c == ';' || c == ',' || c == '\\') sb.Append('\\');
                sb.Append(c);
            }
            return sb.ToString();
        }

        // Walks every page of a records query, checking that the pages add up: each names the same total and
        // together they hold that many records. A walk that does not add up is tried once more, then the
        // recording fails. With a bound (--max-vms), the walk stops after the page that reaches it and the
        // recording says so.
        void Query(string type, string filter, List<XElement> into, int bound = 0)
        {
            int pageSize = Math.Min(http.Options.PageSize, 128);
            for (int attempt = 1; ; attempt++)
            {
                var records = new List<XElement>();
                int total = -1, page = 1;
                string broken = null;
                bool limited = false;
                while (true)
                {
                    if (page > http.Options.MaxQueryPages)
                        throw new RecordError("query " + type + ": more than maxQueryPages (" + http.Options.MaxQueryPages + ") pages");
                    string path = "api/query?type=" + type + "&format=records&page=" + page + "&pageSize=" + pageSize +
                                  (filter == null ? "" : "&filter=" + Uri.EscapeDataString(filter));
                    var doc = Fetch(path, read: true);
                    if (doc == null || doc.Root == null || doc.Root.Name.LocalName != "QueryResultRecords")
                    {
                        if (page == 1) return;   // a type this user may not query: the answer is recorded as it came
                        broken = "page " + page + " has no records document";
                        break;
                    }
                    int t;
                    if (!int.TryParse(doc.Root.Attr("total"), NumberStyles.None, CultureInfo.InvariantCulture, out t))
                    { broken = "page " + page + " has no total"; break; }
                    if (total >= 0 && t != total) { broken = "the total changed from " + total + " to " + t + " at page " + page; break; }
                    total = t;
                    var here = doc.Root.Elements().Where(e => e.Name.LocalName.EndsWith("Record", StringComparison.Ordinal)).ToList();
                    // Only what the walk goes on with is kept, not the page: 100,000 VMs' pages would not fit.
                    foreach (var e in here)
                        records.Add(new XElement(e.Name.LocalName, e.Attributes().Where(a => Kept.Contains(a.Name.LocalName)).Select(a => new XAttribute(a.Name.LocalName, a.Value))));
                    if (bound > 0 && records.Count >= bound && bound < total) { limited = true; break; }
                    if (records.Count >= total || here.Count == 0) break;
                    page++;
                }
                if (broken == null && !limited && records.Count != total)
                    broken = records.Count + " records arrived where the pages announced " + total;
                if (broken == null)
                {
                    if (limited)
                    {
                        // The pages hold a few more VMs than the bound; those come without their documents.
                        records.RemoveRange(bound, records.Count - bound);
                        lock (limits) limits.Add("query " + type + " stopped at " + bound + " of " + total + " records (--max-vms)");
                    }
                    if (into != null) into.AddRange(records);
                    return;
                }
                if (attempt == 2) throw new RecordError("query " + type + ": the pages do not add up (" + broken + "); the cloud changed during the walk");
                Console.Error.WriteLine("\nvcbrecord: query " + type + ": " + broken + "; walking it again");
            }
        }

        List<KeyValuePair<string, string>> Header()
        {
            var root = session.Root.GetLeftPart(UriPartial.Authority);
            var header = new List<KeyValuePair<string, string>>
            {
                new KeyValuePair<string, string>("base", scrub.Text(root)),
                new KeyValuePair<string, string>("api-version", session.Version.Text),
                new KeyValuePair<string, string>("user", scrub.NameOf(session.UserName)),
                new KeyValuePair<string, string>("org", scrub.NameOf(session.OrgName)),
                new KeyValuePair<string, string>("scrubbed", scrub.Exact ? "no" : "yes"),
                new KeyValuePair<string, string>("refused", refused.ToString(CultureInfo.InvariantCulture)),
            };
            foreach (var l in limits) header.Add(new KeyValuePair<string, string>("limited", l));
            if (!scrub.Exact)
            {
                header.Add(new KeyValuePair<string, string>("pseudonyms", scrub.PseudonymSummary()));
                header.Add(new KeyValuePair<string, string>("kept", scrub.KeptSummary()));
            }
            return header;
        }

        void WriteIndex(string complete)
        {
            var header = Header();
            header.Add(new KeyValuePair<string, string>("complete", complete));
            rec.WriteIndex(header);
        }

        void Finish()
        {
            WriteIndex(missing.Count == 0 ? "yes" : "no: " + string.Join("; ", missing));
            if (!quiet)
                Console.Error.WriteLine("\rvcloud-bridge record: " + rec.Count + " answers in " + (clock.ElapsedMilliseconds / 1000.0).ToString("0.0", CultureInfo.InvariantCulture) +
                    " s" + (missing.Count > 0 ? ", INCOMPLETE" : limits.Count > 0 ? ", limited by --max-vms" : ", complete") +
                    (refused > 0 ? "; " + refused + " refused (4xx, saved as they came; see index.txt)" : "") + "        ");
        }
    }
}
