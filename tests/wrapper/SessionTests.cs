// Sessions the server ends and logins with an API token: the wrapper logs in again once and repeats the
// request, lists stay whole, several requests that meet the same ended session share one new login, and
// the credentials go with Logout and a new Initialize. The token never reaches a log or an error text.
// And which requests go through a forward proxy.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
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
                foreach (var life in new[] { "0", "-5", "99999999999", "soon" })
                {
                    sim.Post("sim/api-tokens?lifetime=" + life);
                    Check.Contains(refused("administrator@System", Token), "expires_in", "expires_in " + life + " is refused");
                }
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
                Func<string, string[], bool> proxied = (options, env) =>
                {
                    foreach (var n in names) Environment.SetEnvironmentVariable(n, null);
                    for (int i = 0; i + 1 < env.Length; i += 2) Environment.SetEnvironmentVariable(env[i], env[i + 1]);
                    try
                    {
                        int before = proxy.Heads.Count;
                        var w = new vCloudWrapper();
                        if (!w.Initialize("", Fast + options, 0)) throw new Exception("Initialize: " + w.getLastErrorString());
                        bool direct = w.Login(sim.Url, "alice@Acme", "alice1!");
                        bool reached = proxy.Heads.Count > before;
                        if (direct) w.Logout();
                        return reached && !direct;
                    }
                    finally { foreach (var n in names) Environment.SetEnvironmentVariable(n, null); }
                };
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
