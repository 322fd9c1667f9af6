// Hostile-server cases: each runs the real wrapper in a process of its own against HostileServer, and is
// checked for its result, the time its call took and the process's peak memory. A case that kills or
// exhausts its process fails here instead of taking the suite with it.
//
// mono hostiletests.exe [--tool vcloud-bridge --home DIR] [--only CASE] [--report]
//   --report prints the table and does not fail (for measuring another build of the wrapper)
// mono hostiletests.exe --child CASE   (one case in this process; used by the above)
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Text;
using System.Threading;
using vCloudSDKWrapper;

namespace HostileTests
{
    sealed class Case
    {
        public string Name;
        public string Call;          // "login", "query" (every VM) or "metadata" (VMs by a metadata tag)
        public int Listed = -1;      // VMs a successful query returns, when checked
        public string Options = "";  // added to the common options
        public string Expect;        // a part of the error text (case-insensitive); null when the call must succeed
        public string[] Absent = new string[0];  // texts the error must not hold
        public double TimeoutS = 5;  // the exchange time-out the case runs with
        public bool SmallStack;      // the call runs on a thread with a 256 KiB stack
        public string Password;      // the password the case logs in with, when not the common one
        public bool Logged;          // the wrapper logs at level 3 (bodies included); Absent holds for the log too
        public int MaxQueries;       // the query requests the call may make at most; 0 for no check
        public int Queries;          // the query requests a successful call makes exactly; 0 for no check
    }

    static class Program
    {
        const string Password = "S3cret-pass!";
        const string User = "admin@Acme";
        const long MemoryCapMb = 300;       // what any case may use at most
        const long KillAboveMb = 1500;      // a runaway case is stopped here, to spare the machine
        static string Basic { get { return Convert.ToBase64String(Encoding.UTF8.GetBytes(User + ":" + Password)); } }

        static readonly Case[] Cases =
        {
            // What a server sends must not kill the process.
            new Case { Name = "json-deep-login", Call = "login", Expect = "nest" },
            new Case { Name = "json-deep-thread", Call = "login", Expect = "nest", SmallStack = true },
            new Case { Name = "json-deep-query", Call = "query", Expect = "nest" },
            new Case { Name = "json-error-shapes", Call = "login", Expect = "HTTP 500 BUSY_ENTITY: nested [1] and {2} \"fine\" \u00e9" },
            // Nor exhaust its memory.
            new Case { Name = "content-length-huge", Call = "query", Expect = "maxResponseBytes", TimeoutS = 30 },
            new Case { Name = "chunked-endless", Call = "query", Expect = "maxResponseBytes", TimeoutS = 30 },
            new Case { Name = "gzip-bomb", Call = "query", Expect = "maxDecompressedBytes", TimeoutS = 30 },
            // Each size limit bounds its own stage: a body of 3 MiB, sent chunked or inflated from gzip, between them.
            new Case { Name = "chunked-between", Call = "query", Expect = "maxResponseBytes", Options = "maxResponseBytes=1MiB;maxDecompressedBytes=8MiB" },
            // The same for an answer that is no query page (those travel through the runtime's HTTP client).
            new Case { Name = "chunked-between-session", Call = "login", Expect = "maxResponseBytes", Options = "maxResponseBytes=1MiB;maxDecompressedBytes=8MiB" },
            new Case { Name = "gzip-between", Call = "query", Expect = null, Options = "maxResponseBytes=1MiB;maxDecompressedBytes=8MiB" },
            new Case { Name = "gzip-inflates-over", Call = "query", Expect = "maxDecompressedBytes", Options = "maxResponseBytes=8MiB;maxDecompressedBytes=1MiB" },
            // Nor shorten or stall a list.
            new Case { Name = "total-short", Call = "query", Expect = "256 of the 300" },
            new Case { Name = "total-one-short", Call = "query", Expect = "299 of the 300" },
            // A total far beyond any cloud's (a quadrillion records) is not room made in advance.
            new Case { Name = "total-huge", Call = "query", Expect = "3 of the 1000000000000000" },
            // A total first stated after some records were read: they count towards it.
            new Case { Name = "total-late", Call = "query", Expect = null, Listed = 300 },
            // A list that fills its one page exactly (128 of a total of 128) takes that one request.
            new Case { Name = "one-full-page", Call = "query", Expect = "128 VMs", MaxQueries = 1 },
            new Case { Name = "pages-endless", Call = "query", Expect = "maxQueryPages", TimeoutS = 30 },
            // Nor parse outside the time-out.
            new Case { Name = "xml-deep", Call = "login", Expect = "maxNestingDepth" },
            new Case { Name = "xml-wide", Call = "login", Expect = "maxNodes" },
            new Case { Name = "query-deep", Call = "query", Expect = "maxNestingDepth" },
            // A document nesting exactly maxNestingDepth levels below its root is read; one level more is not.
            new Case { Name = "depth-at-limit", Call = "login", Expect = null, Options = "maxNestingDepth=40" },
            new Case { Name = "depth-over-limit", Call = "login", Expect = "maxNestingDepth", Options = "maxNestingDepth=40" },
            new Case { Name = "json-depth-at-limit", Call = "login", Expect = "HTTP 500 BUSY_ENTITY: deep", Options = "maxNestingDepth=40" },
            new Case { Name = "json-depth-over-limit", Call = "login", Expect = "maxNestingDepth", Options = "maxNestingDepth=40" },
            new Case { Name = "json-wide", Call = "login", Expect = "maxNodes", Options = "maxNodes=2000" },
            // Attributes count as nodes: one element with 5,000 of them breaks maxNodes=2000.
            new Case { Name = "xml-attributes", Call = "login", Expect = "maxNodes", Options = "maxNodes=2000" },
            // A page that arrives at once but takes seconds to parse (15 million elements, 60 MB) is cut off by the
            // same time-out, while it is parsed.
            new Case { Name = "parse-slow", Call = "query", Expect = "httpTimeout", TimeoutS = 1,
                       Options = "maxNodes=100000000;maxResponseBytes=128MiB" },
            // Nor leak a credential or a raw control character into the error text.
            new Case { Name = "creds-echo-login", Call = "login", Expect = "HTTP 500", Absent = new[] { "Basic " + "B64", "basic=" + "B64", Password, "Bearer" } },
            new Case { Name = "creds-echo-query", Call = "query", Expect = "HTTP 500", Absent = new[] { HostileServer.Token } },
            // Secrets of every kind a server may echo: the password alone, a password of only 4 characters, and
            // token values that are not this session's own (a legacy x-vcloud-authorization token, an access-token
            // header, a JSON web token), in the error text and in a level-3 log.
            new Case { Name = "creds-echo-password", Call = "login", Expect = "HTTP 500", Absent = new[] { Password }, Logged = true },
            new Case { Name = "creds-echo-short", Call = "login", Expect = "HTTP 500", Password = "Q7!z", Absent = new[] { "Q7!z" }, Logged = true },
            new Case { Name = "tokens-echo", Call = "query", Expect = "HTTP 500", Logged = true,
                       Absent = new[] { HostileServer.LegacyToken, HostileServer.OtherToken, HostileServer.Jwt, HostileServer.OtherBearer,
                                        HostileServer.OtherBasic, HostileServer.Token } },
            new Case { Name = "escapes", Call = "query", Expect = "all VMs backed up OK", Absent = new[] { "\u001b", "\u0007", "\u009b", "\r" } },
            // What held before must keep holding.
            new Case { Name = "xxe", Call = "login", Expect = "DTD", Absent = new[] { "root:" } },
            new Case { Name = "dtd-external", Call = "login", Expect = "DTD" },
            new Case { Name = "billion-laughs", Call = "login", Expect = "DTD" },
            new Case { Name = "redirect", Call = "login", Expect = "HTTP 302" },
            new Case { Name = "silent", Call = "query", Expect = "httpTimeout", TimeoutS = 3 },
            new Case { Name = "slow-body", Call = "query", Expect = "httpTimeout", TimeoutS = 3 },
            new Case { Name = "invalid-utf8", Call = "login", Expect = "malformed XML" },
            new Case { Name = "malformed-xml", Call = "login", Expect = "malformed XML" },
            new Case { Name = "html-proxy", Call = "query", Expect = "HTML page" },
            new Case { Name = "huge-headers", Call = "query", Expect = "" },
            new Case { Name = "well-behaved", Call = "query", Expect = null },
            // A server without the query parameters that spare requests and bytes still lists whole.
            new Case { Name = "params-refused", Call = "query", Expect = null, Listed = 300 },
            new Case { Name = "offset-whole-total", Call = "query", Expect = null, Listed = 300 },
            new Case { Name = "offset-ignored", Call = "query", Expect = null, Listed = 300 },
            // Each offset window starts two records before the end of the one before: 126 new records a
            // window of 128, so 382 records take 4 windows (3 with one record of overlap) and 506 take 4 (5
            // with three).
            // A VM list by metadata asks for whole records, as public clients do: one request.
            new Case { Name = "metadata-fields", Call = "metadata", Expect = null, Listed = 3, Queries = 1 },
            new Case { Name = "offset-join-382", Call = "query", Expect = null, Listed = 382, Queries = 4 },
            new Case { Name = "offset-join-506", Call = "query", Expect = null, Listed = 506, Queries = 4 },
            // Records whose hrefs differ only in the case of their UUID, or only in the path before it, are
            // different records; none is dropped as a duplicate of another.
            new Case { Name = "ids-alike", Call = "query", Expect = null, Listed = 300 },
        };

        static int Main(string[] args)
        {
            string child = null, only = null, tool = null, home = null;
            bool report = false;
            for (int i = 0; i < args.Length; i++)
            {
                switch (args[i])
                {
                    case "--child": child = args[++i]; break;
                    case "--only": only = args[++i]; break;
                    case "--tool": tool = args[++i]; break;
                    case "--home": home = args[++i]; break;
                    case "--report": report = true; break;
                }
            }
            if (child != null) return RunChild(Cases.First(c => c.Name == child));
            return RunAll(only, tool, home, report);
        }

        static string CommonOptions(Case c)
        {
            return "allowHttp=true;retries=0;httpTimeout=" + c.TimeoutS.ToString(CultureInfo.InvariantCulture) + "s"
                + (c.Options.Length > 0 ? ";" + c.Options : "");
        }

        // ---- one case, in this process ----

        static int RunChild(Case c)
        {
            var counting = c.Name == "redirect" ? new CountingListener() : null;
            var server = new HostileServer(c.Name);
            if (counting != null) server.RedirectTarget = counting.Url;
            bool ok = false;
            string text = "";
            var sw = new Stopwatch();
            string password = c.Password ?? Password;
            server.Password = password;
            string logFile = c.Logged ? Path.Combine(Path.GetTempPath(), "hostile-" + c.Name + "-" + Process.GetCurrentProcess().Id + ".log") : "";
            Action call = () =>
            {
                var w = new vCloudWrapper();
                if (!w.Initialize(logFile, CommonOptions(c), c.Logged ? 3UL : 0UL)) { text = "Initialize: " + w.getLastErrorString(); return; }
                if (c.Call == "login")
                {
                    sw.Start();
                    ok = w.Login(server.Url, User, password);
                    sw.Stop();
                    text = ok ? "" : w.getLastErrorString();
                    return;
                }
                if (!w.Login(server.Url, User, password)) { text = "Login: " + w.getLastErrorString(); return; }
                sw.Start();
                var list = c.Call == "metadata" ? w.GetVMInfoListForMetadataTag("backup-policy", "gold", 0, 0)
                    : w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
                sw.Stop();
                ok = list != null;
                text = ok ? list.Count + " VMs" : w.getLastErrorString();
            };
            if (c.SmallStack)
            {
                var t = new Thread(() => call(), 256 * 1024);
                t.Start();
                t.Join();
            }
            else call();
            Console.WriteLine("RESULT " + (ok ? 1 : 0) + " " + sw.ElapsedMilliseconds + " " + PeakMb(Process.GetCurrentProcess().Id)
                + " " + server.DtdFetches + " " + (counting == null ? 0 : counting.Connections) + " " + server.QueryRequests);
            Console.WriteLine("TEXT " + Convert.ToBase64String(Encoding.UTF8.GetBytes(text ?? "")));
            if (logFile.Length > 0)
            {
                string log = File.Exists(logFile) ? File.ReadAllText(logFile) : "";
                Console.WriteLine("LOG " + Convert.ToBase64String(Encoding.UTF8.GetBytes(log)));
                try { File.Delete(logFile); } catch (Exception) { }
            }
            Console.Out.Flush();
            server.Dispose();
            return 0;
        }

        static long PeakMb(int pid)
        {
            try
            {
                foreach (var line in File.ReadAllLines("/proc/" + pid + "/status"))
                    if (line.StartsWith("VmHWM:", StringComparison.Ordinal))
                        return long.Parse(line.Substring(6).Trim().Split(' ')[0], CultureInfo.InvariantCulture) / 1024;
            }
            catch (Exception) { }
            return -1;
        }

        // ---- every case, each in a process of its own ----

        static int passed, failed;

        static void Check(bool condition, string what, string detail = "")
        {
            if (condition) { passed++; return; }
            failed++;
            Console.WriteLine("FAIL " + what + (detail.Length > 0 ? ": " + detail : ""));
        }

        static int RunAll(string only, string tool, string home, bool report)
        {
            string exe = typeof(Program).Assembly.Location;
            var sw = Stopwatch.StartNew();
            Console.WriteLine(string.Format("{0,-20} {1,8} {2,9} {3,8}  {4}", "case", "call s", "peak MiB", "outcome", "error text"));
            int ran = 0;
            foreach (var c in Cases)
            {
                if (only != null && c.Name != only) continue;
                RunOne(exe, c, report);
                ran++;
            }
            if (tool != null)
            {
                if (only == null || only == "tool-escapes") { ToolEscapes(tool, home, report, "escapes", 1); ran++; }
                if (only == null || only == "tool-escapes-names") { ToolEscapes(tool, home, report, "escapes-names", 0); ran++; }
            }
            if (ran == 0) { Console.WriteLine("no case named '" + only + "'"); return 2; }
            Console.WriteLine("hostile cases took " + sw.Elapsed.TotalSeconds.ToString("0.0", CultureInfo.InvariantCulture) + " s");
            Console.WriteLine(passed + " passed, " + failed + " failed");
            return report || failed == 0 ? 0 : 1;
        }

        static void RunOne(string exe, Case c, bool report)
        {
            var psi = new ProcessStartInfo("mono", "\"" + exe + "\" --child " + c.Name)
            {
                UseShellExecute = false,
                RedirectStandardOutput = true,
                RedirectStandardError = true
            };
            var p = Process.Start(psi);
            var stdout = new StringBuilder();
            var stderr = new StringBuilder();
            p.OutputDataReceived += (s, e) => { if (e.Data != null) lock (stdout) stdout.AppendLine(e.Data); };
            p.ErrorDataReceived += (s, e) => { if (e.Data != null) lock (stderr) stderr.AppendLine(e.Data); };
            p.BeginOutputReadLine();
            p.BeginErrorReadLine();
            long peak = 0;
            string killed = "";
            var wall = Stopwatch.StartNew();
            double limitS = c.TimeoutS + 20;
            while (!p.WaitForExit(50))
            {
                peak = Math.Max(peak, PeakMb(p.Id));
                if (peak > KillAboveMb) killed = "stopped above " + KillAboveMb + " MiB";
                else if (wall.Elapsed.TotalSeconds > limitS) killed = "stopped after " + limitS + " s";
                if (killed.Length > 0)
                {
                    try { p.Kill(); } catch (Exception) { }
                    p.WaitForExit();
                    break;
                }
            }
            p.WaitForExit();
            string outText;
            lock (stdout) outText = stdout.ToString();
            var result = outText.Split('\n').FirstOrDefault(l => l.StartsWith("RESULT ", StringComparison.Ordinal));
            var textLine = outText.Split('\n').FirstOrDefault(l => l.StartsWith("TEXT ", StringComparison.Ordinal));
            var logLine = outText.Split('\n').FirstOrDefault(l => l.StartsWith("LOG ", StringComparison.Ordinal));
            string logText = logLine == null ? "" : Encoding.UTF8.GetString(Convert.FromBase64String(logLine.Substring(4).Trim()));
            string outcome, text = "";
            double callS = wall.Elapsed.TotalSeconds;
            bool ok = false;
            int dtd = 0, stolen = 0, queries = 0;
            if (result == null)
            {
                string err;
                lock (stderr) err = stderr.ToString();
                outcome = killed.Length > 0 ? "killed" : "died";
                text = killed.Length > 0 ? killed : "exit " + p.ExitCode + ": " + FirstLine(err);
            }
            else
            {
                var f = result.Trim().Split(' ');
                ok = f[1] == "1";
                callS = long.Parse(f[2], CultureInfo.InvariantCulture) / 1000.0;
                peak = Math.Max(peak, long.Parse(f[3], CultureInfo.InvariantCulture));
                dtd = int.Parse(f[4], CultureInfo.InvariantCulture);
                stolen = int.Parse(f[5], CultureInfo.InvariantCulture);
                queries = int.Parse(f[6], CultureInfo.InvariantCulture);
                text = textLine == null ? "" : Encoding.UTF8.GetString(Convert.FromBase64String(textLine.Substring(5).Trim()));
                outcome = ok ? "success" : "failed";
            }
            Console.WriteLine(string.Format(CultureInfo.InvariantCulture, "{0,-20} {1,8:0.00} {2,9} {3,8}  {4}", c.Name, callS, peak, outcome, Visible(Shorten(text))));
            if (report) return;

            Check(result != null, c.Name + ": the process lives and reports", text);
            if (result == null) return;
            if (c.Expect == null && c.Listed >= 0) Check(text == c.Listed + " VMs", c.Name + ": every VM is listed", text);
            if (c.Expect == null && c.Queries > 0) Check(queries == c.Queries, c.Name + ": " + c.Queries + " query requests", queries + " requests");
            if (c.Expect == null) Check(ok, c.Name + ": the call succeeds", text);
            else if (c.MaxQueries > 0)
            {
                Check(ok, c.Name + ": the call succeeds", text);
                Check(text.IndexOf(c.Expect, StringComparison.Ordinal) >= 0, c.Name + ": the result", "expected <" + c.Expect + ">, got <" + Visible(text) + ">");
                Check(queries <= c.MaxQueries, c.Name + ": at most " + c.MaxQueries + " query requests", queries + " requests");
            }
            else
            {
                Check(!ok, c.Name + ": the call fails", text);
                Check(text.IndexOf(c.Expect, StringComparison.OrdinalIgnoreCase) >= 0, c.Name + ": the error text names the cause", "expected <" + c.Expect + "> in <" + Visible(text) + ">");
            }
            if (c.Logged) Check(logText.IndexOf("HTTP 500", StringComparison.Ordinal) >= 0, c.Name + ": the log holds the failure", Visible(Shorten(logText)));
            foreach (var a in c.Absent)
            {
                string secret = a.Replace("B64", Basic);
                Check(text.IndexOf(secret, StringComparison.Ordinal) < 0, c.Name + ": the error text does not hold <" + Visible(secret) + ">", Visible(text));
                if (c.Logged) Check(logText.IndexOf(secret, StringComparison.Ordinal) < 0, c.Name + ": the log does not hold <" + Visible(secret) + ">", Visible(logText));
            }
            Check(callS <= c.TimeoutS + 1, c.Name + ": the call ends within its time-out and a second", callS.ToString("0.00", CultureInfo.InvariantCulture) + " s");
            Check(peak > 0 && peak <= MemoryCapMb, c.Name + ": peak memory within " + MemoryCapMb + " MiB", peak + " MiB");
            Check(dtd == 0, c.Name + ": no external DTD was fetched");
            Check(stolen == 0, c.Name + ": nothing followed the redirect to another host");
        }

        // The command-line tool, through the real bridge, prints a server's text with its control characters
        // made visible.
        static void ToolEscapes(string tool, string home, bool report, string mode, int status)
        {
            string name = "tool-" + mode;
            using (var server = new HostileServer(mode))
            {
                var psi = new ProcessStartInfo(tool, "--server " + server.Url + " --allow-http --user " + User + " --option retries=0 vms")
                {
                    UseShellExecute = false,
                    RedirectStandardOutput = true,
                    RedirectStandardError = true
                };
                if (home != null) psi.EnvironmentVariables["XQ_HOME"] = home;
                psi.EnvironmentVariables["VCB_PASSWORD"] = Password;
                var sw = Stopwatch.StartNew();
                var p = Process.Start(psi);
                var errBuf = new MemoryStream();
                var outBuf = new MemoryStream();
                var t1 = p.StandardError.BaseStream.CopyToAsync(errBuf);
                var t2 = p.StandardOutput.BaseStream.CopyToAsync(outBuf);
                long peak = 0;
                while (!p.WaitForExit(50)) peak = Math.Max(peak, PeakMb(p.Id));
                p.WaitForExit();
                t1.Wait(5000);
                t2.Wait(5000);
                var bytes = errBuf.ToArray().Concat(outBuf.ToArray()).ToArray();
                string text = Encoding.UTF8.GetString(bytes);
                Console.WriteLine(string.Format(CultureInfo.InvariantCulture, "{0,-20} {1,8:0.00} {2,9} {3,8}  {4}", name,
                    sw.Elapsed.TotalSeconds, peak, "exit " + p.ExitCode, Visible(Shorten(text.Trim()))));
                if (report) return;
                Check(p.ExitCode == status, name + ": the tool's exit status", "exit " + p.ExitCode);
                Check(text.Contains("all VMs backed up OK"), name + ": the server's words are shown", Visible(text));
                Check(!bytes.Any(b => (b < 0x20 && b != '\n' && b != '\t') || b == 0x7f), name + ": no control byte reaches the terminal", Visible(text));
                Check(text.IndexOf('\u009b') < 0, name + ": no C1 control reaches the terminal", Visible(text));
            }
        }

        static string FirstLine(string s)
        {
            s = s.Trim();
            int nl = s.IndexOf('\n');
            return nl < 0 ? s : s.Substring(0, nl);
        }

        static string Shorten(string s) { return s.Length > 110 ? s.Substring(0, 110) + "..." : s; }

        // Control characters as \xNN, so that this report cannot drive the terminal either.
        static string Visible(string s)
        {
            var sb = new StringBuilder();
            foreach (char ch in s ?? "")
            {
                if (ch < 0x20 || (ch >= 0x7f && ch < 0xa0)) sb.Append("\\x" + ((int)ch).ToString("x2"));
                else sb.Append(ch);
            }
            return sb.ToString();
        }
    }
}
