// Query pages over kept connections, read on the asking thread: against a loopback server that answers
// with exactly the bytes each case gives (framings, interim answers, closes and stalls that the
// simulator's own listener never sends), and the small readers of the answer's head on their own.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.IO.Compression;
using System.Linq;
using System.Net;
using System.Net.Http;
using System.Net.Sockets;
using System.Text;
using System.Threading;
using vCloudSDKWrapper;

namespace WrapperTests
{
    // A loopback server whose answer to each request is what a script returns for it, given the request's
    // number on the server, its number on its connection and its head.
    sealed class ScriptedServer : IDisposable
    {
        public sealed class Answer
        {
            public byte[] Bytes = new byte[0];
            public int DelayMs;       // wait this long before the bytes
            public bool Close;        // close the connection after the bytes
            public int StallMs;       // wait this long after the bytes before going on
            public byte[] After;      // then send these
        }

        private readonly TcpListener listener = new TcpListener(IPAddress.Loopback, 0);
        private readonly Func<int, int, string, Answer> script;
        private readonly List<string> heads = new List<string>();
        private int requests, connections;
        public readonly string Url;

        public ScriptedServer(Func<int, int, string, Answer> script)
        {
            this.script = script;
            listener.Start();
            Url = "http://127.0.0.1:" + ((IPEndPoint)listener.LocalEndpoint).Port;
            new Thread(Accept) { IsBackground = true, Name = "scripted server" }.Start();
        }

        public int Connections { get { return Volatile.Read(ref connections); } }
        public List<string> Heads { get { lock (heads) return new List<string>(heads); } }

        private void Accept()
        {
            while (true)
            {
                TcpClient c;
                try { c = listener.AcceptTcpClient(); }
                catch (Exception) { return; }
                Interlocked.Increment(ref connections);
                new Thread(() => Serve(c)) { IsBackground = true }.Start();
            }
        }

        private void Serve(TcpClient c)
        {
            using (c)
            {
                try
                {
                    var stream = c.GetStream();
                    for (int onLine = 1; ; onLine++)
                    {
                        string head = ReadHead(stream);
                        if (head == null) return;
                        lock (heads) heads.Add(head);
                        var answer = script(Interlocked.Increment(ref requests), onLine, head);
                        if (answer.DelayMs > 0) Thread.Sleep(answer.DelayMs);
                        if (answer.Bytes.Length > 0) stream.Write(answer.Bytes, 0, answer.Bytes.Length);
                        if (answer.StallMs > 0) Thread.Sleep(answer.StallMs);
                        if (answer.After != null) stream.Write(answer.After, 0, answer.After.Length);
                        if (answer.Close) return;
                    }
                }
                catch (IOException) { }
            }
        }

        private static string ReadHead(NetworkStream stream)
        {
            var head = new List<byte>();
            while (true)
            {
                int b = stream.ReadByte();
                if (b < 0) return null;
                head.Add((byte)b);
                int n = head.Count;
                if (n >= 4 && head[n - 4] == '\r' && head[n - 3] == '\n' && head[n - 2] == '\r' && head[n - 1] == '\n')
                    return Encoding.ASCII.GetString(head.ToArray());
            }
        }

        public void Dispose() { listener.Stop(); }
    }

    static class PageLineTests
    {
        // A page of 90 records, longer than the smallest maxResponseBytes (4096), so that its bounds can be tried on it.
        static readonly string Page = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<QueryResultRecords xmlns=\"http://www.vmware.com/vcloud/v1.5\" "
            + "total=\"90\" pageSize=\"128\" page=\"1\">"
            + string.Concat(Enumerable.Range(1, 90).Select(i => "<VMRecord name=\"vm-" + i + "\" href=\"https://x/api/vApp/vm-" + i + "\"/>"))
            + "</QueryResultRecords>";

        static byte[] Bytes(string text) { return Encoding.UTF8.GetBytes(text); }

        static byte[] Join(params byte[][] parts)
        {
            var ms = new MemoryStream();
            foreach (var p in parts) ms.Write(p, 0, p.Length);
            return ms.ToArray();
        }

        static ScriptedServer.Answer Say(byte[] bytes, bool close = false, int stallMs = 0)
        {
            return new ScriptedServer.Answer { Bytes = bytes, Close = close, StallMs = stallMs };
        }

        static ScriptedServer.Answer Plain(string body, string extra = "")
        {
            return Say(Bytes("HTTP/1.1 200 OK\r\nContent-Type: application/vnd.vmware.vcloud.query.records+xml;version=38.0\r\n" + extra
                + "Content-Length: " + Encoding.UTF8.GetByteCount(body) + "\r\n\r\n" + body));
        }

        static RestClient Client(string options = "")
        {
            var opt = new WrapperOptions();
            opt.Apply("allowHttp=true;proxy=none;retries=0;httpTimeout=10s;" + options, "test");
            return new RestClient(opt, WrapperLog.None);
        }

        static Reply Get(RestClient http, ScriptedServer server, string path = "/api/query?type=vm&page=1")
        {
            return http.Send(HttpMethod.Get, new Uri(server.Url + path), null, "application/*+xml;version=38.0", null, null, "GET page", null, true);
        }

        static string Failure(Func<Reply> call)
        {
            try { call(); return "no failure"; }
            catch (CloudException e) { return e.Message + " [status " + e.Status + "]"; }
        }

        public static void Run()
        {
            Heads();
            Framings();
            KeptConnections();
            ThroughProxy();
            Limits();
            TimeOuts();
        }

        // The readers of the status line, the length, chunk sizes and Connection, and which values are written as they are.
        static void Heads()
        {
            Check.Equal(200, RestClient.StatusOf("HTTP/1.1 200 OK", "x"), "a status line");
            Check.Equal(204, RestClient.StatusOf("HTTP/1.1 204", "x"), "a status line without a reason");
            Check.Equal(100, RestClient.StatusOf("HTTP/1.0 100 Continue", "x"), "the lowest status");
            foreach (var bad in new[] { "HTTP/2 200 OK", "HTTP/1.1 20 OK", "HTTP/1.1 099 x", "HTTP/1.1 2000 OK", "HTTP/1.1  200 OK", "http/1.1 200 OK", "HTTP/1.1 2x0 OK" })
                Check.Contains(Failure(() => { RestClient.StatusOf(bad, "x"); return null; }), "not valid HTTP", "'" + bad + "' is no status line");
            Check.Equal(26L, RestClient.ChunkSize("1A;name=value", "x"), "a chunk size in hexadecimal with an extension");
            Check.Equal(255L, RestClient.ChunkSize("ff ", "x"), "lower case, blanks after");
            Check.Equal(0L, RestClient.ChunkSize("0", "x"), "the last chunk");
            foreach (var bad in new[] { "", ";x", "1g", "-1", "1000000000000000" })
                Check.Contains(Failure(() => { RestClient.ChunkSize(bad, "x"); return null; }), "not valid HTTP", "'" + bad + "' is no chunk size");
            Check.Equal(12L, RestClient.ContentLength("12", "x"), "a length");
            Check.Equal(12L, RestClient.ContentLength("12, 12", "x"), "the same length twice");
            Check.Equal(0L, RestClient.ContentLength("0", "x"), "no body");
            foreach (var bad in new[] { "12, 13", "-1", "1.5", "", "0x10", "1234567890123456789" })
                Check.Contains(Failure(() => { RestClient.ContentLength(bad, "x"); return null; }), "not valid HTTP", "'" + bad + "' is no length");
            Check.That(!RestClient.CloseAfter("HTTP/1.1 200 OK", ""), "HTTP/1.1 keeps the connection");
            Check.That(RestClient.CloseAfter("HTTP/1.1 200 OK", "Close"), "unless it says close, in any case");
            Check.That(RestClient.CloseAfter("HTTP/1.1 200 OK", "keep-alive, close"), "close among other tokens wins");
            Check.That(RestClient.CloseAfter("HTTP/1.0 200 OK", ""), "HTTP/1.0 ends the connection");
            Check.That(!RestClient.CloseAfter("HTTP/1.0 200 OK", "Keep-Alive"), "unless it says keep-alive");
            Check.That(RestClient.Writable("Bearer abc\tdef é"), "tabs and Latin-1 letters are written as they are");
            foreach (var bad in new[] { "a\r\nX-Injected: 1", "a\nb", "a\0b", "a\x7f", "a\u0100" })
                Check.That(!RestClient.Writable(bad), "'" + RestClient.Visible(bad) + "' is not written as a field value");
            var request = Encoding.ASCII.GetString(RestClient.RequestBytes(new Uri("http://[::1]:8080/api/query?type=vm&filter=name%3D%3Dx"),
                new List<KeyValuePair<string, string>> { new KeyValuePair<string, string>("Accept", "a/b") }));
            Check.Equal("GET /api/query?type=vm&filter=name%3D%3Dx HTTP/1.1\r\nHost: [::1]:8080\r\nAccept: a/b\r\n\r\n", request,
                "the request line keeps the escapes, the host its brackets and its port");
            request = Encoding.ASCII.GetString(RestClient.RequestBytes(new Uri("https://vcd.example.com/api/query"), new List<KeyValuePair<string, string>>()));
            Check.Contains(request, "\r\nHost: vcd.example.com\r\n", "the default port is not written");
        }

        // The same page in every framing a server may choose, and interim answers before it.
        static void Framings()
        {
            byte[] page = Bytes(Page);
            byte[] gzip;
            using (var ms = new MemoryStream())
            {
                using (var z = new GZipStream(ms, CompressionMode.Compress, true)) z.Write(page, 0, page.Length);
                gzip = ms.ToArray();
            }
            int third = page.Length / 3;
            var cases = new Dictionary<string, ScriptedServer.Answer>
            {
                { "a declared length", Plain(Page) },
                { "chunks with an extension and a trailer", Say(Join(Bytes("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"),
                    Bytes(third.ToString("x") + ";ext=1\r\n"), Sub(page, 0, third), Bytes("\r\n"),
                    Bytes((page.Length - third).ToString("X") + "\r\n"), Sub(page, third, page.Length - third), Bytes("\r\n0\r\nX-Trailer: t\r\n\r\n"))) },
                { "an HTTP/1.0 answer to the end of the connection", Say(Join(Bytes("HTTP/1.0 200 OK\r\n\r\n"), page), true) },
                { "gzip", Say(Join(Bytes("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + gzip.Length + "\r\n\r\n"), gzip)) },
                { "after 100 Continue", Say(Join(Bytes("HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\n"), Plain(Page).Bytes)) },
                { "bare line feeds", Say(Join(Bytes("HTTP/1.1 200 OK\nContent-Length: " + page.Length + "\n\n"), page)) },
            };
            foreach (var c in cases)
            {
                using (var server = new ScriptedServer((n, onLine, head) => c.Value))
                {
                    var http = Client();
                    for (int round = 1; round <= 2; round++)
                    {
                        Reply r = null;
                        string failure = Failure(() => r = Get(http, server));
                        if (!Check.Equal("no failure", failure, c.Key + ", page " + round)) break;
                        Check.Equal(200, r.Status, c.Key + ": the status");
                        Check.Equal(Page, Encoding.UTF8.GetString(r.BodyBytes, 0, r.BodyLength), c.Key + ": the page, whole, page " + round);
                        Check.That(!r.Headers.ContainsKey("X-Interim") && !r.Headers.ContainsKey("X-Trailer"), c.Key + ": no interim or trailer field among the answer's");
                    }
                    bool closes = c.Key.StartsWith("an HTTP/1.0", StringComparison.Ordinal);
                    Check.Equal(closes ? 2 : 1, server.Connections, c.Key + ": connections for two pages");
                }
            }

            // The head's fields: repeated ones joined, folded ones continued, content fields kept apart.
            using (var server = new ScriptedServer((n, onLine, head) => Plain(Page,
                "X-VMWARE-VCLOUD-REQUEST-ID: req-7\r\nRetry-After: 5\r\nWarning: one\r\nwarning: two\r\nX-Folded: a\r\n  b\r\nLocation: https://x/api/task/1\r\n")))
            {
                var r = Get(Client(), server);
                Check.Equal("req-7", r.RequestId, "the request id");
                Check.Equal("5", r.Headers["Retry-After"], "Retry-After as sent");
                Check.Equal("one,two", r.Headers["Warning"], "a repeated field, its names in any case, joined");
                Check.Equal("a b", r.Headers["X-Folded"], "a folded field");
                Check.Equal("https://x/api/task/1", r.Location, "Location");
                Check.Equal("application/vnd.vmware.vcloud.query.records+xml;version=38.0", r.ContentType, "the content type");
                Check.That(!r.Headers.ContainsKey("Content-Type") && !r.Headers.ContainsKey("Content-Length"), "content fields are not among the answer's fields");
                string sent = server.Heads[0];
                Check.That(sent.StartsWith("GET /api/query?type=vm&page=1 HTTP/1.1\r\nHost: 127.0.0.1:", StringComparison.Ordinal), "the request line and host", sent);
                Check.Contains(sent, "\r\nAccept: application/*+xml;version=38.0\r\n", "the Accept field");
                Check.Contains(sent, "\r\nAccept-Encoding: gzip, deflate\r\n", "compression asked for");
                Check.Contains(sent, "\r\nX-VMWARE-VCLOUD-CLIENT-REQUEST-ID: ", "the client's request id");
            }
        }

        static byte[] Sub(byte[] b, int start, int length)
        {
            var s = new byte[length];
            Array.Copy(b, start, s, 0, length);
            return s;
        }

        // A page asked through a configured proxy goes to the proxy, never straight to the server.
        static void ThroughProxy()
        {
            using (var proxy = new Recorder())
            using (var server = new ScriptedServer((n, onLine, head) => Plain(Page)))
            {
                var opt = new WrapperOptions();
                opt.Apply("allowHttp=true;retries=0;httpTimeout=10s;proxy=" + proxy.Url, "test");
                var r = Get(new RestClient(opt, WrapperLog.None), server);
                Check.Equal(503, r.Status, "the proxy's answer");
                Check.That(proxy.Heads.Count == 1 && proxy.Heads[0].StartsWith("GET " + server.Url + "/api/query?", StringComparison.Ordinal),
                    "the proxy was asked for the page", string.Join(" | ", proxy.Heads));
                Check.Equal(0, server.Connections, "the server was not reached directly");
            }
        }

        // Connections a server closed while they idled are replaced without a retry being spent; a new
        // connection that closes without an answer is a failure to reach the server.
        static void KeptConnections()
        {
            // The server closes its first connection after the first answer without saying so, and another
            // one on receiving the second request: both are found out and the pages still come, with no retries.
            using (var server = new ScriptedServer((n, onLine, head) =>
                n == 1 ? Plain(Page) : onLine == 2 ? Say(new byte[0], true) : Plain(Page)))
            {
                var http = Client("retries=0");
                Check.Equal("no failure", Failure(() => Get(http, server)), "first page");
                Check.Equal("no failure", Failure(() => Get(http, server)), "a page on a kept connection that the server dropped on receiving it");
                Check.Equal("no failure", Failure(() => Get(http, server)), "and the next");
            }
            using (var server = new ScriptedServer((n, onLine, head) => Say(Bytes("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"))))
            {
                var http = Client();
                Get(http, server);
                Get(http, server);
                Check.Equal(2, server.Connections, "an answer that says close ends its connection");
            }
            using (var server = new ScriptedServer((n, onLine, head) => Say(Bytes("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokHTTP/1.1 200 OK\r\n"))))
            {
                var http = Client();
                Check.Equal("no failure", Failure(() => Get(http, server)), "an answer followed by bytes no request asked for");
                Check.Equal("no failure", Failure(() => Get(http, server)), "the next page goes on another connection");
                Check.Equal(2, server.Connections, "so the stray bytes are never read as an answer");
            }
            var limit = RestClient.IdleLineLimit;
            try
            {
                RestClient.IdleLineLimit = TimeSpan.FromMilliseconds(300);
                using (var server = new ScriptedServer((n, onLine, head) => Plain(Page)))
                {
                    var http = Client();
                    Get(http, server);
                    Get(http, server);
                    Check.Equal(1, server.Connections, "a connection idle for less than the limit is used again");
                    Thread.Sleep(600);
                    Get(http, server);
                    Check.Equal(2, server.Connections, "one idle for longer is not");
                }
            }
            finally { RestClient.IdleLineLimit = limit; }
            using (var server = new ScriptedServer((n, onLine, head) => Say(Bytes("HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n"))))
            {
                var http = Client();
                Check.Equal(101, Get(http, server).Status, "an answer that switches protocols");
                Get(http, server);
                Check.Equal(2, server.Connections, "ends its connection for this client");
            }
            using (var server = new ScriptedServer((n, onLine, head) => Say(new byte[0], true)))
            {
                string failure = Failure(() => Get(Client("retries=0"), server));
                Check.Contains(failure, "GET page: cannot reach http://127.0.0.1:", "a new connection closed without an answer");
                Check.Contains(failure, "the server closed the connection without an answer [status -1]", "says so, as a lost connection that a GET may retry");
            }
            // Half the declared body, then the connection ends: retried within retries, else a broken answer.
            using (var server = new ScriptedServer((n, onLine, head) => n == 1
                ? Say(Join(Bytes("HTTP/1.1 200 OK\r\nContent-Length: " + Page.Length + "\r\n\r\n"), Bytes(Page.Substring(0, 50))), true)
                : Plain(Page)))
            {
                Check.Equal("no failure", Failure(() => Get(Client("retries=1"), server)), "a broken answer is retried");
            }
            using (var server = new ScriptedServer((n, onLine, head) =>
                Say(Join(Bytes("HTTP/1.1 200 OK\r\nContent-Length: " + Page.Length + "\r\n\r\n"), Bytes(Page.Substring(0, 50))), true)))
            {
                Check.Contains(Failure(() => Get(Client("retries=0"), server)),
                    "GET page: the answer broke off: the server closed the connection after 50 of the " + Page.Length + " bytes it announced [status -1]",
                    "a broken answer without retries left");
            }
            using (var server = new ScriptedServer((n, onLine, head) => Say(Bytes("HTTP/1.1 200 OK\r\nX-Endless: " + new string('a', 70000)), true)))
                Check.Contains(Failure(() => Get(Client(), server)), "not valid HTTP: its head is longer than 65536 bytes", "a head line that never ends");
            using (var server = new ScriptedServer((n, onLine, head) => Say(Bytes("HTTP/1.1 200 OK\r\nContent-Len"), true)))
                Check.Contains(Failure(() => Get(Client(), server)), "the server closed the connection within the answer's head [status -1]", "a head cut short");
            using (var server = new ScriptedServer((n, onLine, head) => Say(Bytes("SSH-2.0-OpenSSH_9.2\r\n\r\n"), true)))
                Check.Contains(Failure(() => Get(Client(), server)), "the server's answer is not valid HTTP: its status line is 'SSH-2.0-OpenSSH_9.2'", "not HTTP at all");
        }

        // Every bound holds whichever framing the answer uses.
        static void Limits()
        {
            // A head of exactly the bound, and one byte more: the filler field makes up the difference.
            Func<int, ScriptedServer.Answer> headOf = extra =>
            {
                int bare = Encoding.ASCII.GetByteCount("HTTP/1.1 200 OK\r\nContent-Type: application/vnd.vmware.vcloud.query.records+xml;version=38.0\r\n"
                    + "X-Long: \r\nContent-Length: " + Encoding.UTF8.GetByteCount(Page) + "\r\n\r\n");
                return Plain(Page, "X-Long: " + new string('a', RestClient.MaxHeadBytes - bare + extra) + "\r\n");
            };
            using (var server = new ScriptedServer((n, onLine, head) => headOf(1)))
                Check.Contains(Failure(() => Get(Client(), server)), "not valid HTTP: its head is longer than 65536 bytes", "a head one byte over its bound");
            using (var server = new ScriptedServer((n, onLine, head) => headOf(0)))
                Check.Equal("no failure", Failure(() => Get(Client(), server)), "a head at its bound");
            using (var server = new ScriptedServer((n, onLine, head) => Say(Bytes("HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Length: 12\r\n\r\n0123456789ab"))))
                Check.Contains(Failure(() => Get(Client(), server)), "not valid HTTP: its Content-Length is '10,12'", "two lengths that differ");
            using (var server = new ScriptedServer((n, onLine, head) => Plain(Page)))
            {
                Check.Contains(Failure(() => Get(Client("maxResponseBytes=" + (Page.Length - 1)), server)),
                    "the answer announces " + Page.Length + " bytes, more than maxResponseBytes (" + (Page.Length - 1) + ")", "a declared length one over");
                Check.Equal("no failure", Failure(() => Get(Client("maxResponseBytes=" + Page.Length), server)), "a declared length at the bound");
            }
            Func<string, ScriptedServer.Answer> chunked = body => Say(Bytes("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                + body.Length.ToString("x") + "\r\n" + body + "\r\n0\r\n\r\n"));
            using (var server = new ScriptedServer((n, onLine, head) => chunked(Page)))
            {
                Check.Contains(Failure(() => Get(Client("maxResponseBytes=" + (Page.Length - 1)), server)),
                    "the answer is longer than maxResponseBytes (" + (Page.Length - 1) + " bytes)", "chunks one byte over");
                Check.Equal("no failure", Failure(() => Get(Client("maxResponseBytes=" + Page.Length), server)), "chunks at the bound");
            }
            using (var server = new ScriptedServer((n, onLine, head) => Say(Join(Bytes("HTTP/1.0 200 OK\r\n\r\n"), Bytes(Page)), true)))
            {
                Check.Contains(Failure(() => Get(Client("maxResponseBytes=" + (Page.Length - 1)), server)),
                    "the answer is longer than maxResponseBytes", "an answer to the end of its connection one byte over");
                Check.Equal("no failure", Failure(() => Get(Client("maxResponseBytes=" + Page.Length), server)), "and at the bound");
            }
            // A chunk that announces more than the bound is refused before its bytes are waited for.
            using (var server = new ScriptedServer((n, onLine, head) => Say(Bytes("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfffffffff\r\n"), false, 5000)))
                Check.Contains(Failure(() => Get(Client("httpTimeout=3s"), server)), "the answer is longer than maxResponseBytes", "a chunk announced over the bound");
            using (var server = new ScriptedServer((n, onLine, head) => Say(Bytes("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcdefg\r\n0\r\n\r\n"))))
                Check.Contains(Failure(() => Get(Client(), server)), "not valid HTTP: a chunk is longer than its size", "a chunk longer than it said");
        }

        // httpTimeout bounds the wait for the head and for the body alike, on new and kept connections.
        static void TimeOuts()
        {
            string head200 = "HTTP/1.1 200 OK\r\nContent-Length: " + Page.Length + "\r\n\r\n";
            // The head late, then the body stalls: given up at httpTimeout, not a whole httpTimeout after the head.
            using (var server = new ScriptedServer((n, onLine, head) =>
                new ScriptedServer.Answer { DelayMs = 2000, Bytes = Bytes(head200), StallMs = 6000 }))
            {
                var sw = Stopwatch.StartNew();
                Check.Contains(Failure(() => Get(Client("httpTimeout=3s"), server)), "the answer did not arrive within 3 s (httpTimeout)", "a late head, then no body");
                Check.That(sw.ElapsedMilliseconds < 4500, "gives up at httpTimeout", sw.ElapsedMilliseconds + " ms");
            }
            // A page whose body ended late leaves its connection with a short time-out; the next page on it has
            // its whole httpTimeout again.
            using (var server = new ScriptedServer((n, onLine, head) => n == 1
                ? new ScriptedServer.Answer { DelayMs = 1200, Bytes = Bytes(head200 + Page.Substring(0, 100)), StallMs = 600, After = Bytes(Page.Substring(100)) }
                : new ScriptedServer.Answer { DelayMs = 1200, Bytes = Plain(Page).Bytes }))
            {
                var http = Client("httpTimeout=2s");
                Check.Equal("no failure", Failure(() => Get(http, server)), "a body that ends 1.8 s late, within 2 s");
                Check.Equal("no failure", Failure(() => Get(http, server)), "then a page 1.2 s late on the same connection");
                Check.Equal(1, server.Connections, "on one connection");
            }
            using (var server = new ScriptedServer((n, onLine, head) => Say(new byte[0], false, 4000)))
            {
                var sw = Stopwatch.StartNew();
                Check.Contains(Failure(() => Get(Client("httpTimeout=1s"), server)), "GET page: no answer within 1 s (httpTimeout)", "no head");
                Check.That(sw.ElapsedMilliseconds < 3500, "gives up before the server would answer", sw.ElapsedMilliseconds + " ms");
            }
            using (var server = new ScriptedServer((n, onLine, head) =>
                Say(Join(Bytes("HTTP/1.1 200 OK\r\nContent-Length: " + Page.Length + "\r\n\r\n"), Bytes(Page.Substring(0, 50))), false, 4000)))
            {
                var sw = Stopwatch.StartNew();
                Check.Contains(Failure(() => Get(Client("httpTimeout=1s"), server)), "GET page: the answer did not arrive within 1 s (httpTimeout)", "half a body");
                Check.That(sw.ElapsedMilliseconds < 3500, "gives up before the server would go on", sw.ElapsedMilliseconds + " ms");
            }
        }
    }
}
