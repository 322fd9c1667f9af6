// Query pages read on the thread that asked for them, over HTTP/1.1 connections kept open between pages.
// The runtime's HttpClient hands every read of a body between its socket I/O thread, a pool worker and
// the waiting thread; over the hundreds of pages of a large list those hand-overs cost as much CPU as
// reading the records, most of it in the kernel. Here a page's request is written and its answer read
// with blocking calls on the reading thread, within the request's httpTimeout. Only GETs that go to the
// server directly come here: everything else, and every request through a proxy, goes through HttpClient.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Net;
using System.Net.Security;
using System.Net.Sockets;
using System.Security.Authentication;
using System.Security.Cryptography.X509Certificates;
using System.Text;

namespace vCloudSDKWrapper
{
    internal sealed partial class RestClient
    {
        // One connection to a server and the bytes read from it but not yet used.
        private sealed class Line
        {
            public string Server;
            public Socket Socket;
            public Stream Stream;             // the socket's stream, or TLS over it
            public byte[] Buffer = new byte[16 * 1024];
            public int Start, End;            // the unread bytes of Buffer
            public int Timeout = -1;          // the socket's time-out now, ms; -1 before it is set
            public bool Carried;              // carried an answer before: the server may have closed it since
            public long IdleSince;            // Stopwatch ticks when it went back to the pool

            public void Close()
            {
                try { if (Stream != null) Stream.Dispose(); } catch (Exception) { }
                try { Socket.Dispose(); } catch (Exception) { }
            }
        }

        // A failure on a connection that had carried an answer before, before a byte of this answer came:
        // the server closed it while it was idle. The request goes again on another connection.
        private sealed class StaleLine : Exception
        {
            public StaleLine(Exception cause) : base("the kept connection was closed", cause) { }
        }

        private readonly Dictionary<string, Stack<Line>> idleLines = new Dictionary<string, Stack<Line>>(StringComparer.Ordinal);
        internal const int MaxIdleLines = 16;                         // per server, as HttpClient's pool
        internal static TimeSpan IdleLineLimit = TimeSpan.FromSeconds(30);   // changed only by tests
        internal const int MaxHeadBytes = 64 * 1024;                  // status line and header fields of one answer
        private static readonly Encoding Latin1 = Encoding.GetEncoding(28591);

        // Whether a header value can be written as it is: no line break or other control character that
        // would end the field early or start another. HttpClient carries any other value.
        internal static bool Writable(string value)
        {
            foreach (char c in value)
                if ((c < 0x20 && c != '\t') || c == 0x7f || c > 0xff) return false;
            return true;
        }

        // The request's bytes: the request line, Host, then the given fields.
        internal static byte[] RequestBytes(Uri uri, List<KeyValuePair<string, string>> fields)
        {
            var sb = new StringBuilder(512);
            sb.Append("GET ").Append(uri.PathAndQuery).Append(" HTTP/1.1\r\nHost: ");
            sb.Append(uri.HostNameType == UriHostNameType.IPv6 ? uri.Host : uri.IdnHost);
            if (!uri.IsDefaultPort) sb.Append(':').Append(uri.Port);
            sb.Append("\r\n");
            foreach (var f in fields) sb.Append(f.Key).Append(": ").Append(f.Value).Append("\r\n");
            sb.Append("\r\n");
            return Latin1.GetBytes(sb.ToString());
        }

        // One GET on a kept connection: the answer's status, head fields and body into a reply, the body
        // read into 'lend' when it is a successful uncompressed answer of announced length.
        private Reply GetDirect(Uri uri, List<KeyValuePair<string, string>> fields, string what, List<string> secrets, Stopwatch sw,
                                PageBuffer lend)
        {
            byte[] request = RequestBytes(uri, fields);
            string server = uri.GetLeftPart(UriPartial.Authority);
            while (true)
            {
                var line = TakeLine(server) ?? OpenLine(uri, server, what, secrets, sw);
                bool keep = false;
                try
                {
                    var r = Exchange(line, request, what, secrets, sw, lend, out keep);
                    r.Secrets = secrets;
                    return r;
                }
                catch (StaleLine)
                {
                    // Another kept connection, or a new one: a new one is never stale.
                }
                finally
                {
                    if (keep) GiveBack(line);
                    else line.Close();
                }
            }
        }

        private Line TakeLine(string server)
        {
            while (true)
            {
                Line line;
                lock (idleLines)
                {
                    Stack<Line> idle;
                    if (!idleLines.TryGetValue(server, out idle) || idle.Count == 0) return null;
                    line = idle.Pop();
                }
                if (Usable(line)) return line;
                line.Close();
            }
        }

        // A kept connection is used again unless it idled past the limit, or has something to read while no
        // request is out: the server closed it (or sent what no request asked for).
        private static bool Usable(Line line)
        {
            if (Stopwatch.GetTimestamp() - line.IdleSince > (long)(IdleLineLimit.TotalSeconds * Stopwatch.Frequency)) return false;
            try { return !line.Socket.Poll(0, SelectMode.SelectRead); }
            catch (Exception) { return false; }
        }

        private void GiveBack(Line line)
        {
            line.Carried = true;
            line.IdleSince = Stopwatch.GetTimestamp();
            lock (idleLines)
            {
                Stack<Line> idle;
                if (!idleLines.TryGetValue(line.Server, out idle)) idleLines[line.Server] = idle = new Stack<Line>();
                if (idle.Count < MaxIdleLines) { idle.Push(line); return; }
            }
            line.Close();
        }

        // Milliseconds left of the request's httpTimeout, at least 1; 0 when it has passed.
        private int Left(Stopwatch sw)
        {
            double left = (opt.HttpTimeout - sw.Elapsed).TotalMilliseconds;
            if (left <= 0) return 0;
            return (int)Math.Min(int.MaxValue, Math.Max(1, Math.Ceiling(left)));
        }

        private Line OpenLine(Uri uri, string server, string what, List<string> secrets, Stopwatch sw)
        {
            IPAddress[] addresses;
            try { addresses = Dns.GetHostAddresses(uri.DnsSafeHost); }
            catch (Exception e) { throw Unreachable(e, uri, what, secrets); }
            Exception last = new SocketException((int)SocketError.HostNotFound);
            foreach (var address in addresses)
            {
                var socket = new Socket(address.AddressFamily, SocketType.Stream, ProtocolType.Tcp);
                try
                {
                    var pending = socket.BeginConnect(address, uri.Port, null, null);
                    using (pending.AsyncWaitHandle)
                        if (!pending.AsyncWaitHandle.WaitOne(Left(sw))) throw NoAnswer(what);
                    socket.EndConnect(pending);
                    socket.NoDelay = true;
                    var line = new Line { Server = server, Socket = socket };
                    SetTimeout(line, sw, what, false);
                    if (uri.Scheme != Uri.UriSchemeHttps) line.Stream = new NetworkStream(socket, false);
                    else line.Stream = Handshake(uri, socket, what, secrets);
                    return line;
                }
                catch (CloudException) { socket.Dispose(); throw; }
                catch (Exception e) when (e is SocketException || e is IOException || e is AuthenticationException)
                {
                    socket.Dispose();
                    last = e;
                }
            }
            throw Unreachable(last, uri, what, secrets);
        }

        // TLS over a new connection, the server's certificate judged as for every other request.
        private Stream Handshake(Uri uri, Socket socket, string what, List<string> secrets)
        {
            string refused = null;
            var tls = new SslStream(new NetworkStream(socket, false), false, (sender, cert, chain, errors) =>
            {
                var cert2 = cert == null ? null : cert as X509Certificate2 ?? new X509Certificate2(cert);
                refused = Refusal(uri.Host, cert2, chain, errors);
                return refused == null;
            });
            try
            {
                tls.AuthenticateAsClient(uri.IdnHost, null, SslProtocols.None, false);
                return tls;
            }
            catch (Exception e) when (e is IOException || e is AuthenticationException || e is SocketException)
            {
                tls.Dispose();
                if (refused != null) throw new CloudException(what + ": TLS refused: " + refused);
                throw Unreachable(e, uri, what, secrets);
            }
        }

        // Bounds the next blocking call by what is left of httpTimeout. The socket's time-out is set again
        // only when it would overshoot by more than a second, so the usual page costs no extra call.
        private void SetTimeout(Line line, Stopwatch sw, string what, bool body)
        {
            int left = Left(sw);
            if (left == 0) throw body ? LateAnswer(what) : NoAnswer(what);
            if (line.Timeout >= 0 && line.Timeout <= left + 1000) return;
            line.Socket.ReceiveTimeout = left;
            line.Socket.SendTimeout = left;
            line.Timeout = left;
        }

        // Reads more into the line's buffer, keeping its unread bytes; false at the end of the stream.
        private bool Fill(Line line, Stopwatch sw, string what, bool body)
        {
            if (line.Start > 0 && line.End == line.Buffer.Length)
            {
                Buffer.BlockCopy(line.Buffer, line.Start, line.Buffer, 0, line.End - line.Start);
                line.End -= line.Start;
                line.Start = 0;
            }
            if (line.End == line.Buffer.Length) Array.Resize(ref line.Buffer, line.Buffer.Length * 2);
            SetTimeout(line, sw, what, body);
            int n = line.Stream.Read(line.Buffer, line.End, line.Buffer.Length - line.End);
            if (n <= 0) return false;
            line.End += n;
            return true;
        }

        // One line of the answer's head without its CR LF, or null at the end of the stream.
        private string HeadLine(Line line, Stopwatch sw, string what, ref int headBytes)
        {
            int scanned = line.Start;
            while (true)
            {
                int nl = Array.IndexOf(line.Buffer, (byte)'\n', scanned, line.End - scanned);
                if (nl >= 0)
                {
                    int length = nl - line.Start;
                    headBytes += length + 1;
                    if (headBytes > MaxHeadBytes) throw NotHttp(what, "its head is longer than " + MaxHeadBytes + " bytes");
                    if (length > 0 && line.Buffer[nl - 1] == '\r') length--;
                    string text = Latin1.GetString(line.Buffer, line.Start, length);
                    line.Start = nl + 1;
                    return text;
                }
                if (headBytes + line.End - line.Start > MaxHeadBytes) throw NotHttp(what, "its head is longer than " + MaxHeadBytes + " bytes");
                int kept = line.End - line.Start;
                if (!Fill(line, sw, what, false)) return null;
                scanned = line.Start + kept;   // Fill may have moved the unread bytes to the front
            }
        }

        // A read or write that failed because the socket's time-out struck, which is set to no more than
        // what was left of httpTimeout (or httpTimeout has passed anyway).
        private bool TimedOut(Exception e, Stopwatch sw)
        {
            if (Left(sw) == 0) return true;
            for (var x = e; x != null; x = x.InnerException)
            {
                var s = x as SocketException;
                if (s != null && (s.SocketErrorCode == SocketError.TimedOut || s.SocketErrorCode == SocketError.WouldBlock)) return true;
            }
            return false;
        }

        private static CloudException NotHttp(string what, string why)
        {
            return new CloudException(what + ": the server's answer is not valid HTTP: " + why, -1, "");
        }

        // Writes the request and reads its answer. 'keep' says whether the connection can carry another.
        private Reply Exchange(Line line, byte[] request, string what, List<string> secrets, Stopwatch sw, PageBuffer lend, out bool keep)
        {
            keep = false;
            var r = new Reply { What = what, Secrets = secrets, Limits = ParseLimits.From(opt, sw) };
            int headBytes = 0;
            string status;
            try
            {
                line.Timeout = -1;   // a kept connection's time-out was set for an earlier request
                SetTimeout(line, sw, what, false);
                line.Stream.Write(request, 0, request.Length);
                while (true)
                {
                    status = HeadLine(line, sw, what, ref headBytes);
                    if (status == null)
                    {
                        if (headBytes == 0 && line.Carried) throw new StaleLine(null);
                        throw new CloudException(what + ": cannot reach " + line.Server + ": the server closed the connection "
                            + (headBytes == 0 ? "without an answer" : "within the answer's head"), -1, "");
                    }
                    r.Status = StatusOf(status, what);
                    ReadFields(line, sw, what, r, ref headBytes);
                    // Interim answers (100 Continue and the like) come before the real one.
                    if (r.Status >= 200 || r.Status == 101) break;
                    r.Headers.Clear();
                    r.ContentType = "";
                }
            }
            catch (Exception e) when (e is IOException || e is SocketException || e is ObjectDisposedException)
            {
                if (TimedOut(e, sw)) throw NoAnswer(what);
                if (headBytes == 0 && line.Carried) throw new StaleLine(e);
                throw new CloudException(what + ": cannot reach " + line.Server + ": " + Visible(Redact(Flatten(e), secrets)), -1, "");
            }
            string encoding = Field(r, "Content-Encoding").Trim().ToLowerInvariant();
            bool identity = encoding.Length == 0 || encoding == "identity";
            // After 101 the connection speaks another protocol: it carries no further request of ours.
            bool close = r.Status == 101 || CloseAfter(status, Field(r, "Connection"));
            byte[] body;
            int length;
            bool lent;
            try
            {
                keep = ReadBodyDirect(line, sw, what, r, identity && r.Status >= 200 && r.Status <= 299 ? lend : null, out body, out length, out lent) && !close;
            }
            catch (Exception e) when (e is IOException || e is SocketException || e is ObjectDisposedException)
            {
                keep = false;
                if (TimedOut(e, sw)) throw LateAnswer(what);
                throw BrokeOff(what, e, secrets);
            }
            if (line.Start != line.End) keep = false;   // bytes no request asked for
            Decoded(r, body, length, lent, encoding, what, System.Threading.CancellationToken.None);
            // Content fields stay out of the header table, as HttpClient keeps them apart.
            foreach (var name in ContentFields) r.Headers.Remove(name);
            string v;
            if (r.Headers.TryGetValue("X-VMWARE-VCLOUD-REQUEST-ID", out v)) r.RequestId = v;
            if (r.Headers.TryGetValue("Location", out v)) r.Location = v;
            return r;
        }

        private static readonly string[] ContentFields = { "Allow", "Content-Disposition", "Content-Encoding", "Content-Language",
            "Content-Length", "Content-Location", "Content-MD5", "Content-Range", "Content-Type", "Expires", "Last-Modified" };

        private static string Field(Reply r, string name)
        {
            string v;
            return r.Headers.TryGetValue(name, out v) ? v : "";
        }

        // The status code of "HTTP/1.x NNN reason".
        internal static int StatusOf(string line, string what)
        {
            if (line.Length < 12 || !line.StartsWith("HTTP/1.", StringComparison.Ordinal) || line[8] != ' '
                || (line.Length > 12 && line[12] != ' '))
                throw NotHttp(what, "its status line is '" + Visible(line.Length > 80 ? line.Substring(0, 80) : line) + "'");
            int status = 0;
            for (int k = 9; k < 12; k++)
            {
                char c = line[k];
                if (c < '0' || c > '9') throw NotHttp(what, "its status line is '" + Visible(line.Length > 80 ? line.Substring(0, 80) : line) + "'");
                status = status * 10 + (c - '0');
            }
            if (status < 100) throw NotHttp(what, "its status is " + status);
            return status;
        }

        // An HTTP/1.0 answer ends its connection unless it says keep-alive; an HTTP/1.1 one keeps it unless
        // it says close.
        internal static bool CloseAfter(string statusLine, string connection)
        {
            bool close = false, keepAlive = false;
            foreach (var token in connection.Split(','))
            {
                string t = token.Trim();
                if (t.Equals("close", StringComparison.OrdinalIgnoreCase)) close = true;
                else if (t.Equals("keep-alive", StringComparison.OrdinalIgnoreCase)) keepAlive = true;
            }
            if (close) return true;
            return statusLine.StartsWith("HTTP/1.0", StringComparison.Ordinal) && !keepAlive;
        }

        // The head's fields into r.Headers, repeated fields joined by ',' and folded lines joined by a blank.
        private void ReadFields(Line line, Stopwatch sw, string what, Reply r, ref int headBytes)
        {
            string previous = null;
            while (true)
            {
                string text = HeadLine(line, sw, what, ref headBytes);
                if (text == null) throw new IOException("the server closed the connection within the answer's head");
                if (text.Length == 0) return;
                if (text[0] == ' ' || text[0] == '\t')
                {
                    if (previous == null) throw NotHttp(what, "its head starts with a continued line");
                    r.Headers[previous] = r.Headers[previous] + " " + text.Trim();
                    continue;
                }
                int colon = text.IndexOf(':');
                if (colon <= 0 || text[colon - 1] == ' ' || text[colon - 1] == '\t') throw NotHttp(what, "it has a field without a name: '" + Visible(text.Length > 80 ? text.Substring(0, 80) : text) + "'");
                string name = text.Substring(0, colon);
                string value = text.Substring(colon + 1).Trim(' ', '\t');
                string had;
                r.Headers[name] = r.Headers.TryGetValue(name, out had) ? had + "," + value : value;
                if (name.Equals("Content-Type", StringComparison.OrdinalIgnoreCase)) r.ContentType = r.Headers[name];
                previous = name;
            }
        }

        // The body as its framing says: chunked, of announced length, or to the end of the connection.
        // Returns whether the connection ended cleanly after it (it can carry another request).
        private bool ReadBodyDirect(Line line, Stopwatch sw, string what, Reply r, PageBuffer lend, out byte[] body, out int length, out bool lent)
        {
            body = new byte[0];
            length = 0;
            lent = false;
            if (r.Status == 204 || r.Status == 304 || r.Status < 200) return true;
            string transfer = Field(r, "Transfer-Encoding").Trim();
            if (transfer.Length > 0)
            {
                string[] codings = transfer.Split(',');
                if (!codings[codings.Length - 1].Trim().Equals("chunked", StringComparison.OrdinalIgnoreCase))
                {
                    ReadToEnd(line, sw, what, out body, out length);
                    return false;
                }
                ReadChunked(line, sw, what, out body, out length);
                return true;
            }
            string announced = Field(r, "Content-Length");
            if (announced.Length == 0)
            {
                ReadToEnd(line, sw, what, out body, out length);
                return false;
            }
            long size = ContentLength(announced, what);
            if (size > opt.MaxResponseBytes)
                throw Announces(what, size);
            int want = (int)size;
            if (lend != null)
            {
                if (lend.Bytes.Length < want + ProbeBytes) lend.Bytes = new byte[want + ProbeBytes];
                body = lend.Bytes;
                lent = true;
            }
            else body = new byte[want];
            int got = Math.Min(want, line.End - line.Start);
            Buffer.BlockCopy(line.Buffer, line.Start, body, 0, got);
            line.Start += got;
            while (got < want)
            {
                SetTimeout(line, sw, what, true);
                int n = line.Stream.Read(body, got, want - got);
                if (n <= 0)
                    throw new IOException("the server closed the connection after " + got + " of the " + want + " bytes it announced");
                got += n;
            }
            length = want;
            return true;
        }

        // A Content-Length: digits, the same in every copy of the field.
        internal static long ContentLength(string announced, string what)
        {
            long size = -1;
            foreach (var part in announced.Split(','))
            {
                string p = part.Trim();
                long v = 0;
                if (p.Length == 0 || p.Length > 18) throw NotHttp(what, "its Content-Length is '" + Visible(announced) + "'");
                foreach (char c in p)
                {
                    if (c < '0' || c > '9') throw NotHttp(what, "its Content-Length is '" + Visible(announced) + "'");
                    v = v * 10 + (c - '0');
                }
                if (size >= 0 && v != size) throw NotHttp(what, "its Content-Length is '" + Visible(announced) + "'");
                size = v;
            }
            return size;
        }

        // Appends up to 'count' bytes of the line's buffer, reading more as needed, to a growing body
        // bounded by maxResponseBytes; false when the stream ended first.
        private bool Take(Line line, Stopwatch sw, string what, long count, ref byte[] body, ref int length)
        {
            while (count > 0)
            {
                if (line.Start == line.End && !Fill(line, sw, what, true)) return false;
                int n = (int)Math.Min(count, line.End - line.Start);
                if (length + (long)n > opt.MaxResponseBytes)
                    throw TooLong(what);
                if (length + n > body.Length) Array.Resize(ref body, (int)Math.Min(opt.MaxResponseBytes, Math.Max(length + (long)n, body.Length * 2L + 4096)));
                Buffer.BlockCopy(line.Buffer, line.Start, body, length, n);
                line.Start += n;
                length += n;
                count -= n;
            }
            return true;
        }

        private void ReadToEnd(Line line, Stopwatch sw, string what, out byte[] body, out int length)
        {
            body = new byte[0];
            length = 0;
            while (Take(line, sw, what, long.MaxValue, ref body, ref length)) { }
            Array.Resize(ref body, length);
        }

        private void ReadChunked(Line line, Stopwatch sw, string what, out byte[] body, out int length)
        {
            body = new byte[0];
            length = 0;
            int headBytes = 0;
            while (true)
            {
                string sizeLine = HeadLine(line, sw, what, ref headBytes);
                if (sizeLine == null) throw new IOException("the server closed the connection within the answer's chunks");
                long size = ChunkSize(sizeLine, what);
                if (size == 0) break;
                if (length + size > opt.MaxResponseBytes)
                    throw TooLong(what);
                if (!Take(line, sw, what, size, ref body, ref length))
                    throw new IOException("the server closed the connection within a chunk of the answer");
                string end = HeadLine(line, sw, what, ref headBytes);
                if (end == null) throw new IOException("the server closed the connection within the answer's chunks");
                if (end.Length != 0) throw NotHttp(what, "a chunk is longer than its size");
                headBytes = 0;   // the bound is on each chunk's lines, not on the number of chunks
            }
            // Trailer fields, up to the empty line.
            while (true)
            {
                string trailer = HeadLine(line, sw, what, ref headBytes);
                if (trailer == null) throw new IOException("the server closed the connection within the answer's trailer");
                if (trailer.Length == 0) break;
            }
            Array.Resize(ref body, length);
        }

        // The size of a chunk: hexadecimal digits, then any extensions after ';'.
        internal static long ChunkSize(string line, string what)
        {
            int end = line.IndexOf(';');
            string digits = (end < 0 ? line : line.Substring(0, end)).Trim(' ', '\t');
            if (digits.Length == 0 || digits.Length > 15) throw NotHttp(what, "a chunk's size is '" + Visible(line.Length > 40 ? line.Substring(0, 40) : line) + "'");
            long size = 0;
            foreach (char c in digits)
            {
                int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
                if (d < 0) throw NotHttp(what, "a chunk's size is '" + Visible(line.Length > 40 ? line.Substring(0, 40) : line) + "'");
                size = size * 16 + d;
            }
            return size;
        }
    }
}
