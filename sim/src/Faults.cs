// Faults injected on request (latency, error shares, broken bodies, dropped connections, failing tasks,
// expiring tokens, inventory churn) and the request counters that tests read back.
using System;
using System.Collections.Generic;
using System.Globalization;

namespace VcdSim
{
    enum BodyFault { None, Truncate, Malformed, Html, Reset, Empty }

    class FaultDecision
    {
        public int LatencyMs;
        public int ForcedStatus;          // 429, 500, 503 or 504, 0 for none
        public string RetryAfter;         // the Retry-After header of a forced 429 or 503, null for none
        public BodyFault Body = BodyFault.None;
        public int HtmlStatus = 502;
    }

    class Faults
    {
        readonly object gate = new object();

        // Per-request faults: they apply to requests whose path starts with PathPrefix.
        public int LatencyMs;
        public double Share500;
        public double Share503;
        public double Share504;
        public double Share429;           // throttled, as a load balancer answers under load
        public string RetryAfter = "";    // Retry-After of forced 429 and 503 answers: seconds or an HTTP date; "" for none
        public bool Drop;                 // the connection is closed without an answer (key "reset")
        public bool Truncate;
        public bool Malformed;
        public bool Html;
        public bool Empty;                // the request is not carried out and is answered 200 with no body
        public int HtmlStatus = 502;
        public string PathPrefix = "";
        public string Method = "";        // only requests of this HTTP method, when set
        // How many more matching requests the per-request faults affect; -1 for all until reset.
        public int Count = -1;
        long matched;

        // Other faults.
        public int FailTasks;             // the next N tasks end in error
        public long TokenBudget = -1;     // sessions expire after N further authenticated requests
        public int TaskMs;                // how long a task takes from queued to done
        public int DefaultTaskMs;
        public int Churn;                 // VMs deleted and as many created before every query page after the first
        public string RecordElement = ""; // query records written under this element name instead of their type's,
        public string RecordElementFor = "";  // for this query type only, or for every type when empty
        public int ChurnWalks = -1;       // churn only during the next N VM listings (a listing starts at page 1); -1 for all
        public bool ChurnFront;           // replace the VMs first in name order with ones that sort last
        readonly Random churnRandom = new Random(12);
        long churnSeq;

        public Faults(int taskMs)
        {
            TaskMs = DefaultTaskMs = taskMs;
        }

        bool PerRequestActive
        {
            get { return LatencyMs > 0 || Share429 > 0 || Share500 > 0 || Share503 > 0 || Share504 > 0 || Drop || Truncate || Malformed || Html || Empty; }
        }

        public void Reset()
        {
            lock (gate)
            {
                ClearPerRequest();
                FailTasks = 0;
                TokenBudget = -1;
                TaskMs = DefaultTaskMs;
                Churn = 0;
                RecordElement = RecordElementFor = "";
                ChurnWalks = -1;
                ChurnFront = false;
            }
        }

        void ClearPerRequest()
        {
            LatencyMs = 0;
            Share500 = Share503 = Share504 = Share429 = 0;
            RetryAfter = "";
            Drop = Truncate = Malformed = Html = Empty = false;
            HtmlStatus = 502;
            PathPrefix = "";
            Method = "";
            Count = -1;
            matched = 0;
        }

        // Errors are spread evenly and deterministically: with a share p, request k of the matching ones
        // fails when floor(k*p) grows, so exactly the share fails and a test sees the same run every time.
        static bool Hits(long k, double p)
        {
            if (p <= 0) return false;
            if (p >= 1) return true;
            return Math.Floor(k * p + 1e-9) > Math.Floor((k - 1) * p + 1e-9);
        }

        public FaultDecision Decide(string method, string path)
        {
            lock (gate)
            {
                if (!PerRequestActive) return null;
                if (PathPrefix.Length > 0 && !path.StartsWith(PathPrefix, StringComparison.Ordinal)) return null;
                if (Method.Length > 0 && !string.Equals(Method, method, StringComparison.OrdinalIgnoreCase)) return null;
                long k = ++matched;
                var d = new FaultDecision { LatencyMs = LatencyMs, HtmlStatus = HtmlStatus };
                if (Hits(k, Share429)) d.ForcedStatus = 429;
                else if (Hits(k, Share500)) d.ForcedStatus = 500;
                else if (Hits(k, Share503)) d.ForcedStatus = 503;
                else if (Hits(k, Share504)) d.ForcedStatus = 504;
                if ((d.ForcedStatus == 429 || d.ForcedStatus == 503) && RetryAfter.Length > 0) d.RetryAfter = RetryAfter;
                if (Drop) d.Body = BodyFault.Reset;
                else if (Html) d.Body = BodyFault.Html;
                else if (Empty) d.Body = BodyFault.Empty;
                else if (Truncate) d.Body = BodyFault.Truncate;
                else if (Malformed) d.Body = BodyFault.Malformed;
                if (Count > 0 && --Count == 0) ClearPerRequest();
                return d;
            }
        }

        public bool TakeTaskFailure()
        {
            lock (gate)
            {
                if (FailTasks <= 0) return false;
                FailTasks--;
                return true;
            }
        }

        public int CurrentTaskMs { get { lock (gate) return TaskMs; } }

        public int CurrentChurn { get { lock (gate) return Churn; } }
        public bool CurrentChurnFront { get { lock (gate) return ChurnFront; } }

        // A VM listing starts again at page 1: once the listings given by churnWalks have started, churn stops.
        public void ListingStarts()
        {
            lock (gate)
            {
                if (ChurnWalks < 0 || Churn <= 0) return;
                if (ChurnWalks == 0) Churn = 0;
                else ChurnWalks--;
            }
        }
        internal Random ChurnRandom { get { return churnRandom; } }
        internal long NextChurn(int n) { lock (gate) { long s = churnSeq; churnSeq += n; return s; } }

        // The element a query type's records are written under.
        public string RecordElementOf(string type, string own)
        {
            lock (gate)
                return RecordElement.Length > 0 && (RecordElementFor.Length == 0 || RecordElementFor == type) ? RecordElement : own;
        }

        // Applies one setting by name; the names are those of the control endpoint and the command line.
        public void Set(string key, string value)
        {
            lock (gate)
            {
                switch (key)
                {
                    case "latencyMs": LatencyMs = Int(key, value, 0, 600000); break;
                    case "error500": Share500 = Share(key, value); break;
                    case "error503": Share503 = Share(key, value); break;
                    case "error504": Share504 = Share(key, value); break;
                    case "error429": Share429 = Share(key, value); break;
                    case "retryAfter": RetryAfter = HeaderText(key, value); break;
                    case "reset": Drop = Bool(key, value); break;
                    case "method": Method = (value ?? "").Trim().ToUpperInvariant(); break;
                    case "truncate": Truncate = Bool(key, value); break;
                    case "malformed": Malformed = Bool(key, value); break;
                    case "html": Html = Bool(key, value); break;
                    case "empty": Empty = Bool(key, value); break;
                    case "htmlStatus": HtmlStatus = Int(key, value, 100, 599); break;
                    case "path": PathPrefix = value ?? ""; break;
                    case "count": Count = Int(key, value, -1, int.MaxValue); if (Count == 0) Count = -1; break;
                    case "failTasks": FailTasks = Int(key, value, 0, int.MaxValue); break;
                    case "tokenExpiresAfter": TokenBudget = Int(key, value, -1, int.MaxValue); break;
                    case "taskMs": TaskMs = Int(key, value, 0, 3600000); break;
                    case "churn": Churn = Int(key, value, 0, 1000); break;
                    case "recordElement":
                        // ELEMENT, or TYPE:ELEMENT for one query type
                        int colon = (value ?? "").IndexOf(':');
                        RecordElementFor = colon < 0 ? "" : value.Substring(0, colon);
                        RecordElement = colon < 0 ? value ?? "" : value.Substring(colon + 1);
                        break;
                    case "churnWalks": ChurnWalks = Int(key, value, -1, 1000); break;
                    case "churnFront": ChurnFront = Bool(key, value); break;
                    default: throw new ArgumentException("unknown fault setting '" + key + "'");
                }
                matched = 0;
            }
        }

        static int Int(string key, string v, int min, int max)
        {
            int n;
            if (!int.TryParse(v, NumberStyles.Integer, CultureInfo.InvariantCulture, out n) || n < min || n > max)
                throw new ArgumentException(key + " needs a whole number from " + min + " to " + max);
            return n;
        }

        static double Share(string key, string v)
        {
            double d;
            if (!double.TryParse(v, NumberStyles.Float, CultureInfo.InvariantCulture, out d) || d < 0 || d > 1)
                throw new ArgumentException(key + " needs a share from 0 to 1");
            return d;
        }

        // A header value as given (seconds or an HTTP date are both sent as they are, so that clients meet
        // malformed ones too), without line breaks or other control characters.
        static string HeaderText(string key, string v)
        {
            string t = (v ?? "").Trim();
            foreach (char c in t)
                if (c < 0x20 || c == 0x7f) throw new ArgumentException(key + " needs a header value without control characters");
            return t;
        }

        static bool Bool(string key, string v)
        {
            switch ((v ?? "").ToLowerInvariant())
            {
                case "": case "1": case "true": case "yes": case "on": return true;
                case "0": case "false": case "no": case "off": return false;
            }
            throw new ArgumentException(key + " needs true or false");
        }

        public string ToJson()
        {
            lock (gate)
            {
                return new JsonOut().Obj()
                    .Prop("latencyMs", LatencyMs).Prop("error500", Share500).Prop("error503", Share503).Prop("error504", Share504)
                    .Prop("error429", Share429).Prop("retryAfter", RetryAfter)
                    .Prop("reset", Drop).Prop("method", Method).Prop("truncate", Truncate).Prop("malformed", Malformed).Prop("html", Html).Prop("empty", Empty)
                    .Prop("htmlStatus", HtmlStatus).Prop("path", PathPrefix).Prop("count", Count)
                    .Prop("failTasks", FailTasks).Prop("tokenExpiresAfter", TokenBudget).Prop("taskMs", TaskMs).Prop("churn", Churn)
                    .Prop("churnWalks", ChurnWalks).Prop("churnFront", ChurnFront)
                    .EndObj().ToString();
            }
        }
    }

    // The inventory changing under a client that pages through it, as it does in a backup window: before a
    // query page after the first, Churn random VMs of vApps are deleted and as many created in random vApps,
    // with names that fall anywhere in name order. With ChurnFront the VMs deleted are those first in name
    // order and the new ones sort last, so every later page starts Churn records further on: a listing
    // that reads on sees a gap. The caller holds the cloud's lock.
    static class Churner
    {
        // Called for every query page; page 1 of a VM query starts a new listing.
        public static void OnPage(Cloud cloud, Faults faults, string type, int page, int offset)
        {
            if (page > 1 || offset > 0) BeforePage(cloud, faults);
            else if (type == "vm" || type == "adminVM") faults.ListingStarts();
        }

        static void BeforePage(Cloud cloud, Faults faults)
        {
            int n = faults.CurrentChurn;
            if (n <= 0) return;
            bool front = faults.CurrentChurnFront;
            Random rnd = faults.ChurnRandom;
            long seq = faults.NextChurn(n);
            var b = new Builder(cloud);
            for (int k = 0; k < n; k++)
            {
                // A VM that a task holds cannot be deleted, on a real server as here.
                var candidates = cloud.Vms.FindAll(v => v.Parent is VApp && (v.ActiveTask == null || v.ActiveTask.Finished));
                if (candidates.Count > 0)
                {
                    Vm gone = candidates[0];
                    if (front) { foreach (var v in candidates) if (string.CompareOrdinal(v.Name, gone.Name) < 0) gone = v; }
                    else gone = candidates[rnd.Next(candidates.Count)];
                    cloud.RemoveVm(gone);
                }
                if (cloud.VApps.Count == 0) continue;
                var va = cloud.VApps[rnd.Next(cloud.VApps.Count)];
                string name = front ? "zz-churn" + (seq + k).ToString("000000", CultureInfo.InvariantCulture)
                    : "vm-" + rnd.Next(1000000).ToString("000000", CultureInfo.InvariantCulture) + "-churn" + (seq + k);
                b.Add(b.Vm(va, name, Power.On, true, null, null));
            }
        }
    }

    class Counters
    {
        readonly object gate = new object();
        long total;
        readonly Dictionary<string, long> byPath = new Dictionary<string, long>(StringComparer.Ordinal);
        readonly Dictionary<int, long> byStatus = new Dictionary<int, long>();

        public void Count(string path)
        {
            lock (gate)
            {
                total++;
                long n;
                byPath.TryGetValue(path, out n);
                byPath[path] = n + 1;
            }
        }

        // Requests being answered now (from their arrival until their answer starts out), and the most at
        // once since the counters were reset: what a client's limit on requests in flight looks like from
        // the server.
        int inFlight, mostInFlight;

        public void Begin()
        {
            lock (gate)
            {
                inFlight++;
                if (inFlight > mostInFlight) mostInFlight = inFlight;
            }
        }

        public void End()
        {
            lock (gate) inFlight--;
        }

        public void CountStatus(int status)
        {
            lock (gate)
            {
                long n;
                byStatus.TryGetValue(status, out n);
                byStatus[status] = n + 1;
            }
        }

        public void Reset()
        {
            lock (gate) { total = 0; byPath.Clear(); byStatus.Clear(); mostInFlight = inFlight; }
        }

        // With a prefix: the total and the count of requests whose path starts with it. Without: every path.
        public string ToJson(string prefix)
        {
            lock (gate)
            {
                var j = new JsonOut().Obj().Prop("total", total).Prop("mostInFlight", mostInFlight);
                if (prefix != null)
                {
                    long c = 0;
                    foreach (var kv in byPath)
                        if (kv.Key.StartsWith(prefix, StringComparison.Ordinal)) c += kv.Value;
                    j.Prop("prefix", prefix).Prop("count", c);
                }
                else
                {
                    j.Key("paths").Obj();
                    var keys = new List<string>(byPath.Keys);
                    keys.Sort(StringComparer.Ordinal);
                    foreach (var k in keys) j.Prop(k, byPath[k]);
                    j.EndObj();
                }
                j.Key("statuses").Obj();
                var st = new List<int>(byStatus.Keys);
                st.Sort();
                foreach (var s in st) j.Prop(s.ToString(CultureInfo.InvariantCulture), byStatus[s]);
                j.EndObj();
                return j.EndObj().ToString();
            }
        }
    }
}
