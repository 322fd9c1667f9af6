// Test harness for the simulator: starts vcdsim.exe on a free port, talks to it over HTTP, and keeps the
// pass/fail tally.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
using System.Net;
using System.Net.Http;
using System.Net.Http.Headers;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;
using System.Xml.Linq;

namespace VcdSimTests
{
    static class NS
    {
        public static readonly XNamespace V = "http://www.vmware.com/vcloud/v1.5";
        public static readonly XNamespace Ext = "http://www.vmware.com/vcloud/extension/v1.5";
        public static readonly XNamespace Versions = "http://www.vmware.com/vcloud/versions";
        public static readonly XNamespace Xsi = "http://www.w3.org/2001/XMLSchema-instance";
    }

    static class Tally
    {
        public static int Passed, Failed;
        public static string Group = "";

        public static bool Check(bool ok, string what, string detail = null)
        {
            if (ok) { Passed++; return true; }
            Failed++;
            Console.WriteLine("FAIL [" + Group + "] " + what + (detail == null ? "" : ": " + detail));
            return false;
        }

        public static void Equal<T>(T expected, T actual, string what)
        {
            Check(EqualityComparer<T>.Default.Equals(expected, actual), what, "expected <" + expected + "> got <" + actual + ">");
        }
    }

    class Answer
    {
        public int Status;
        public string Body = "";
        public string ContentType = "";
        public HttpResponseHeaders Headers;
        XDocument doc;

        public string Header(string name)
        {
            IEnumerable<string> v;
            return Headers != null && Headers.TryGetValues(name, out v) ? v.First() : null;
        }

        public XDocument Xml
        {
            get
            {
                if (doc == null) doc = XDocument.Parse(Body);
                return doc;
            }
        }

        public XElement Root { get { return Xml.Root; } }

        public override string ToString()
        {
            return Status + " " + (Body.Length > 300 ? Body.Substring(0, 300) + "..." : Body);
        }
    }

    // One running simulator. Its standard input is our lifeline to it: closing it stops the simulator.
    class Sim : IDisposable
    {
        public readonly Process Proc;
        public readonly string Base;      // http://127.0.0.1:PORT/
        public readonly string FirstLine;
        readonly StringBuilder stderr = new StringBuilder();

        public Sim(string exe, string args)
        {
            var psi = new ProcessStartInfo("mono", "\"" + exe + "\" --port 0 --stdin-lifeline " + args)
            {
                UseShellExecute = false,
                RedirectStandardInput = true,
                RedirectStandardOutput = true,
                RedirectStandardError = true,
            };
            Proc = Process.Start(psi);
            Proc.ErrorDataReceived += (s, e) => { if (e.Data != null) lock (stderr) stderr.AppendLine(e.Data); };
            Proc.BeginErrorReadLine();
            var read = Proc.StandardOutput.ReadLineAsync();
            if (!read.Wait(60000) || read.Result == null)
            {
                Kill();
                throw new Exception("the simulator printed no start-up line; stderr: " + StdErr);
            }
            FirstLine = read.Result;
            var m = Regex.Match(FirstLine, "^vcdsim listening on (http://127\\.0\\.0\\.1:[0-9]+/)$");
            if (!m.Success)
            {
                Kill();
                throw new Exception("unexpected start-up line: " + FirstLine);
            }
            Base = m.Groups[1].Value;
        }

        public string StdErr { get { lock (stderr) return stderr.ToString(); } }

        void Kill()
        {
            try { if (!Proc.HasExited) Proc.Kill(); } catch (Exception) { }
        }

        public void Dispose()
        {
            try { Proc.StandardInput.Close(); } catch (Exception) { }
            if (!Proc.WaitForExit(15000)) Kill();
        }
    }

    // An HTTP client bound to one simulator and, after a login, to one session.
    class Client
    {
        static readonly HttpClient http = new HttpClient(new HttpClientHandler { UseCookies = false, AllowAutoRedirect = false })
        {
            Timeout = TimeSpan.FromSeconds(60)
        };

        readonly string baseUrl;
        public string Version = "38.0";
        public string Bearer;
        public string LegacyToken;

        public Client(Sim sim) { baseUrl = sim.Base; }
        public Client(string baseUrl) { this.baseUrl = baseUrl; }

        public string Url(string path)
        {
            if (path.StartsWith("http", StringComparison.Ordinal)) return path;
            return baseUrl + path.TrimStart('/');
        }

        public Answer Send(string method, string path, string contentType = null, string body = null,
                           string accept = null, Action<HttpRequestMessage> tweak = null)
        {
            var req = new HttpRequestMessage(new HttpMethod(method), Url(path));
            req.Headers.TryAddWithoutValidation("Accept", accept ?? (path.Contains("cloudapi") ? "application/json;version=" + Version
                                                                                                : "application/*+xml;version=" + Version));
            if (Bearer != null) req.Headers.TryAddWithoutValidation("Authorization", "Bearer " + Bearer);
            else if (LegacyToken != null) req.Headers.TryAddWithoutValidation("x-vcloud-authorization", LegacyToken);
            if (body != null)
            {
                req.Content = new StringContent(body, Encoding.UTF8);
                req.Content.Headers.Remove("Content-Type");
                req.Content.Headers.TryAddWithoutValidation("Content-Type", contentType);
            }
            else if (method == "POST" || method == "PUT")
            {
                req.Content = new ByteArrayContent(new byte[0]);
            }
            if (tweak != null) tweak(req);
            using (var resp = http.SendAsync(req).Result)
            {
                var a = new Answer { Status = (int)resp.StatusCode, Headers = resp.Headers };
                a.Body = resp.Content.ReadAsStringAsync().Result;
                a.ContentType = resp.Content.Headers.ContentType == null ? "" : resp.Content.Headers.ContentType.ToString();
                return a;
            }
        }

        public Answer Get(string path) { return Send("GET", path); }
        public Answer Post(string path, string ct = null, string body = null) { return Send("POST", path, ct, body); }
        public Answer Put(string path, string ct, string body) { return Send("PUT", path, ct, body); }
        public Answer Delete(string path) { return Send("DELETE", path); }

        public static string Basic(string who, string password)
        {
            return "Basic " + Convert.ToBase64String(Encoding.UTF8.GetBytes(who + ":" + password));
        }

        public Answer TryLogin(string user, string org, string password, bool provider)
        {
            return Send("POST", provider ? "cloudapi/1.0.0/sessions/provider" : "cloudapi/1.0.0/sessions",
                tweak: r => r.Headers.TryAddWithoutValidation("Authorization", Basic(user + "@" + org, password)));
        }

        // Logs in through the OpenAPI session endpoint and keeps the bearer token.
        public Client Login(string user, string org, string password)
        {
            var a = TryLogin(user, org, password, org == "System");
            if (a.Status != 200) throw new Exception("login of " + user + "@" + org + " failed: " + a);
            Bearer = a.Header("X-VMWARE-VCLOUD-ACCESS-TOKEN");
            return this;
        }

        // Control endpoint: settings as query parameters.
        public Answer Control(string method, string path)
        {
            var saveB = Bearer; var saveL = LegacyToken;
            Bearer = null; LegacyToken = null;
            try { return Send(method, "sim/" + path); }
            finally { Bearer = saveB; LegacyToken = saveL; }
        }

        public Dictionary<string, object> State(string href)
        {
            var a = Control("GET", "state?href=" + Uri.EscapeDataString(href));
            return a.Status == 200 ? Json.Parse(a.Body) as Dictionary<string, object> : new Dictionary<string, object> { { "exists", false } };
        }

        // Records of one query page as elements, following nothing.
        public List<XElement> Records(string query)
        {
            var a = Get("api/query?" + query);
            if (a.Status != 200) throw new Exception("query " + query + " failed: " + a);
            return a.Root.Elements().Where(e => e.Name.LocalName != "Link").ToList();
        }

        public List<string> Names(string query)
        {
            return Records(query).Select(e => (string)e.Attribute("name")).OrderBy(n => n, StringComparer.Ordinal).ToList();
        }

        public string HrefOf(string type, string name)
        {
            var recs = Records("type=" + type + "&format=references&filter=" + Uri.EscapeDataString("name==" + name));
            if (recs.Count != 1) throw new Exception(type + " \"" + name + "\" found " + recs.Count + " times");
            return (string)recs[0].Attribute("href");
        }

        // Polls a task until it ends; returns its final element.
        public XElement Wait(Answer started)
        {
            if (started.Status != 202 && started.Status != 201) throw new Exception("no task started: " + started);
            var task = started.Root.Name.LocalName == "Task" ? started.Root : started.Root.Descendants(NS.V + "Task").First();
            string href = (string)task.Attribute("href");
            var deadline = DateTime.UtcNow.AddSeconds(20);
            while (DateTime.UtcNow < deadline)
            {
                var a = Get(href);
                string status = (string)a.Root.Attribute("status");
                if (status != "queued" && status != "running" && status != "preRunning") return a.Root;
                Thread.Sleep(25);
            }
            throw new Exception("task " + href + " did not end");
        }
    }

    // Just enough JSON reading for the control endpoint's answers.
    static class Json
    {
        public static object Parse(string s)
        {
            int i = 0;
            var v = Value(s, ref i);
            return v;
        }

        static void Ws(string s, ref int i) { while (i < s.Length && char.IsWhiteSpace(s[i])) i++; }

        static object Value(string s, ref int i)
        {
            Ws(s, ref i);
            char c = s[i];
            if (c == '{')
            {
                var d = new Dictionary<string, object>();
                i++;
                Ws(s, ref i);
                if (s[i] == '}') { i++; return d; }
                while (true)
                {
                    Ws(s, ref i);
                    string k = (string)Value(s, ref i);
                    Ws(s, ref i);
                    i++; // ':'
                    d[k] = Value(s, ref i);
                    Ws(s, ref i);
                    if (s[i++] == '}') return d;
                }
            }
            if (c == '[')
            {
                var l = new List<object>();
                i++;
                Ws(s, ref i);
                if (s[i] == ']') { i++; return l; }
                while (true)
                {
                    l.Add(Value(s, ref i));
                    Ws(s, ref i);
                    if (s[i++] == ']') return l;
                }
            }
            if (c == '"')
            {
                var sb = new StringBuilder();
                i++;
                while (s[i] != '"')
                {
                    if (s[i] == '\\')
                    {
                        i++;
                        char e = s[i];
                        if (e == 'n') sb.Append('\n');
                        else if (e == 't') sb.Append('\t');
                        else if (e == 'r') sb.Append('\r');
                        else if (e == 'u') { sb.Append((char)Convert.ToInt32(s.Substring(i + 1, 4), 16)); i += 4; }
                        else sb.Append(e);
                        i++;
                    }
                    else sb.Append(s[i++]);
                }
                i++;
                return sb.ToString();
            }
            int start = i;
            while (i < s.Length && ",}] \n\r\t".IndexOf(s[i]) < 0) i++;
            string lit = s.Substring(start, i - start);
            if (lit == "true") return true;
            if (lit == "false") return false;
            if (lit == "null") return null;
            return double.Parse(lit, System.Globalization.CultureInfo.InvariantCulture);
        }
    }
}
