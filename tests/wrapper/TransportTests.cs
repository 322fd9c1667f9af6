// The transport's answers to what a cloud's front end does: throttling (429) and draining (503) with
// Retry-After, against the simulator; and the certificate chain checked against caFile, link by link, on
// chains that openssl makes.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Security.Cryptography.X509Certificates;
using vCloudSDKWrapper;

namespace WrapperTests
{
    static class TransportTests
    {
        const string Quick = "allowHttp=true;taskPollInterval=20ms;httpTimeout=20s;taskTimeout=60s";

        static vCloudWrapper Admin(Sim sim, string options, string log = "", ulong level = 0)
        {
            var w = new vCloudWrapper();
            if (!w.Initialize(log, options, level)) throw new Exception("Initialize: " + w.getLastErrorString());
            if (!w.Login(sim.Url, "administrator@System", "vmware1!")) throw new Exception("Login: " + w.getLastErrorString());
            return w;
        }

        static long Status(Sim sim, int status)
        {
            string json = sim.Get("sim/counters");
            int at = json.IndexOf("\"statuses\"", StringComparison.Ordinal);
            return at < 0 ? 0 : Json.Long(json.Substring(at), status.ToString(CultureInfo.InvariantCulture));
        }

        // ---- Retry-After as a header reads: seconds or an HTTP date, always GMT ----

        public static void RetryAfterHeader()
        {
            var now = new DateTime(2026, 12, 8, 13, 59, 0, DateTimeKind.Utc);
            string asked = null;
            Func<string, double?> wait = v =>
            {
                TimeSpan? t = RetryAfter.Parse(v, now, out asked);
                return t.HasValue ? t.Value.TotalSeconds : (double?)null;
            };
            Check.Equal((double?)120, wait("120"), "seconds");
            Check.Equal("120 s", asked, "and what was asked, for the texts");
            Check.Equal((double?)5, wait(" 5 "), "seconds with blanks around them");
            Check.Equal((double?)0, wait("0"), "no wait");
            Check.Equal((double?)60, wait("Tue, 08 Dec 2026 14:00:00 GMT"), "an HTTP date a minute ahead, read as GMT whatever the local zone");
            Check.Contains(asked, "Tue, 08 Dec 2026 14:00:00 GMT (60 s from now)", "and what was asked names the date and the wait");
            Check.Equal((double?)3600, wait("Tuesday, 08-Dec-26 14:59:00 GMT"), "the obsolete RFC 850 date form");
            Check.Equal((double?)61, wait("Tue Dec  8 14:00:01 2026"), "the asctime date form");
            Check.Equal((double?)0, wait("Tue, 08 Dec 2026 13:00:00 GMT"), "a date in the past asks for no wait");
            Check.That(wait("Tue, 08 Dec 2026 14:00:00 GMT") != null && wait("99999999999999999999") >= 86400 * 365,
                "a number too large for a long is a very long wait, not none");
            foreach (var bad in new[] { null, "", "-5", "1.5", "soon", "5s", "Tue, 08 Dec 2026 14:00:00 CET" })
            {
                Check.Equal((double?)null, wait(bad), "'" + bad + "' asks for nothing");
                Check.Equal((string)null, asked, "and names nothing");
            }
        }

        // ---- 429 from a load balancer, 503 from a cell being drained ----

        public static void Throttling(string simExe, string work)
        {
            using (var sim = new Sim(simExe, "--task-ms 30 --generate 1,1,6,4"))
            {
                string log = Path.Combine(work, "throttling.log");
                File.Delete(log);
                var w = Admin(sim, Quick + ";pageSize=5", log, 1);
                SVMInfoLibList vms;

                // A VM list whose second page is throttled once, with Retry-After: 1, stays whole.
                sim.Reset();
                sim.Faults("error429=0.5&count=2&retryAfter=1&path=/api/query&method=GET");
                var sw = Stopwatch.StartNew();
                vms = w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
                Check.That(vms != null && vms.Count() == 24, "a VM list whose second page met 429 is whole", w.getLastErrorString());
                Check.Equal(1L, Status(sim, 429), "the server throttled exactly one page");
                Check.That(sw.Elapsed >= TimeSpan.FromSeconds(0.95), "the retry waited the second the server asked for", sw.Elapsed.ToString());
                string text = File.ReadAllText(log);
                Check.Contains(text, "the server throttled the request (HTTP 429); waiting 1 s as it asked (Retry-After: 1 s)",
                    "the log at level 1 says the server throttled and how long we waited");

                // A 429 means the server did no work: a power-on answered 429 once is sent again and runs once.
                string vm = Json.Str(sim.Objects("vm-000003", "vm")[0], "href");
                string powerOn = new Uri(vm).AbsolutePath.TrimEnd('/') + "/power/action/powerOn";
                sim.Reset();
                sim.Faults("error429=1&count=1&method=POST");
                Check.That(w.PowerOnVM("Org001", "Org001-VDC01", "vm-000003"), "a power-on answered 429 once succeeds", w.getLastErrorString());
                Check.Equal(2L, sim.Requests(powerOn), "the power-on was sent twice: once throttled, once carried out");
                Check.Equal(1L, Status(sim, 429), "one of them throttled");
                Check.Equal("on", Json.Str(sim.Object("vm-000003", "vm"), "powerState"), "the VM is on");

                // A 503 stays GET-only, with or without Retry-After: the server may have begun the work.
                string other = new Uri(Json.Str(sim.Objects("vm-000006", "vm")[0], "href")).AbsolutePath.TrimEnd('/') + "/power/action/powerOn";
                sim.Reset();
                sim.Faults("error503=1&count=1&retryAfter=0&method=POST");
                Check.That(!w.PowerOnVM("Org001", "Org001-VDC01", "vm-000006"), "a power-on answered 503 with Retry-After fails");
                Check.Equal(1L, sim.Requests(other), "and was sent once");
                sim.Reset();
                sim.Faults("error503=1&count=1&retryAfter=0&method=GET");
                var list = new SStringInfoLibList();
                Check.That(w.GetVdcListInOrg("Org001", ref list) && list.Count == 1, "a GET answered 503 with Retry-After: 0 succeeds on retry", w.getLastErrorString());

                // Retry-After far above maxRetryWait fails at once, and the text says what the server asked for.
                sim.Reset();
                sim.Faults("error429=1&retryAfter=3600&path=/api/query");
                sw = Stopwatch.StartNew();
                Check.That(w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0) == null, "Retry-After: 3600 fails the list");
                Check.That(sw.Elapsed < TimeSpan.FromSeconds(60), "without waiting for it", sw.Elapsed.ToString());
                Check.Contains(w.getLastErrorString(), "HTTP 429", "the text names the status");
                Check.Contains(w.getLastErrorString(), "the server asked to retry after 3600 s, more than maxRetryWait (60 s)", "and what the server asked for");
                Check.Equal(1L, Status(sim, 429), "nothing was sent again");

                // The same as an HTTP date.
                string inAnHour = DateTime.UtcNow.AddHours(1).ToString("r", CultureInfo.InvariantCulture);
                sim.Reset();
                sim.Faults("error429=1&path=/api/query&retryAfter=" + Uri.EscapeDataString(inAnHour));
                Check.That(w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0) == null, "Retry-After an hour ahead as a date fails the list");
                Check.Contains(w.getLastErrorString(), "the server asked to retry after " + inAnHour, "and names the date");
                Check.Equal(1L, Status(sim, 429), "nothing was sent again");

                // A wait of exactly maxRetryWait is made; a second more is not.
                var capped = Admin(sim, Quick + ";maxRetryWait=2s");
                sim.Reset();
                sim.Faults("error429=1&count=1&retryAfter=2&method=GET");
                Check.That(capped.GetVdcListInOrg("Org001", ref list), "Retry-After equal to maxRetryWait is waited for", capped.getLastErrorString());
                sim.Reset();
                sim.Faults("error429=1&count=1&retryAfter=3&method=GET");
                Check.That(!capped.GetVdcListInOrg("Org001", ref list), "Retry-After a second above maxRetryWait fails");
                Check.Contains(capped.getLastErrorString(), "more than maxRetryWait (2 s)", "and names the option");

                // No wait goes past the request's httpTimeout, even below maxRetryWait.
                var hasty = Admin(sim, "allowHttp=true;httpTimeout=3s");
                sim.Reset();
                sim.Faults("error429=1&count=1&retryAfter=5&method=GET");
                Check.That(!hasty.GetVdcListInOrg("Org001", ref list), "Retry-After beyond httpTimeout fails");
                Check.Equal(1L, Status(sim, 429), "without a retry");
                Check.Contains(hasty.getLastErrorString(), "beyond this request's httpTimeout (3 s)", "and says why");

                // The usual back-off is bounded the same way, and the text does not claim the server asked for it.
                var brief = Admin(sim, "allowHttp=true;httpTimeout=1s;retries=5");
                sim.Reset();
                sim.Faults("error503=1&method=GET&path=/api/query");
                Check.That(!brief.GetVdcListInOrg("Org001", ref list), "a GET that meets 503 on every try fails");
                Check.Contains(brief.getLastErrorString(), "HTTP 503", "with the server's status");
                Check.Contains(brief.getLastErrorString(), "the next retry would follow after", "and the back-off it stopped at");
                Check.Contains(brief.getLastErrorString(), "beyond this request's httpTimeout (1 s)", "and why");
                brief.Logout();

                // Throttled answers count within retries: retries=1 meets two 429s and fails after two requests;
                // retries=2 gets through on the third.
                var once = Admin(sim, Quick + ";retries=1");
                sim.Reset();
                sim.Faults("error429=1&count=2&retryAfter=0&method=GET&path=/api/query");
                Check.That(!once.GetVdcListInOrg("Org001", ref list), "two 429s fail a request that may be retried once");
                Check.Contains(once.getLastErrorString(), "no retries left (retries=1)", "and say so");
                Check.Equal(2L, Status(sim, 429), "after two requests");
                sim.Reset();
                sim.Faults("error429=1&count=2&method=GET&path=/api/query");
                Check.That(w.GetVdcListInOrg("Org001", ref list) && list.Count == 1, "two 429s without Retry-After: the usual back-off, then the third try",
                    w.getLastErrorString());
                Check.Equal(2L, Status(sim, 429), "after two throttled requests");

                // The back-off after a lost connection stays within httpTimeout too: with 1.4 s, the second wait
                // (1 s, after at least 0.5 s) would pass it, so at most two of the three allowed requests go out.
                var lost = Admin(sim, "allowHttp=true;httpTimeout=1400ms;retries=2");
                sim.Reset();
                sim.Faults("reset=true&method=GET&path=/api/query");
                Check.That(!lost.GetVdcListInOrg("Org001", ref list), "a GET whose connections are all lost fails");
                long sent = sim.Requests("/api/query");
                Check.That(sent >= 1 && sent <= 2, "no back-off waits past httpTimeout", sent + " requests");

                // What the simulator sends: Retry-After on forced 429 and 503 answers, as given, and none when empty.
                using (var raw = new System.Net.Http.HttpClient())
                {
                    Func<string, System.Net.Http.HttpResponseMessage> get = q =>
                    {
                        sim.Reset();
                        sim.Faults(q);
                        return raw.GetAsync(sim.Url + "api/versions").GetAwaiter().GetResult();
                    };
                    var a = get("error429=1&retryAfter=7");
                    Check.Equal(429, (int)a.StatusCode, "error429 answers 429");
                    Check.Equal("7", a.Headers.Contains("Retry-After") ? string.Join(",", a.Headers.GetValues("Retry-After")) : null, "with the Retry-After given");
                    a = get("error503=1&retryAfter=7");
                    Check.Equal(503, (int)a.StatusCode, "error503 answers 503");
                    Check.That(a.Headers.Contains("Retry-After"), "with the Retry-After given too");
                    a = get("error504=1&retryAfter=7");
                    Check.That(!a.Headers.Contains("Retry-After"), "a 504 carries none");
                    a = get("error429=1");
                    Check.That(!a.Headers.Contains("Retry-After"), "without retryAfter a 429 carries none");
                    a = get("error429=0.5&count=2");
                    Check.Equal(200, (int)a.StatusCode, "a share of 0.5 lets the first request through");
                    a = raw.GetAsync(sim.Url + "api/versions").GetAwaiter().GetResult();
                    Check.Equal(429, (int)a.StatusCode, "and throttles the second");
                }
                sim.Reset();

                // With retries=0 nothing is repeated, 429 included.
                var never = Admin(sim, Quick + ";retries=0");
                sim.Reset();
                sim.Faults("error429=1&count=1&retryAfter=0&method=GET");
                Check.That(!never.GetVdcListInOrg("Org001", ref list), "retries=0 does not repeat a throttled request");
                Check.Equal(1L, Status(sim, 429), "one request");
                sim.Reset();
                foreach (var x in new[] { w, capped, hasty, once, never, lost }) x.Logout();
            }
        }

        // ---- the certificate chain against caFile: every link must hold ----

        sealed class Certs
        {
            readonly string openssl, dir;
            public Certs(string openssl, string dir) { this.openssl = openssl; this.dir = dir; }

            public bool Run(string args)
            {
                bool ok = TlsServer.Run(openssl, args, dir);
                if (!ok) Check.That(false, "openssl " + args);
                return ok;
            }

            // NAME.pem for the key KEY.key, issued by ISSUER.pem with ISSUERKEY.key, valid DAYS days, with
            // the extensions given (openssl's extension lines; "" for none).
            public bool Issue(string name, string key, string issuer, string issuerKey, int days, string extensions, string subject = null)
            {
                File.WriteAllText(Path.Combine(dir, name + ".ext"), extensions);
                return Run("req -new -key " + key + ".key -out " + name + ".csr -subj \"/CN=" + (subject ?? name) + "\"")
                    && Run("x509 -req -in " + name + ".csr -CA " + issuer + ".pem -CAkey " + issuerKey + ".key -CAcreateserial -out " + name
                           + ".pem -days " + days + (extensions.Length > 0 ? " -extfile " + name + ".ext" : ""));
            }

            public X509Certificate2 this[string name] { get { return new X509Certificate2(Path.Combine(dir, name + ".pem")); } }
        }

        public static void Chains(string openssl, string work)
        {
            if (openssl.Length == 0 || !File.Exists(openssl)) { Check.Skip("certificate chains", "openssl not found"); return; }
            string dir = Path.Combine(work, "chains");
            if (Directory.Exists(dir)) Directory.Delete(dir, true);
            Directory.CreateDirectory(dir);
            var c = new Certs(openssl, dir);
            const string Ca = "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n";
            const string Leaf = "basicConstraints=CA:FALSE\nsubjectAltName=IP:127.0.0.1\n";
            bool made = c.Run("genrsa -out k.key 2048") && c.Run("genrsa -out other.key 2048")
                && c.Run("req -x509 -key k.key -out root.pem -days 90 -subj /CN=root -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign")
                && c.Issue("int", "k", "root", "k", 30, "basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign,cRLSign\n")
                && c.Issue("leaf", "k", "int", "k", 60, Leaf)
                // an intermediate under int, which allows none below it
                && c.Issue("int2", "k", "int", "k", 30, Ca)
                && c.Issue("leaf2", "k", "int2", "k", 30, Leaf)
                // intermediates that may not issue: not a CA, a CA whose key may not sign certificates, no basicConstraints
                && c.Issue("notca", "k", "root", "k", 30, "basicConstraints=critical,CA:FALSE\n")
                && c.Issue("leaf-notca", "k", "notca", "k", 30, Leaf)
                && c.Issue("noku", "k", "root", "k", 30, "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,digitalSignature\n")
                && c.Issue("leaf-noku", "k", "noku", "k", 30, Leaf)
                && c.Issue("nobc", "k", "root", "k", 30, "keyUsage=critical,keyCertSign\n")
                && c.Issue("leaf-nobc", "k", "nobc", "k", 30, Leaf)
                && c.Issue("bare", "k", "root", "k", 30, "subjectKeyIdentifier=hash\n")
                && c.Issue("leaf-bare", "k", "bare", "k", 30, Leaf)
                // a certificate that names int as its issuer but was signed with another key
                && c.Run("req -x509 -key other.key -out impostor.pem -days 30 -subj /CN=int -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign")
                && c.Issue("leaf-forged", "k", "impostor", "other", 30, Leaf)
                && c.Run("req -x509 -key other.key -out otherroot.pem -days 30 -subj /CN=otherroot -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign");
            // A long chain: root -> c1 -> ... -> c8, each unconstrained.
            string prev = "root";
            for (int i = 1; made && i <= 8; i++)
            {
                made = c.Issue("c" + i, "k", prev, "k", 30, Ca);
                prev = "c" + i;
            }
            made = made && c.Issue("leaf-c7", "k", "c7", "k", 30, Leaf) && c.Issue("leaf-c8", "k", "c8", "k", 30, Leaf)
                // an EC root, whose signatures Mono's certificate classes cannot check
                && c.Run("ecparam -name prime256v1 -genkey -noout -out ec.key")
                && c.Run("req -x509 -key ec.key -out ecroot.pem -days 30 -subj /CN=ecroot -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign")
                && c.Issue("leaf-ec", "k", "ecroot", "ec", 30, Leaf);
            if (!Check.That(made, "test chains made with openssl")) return;

            var root = new X509Certificate2Collection(c["root"]);
            var now = DateTime.UtcNow;
            Func<string, string[], X509Certificate2Collection, DateTime, string> refusal = (leaf, sent, anchors, at) =>
                CaFileChain.Refusal(c[leaf], new[] { leaf }.Concat(sent).Select(n => c[n]).ToList(), anchors, at);
            Action<string, string, string[], X509Certificate2Collection, DateTime?> accepted = (what, leaf, sent, anchors, at) =>
                Check.Equal((string)null, refusal(leaf, sent, anchors ?? root, at ?? now), what);
            Action<string, string, string[], string> refused = (what, leaf, sent, text) =>
                Check.Contains(refusal(leaf, sent, root, now) ?? "(accepted)", text, what);

            accepted("root -> intermediate -> server, with only the root in caFile", "leaf", new[] { "int" }, null, null);
            accepted("the intermediate alone in caFile is an anchor, as curl takes it", "leaf", new string[0], new X509Certificate2Collection(c["int"]), null);
            accepted("the server certificate itself in caFile", "leaf", new string[0], new X509Certificate2Collection(c["leaf"]), null);
            refused("without the intermediate in the handshake, the root alone does not reach the server's certificate", "leaf", new string[0],
                "was not issued by a CA in the configured caFile");
            string elsewhere = refusal("leaf", new[] { "int" }, new X509Certificate2Collection(c["otherroot"]), now) ?? "(accepted)";
            Check.Contains(elsewhere, "was not issued by a CA in the configured caFile", "a chain under a root that caFile does not hold");
            Check.Contains(elsewhere, "its chain ends at CN=int, issued by CN=root", "names where the chain ends");

            // Dates, of every link: the server certificate (60 days), the intermediate (30 days), the root (30 days).
            var leafCert = c["leaf"];
            var intCert = c["int"];
            Check.Contains(refusal("leaf", new[] { "int" }, root, leafCert.NotBefore.ToUniversalTime().AddMinutes(-1)) ?? "(accepted)", "is not valid before",
                "a server certificate not yet valid");
            Check.Contains(refusal("leaf", new[] { "int" }, root, leafCert.NotAfter.ToUniversalTime().AddMinutes(1)) ?? "(accepted)", "expired on",
                "an expired server certificate");
            accepted("a minute before the intermediate expires", "leaf", new[] { "int" }, null, intCert.NotAfter.ToUniversalTime().AddMinutes(-1));
            string late = refusal("leaf", new[] { "int" }, root, intCert.NotAfter.ToUniversalTime().AddMinutes(1)) ?? "(accepted)";
            Check.Contains(late, "reaches the configured caFile through CN=int, which expired on", "an expired intermediate, by name");
            Check.Contains(late, intCert.NotAfter.ToUniversalTime().ToString("yyyy-MM-dd HH:mm", CultureInfo.InvariantCulture), "and the UTC time it expired");
            Check.Contains(refusal("leaf", new[] { "int" }, new X509Certificate2Collection(c["int"]), intCert.NotAfter.ToUniversalTime().AddMinutes(1))
                ?? "(accepted)", "expired", "an expired anchor");

            // What an issuer must be.
            refused("an intermediate that is not a CA", "leaf-notca", new[] { "notca" }, "which is not a CA (CA:FALSE)");
            refused("a CA whose key usage excludes certificate signing", "leaf-noku", new[] { "noku" }, "may not sign certificates");
            accepted("an intermediate without basicConstraints whose key usage allows certificate signing", "leaf-nobc", new[] { "nobc" }, null, null);
            refused("an intermediate without basicConstraints or key usage", "leaf-bare", new[] { "bare" }, "which is not a CA (it says neither CA:TRUE nor keyCertSign)");
            refused("a CA below an intermediate with pathlen 0", "leaf2", new[] { "int2", "int" }, "allows 0 CA(s) below it, and the chain has 1");
            accepted("the same intermediate issuing the server certificate directly", "leaf", new[] { "int2", "int" }, null, null);
            refused("a certificate whose issuer's name fits but whose signature does not", "leaf-forged", new[] { "int" },
                "was not issued by a CA in the configured caFile");
            Check.Equal((string)null, CaFileChain.Refusal(c["leaf-forged"], new[] { c["leaf-forged"] }, new X509Certificate2Collection(c["impostor"]), now),
                "and accepted under the key that did sign it");

            // A chain whose signature the runtime cannot check is refused, in words that point to pin.
            Check.Contains(CaFileChain.Refusal(c["leaf-ec"], new[] { c["leaf-ec"] }, new X509Certificate2Collection(c["ecroot"]), now) ?? "(accepted)",
                "names its issuer CN=ecroot, whose EC key this runtime cannot check signatures with; configure pin", "an EC issuer");

            // Links: seven intermediates are followed to the root, eight are too many.
            var sevenUp = Enumerable.Range(1, 7).Select(i => "c" + i).Reverse().ToArray();
            var eightUp = Enumerable.Range(1, 8).Select(i => "c" + i).Reverse().ToArray();
            accepted("seven intermediates up to the root", "leaf-c7", sevenUp, null, null);
            refused("eight intermediates up to the root", "leaf-c8", eightUp, "no anchor within 8 links");
            accepted("the same chain anchored at its sixth intermediate", "leaf-c8", eightUp, new X509Certificate2Collection(c["c6"]), null);
        }
    }
}
