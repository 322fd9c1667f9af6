// Sessions the server ends and logins with an API token: the wrapper logs in again once and repeats the
// request, lists stay whole, several requests that meet the same ended session share one new login, and
// the credentials go with Logout and a new Initialize. The token never reaches a log or an error text.
// And which requests go through a forward proxy.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;
using vCloudSDKWrapper;

namespace WrapperTests
{
    static class SessionTests
    {
        const string Fast = "allowHttp=true;taskPollInterval=20ms;retries=0;httpTimeout=20s;taskTimeout=60s";
        const string Token = "st-9Kq2mZ7vXw4pLr8TnB3c";

        static vCloudWrapper Open(Sim sim, string log, string options, string user = "administrator@System", string secret = "vmware1!")
        {
            var w = new vCloudWrapper();
            if (!w.Initialize(log, options, log.Length > 0 ? 3UL : 0UL)) throw new Exception("Initialize: " + w.getLastErrorString());
            if (!w.Login(sim.Url, user, secret)) throw new Exception("Login " + user + ": " + w.getLastErrorString());
            return w;
        }

        static int Relogins(string log) { return Regex.Matches(File.ReadAllText(log), "logging in again").Count; }
        static long Status(Sim sim, int status) { return Math.Max(0, Json.Long(sim.Get("sim/counters"), status.ToString())); }
        static long Logins(Sim sim) { return sim.Requests("/cloudapi/1.0.0/sessions/provider") + sim.Requests("/oauth/"); }

        // A server that ends every session after a few requests.
        public static void Expiry(string simExe, string work)
        {
            using (var sim = new Sim(simExe, "--task-ms 30 --generate 1,1,60,1"))
            {
                string log = Path.Combine(work, "expiry.log");
                File.Delete(log);
                var w = Open(sim, log, Fast + ";pageSize=5;queryConcurrency=1");
                sim.Faults("tokenExpiresAfter=7");
                sim.ResetCounters();
                var all = w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
                Check.That(all != null && all.Count == 60, "60 VMs in pages of 5 while sessions last 7 requests", all == null ? w.getLastErrorString() : all.Count + " VMs");
                Check.Equal(60, all == null ? -1 : all.Select(v => v.uuid).Distinct().Count(), "each VM once");
                int again = Relogins(log);
                Check.That(again >= 2, "the wrapper logged in again as sessions ended", again + " new logins");
                Check.Equal((long)again, Logins(sim), "one login for each session that ended");
                Check.Equal((long)again, Status(sim, 401), "one 401 for each");

                // Operations that change things, a restore with its task polling among them.
                string vmId = "", vc = "", moref = "", profile = "", xml = "";
                Check.That(w.BackupVM("Org001", "Org001-VDC01", "vapp-000003", "vm-000003", ref vmId, ref vc, ref moref, ref profile, ref xml),
                    "BackupVM across an expiry", w.getLastErrorString());
                Check.That(w.PowerOnVM("Org001", "Org001-VDC01", "vm-000003"), "PowerOnVM, with its task, across an expiry", w.getLastErrorString());
                Check.Equal("on", Json.Str(sim.Object("vm-000003", "vm"), "powerState"), "the VM is on");
                string vmRef = "";
                Check.That(w.RestoreVM("Org001", "Org001-VDC01", "restored-app", "restored-01", true, "vc-01", "vm-9901", "", "", "", false, ref vmRef, false, ""),
                    "RestoreVM, task polling included, across expiries", w.getLastErrorString());
                Check.That(vmRef.Length > 0 && sim.Exists(vmRef), "the restored VM exists");
                Check.That(Relogins(log) > again, "sessions ended during these operations too", Relogins(log) + " new logins");

                // Right after a new login the next request gets 401 again: the server's text, no loop.
                sim.Faults("tokenExpiresAfter=1");
                sim.ResetCounters();
                int before = Relogins(log);
                var list = new SStringInfoLibList();
                Check.That(w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0) == null, "a 401 right after the new login fails the list");
                Check.Contains(w.getLastErrorString(), "HTTP 401", "with the server's status");
                Check.Equal(1, Relogins(log) - before, "after one new login only");
                // A 401 on the new login itself fails at once.
                sim.Faults("tokenExpiresAfter=0");
                sim.ResetCounters();
                Check.That(!w.GetVdcListInOrg("Org001", ref list), "a new login that is refused fails the operation");
                Check.Contains(w.getLastErrorString(), "logging in again failed", "and says so");
                Check.Equal(1L, Logins(sim), "after one login attempt");
                sim.Reset();

                // Logout drops the credentials: a new login is the caller's.
                Check.That(w.Logout(), "Logout");
                Check.That(!w.GetVdcListInOrg("Org001", ref list), "no operation after Logout");
                Check.Contains(w.getLastErrorString(), "not logged in", "not even through a new login of its own");

                // A new Initialize drops them too: a session the server ends then stays ended.
                var kept = Open(sim, log, Fast);
                Check.That(kept.Initialize(log, Fast, 3), "a second Initialize");
                before = Relogins(log);
                sim.Faults("tokenExpiresAfter=0");
                Check.That(!kept.GetVdcListInOrg("Org001", ref list), "after a new Initialize an ended session fails");
                Check.Contains(kept.getLastErrorString(), "HTTP 401", "with the server's 401");
                Check.Equal(0, Relogins(log) - before, "without a new login");
                sim.Reset();
                Check.That(File.ReadAllText(log).IndexOf("vmware1!", StringComparison.Ordinal) < 0, "the log holds no password");
            }
        }

        // Several pages in flight meet the same ended session: one new login serves them all.
        public static void ConcurrentExpiry(string simExe, string work)
        {
            using (var sim = new Sim(simExe, "--task-ms 30 --generate 2,2,5,40 --latency-ms 20"))
            {
                string log = Path.Combine(work, "concurrent-expiry.log");
                File.Delete(log);
                var w = Open(sim, log, Fast + ";pageSize=16;queryConcurrency=4");
                var reference = w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
                sim.Faults("tokenExpiresAfter=6");
                sim.ResetCounters();
                var all = w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
                Check.That(all != null && all.Count == 800, "800 VMs, four pages at a time, while sessions last 6 requests", all == null ? w.getLastErrorString() : all.Count + " VMs");
                Check.That(all != null && reference != null && all.Select(v => v.uuid).SequenceEqual(reference.Select(v => v.uuid)),
                    "the same VMs in the same order as without expiry");
                long logins = Logins(sim), unauthorized = Status(sim, 401);
                Check.Equal((long)Relogins(log), logins, "every new login is logged");
                Check.That(unauthorized > logins, "several requests met an ended session at once, and shared a new login",
                    unauthorized + " answers 401, " + logins + " new logins");
                Check.That(logins >= 800 / 16 / 5, "sessions did end during the walk", logins + " new logins");
                sim.Reset();
                w.Logout();
            }
        }

        // What a new login takes over from the session before it, and what requests in flight share.
        public static void Relogin(string simExe, string work)
        {
            using (var sim = new Sim(simExe, "--task-ms 30"))
            {
                string log = Path.Combine(work, "relogin.log");
                File.Delete(log);
                var list = new SStringInfoLibList();

                // A second Login replaces the credentials: sessions the server ends from then on are renewed as
                // the second user, who alone sees Globex.
                var w = Open(sim, log, Fast, "alice@Acme", "alice1!");
                Check.That(w.Login(sim.Url, "bob@Globex", "bob1!"), "a second Login as another user", w.getLastErrorString());
                sim.Faults("tokenExpiresAfter=2");
                int before = Relogins(log);
                bool all = true;
                for (int i = 0; i < 3 && all; i++) all = w.GetVdcListInOrg("Globex", ref list) && list.Count > 0;
                Check.That(all, "lists of the second user go on across ended sessions", w.getLastErrorString());
                Check.That(Relogins(log) > before, "sessions did end", (Relogins(log) - before) + " new logins");
                Check.Contains(File.ReadAllText(log), "logged in again as bob@Globex", "the new logins are the second user's");
                Check.That(File.ReadAllText(log).IndexOf("logged in again as alice@Acme", StringComparison.Ordinal) < 0, "never the first user's");
                sim.Reset();
                w.Logout();

                // A renewed session keeps the API version of the requests it repeats, although the server now
                // offers a higher one too.
                using (var upgraded = new Sim(simExe, "--task-ms 30 --api-versions 37.0,38.0"))
                {
                    var v = Open(upgraded, log, Fast);
                    upgraded.Post("sim/api-versions?list=37.0,38.0,39.0");
                    upgraded.Faults("tokenExpiresAfter=2");
                    before = Relogins(log);
                    int linesBefore = File.ReadAllLines(log).Count(l => l.Contains("logged in again as"));
                    all = true;
                    for (int i = 0; i < 3 && all; i++) all = v.GetVdcListInOrg("Acme", ref list) && list.Count > 0;
                    Check.That(all, "lists go on across ended sessions while the server offers more versions", v.getLastErrorString());
                    Check.That(Relogins(log) > before, "sessions did end", (Relogins(log) - before) + " new logins");
                    var renewed = File.ReadAllLines(log).Where(l => l.Contains("logged in again as")).Skip(linesBefore).ToList();
                    Check.That(renewed.Count > 0 && renewed.All(l => l.Contains("(API 38.0)")), "each new session at the version negotiated first",
                        string.Join(" | ", renewed.ToArray()));
                    upgraded.Reset();
                    v.Logout();
                }

                // Four requests in flight meet the same ended session and the new login is refused: that one
                // refusal fails all four, and none of them tries to log in once more. Each request waits 2 s
                // at the server, so all four are out before the first 401 comes back.
                var many = Open(sim, log, Fast + ";queryConcurrency=4");
                sim.Faults("tokenExpiresAfter=0&latencyMs=2000&path=/api/admin");
                sim.ResetCounters();
                var start = new Barrier(4);
                var results = new bool[4];
                var texts = new string[4];
                var threads = Enumerable.Range(0, 4).Select(k => new Thread(() =>
                {
                    var v = new SMgmtVersionLib();
                    start.SignalAndWait();
                    results[k] = many.GetMgmtVersion(ref v);
                    texts[k] = many.getLastErrorString();
                })).ToList();
                foreach (var t in threads) t.Start();
                foreach (var t in threads) Check.That(t.Join(TimeSpan.FromSeconds(60)), "a request in flight returns");
                Check.That(results.All(r => !r), "all four fail with the ended session", string.Join(" | ", texts));
                Check.That(texts.All(t => t != null && t.Contains("logging in again failed")), "each says the new login failed", string.Join(" | ", texts));
                Check.Equal(1L, sim.Requests("/cloudapi/1.0.0/sessions/provider"), "after one login attempt shared by all four");
                sim.Reset();
            }
        }

        // 100,000 VMs listed while the server ends each session after 200 requests.
        public static void LargeExpiry(string simExe, string work)
        {
            using (var sim = new Sim(simExe, "--task-ms 30 --generate 10,10,100,10"))
            {
                string log = Path.Combine(work, "large-expiry.log");
                File.Delete(log);
                var w = Open(sim, log, Fast + ";queryConcurrency=4");
                sim.Faults("tokenExpiresAfter=200");
                var watch = Stopwatch.StartNew();
                var all = w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
                Check.That(all != null && all.Count == 100000, "100,000 VMs across expiries", all == null ? w.getLastErrorString() : all.Count + " VMs");
                Check.Equal(100000, all == null ? -1 : all.Select(v => v.uuid).Distinct().Count(), "each once");
                Check.That(Relogins(log) >= 3, "sessions ended during the walk", Relogins(log) + " new logins");
                Console.WriteLine("100,000 VMs across " + Relogins(log) + " expiries in " + watch.Elapsed.TotalSeconds.ToString("0.0") + " s");
                sim.Reset();
                w.Logout();
            }
        }

        // Logging in with an API token at the organisation's token endpoint.
        public static void ApiToken(string simExe, string work)
        {
            using (var sim = new Sim(simExe, "--task-ms 30"))
            {
                sim.Post("sim/api-tokens?user=administrator@System&token=" + Token);
                sim.Post("sim/api-tokens?user=alice@Acme&token=" + Token + "-alice");
                string log = Path.Combine(work, "apitoken.log");
                File.Delete(log);
                string opt = Fast + ";auth=apiToken";
                var w = new vCloudWrapper();
                Check.That(w.Initialize(log, opt, 3), "Initialize with auth=apiToken", w.getLastErrorString());
                Check.That(w.Login(sim.Url, "administrator@System", Token), "System logs in with an API token", w.getLastErrorString());
                Check.Equal(1L, sim.Requests("/oauth/provider/token"), "at the provider token endpoint");
                var list = new SStringInfoLibList();
                Check.That(w.GetVdcListInOrg("Acme", ref list) && list.Count == 2, "and works", w.getLastErrorString());
                var alice = new vCloudWrapper();
                alice.Initialize(log, opt, 3);
                Check.That(alice.Login(sim.Url, "alice@Acme", Token + "-alice"), "a tenant logs in with an API token", alice.getLastErrorString());
                Check.Equal(1L, sim.Requests("/oauth/tenant/Acme/token"), "at its organisation's token endpoint");

                // The provider's endpoint for every spelling of System; a token of any characters, form-escaped.
                var lower = new vCloudWrapper();
                lower.Initialize(log, opt, 3);
                sim.ResetCounters();
                Check.That(lower.Login(sim.Url, "administrator@system", Token), "administrator@system logs in with an API token", lower.getLastErrorString());
                Check.Equal(1L, sim.Requests("/oauth/provider/token"), "administrator@system at the provider token endpoint");
                Check.Equal(0L, sim.Requests("/oauth/tenant/"), "not at a tenant's");
                lower.Logout();
                const string Odd = "st+9K/q2=mZ&7v%2BX w";
                sim.Post("sim/api-tokens?user=carol@Acme&token=" + Uri.EscapeDataString(Odd));
                var odd = new vCloudWrapper();
                odd.Initialize(log, opt, 3);
                Check.That(odd.Login(sim.Url, "carol@Acme", Odd), "a token holding + / = & % and a blank is sent as it is", odd.getLastErrorString());
                odd.Logout();

                // One token answer serves every request of its lifetime: no renewal before it is due (the test
                // runs in a time zone east of UTC, so a deadline read in local time would fall due at once).
                sim.ResetCounters();
                Check.That(w.GetVdcListInOrg("Acme", ref list) && w.GetVdcListInOrg("Globex", ref list) && w.GetUserListInOrg("Acme", ref list),
                    "three operations in one token's lifetime", w.getLastErrorString());
                Check.Equal(0L, sim.Requests("/oauth/"), "without asking for another token");

                // An ended session is renewed from the token.
                sim.Faults("tokenExpiresAfter=3");
                Check.That(w.GetVdcListInOrg("Acme", ref list) && w.GetVdcListInOrg("Globex", ref list) && w.GetVdcListInOrg("Acme", ref list),
                    "lists go on across expiries with a token", w.getLastErrorString());
                Check.That(sim.Requests("/oauth/provider/token") >= 2, "through the token endpoint again");
                sim.Reset();

                // A token past its lifetime is renewed before it is used.
                sim.Post("sim/api-tokens?lifetime=1");
                var brief = new vCloudWrapper();
                brief.Initialize(log, opt, 3);
                Check.That(brief.Login(sim.Url, "administrator@System", Token), "a token that lives 1 s", brief.getLastErrorString());
                sim.ResetCounters();
                Thread.Sleep(1100);
                Check.That(brief.GetVdcListInOrg("Acme", ref list), "works past its lifetime", brief.getLastErrorString());
                Check.Equal(1L, sim.Requests("/oauth/provider/token"), "through one new token, asked for before the request");
                Check.Equal(0L, Status(sim, 401), "so no request met a 401");
                sim.Post("sim/api-tokens?lifetime=3600");
                brief.Logout();

                // Renewed a tenth of its lifetime early: a token of 6 s is renewed 0.6 s before its end, so a
                // request 5.5 s after the login goes out with a new token. (A request later than 6 s would
                // pass either way; this check can only miss a fault on a stalled machine, never fail.)
                sim.Post("sim/api-tokens?lifetime=6");
                var early = new vCloudWrapper();
                early.Initialize(log, opt, 3);
                Check.That(early.Login(sim.Url, "administrator@System", Token), "a token that lives 6 s", early.getLastErrorString());
                sim.ResetCounters();
                Thread.Sleep(5500);
                Check.That(early.GetVdcListInOrg("Acme", ref list), "works near the end of its lifetime", early.getLastErrorString());
                Check.Equal(1L, sim.Requests("/oauth/provider/token"), "renewed before its lifetime is over");
                sim.Post("sim/api-tokens?lifetime=3600");
                early.Logout();

                // Refusals, each in its own words.
                Func<string, string, string> refused = (user, token) =>
                {
                    var x = new vCloudWrapper();
                    x.Initialize(log, opt, 3);
                    return x.Login(sim.Url, user, token) ? "(logged in)" : x.getLastErrorString();
                };
                Check.Contains(refused("administrator@System", "wrong-token-123456"), "API token refused for administrator@System", "a wrong token");
                Check.Contains(refused("alice@Acme", Token), "API token refused", "another organisation's token");
                Check.Contains(refused("bob@Globex", Token + "-alice"), "API token refused", "another user's token at another organisation");
                sim.Post("sim/api-tokens?user=bob@Globex&token=" + Token + "-bob");
                var bob = new vCloudWrapper();
                bob.Initialize(log, opt, 3);
                Check.That(bob.Login(sim.Url, "bob@Globex", Token + "-bob"), "bob logs in", bob.getLastErrorString());
                DeleteToken(sim, Token + "-bob");
                Check.Contains(refused("bob@Globex", Token + "-bob"), "API token refused", "a revoked token");
                // A revoked token cannot renew a session: the new login fails at once, with one attempt.
                sim.ResetCounters();
                sim.Faults("tokenExpiresAfter=0");
                Check.That(!bob.GetVdcListInOrg("Globex", ref list), "a session whose token was revoked ends with the session");
                Check.Contains(bob.getLastErrorString(), "logging in again failed", "and says the new login failed");
                Check.Equal(1L, sim.Requests("/oauth/"), "after one attempt");
                sim.Reset();

                // Broken token answers.
                sim.Post("sim/api-tokens?omitAccessToken=true");
                Check.Contains(refused("administrator@System", Token), "holds no access_token", "an answer without access_token");
                sim.Post("sim/api-tokens?omitAccessToken=false");
                foreach (var life in new[] { "0", "-5", "0.5", "31622401", "99999999999", "soon" })
                {
                    sim.Post("sim/api-tokens?lifetime=" + life);
                    Check.Contains(refused("administrator@System", Token), "expires_in", "expires_in " + life + " is refused");
                }
                // The longest lifetime taken is 366 days, in seconds.
                sim.Post("sim/api-tokens?lifetime=31622400");
                Check.Equal("(logged in)", refused("administrator@System", Token), "expires_in of 366 days is taken");
                sim.Post("sim/api-tokens?lifetime=3600");
                sim.Faults("html=true&path=/oauth/");
                Check.Contains(refused("administrator@System", Token), "HTML page", "an HTML page from the token endpoint");
                sim.Reset();
                using (var old = new Sim(simExe, "--api-versions 35.0,36.0"))
                {
                    var x = new vCloudWrapper();
                    x.Initialize("", opt, 0);
                    Check.That(!x.Login(old.Url, "administrator@System", Token), "a server below 36.1 refuses token logins");
                    Check.Contains(x.getLastErrorString(), "36.1", "and says which version is needed");
                }
                var bad = new vCloudWrapper();
                Check.That(!bad.Initialize("", Fast + ";auth=kerberos", 0), "an unknown auth= fails Initialize");
                Check.Contains(bad.getLastErrorString(), "not password or apiToken", "and names the choices");

                w.Logout();
                alice.Logout();
                bob.Logout();
                string text = File.ReadAllText(log);
                Check.That(text.IndexOf(Token, StringComparison.Ordinal) < 0, "the log never holds the API token");
                Check.That(text.IndexOf("eyJ", StringComparison.Ordinal) < 0, "nor an access token");
                Check.Contains(text, "API token", "the log says a token was used");
            }
        }

        // Which requests go through a proxy, as curl chooses from the environment, or as proxy= says. The
        // stand-in proxy records what reaches it and answers 503, so that a proxied login fails with that.
        public static void ProxyChoice(string simExe)
        {
            using (var sim = new Sim(simExe, "--task-ms 30"))
            using (var proxy = new Recorder())
            {
                var names = new[] { "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY" };
                // Whether a login to url goes through the proxy (and only there).
                Func<string, string, string[], bool> proxiedTo = (url, options, env) =>
                {
                    foreach (var n in names) Environment.SetEnvironmentVariable(n, null);
                    for (int i = 0; i + 1 < env.Length; i += 2) Environment.SetEnvironmentVariable(env[i], env[i + 1]);
                    try
                    {
                        int before = proxy.Heads.Count;
                        var w = new vCloudWrapper();
                        if (!w.Initialize("", Fast + options, 0)) throw new Exception("Initialize: " + w.getLastErrorString());
                        bool direct = w.Login(url, "alice@Acme", "alice1!");
                        bool reached = proxy.Heads.Count > before;
                        if (direct) w.Logout();
                        return reached && !direct;
                    }
                    finally { foreach (var n in names) Environment.SetEnvironmentVariable(n, null); }
                };
                Func<string, string[], bool> proxied = (options, env) => proxiedTo(sim.Url, options, env);
                string port = new Uri(sim.Url).Port.ToString();
                Check.That(!proxied("", new string[0]), "no variable: direct");
                Check.That(proxied("", new[] { "http_proxy", proxy.Url }), "http_proxy for http");
                Check.Contains(proxy.Heads.Last(), "GET " + sim.Url + "api/versions", "the proxy is asked for the absolute URL");
                Check.That(!proxied("", new[] { "HTTP_PROXY", proxy.Url }), "HTTP_PROXY is ignored, as curl does");
                Check.That(!proxied("", new[] { "https_proxy", proxy.Url }), "https_proxy does not apply to http");
                Check.That(!proxied("", new[] { "http_proxy", proxy.Url, "no_proxy", "localhost,127.0.0.1" }), "no_proxy names the host");
                Check.That(!proxied("", new[] { "http_proxy", proxy.Url, "NO_PROXY", "*" }), "NO_PROXY=* bypasses every host");
                Check.That(!proxied("", new[] { "http_proxy", proxy.Url, "no_proxy", "127.0.0.1:" + port }), "no_proxy names host and port");
                Check.That(proxied("", new[] { "http_proxy", proxy.Url, "no_proxy", "127.0.0.1:1" }), "another port of that host is proxied");
                Check.That(proxied("", new[] { "http_proxy", proxy.Url, "no_proxy", "0.0.1,example.test" }), "no_proxy matches names, not address tails",
                    "127.0.0.1 is not a name under 0.0.1");
                Check.That(!proxied("", new[] { "http_proxy", proxy.Url, "no_proxy", "127.0.0.0/8" }), "no_proxy names a network");
                Check.That(proxied("", new[] { "http_proxy", proxy.Url, "no_proxy", "10.0.0.0/8" }), "another network is proxied");
                // A name matches itself and the names under it, a leading dot or not; never a name that merely
                // ends in the same letters.
                string byName = "http://localhost:" + port + "/";
                Check.That(!proxiedTo(byName, "", new[] { "http_proxy", proxy.Url, "no_proxy", "localhost" }), "no_proxy=localhost: direct");
                Check.That(!proxiedTo(byName, "", new[] { "http_proxy", proxy.Url, "no_proxy", ".localhost" }), "no_proxy=.localhost: direct, as curl reads it");
                Check.That(!proxiedTo(byName, "", new[] { "http_proxy", proxy.Url, "no_proxy", "example.test, LOCALHOST" }), "names compare in any case, blanks around entries dropped");
                Check.That(proxiedTo(byName, "", new[] { "http_proxy", proxy.Url, "no_proxy", "calhost" }), "no_proxy=calhost does not match localhost");
                Check.That(proxiedTo(byName, "", new[] { "http_proxy", proxy.Url, "no_proxy", "host.localhost" }), "nor does a name under it");
                // address/bits compares the leading bits, from the most significant one.
                foreach (var net in new[] { "127.0.0.0/9", "126.0.0.0/7", "127.0.0.0/31", "127.0.0.1/32", "127.0.0.1" })
                    Check.That(!proxied("", new[] { "http_proxy", proxy.Url, "no_proxy", net }), "no_proxy=" + net + " holds 127.0.0.1: direct");
                foreach (var net in new[] { "127.128.0.0/9", "126.0.0.0/8", "127.0.0.2/31", "127.0.0.0/32", "127.0.0.2" })
                    Check.That(proxied("", new[] { "http_proxy", proxy.Url, "no_proxy", net }), "no_proxy=" + net + " does not hold 127.0.0.1: proxied");
                // https_proxy wins over HTTPS_PROXY, as curl has it; either alone applies to https.
                using (var upper = new Recorder())
                {
                    string https = "https://127.0.0.1:" + port + "/";
                    int lowerBefore = proxy.Heads.Count, upperBefore = upper.Heads.Count;
                    Check.That(proxiedTo(https, "", new[] { "https_proxy", proxy.Url, "HTTPS_PROXY", upper.Url }), "https_proxy for https");
                    Check.Equal(upperBefore, upper.Heads.Count, "HTTPS_PROXY is not asked when https_proxy is set");
                    Check.Contains(proxy.Heads.Last(), "CONNECT 127.0.0.1:" + port, "the tunnel is asked of https_proxy");
                    lowerBefore = proxy.Heads.Count;
                    var w = new vCloudWrapper();
                    Environment.SetEnvironmentVariable("HTTPS_PROXY", upper.Url);
                    try
                    {
                        Check.That(w.Initialize("", Fast, 0) && !w.Login(https, "alice@Acme", "alice1!"), "HTTPS_PROXY alone: the login goes to it");
                    }
                    finally { Environment.SetEnvironmentVariable("HTTPS_PROXY", null); }
                    Check.That(upper.Heads.Count > upperBefore && proxy.Heads.Count == lowerBefore, "HTTPS_PROXY applies when it is the only one");
                }
                // Proxy credentials: the user ends at the first colon, the password may hold more of them and
                // reaches the proxy whole. (Basic is the scheme to test: it joins user and password with a colon
                // again, and Mono 6.8's HttpClient fails on a Digest challenge with invalid IL of its own.)
                using (var asking = new Recorder("Basic realm=\"test\""))
                {
                    string file = Path.GetTempFileName();
                    try
                    {
                        File.WriteAllText(file, "proxy-user:pa:ss=w0rd:\r\n");
                        var w = new vCloudWrapper();
                        Check.That(w.Initialize("", Fast + ";proxy=" + asking.Url + ";proxyCredentialsFile=" + file, 0), "Initialize with proxy credentials", w.getLastErrorString());
                        w.Login(sim.Url, "alice@Acme", "alice1!");
                        var sent = asking.Heads.SelectMany(h => h.Split('\n'))
                            .Where(l => l.StartsWith("Proxy-Authorization: Basic ", StringComparison.OrdinalIgnoreCase))
                            .Select(l => Encoding.UTF8.GetString(Convert.FromBase64String(l.Substring("Proxy-Authorization: Basic ".Length).Trim())))
                            .ToList();
                        Check.That(sent.Count > 0 && sent.All(c => c == "proxy-user:pa:ss=w0rd:"), "the proxy gets the user and the whole password",
                            string.Join(" | ", sent.ToArray()));
                    }
                    finally { File.Delete(file); }
                }
                Check.That(!proxied(";proxy=none", new[] { "http_proxy", proxy.Url }), "proxy=none ignores the variables");
                Check.That(proxied(";proxy=" + proxy.Url, new string[0]), "proxy= applies without variables");
                Check.That(proxied(";proxy=" + proxy.Url, new[] { "no_proxy", "*" }), "and regardless of no_proxy");

                Environment.SetEnvironmentVariable("http_proxy", "socks5://127.0.0.1:1080");
                var bad = new vCloudWrapper();
                Check.That(!bad.Initialize("", Fast, 0), "a proxy variable with another scheme fails Initialize");
                Check.Contains(bad.getLastErrorString(), "http_proxy", "and names the variable");
                Environment.SetEnvironmentVariable("http_proxy", null);
                foreach (var url in new[] { "ftp://127.0.0.1:21", "http://user:pw@127.0.0.1:3128", "http://127.0.0.1:3128/path", "not a url" })
                {
                    Check.That(!bad.Initialize("", Fast + ";proxy=" + url, 0), "proxy=" + url + " fails Initialize");
                    Check.That(bad.getLastErrorString().IndexOf("pw@", StringComparison.Ordinal) < 0, "without repeating credentials");
                }
            }
        }

        static void DeleteToken(Sim sim, string token)
        {
            using (var c = new System.Net.Http.HttpClient())
            {
                var r = c.DeleteAsync(sim.Url + "sim/api-tokens?token=" + Uri.EscapeDataString(token)).GetAwaiter().GetResult();
                if (!r.IsSuccessStatusCode) throw new Exception("revoking a token: " + (int)r.StatusCode);
            }
        }
    }
}
