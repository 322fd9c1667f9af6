// Test harness: checks with a tally, a simulator process on a free port with its control endpoint, and
// small JSON readers for the simulator's answers.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Net.Http;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;

namespace WrapperTests
{
    static class Check
    {
        public static int Passed, Failed, Skipped;
        public static string Group = "";

        public static bool That(bool condition, string what, string detail = "")
        {
            if (condition) { Interlocked.Increment(ref Passed); return true; }
            Interlocked.Increment(ref Failed);
            Console.WriteLine("FAIL [" + Group + "] " + what + (detail.Length > 0 ? ": " + detail : ""));
            return false;
        }

        public static bool Equal<T>(T expected, T actual, string what)
        {
            return That(EqualityComparer<T>.Default.Equals(expected, actual), what, "expected <" + expected + ">, got <" + actual + ">");
        }

        public static bool Contains(string text, string part, string what)
        {
            return That(text != null && text.IndexOf(part, StringComparison.OrdinalIgnoreCase) >= 0, what,
                "expected <" + part + "> in <" + text + ">");
        }

        public static void Skip(string what, string why)
        {
            Skipped++;
            Console.WriteLine("SKIP [" + Group + "] " + what + ": " + why);
        }
    }

    // A second loopback listener that stands for another host: it records the head of whatever reaches it
    // (request line and headers) and answers 503, so that nothing sent there can pass for an answer. Given a
    // challenge, it answers a request without Proxy-Authorization 407 with that challenge, as a proxy that
    // wants credentials.
    sealed class Recorder : IDisposable
    {
        private readonly string challenge;
        private readonly System.Net.Sockets.TcpListener listener =
            new System.Net.Sockets.TcpListener(System.Net.IPAddress.Loopback, 0);
        private readonly List<string> heads = new List<string>();
        public readonly string Url;

        public Recorder(string challenge = null)
        {
            this.challenge = challenge;
            listener.Start();
            Url = "http://127.0.0.1:" + ((System.Net.IPEndPoint)listener.LocalEndpoint).Port;
            new Thread(Accept) { IsBackground = true, Name = "recorder" }.Start();
        }

        public List<string> Heads { get { lock (heads) return new List<string>(heads); } }

        private void Accept()
        {
            while (true)
            {
                System.Net.Sockets.TcpClient c;
                try { c = listener.AcceptTcpClient(); }
                catch (Exception) { return; }
                try
                {
                    using (c)
                    {
                        var stream = c.GetStream();
                        stream.ReadTimeout = 5000;
                        var buf = new byte[8192];
                        int n = 0;
                        try { n = stream.Read(buf, 0, buf.Length); } catch (IOException) { }
                        string head = n > 0 ? Encoding.ASCII.GetString(buf, 0, n) : "(connection without a request)";
                        lock (heads) heads.Add(head);
                        bool ask = challenge != null && head.IndexOf("\nProxy-Authorization:", StringComparison.OrdinalIgnoreCase) < 0;
                        var answer = Encoding.ASCII.GetBytes(ask
                            ? "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: " + challenge + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
                            : "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                        stream.Write(answer, 0, answer.Length);
                    }
                }
                catch (Exception) { }
            }
        }

        public void Dispose() { listener.Stop(); }
    }

    // A simulator on 127.0.0.1. Its standard input is its lifeline: when this process ends, it ends too.
    sealed class Sim : IDisposable
    {
        private readonly Process process;
        public readonly string Url;
        private static readonly HttpClient control = new HttpClient { Timeout = TimeSpan.FromSeconds(30) };

        public Sim(string exe, string args)
        {
            var psi = new ProcessStartInfo("mono", "\"" + exe + "\" --port 0 --stdin-lifeline " + args)
            {
                UseShellExecute = false,
                RedirectStandardInput = true,
                RedirectStandardOutput = true
            };
            process = Process.Start(psi);
            string line = null;
            var reader = new Thread(() =>
            {
                try { line = process.StandardOutput.ReadLine(); } catch (Exception) { }
            }) { IsBackground = true };
            reader.Start();
            if (!reader.Join(TimeSpan.FromSeconds(60)) || line == null)
                throw new Exception("the simulator did not start (" + args + ")");
            var m = Regex.Match(line, @"^vcdsim listening on (http://127\.0\.0\.1:\d+/)$");
            if (!m.Success) throw new Exception("unexpected first line from the simulator: " + line);
            Url = m.Groups[1].Value;
            new Thread(() =>
            {
                try { while (process.StandardOutput.ReadLine() != null) { } } catch (Exception) { }
            }) { IsBackground = true }.Start();
        }

        public string Get(string path)
        {
            return control.GetStringAsync(Url + path.TrimStart('/')).GetAwaiter().GetResult();
        }

        public string Post(string path)
        {
            var resp = control.PostAsync(Url + path.TrimStart('/'), new StringContent("")).GetAwaiter().GetResult();
            string body = resp.Content.ReadAsStringAsync().GetAwaiter().GetResult();
            if (!resp.IsSuccessStatusCode) throw new Exception("POST " + path + ": " + (int)resp.StatusCode + " " + body);
            return body;
        }

        public void Faults(string query) { Post("sim/faults?" + query); }
        public void Reset() { Post("sim/reset"); }
        public long Requests(string prefix = null)
        {
            string json = Get("sim/counters" + (prefix == null ? "" : "?prefix=" + Uri.EscapeDataString(prefix)));
            return Json.Long(json, prefix == null ? "total" : "count");
        }
        public void ResetCounters() { Post("sim/counters/reset"); }

        // The simulator's description of every object of that kind and name, as JSON objects.
        public List<string> Objects(string name, string kind)
        {
            string json = Get("sim/state?name=" + Uri.EscapeDataString(name) + "&kind=" + kind);
            return Json.Objects(json);
        }

        public string Object(string name, string kind)
        {
            var all = Objects(name, kind);
            if (all.Count != 1) throw new Exception(all.Count + " objects of kind " + kind + " named " + name);
            return all[0];
        }

        public bool Exists(string href)
        {
            try { return Json.Str(Get("sim/state?href=" + Uri.EscapeDataString(href)), "exists") == "true"; }
            catch (HttpRequestException) { return false; }
        }

        public string Summary() { return Get("sim/state"); }

        public void Dispose()
        {
            try
            {
                process.StandardInput.Close();
                if (!process.WaitForExit(5000)) process.Kill();
            }
            catch (Exception) { }
        }
    }

    // Just enough JSON for the simulator's flat answers: the first value of a key, and top-level objects.
    static class Json
    {
        public static string Str(string json, string key)
        {
            var m = Regex.Match(json, "\"" + Regex.Escape(key) + "\"\\s*:\\s*(\"((?:[^\"\\\\]|\\\\.)*)\"|[-0-9.eE]+|true|false|null)");
            if (!m.Success) return null;
            return m.Groups[2].Success && m.Groups[1].Value.StartsWith("\"") ? Regex.Unescape(m.Groups[2].Value) : m.Groups[1].Value;
        }

        public static long Long(string json, string key)
        {
            long v;
            return long.TryParse(Str(json, key), NumberStyles.Integer, CultureInfo.InvariantCulture, out v) ? v : -1;
        }

        public static List<string> Objects(string array)
        {
            var result = new List<string>();
            int depth = 0, start = -1;
            bool inString = false;
            for (int i = 0; i < array.Length; i++)
            {
                char c = array[i];
                if (inString)
                {
                    if (c == '\\') i++;
                    else if (c == '"') inString = false;
                    continue;
                }
                if (c == '"') inString = true;
                else if (c == '{') { if (depth++ == 0) start = i; }
                else if (c == '}') { if (--depth == 0) result.Add(array.Substring(start, i - start + 1)); }
            }
            return result;
        }
    }

    // An https server on loopback (openssl s_server) presenting a certificate the tests made.
    sealed class TlsServer : IDisposable
    {
        private readonly Process process;
        public readonly int Port;

        public TlsServer(string openssl, string cert, string key)
        {
            var probe = new System.Net.Sockets.TcpListener(System.Net.IPAddress.Loopback, 0);
            probe.Start();
            Port = ((System.Net.IPEndPoint)probe.LocalEndpoint).Port;
            probe.Stop();
            process = Process.Start(new ProcessStartInfo(openssl,
                "s_server -quiet -www -accept 127.0.0.1:" + Port + " -cert \"" + cert + "\" -key \"" + key + "\"")
            {
                UseShellExecute = false,
                RedirectStandardOutput = true,
                RedirectStandardError = true
            });
            process.OutputDataReceived += (s, e) => { };
            process.ErrorDataReceived += (s, e) => { };
            process.BeginOutputReadLine();
            process.BeginErrorReadLine();
            var deadline = DateTime.UtcNow.AddSeconds(10);
            while (DateTime.UtcNow < deadline)
            {
                try
                {
                    using (var c = new System.Net.Sockets.TcpClient()) { c.Connect("127.0.0.1", Port); return; }
                }
                catch (Exception) { Thread.Sleep(100); }
            }
            throw new Exception("openssl s_server did not start");
        }

        public void Dispose()
        {
            try { process.Kill(); process.WaitForExit(2000); } catch (Exception) { }
        }

        public static bool Run(string openssl, string args, string dir)
        {
            int status;
            Capture(openssl, args, dir, out status);
            return status == 0;
        }

        public static string Capture(string openssl, string args, string dir)
        {
            int status;
            return Capture(openssl, args, dir, out status);
        }

        // Runs openssl in dir; gives its standard output and exit status, and drops its standard error.
        private static string Capture(string openssl, string args, string dir, out int status)
        {
            var p = Process.Start(new ProcessStartInfo(openssl, args)
            {
                UseShellExecute = false,
                WorkingDirectory = dir,
                RedirectStandardOutput = true,
                RedirectStandardError = true
            });
            var error = p.StandardError.ReadToEndAsync();
            string text = p.StandardOutput.ReadToEnd();
            error.Wait();
            p.WaitForExit();
            status = p.ExitCode;
            return text;
        }
    }

    // A server that sends the headers and the start of a body, then goes silent.
    sealed class StallingServer : IDisposable
    {
        private readonly System.Net.Sockets.TcpListener listener;
        private readonly List<System.Net.Sockets.TcpClient> clients = new List<System.Net.Sockets.TcpClient>();
        public readonly int Port;

        public StallingServer()
        {
            listener = new System.Net.Sockets.TcpListener(System.Net.IPAddress.Loopback, 0);
            listener.Start();
            Port = ((System.Net.IPEndPoint)listener.LocalEndpoint).Port;
            new Thread(() =>
            {
                try
                {
                    while (true)
                    {
                        var c = listener.AcceptTcpClient();
                        lock (clients) clients.Add(c);
                        var stream = c.GetStream();
                        var buffer = new byte[8192];
                        stream.Read(buffer, 0, buffer.Length);
                        var head = Encoding.ASCII.GetBytes("HTTP/1.1 200 OK\r\nContent-Type: application/*+xml\r\nContent-Length: 5000\r\n\r\n<SupportedVersions");
                        stream.Write(head, 0, head.Length);
                        stream.Flush();
                    }
                }
                catch (Exception) { }
            }) { IsBackground = true }.Start();
        }

        public void Dispose()
        {
            try { listener.Stop(); } catch (Exception) { }
            lock (clients) foreach (var c in clients) try { c.Close(); } catch (Exception) { }
        }
    }
}
