// HTTP transport to the vCloud API: certificate policy, the one authentication header, time-outs and
// retries, error bodies (XML, JSON or a proxy's HTML), and conversion of server hrefs onto the
// endpoint the caller configured.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.IO.Compression;
using System.Linq;
using System.Net;
using System.Net.Http;
using System.Net.Security;
using System.Runtime.CompilerServices;
using System.Security.Cryptography;
using System.Security.Cryptography.X509Certificates;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;
using System.Xml.Linq;
using Mono.Security.X509.Extensions;

namespace vCloudSDKWrapper
{
    internal sealed class Reply
    {
        public int Status;
        public string ContentType = "";
        private byte[] body = new byte[0];
        private int length;
        private bool lent;   // body is a thread's page buffer, longer than the answer and used again
        // The answer's bytes as an array of their own.
        public byte[] Body
        {
            get
            {
                if (lent)
                {
                    var own = new byte[length];
                    Buffer.BlockCopy(body, 0, own, 0, length);
                    body = own;
                    lent = false;
                }
                return body;
            }
            set { body = value; length = value.Length; lent = false; }
        }
        // The answer's bytes without a copy: the first BodyLength bytes of BodyBytes, valid until the thread
        // that read them reads its next page.
        public byte[] BodyBytes { get { return body; } }
        public int BodyLength { get { return length; } }
        public void LendBody(byte[] buffer, int bytes) { body = buffer; length = bytes; lent = true; }
        public string RequestId = "";
        public string Location = "";
        public Dictionary<string, string> Headers = new Dictionary<string, string>(StringComparer.OrdinalIgnoreCase);
        public string What = "";
        public ParseLimits Limits = ParseLimits.Default;      // for reading the body, time-out included
        public List<string> Secrets = new List<string>();     // what this request carried that no text may repeat
        public string Via = "";                                // the forward proxy it went through, if any
        public string RetryNote;                               // why a throttled or unavailable answer was not retried
        public string Text { get { return Encoding.UTF8.GetString(Body); } }
        public bool IsHtml
        {
            get
            {
                if (ContentType.IndexOf("html", StringComparison.OrdinalIgnoreCase) >= 0) return true;
                string head = Encoding.UTF8.GetString(body, 0, Math.Min(length, 200)).TrimStart().ToLowerInvariant();
                return head.StartsWith("<!doctype html") || head.StartsWith("<html");
            }
        }
    }

    // Which forward proxy a request goes through: the configured one, none, or as curl chooses from the
    // environment (https_proxy or HTTPS_PROXY for https, http_proxy for http, no_proxy or NO_PROXY naming
    // hosts, domains, addresses and address/bits networks that go direct, "*" for all). https passes through a CONNECT tunnel,
    // so the proxy sees the host and port but never a header or the token.
    internal sealed class ProxyChoice : IWebProxy
    {
        private readonly Uri fixedProxy;
        private readonly bool fromEnvironment;
        private readonly Uri envHttps, envHttp;
        private readonly string[] noProxy;
        public ICredentials Credentials { get; set; }
        public readonly string Error;   // why a proxy variable cannot be used; null when it can

        public ProxyChoice(WrapperOptions opt)
        {
            fixedProxy = opt.ProxyUri;
            fromEnvironment = opt.Proxy.Length == 0;
            Credentials = opt.ProxyCredentials;
            if (!fromEnvironment) { noProxy = new string[0]; return; }
            try
            {
                envHttps = FromEnvironment("https_proxy") ?? FromEnvironment("HTTPS_PROXY");
                envHttp = FromEnvironment("http_proxy");
            }
            catch (ArgumentException e) { Error = e.Message; }
            string list = Environment.GetEnvironmentVariable("no_proxy") ?? Environment.GetEnvironmentVariable("NO_PROXY") ?? "";
            noProxy = list.Split(',').Select(x => x.Trim().TrimStart('.').ToLowerInvariant()).Where(x => x.Length > 0).ToArray();
        }

        // A proxy variable that does not hold an http:// URL stops Initialize, as a wrong proxy= does.
        private static Uri FromEnvironment(string name)
        {
            string v = Environment.GetEnvironmentVariable(name);
            if (string.IsNullOrWhiteSpace(v)) return null;
            if (v.IndexOf("://", StringComparison.Ordinal) < 0) v = "http://" + v.Trim();
            return WrapperOptions.ParseProxy(v, "environment variable " + name);
        }

        public Uri For(Uri destination)
        {
            if (fixedProxy != null) return fixedProxy;
            if (!fromEnvironment || Bypassed(destination)) return null;
            return destination.Scheme == Uri.UriSchemeHttps ? envHttps : envHttp;
        }

        private bool Bypassed(Uri destination)
        {
            string host = destination.Host.Trim('[', ']').TrimEnd('.').ToLowerInvariant();
            foreach (var entry in noProxy)
            {
                if (entry == "*") return true;
                string name = entry;
                int colon = name.LastIndexOf(':');
                if (colon > 0 && name.IndexOf(':') == colon)
                {
                    // host:port applies to that port only
                    if (name.Substring(colon + 1) != destination.Port.ToString(System.Globalization.CultureInfo.InvariantCulture)) continue;
                    name = name.Substring(0, colon);
                }
                // An address matches only that address or a network given as address/bits; a name, itself
                // and the names under it.
                IPAddress hostIp;
                if (IPAddress.TryParse(host, out hostIp))
                {
                    if (AddressIn(hostIp, name)) return true;
                }
                else if (host == name || host.EndsWith("." + name, StringComparison.Ordinal)) return true;
            }
            return false;
        }

        private static bool AddressIn(IPAddress host, string entry)
        {
            int slash = entry.IndexOf('/');
            IPAddress net;
            if (!IPAddress.TryParse(slash < 0 ? entry : entry.Substring(0, slash), out net) || net.AddressFamily != host.AddressFamily)
                return false;
            byte[] a = host.GetAddressBytes(), b = net.GetAddressBytes();
            int bits = a.Length * 8;
            if (slash >= 0 && (!int.TryParse(entry.Substring(slash + 1), out bits) || bits < 0 || bits > a.Length * 8)) return false;
            for (int i = 0; i < bits; i++)
                if (((a[i / 8] ^ b[i / 8]) & (0x80 >> (i % 8))) != 0) return false;
            return true;
        }

        public bool Any { get { return fixedProxy != null || envHttps != null || envHttp != null; } }
        public Uri GetProxy(Uri destination) { return For(destination) ?? destination; }
        public bool IsBypassed(Uri host) { return For(host) == null; }
    }

    internal sealed partial class RestClient
    {
        private readonly HttpClient client;
        private readonly ProxyChoice proxy;
        private readonly WrapperOptions opt;
        private readonly WrapperLog log;
        private long requestCount;
        // The key under which the certificate check leaves, in the request's own properties, why it
        // refused that request's server: concurrent requests never read each other's reason.
        private const string TlsRejectionKey = "vCloudSDKWrapper.TlsRejection";

        public RestClient(WrapperOptions options, WrapperLog log)
        {
            opt = options;
            this.log = log;
            var handler = new HttpClientHandler
            {
                AllowAutoRedirect = false,   // a redirect must never carry our token elsewhere
                UseCookies = false,          // the token travels in exactly one header, never as a cookie
                // Compressed answers are inflated here, within maxDecompressedBytes, not by the handler.
                AutomaticDecompression = DecompressionMethods.None,
                MaxConnectionsPerServer = 16
            };
            proxy = new ProxyChoice(options);
            handler.UseProxy = proxy.Any;
            if (proxy.Any) handler.Proxy = proxy;
            // Mono's HttpClient ignores ServicePointManager's callback; only the handler's is honoured.
            handler.ServerCertificateCustomValidationCallback = ValidateCertificate;
            client = new HttpClient(handler) { Timeout = Timeout.InfiniteTimeSpan };
            client.DefaultRequestHeaders.ExpectContinue = false;
        }

        // Each session's requests in flight, at most queryConcurrency at any moment whichever operations
        // and threads send them. Requests without a session (logins) are not counted.
        // A connection's renewed sessions share one limit.
        private readonly ConditionalWeakTable<object, SemaphoreSlim> inFlight = new ConditionalWeakTable<object, SemaphoreSlim>();

        private SemaphoreSlim Gate(Session auth)
        {
            if (auth == null) return null;
            return inFlight.GetValue((object)auth.Renewal ?? auth, s => new SemaphoreSlim(opt.QueryConcurrency, opt.QueryConcurrency));
        }

        public long RequestCount { get { return Interlocked.Read(ref requestCount); } }
        public string ProxyError { get { return proxy.Error; } }
        public WrapperOptions Options { get { return opt; } }
        public WrapperLog Log { get { return log; } }

        private bool ValidateCertificate(HttpRequestMessage request, X509Certificate2 cert, X509Chain chain, SslPolicyErrors errors)
        {
            string reason = Refusal(request != null && request.RequestUri != null ? request.RequestUri.Host : "?", cert, chain, errors);
            if (reason == null) return true;
            if (request != null) request.Properties[TlsRejectionKey] = reason;
            return false;
        }

        // Why the server's certificate is refused for this request, or null when it is accepted.
        private string Refusal(string host, X509Certificate2 cert, X509Chain sent, SslPolicyErrors errors)
        {
            if (opt.Insecure) return null;
            if (cert == null) return host + " presented no certificate";
            if (opt.Pin != null)
            {
                byte[] actual;
                using (var sha = SHA256.Create()) actual = sha.ComputeHash(cert.RawData);
                if (actual.SequenceEqual(opt.Pin)) return null;
                return "the certificate of " + host + " (SHA-256 " + Hex(actual) + ") does not match the configured pin";
            }
            if (opt.CaCertificates != null)
            {
                // Mono leaves the name unchecked when the chain already failed, so the name is checked here.
                if ((errors & (SslPolicyErrors.RemoteCertificateNameMismatch | SslPolicyErrors.RemoteCertificateNotAvailable)) != 0
                    || !CertificateNames(cert, host))
                    return "the certificate of " + host + " (" + cert.Subject + ") is not issued for that host name";
                string broken = CaFileChain.Refusal(cert, Sent(sent), opt.CaCertificates, DateTime.UtcNow);
                return broken == null ? null : "the certificate of " + host + " (" + cert.Subject + ") " + broken;
            }
            if (errors == SslPolicyErrors.None) return null;
            // The runtime's own name check reads DNS names only: a certificate that names the address asked for
            // is refused still, in words that say why.
            if (errors == SslPolicyErrors.RemoteCertificateNameMismatch)
                return "the certificate of " + host + " (" + cert.Subject + ") "
                    + (CertificateNames(cert, host) ? "names the address " + host + ", which this runtime's trust store check cannot match; use a DNS name, caFile or pin"
                                                    : "is not issued for that host name");
            return "the certificate of " + host + " (" + cert.Subject + ") is not trusted (" + errors
                + "); configure caFile or pin";
        }

        // The certificates the server sent in its handshake: Mono hands them over as the extra store of the
        // chain it built, and that chain's elements may add more.
        private static List<X509Certificate2> Sent(X509Chain chain)
        {
            var sent = new List<X509Certificate2>();
            if (chain == null) return sent;
            foreach (X509Certificate2 c in chain.ChainPolicy.ExtraStore) sent.Add(c);
            foreach (X509ChainElement e in chain.ChainElements) sent.Add(e.Certificate);
            return sent;
        }

        // Whether the certificate names host: its subjectAltName DNS names (a leading "*." matching one
        // label) and IP addresses, or its common name when it has no subjectAltName. A certificate whose
        // extension cannot be read names nothing.
        internal static bool CertificateNames(X509Certificate2 cert, string host)
        {
            host = host.Trim('[', ']').TrimEnd('.');
            IPAddress hostIp;
            bool isIp = IPAddress.TryParse(host, out hostIp);
            if (cert.Extensions["2.5.29.17"] == null)
                return !isIp && DnsMatch(cert.GetNameInfo(X509NameType.DnsName, false), host);
            SubjectAltNameExtension san;
            try
            {
                var parsed = new Mono.Security.X509.X509Certificate(cert.RawData);
                san = new SubjectAltNameExtension(parsed.Extensions["2.5.29.17"]);
            }
            catch (Exception) { return false; }
            if (!isIp) return san.DNSNames.Any(name => DnsMatch(name, host));
            byte[] wanted = hostIp.GetAddressBytes();
            return san.IPAddresses.Any(text => AddressBytes(text).SequenceEqual(wanted));
        }

        // The bytes of an address as Mono.Security writes a subjectAltName IP address: the decimal value
        // of each byte, joined by '.' for IPv4 and by ':' for IPv6.
        private static byte[] AddressBytes(string text)
        {
            var parts = text.Split('.', ':');
            var bytes = new byte[parts.Length];
            for (int i = 0; i < parts.Length; i++)
                if (!byte.TryParse(parts[i], System.Globalization.NumberStyles.None, System.Globalization.CultureInfo.InvariantCulture, out bytes[i]))
                    return new byte[0];
            return bytes.Length == 4 || bytes.Length == 16 ? bytes : new byte[0];
        }

        private static bool DnsMatch(string pattern, string host)
        {
            if (string.IsNullOrEmpty(pattern)) return false;
            pattern = pattern.TrimEnd('.');
            if (pattern.StartsWith("*.", StringComparison.Ordinal))
            {
                int dot = host.IndexOf('.');
                return dot > 0 && string.Equals(pattern.Substring(1), host.Substring(dot), StringComparison.OrdinalIgnoreCase);
            }
            return string.Equals(pattern, host, StringComparison.OrdinalIgnoreCase);
        }

        private static string Hex(byte[] bytes)
        {
            var sb = new StringBuilder();
            foreach (var b in bytes) sb.Append(b.ToString("x2"));
            return sb.ToString();
        }

        // A handshake that failed on the protocol version: the server's protocol_version alert (a server that
        // speaks only newer versions, such as TLS 1.3 alone), or a version offered that this side does not speak.
        internal static bool NoCommonTlsVersion(string cause)
        {
            return cause.IndexOf("PROTOCOL_VERSION", StringComparison.OrdinalIgnoreCase) >= 0
                || cause.IndexOf("UNSUPPORTED_PROTOCOL", StringComparison.OrdinalIgnoreCase) >= 0;
        }

        // The TLS versions of the runtime's TLS provider, e.g. "TLS 1.0, TLS 1.1, TLS 1.2".
        internal static string TlsVersions
        {
            get
            {
                System.Security.Authentication.SslProtocols p;
                try { p = Mono.Security.Interface.MonoTlsProviderFactory.GetProvider().SupportedProtocols; }
                catch (Exception) { return "unknown"; }
                var names = new List<string>();
                if ((p & System.Security.Authentication.SslProtocols.Tls) != 0) names.Add("TLS 1.0");
                if ((p & System.Security.Authentication.SslProtocols.Tls11) != 0) names.Add("TLS 1.1");
                if ((p & System.Security.Authentication.SslProtocols.Tls12) != 0) names.Add("TLS 1.2");
                if (((int)p & 12288) != 0) names.Add("TLS 1.3");
                return names.Count == 0 ? "none" : string.Join(", ", names);
            }
        }

        // Plain http only when allowed, and then only to a loopback address.
        public static void CheckScheme(Uri uri, WrapperOptions opt)
        {
            if (uri.Scheme == Uri.UriSchemeHttps) return;
            if (uri.Scheme != Uri.UriSchemeHttp) throw new CloudException("the URL must start with https://");
            if (!opt.AllowHttp) throw new CloudException("plain http is refused; use https, or set allowHttp=true for a loopback test server");
            IPAddress ip;
            bool loopback = uri.IsLoopback || (IPAddress.TryParse(uri.Host.Trim('[', ']'), out ip) && IPAddress.IsLoopback(ip));
            if (!loopback) throw new CloudException("plain http is allowed only to a loopback address, not to " + uri.Host);
        }

        // Maps a server href (or a path relative to the endpoint) onto the configured endpoint. Hrefs
        // carry the server's public address, which can differ from the one we reach it by; and the token
        // must never go to a host that a response or a caller named.
        public static Uri Rebase(Uri root, string hrefOrPath)
        {
            if (string.IsNullOrEmpty(hrefOrPath)) throw new CloudException("empty reference");
            string path;
            if (Ref.Form(hrefOrPath) == RefForm.Href)
            {
                Uri u;
                if (!Uri.TryCreate(hrefOrPath, UriKind.Absolute, out u)) throw new CloudException("'" + hrefOrPath + "' is not a valid URL");
                string p = u.PathAndQuery;
                int at = p.IndexOf("/api/", StringComparison.Ordinal);
                if (at < 0) at = p.IndexOf("/cloudapi/", StringComparison.Ordinal);
                if (at < 0) throw new CloudException("'" + hrefOrPath + "' is not a vCloud API reference");
                path = p.Substring(at + 1);
            }
            else path = hrefOrPath.TrimStart('/');
            return new Uri(root, path);
        }

        // One request, and once more in a new session when the server ended the one it was sent in: a
        // 401, or an access token past its lifetime. A request refused with 401 was not carried out, so
        // repeating it is safe for every method. A second 401 is the caller's to report.
        //
        // The request keeps its place among the session's requests in flight from its first try to its
        // repeat: a repeat that queued again behind the requests waiting meanwhile could find the new
        // session already ended by them, on a server that ends sessions after a few requests.
        //
        // A query page ('page') is read on the calling thread over a kept connection when it goes to the
        // server directly; see PageLines.cs.
        public Reply Send(HttpMethod method, Uri uri, Session auth, string accept, string body, string contentType, string what,
                          IEnumerable<string> secrets = null, bool page = false)
        {
            if (proxy.Error != null) throw new CloudException(what + ": " + proxy.Error);
            var renewal = auth == null ? null : auth.Renewal;
            int refusals = renewal == null ? 0 : renewal.Refusals;
            var gate = Gate(auth);
            if (gate != null) gate.Wait();
            try
            {
                if (renewal == null || !renewal.Live) return SendRetrying(method, uri, auth, accept, body, contentType, what, secrets, page);
                int attempts = renewal.Attempts;
                // A request that waited for its place goes out in the connection's newest session: one
                // that another request renewed meanwhile.
                var newest = renewal.Current;
                if (newest != null) auth = newest;
                bool renewed = false;
                if (DateTime.UtcNow >= auth.RenewAfter)
                {
                    auth = renewal.Renew(this, auth, "its access token reached the end of its lifetime", attempts) ?? auth;
                    renewed = true;
                }
                var r = SendRetrying(method, uri, auth, accept, body, contentType, what, secrets, page);
                if (r.Status != 401 || renewed) return r;
                var fresh = renewal.Renew(this, auth, "HTTP 401 on " + what, attempts, refusals);
                if (fresh == null) return r;
                r = SendRetrying(method, uri, fresh, accept, body, contentType, what, secrets, page);
                if (r.Status == 401) renewal.RefusedAtOnce(fresh);
                return r;
            }
            finally
            {
                if (gate != null) gate.Release();
            }
        }

        // One request with its retries, each counted within `retries`: a GET that got no answer or a 502, 503
        // or 504 (a 503 may come from a cell being drained), and a request of any method answered 429 (a load
        // balancer or the server throttling: it did no work, so even a POST is safe to send again). Every wait
        // honours the server's Retry-After, else the usual back-off (0.5 s, 1 s, ...), and is bounded: a wait
        // above maxRetryWait, or one that would take the request past its httpTimeout, ends the retries at once
        // and the error text says what the server asked for.
        private Reply SendRetrying(HttpMethod method, Uri uri, Session auth, string accept, string body, string contentType, string what,
                                   IEnumerable<string> extraSecrets, bool page)
        {
            bool idempotent = method == HttpMethod.Get;
            var started = Stopwatch.StartNew();
            int attempt = 0;
            while (true)
            {
                Reply r = null;
                CloudException lost = null;
                try
                {
                    r = SendOnce(method, uri, auth, accept, body, contentType, what, extraSecrets, page);
                }
                catch (CloudException e)
                {
                    if (!idempotent || attempt >= opt.Retries || e.Status != -1) throw;
                    lost = e;
                }
                TimeSpan wait;
                if (lost != null)
                {
                    attempt++;
                    wait = TimeSpan.FromMilliseconds(500 * attempt);
                    if (started.Elapsed + wait > opt.HttpTimeout) throw lost;
                    log.Info(2, what + ": retry " + attempt + " after " + lost.Message);
                    Thread.Sleep(wait);
                    continue;
                }
                bool throttled = r.Status == 429;
                bool unavailable = idempotent && (r.Status == 502 || r.Status == 503 || r.Status == 504);
                if (!throttled && !unavailable) return r;
                string asked;
                TimeSpan? serverWait = RetryAfter.Parse(Header(r, "Retry-After"), DateTime.UtcNow, out asked);
                if (attempt >= opt.Retries)
                {
                    if (asked != null) r.RetryNote = "the server asked to retry after " + asked + "; no retries left (retries=" + opt.Retries + ")";
                    return r;
                }
                wait = serverWait ?? TimeSpan.FromMilliseconds(500 * (attempt + 1));
                string next = asked != null ? "the server asked to retry after " + asked : "the next retry would follow after " + Seconds(wait);
                if (wait > opt.MaxRetryWait)
                {
                    r.RetryNote = next + ", more than maxRetryWait (" + Seconds(opt.MaxRetryWait) + ")";
                    return r;
                }
                if (started.Elapsed + wait > opt.HttpTimeout)
                {
                    r.RetryNote = next + ", beyond this request's httpTimeout (" + Seconds(opt.HttpTimeout) + ")";
                    return r;
                }
                attempt++;
                if (throttled)
                    log.Info(1, what + ": the server throttled the request (HTTP 429); waiting " + Seconds(wait)
                        + (asked != null ? " as it asked (Retry-After: " + asked + ")" : "") + ", then retry " + attempt);
                else
                    log.Info(serverWait.HasValue ? 1 : 2, what + ": HTTP " + r.Status + "; waiting " + Seconds(wait)
                        + (asked != null ? " as the server asked (Retry-After: " + asked + ")" : "") + ", then retry " + attempt);
                Thread.Sleep(wait);
            }
        }

        private static string Header(Reply r, string name)
        {
            string v;
            return r.Headers.TryGetValue(name, out v) ? v : null;
        }

        private static string Seconds(TimeSpan t)
        {
            return t.TotalSeconds.ToString("0.###", System.Globalization.CultureInfo.InvariantCulture) + " s";
        }

        // Status -1 in a thrown CloudException marks a lost connection, which a GET may retry. One time-out,
        // httpTimeout, covers the whole exchange: connecting, the headers, the body and (through the
        // reply's limits) parsing it.
        private Reply SendOnce(HttpMethod method, Uri uri, Session auth, string accept, string body, string contentType, string what,
                               IEnumerable<string> extraSecrets, bool page)
        {
            Interlocked.Increment(ref requestCount);
            var sw = Stopwatch.StartNew();
            var fields = new List<KeyValuePair<string, string>>(4);
            if (!string.IsNullOrEmpty(accept)) fields.Add(new KeyValuePair<string, string>("Accept", accept));
            fields.Add(new KeyValuePair<string, string>("Accept-Encoding", "gzip, deflate"));
            var secrets = new List<string>();
            if (extraSecrets != null) secrets.AddRange(extraSecrets.Where(x => !string.IsNullOrEmpty(x)));
            if (auth != null && auth.AuthName.Length > 0)
            {
                fields.Add(new KeyValuePair<string, string>(auth.AuthName, auth.AuthValue));
                secrets.AddRange(SecretsOf(auth.AuthValue));
            }
            string clientId = Guid.NewGuid().ToString();
            fields.Add(new KeyValuePair<string, string>("X-VMWARE-VCLOUD-CLIENT-REQUEST-ID", clientId));
            if (page && method == HttpMethod.Get && body == null && proxy.For(uri) == null && fields.TrueForAll(f => Writable(f.Value)))
                return Logged(GetDirect(uri, fields, what, secrets, sw, Lender), method, uri, sw, clientId);
            using (var req = new HttpRequestMessage(method, uri))
            using (var cts = new CancellationTokenSource(opt.HttpTimeout))
            {
                foreach (var f in fields) req.Headers.TryAddWithoutValidation(f.Key, f.Value);
                if (body != null)
                {
                    req.Content = new ByteArrayContent(Encoding.UTF8.GetBytes(body));
                    req.Content.Headers.TryAddWithoutValidation("Content-Type", contentType ?? "application/xml");
                }
                HttpResponseMessage resp;
                try
                {
                    resp = client.SendAsync(req, HttpCompletionOption.ResponseHeadersRead, cts.Token).GetAwaiter().GetResult();
                }
                catch (OperationCanceledException)
                {
                    throw NoAnswer(what);
                }
                catch (Exception e) when (e is HttpRequestException || e is WebException || e is System.IO.IOException)
                {
                    object tls;
                    if (req.Properties.TryGetValue(TlsRejectionKey, out tls)) throw new CloudException(what + ": TLS refused: " + tls);
                    throw Unreachable(e, uri, what, secrets, proxy.For(uri));
                }
                // When the time-out strikes during the body, disposing the response ends the read.
                using (resp)
                using (cts.Token.Register(() => { try { resp.Dispose(); } catch (Exception) { } }))
                {
                    var r = new Reply { Status = (int)resp.StatusCode, What = what, Secrets = secrets, Limits = ParseLimits.From(opt, sw) };
                    var via = proxy.For(uri);
                    if (via != null) r.Via = via.GetLeftPart(UriPartial.Authority);
                    try
                    {
                        if (resp.Content != null) ReadBody(resp.Content, cts.Token, what, r, method == HttpMethod.Get && r.Status >= 200 && r.Status <= 299 ? Lender : null);
                    }
                    catch (CloudException) { throw; }
                    catch (Exception e)
                    {
                        if (cts.IsCancellationRequested) throw LateAnswer(what);
                        throw BrokeOff(what, e, secrets);
                    }
                    if (cts.IsCancellationRequested || sw.Elapsed > opt.HttpTimeout) throw LateAnswer(what);
                    if (resp.Content != null && resp.Content.Headers.ContentType != null)
                        r.ContentType = resp.Content.Headers.ContentType.ToString();
                    foreach (var h in resp.Headers) r.Headers[h.Key] = string.Join(",", h.Value);
                    string v;
                    if (r.Headers.TryGetValue("X-VMWARE-VCLOUD-REQUEST-ID", out v)) r.RequestId = v;
                    if (resp.Headers.Location != null) r.Location = resp.Headers.Location.ToString();
                    return Logged(r, method, uri, sw, clientId);
                }
            }
        }

        // The failures of an exchange, in the same words whichever way the request went.
        private CloudException NoAnswer(string what)
        {
            return new CloudException(what + ": no answer within " + opt.HttpTimeout.TotalSeconds + " s (httpTimeout)");
        }

        private CloudException LateAnswer(string what)
        {
            return new CloudException(what + ": the answer did not arrive within " + opt.HttpTimeout.TotalSeconds + " s (httpTimeout)");
        }

        private static CloudException BrokeOff(string what, Exception e, List<string> secrets)
        {
            return new CloudException(what + ": the answer broke off: " + Visible(Redact(Flatten(e), secrets)), -1, "");
        }

        private CloudException Announces(string what, long size)
        {
            return new CloudException(what + ": the answer announces " + size + " bytes, more than maxResponseBytes (" + opt.MaxResponseBytes + ")");
        }

        private CloudException TooLong(string what)
        {
            return new CloudException(what + ": the answer is longer than maxResponseBytes (" + opt.MaxResponseBytes + " bytes)");
        }

        // No connection, or one lost before an answer (status -1: a GET may go again), named by what broke:
        // a TLS version both sides lack, the proxy 'through' which it went, or the server itself.
        private static CloudException Unreachable(Exception e, Uri uri, string what, List<string> secrets, Uri through = null)
        {
            string cause = Flatten(e);
            if (uri.Scheme == Uri.UriSchemeHttps && NoCommonTlsVersion(cause))
                return new CloudException(what + ": TLS refused: the server at " + uri.Host + " accepts no TLS version that this runtime speaks ("
                    + TlsVersions + "): " + Visible(Redact(cause, secrets)));
            if (through != null)
                return new CloudException(what + ": cannot reach " + uri.GetLeftPart(UriPartial.Authority) + " through the proxy "
                    + through.GetLeftPart(UriPartial.Authority) + ": " + ProxyFailure(Visible(Redact(cause, secrets))), -1, "");
            return new CloudException(what + ": cannot reach " + uri.GetLeftPart(UriPartial.Authority) + ": " + Visible(Redact(cause, secrets)), -1, "");
        }

        private Reply Logged(Reply r, HttpMethod method, Uri uri, Stopwatch sw, string clientId)
        {
            if (log.Enabled(2))
                log.Info(2, string.Format("{0} {1} -> {2} ({3} bytes, {4} ms, request {5})", method, uri.PathAndQuery,
                    r.Status, r.BodyLength, sw.ElapsedMilliseconds, r.RequestId.Length > 0 ? r.RequestId : clientId));
            if (log.Enabled(3) && r.BodyLength > 0)
                log.Info(3, "  body: " + Visible(Redact(Encoding.UTF8.GetString(r.BodyBytes, 0, Math.Min(r.BodyLength, 2000)), r.Secrets)));
            return r;
        }

        // A thread's buffer for the query pages it reads: set around a window's request, so that the body of
        // each successful page goes into the same array instead of a new one of some 40 KB. Arrays that
        // large are the collector's large objects, freed only by a full collection: a walk of 800 pages
        // would otherwise start several, each marking the records read so far.
        [ThreadStatic] internal static PageBuffer Lender;

        internal sealed class PageBuffer
        {
            public byte[] Bytes = new byte[0];
        }

        // Bytes read past the announced length to see whether the stream ends there.
        private const int ProbeBytes = 4096;

        // The body into r, refused as soon as it is known to exceed maxResponseBytes (from Content-Length
        // before a byte is read, else while reading), and inflated within maxDecompressedBytes when
        // compressed. With 'lend', an uncompressed body of announced length is read into the thread's page
        // buffer and lent to r.
        private void ReadBody(HttpContent content, CancellationToken token, string what, Reply r, PageBuffer lend)
        {
            long? announced = content.Headers.ContentLength;
            if (announced.HasValue && announced.Value > opt.MaxResponseBytes)
                throw Announces(what, announced.Value);
            string encoding = string.Join(",", content.Headers.ContentEncoding).Trim().ToLowerInvariant();
            bool identity = encoding.Length == 0 || encoding == "identity";
            byte[] raw;
            int length;
            using (var stream = content.ReadAsStreamAsync().GetAwaiter().GetResult())
                raw = ReadAtMost(stream, opt.MaxResponseBytes, announced.HasValue ? (int)announced.Value : 64 * 1024, token,
                    () => TooLong(what),
                    identity && announced.HasValue ? lend : null, out length);
            Decoded(r, raw, length, lend != null && ReferenceEquals(raw, lend.Bytes), encoding, what, token);
        }

        // The body into r: as it came when uncompressed (lent when it is in a page buffer), else inflated
        // within maxDecompressedBytes.
        private void Decoded(Reply r, byte[] raw, int length, bool lent, string encoding, string what, CancellationToken token)
        {
            if (encoding.Length == 0 || encoding == "identity")
            {
                if (lent) r.LendBody(raw, length);
                else r.Body = raw;
                return;
            }
            Stream inflater;
            if (encoding == "gzip" || encoding == "x-gzip") inflater = new GZipStream(new MemoryStream(raw), CompressionMode.Decompress);
            else if (encoding == "deflate")
            {
                // HTTP's deflate is zlib-wrapped; the two header bytes go before the raw stream.
                int skip = raw.Length >= 2 && (raw[0] & 0x0f) == 8 && ((raw[0] << 8) | raw[1]) % 31 == 0 ? 2 : 0;
                inflater = new DeflateStream(new MemoryStream(raw, skip, raw.Length - skip), CompressionMode.Decompress);
            }
            else throw new CloudException(what + ": the answer uses the content encoding '" + encoding + "', which this client did not ask for");
            try
            {
                using (inflater)
                    r.Body = ReadAtMost(inflater, opt.MaxDecompressedBytes, Math.Min(raw.Length * 4, 1 << 20), token,
                        () => new CloudException(what + ": the answer inflates to more than maxDecompressedBytes (" + opt.MaxDecompressedBytes + " bytes)"),
                        null, out length);
            }
            catch (InvalidDataException e)
            {
                throw new CloudException(what + ": the compressed answer is corrupt: " + e.Message);
            }
        }

        // The expected length is read straight into an array of that size, which is the answer when the
        // stream ends there (a declared Content-Length): one allocation and no copy. Only a longer stream
        // goes on in chunks. With 'lend', the array is the page buffer (grown to the expected length and
        // the probe), and 'length' says how much of it is the answer; else the array is the answer.
        private static byte[] ReadAtMost(Stream stream, long max, int expected, CancellationToken token, Func<CloudException> tooLong,
                                         PageBuffer lend, out int length)
        {
            int want = (int)Math.Max(0, Math.Min(expected, max));
            byte[] head;
            if (lend != null)
            {
                if (lend.Bytes.Length < want + ProbeBytes) lend.Bytes = new byte[want + ProbeBytes];
                head = lend.Bytes;
            }
            else head = new byte[want];
            int got = 0;
            while (got < want)
            {
                token.ThrowIfCancellationRequested();
                int n = stream.Read(head, got, want - got);
                if (n <= 0) break;
                got += n;
            }
            length = got;
            if (got < want)
            {
                if (lend == null) Array.Resize(ref head, got);
                return head;
            }
            byte[] probe = lend != null ? head : new byte[ProbeBytes];
            int at = lend != null ? want : 0;
            int more = stream.Read(probe, at, ProbeBytes);
            if (more <= 0) return head;
            if (want + more > max) throw tooLong();
            var buffer = new MemoryStream(want + 64 * 1024);
            buffer.Write(head, 0, want);
            buffer.Write(probe, at, more);
            var chunk = new byte[64 * 1024];
            while (true)
            {
                token.ThrowIfCancellationRequested();
                int n = stream.Read(chunk, 0, chunk.Length);
                if (n <= 0) break;
                if (buffer.Length + n > max) throw tooLong();
                buffer.Write(chunk, 0, n);
            }
            var whole = buffer.Length == buffer.Capacity ? buffer.GetBuffer() : buffer.ToArray();
            length = whole.Length;
            return whole;
        }

        // The values an Authorization header carries that no text may repeat: the header value, the token
        // or base64 in it, and for Basic the decoded user:password and the password.
        private static IEnumerable<string> SecretsOf(string authValue)
        {
            var list = new List<string> { authValue };
            int blank = authValue.IndexOf(' ');
            if (blank > 0)
            {
                string rest = authValue.Substring(blank + 1).Trim();
                list.Add(rest);
                if (authValue.StartsWith("Basic ", StringComparison.OrdinalIgnoreCase))
                {
                    try
                    {
                        string plain = Encoding.UTF8.GetString(Convert.FromBase64String(rest));
                        list.Add(plain);
                        int colon = plain.IndexOf(':');
                        if (colon >= 0) list.Add(plain.Substring(colon + 1));
                    }
                    catch (FormatException) { }
                }
            }
            return list.Where(x => x.Length >= 4);
        }

        private static readonly Regex SchemeValue = new Regex(@"\b(Basic|Bearer)(\s*[:=]?\s*)[A-Za-z0-9+/=._~-]{6,}", RegexOptions.IgnoreCase | RegexOptions.Compiled);
        private static readonly Regex TokenHeader = new Regex(@"\b(x-vcloud-authorization|x-vmware-vcloud-access-token|authorization)(\W{1,4})(?!Basic\b|Bearer\b|\[redacted\])[A-Za-z0-9+/=._~-]{6,}",
            RegexOptions.IgnoreCase | RegexOptions.Compiled);
        private static readonly Regex OauthValue = new Regex(@"(""(?:access_token|refresh_token|id_token)""\s*:\s*"")[^""]*""", RegexOptions.IgnoreCase | RegexOptions.Compiled);
        private static readonly Regex Jwt = new Regex(@"\beyJ[A-Za-z0-9_-]{4,}\.[A-Za-z0-9_-]{4,}\.[A-Za-z0-9_-]*", RegexOptions.Compiled);

        // Server text fit for an error string or a log: the request's own secrets, any Basic or Bearer value,
        // any value of a token header or of a token field in JSON, and anything shaped like a JSON web token
        // replaced by [redacted].
        public static string Redact(string text, IEnumerable<string> secrets)
        {
            if (string.IsNullOrEmpty(text)) return text ?? "";
            if (secrets != null)
                foreach (var secret in secrets.OrderByDescending(x => x.Length))
                    text = text.Replace(secret, "[redacted]");
            text = SchemeValue.Replace(text, "$1$2[redacted]");
            text = TokenHeader.Replace(text, "$1$2[redacted]");
            text = OauthValue.Replace(text, "$1[redacted]\"");
            return Jwt.Replace(text, "[redacted]");
        }

        // Server text with its control characters made visible: line breaks and tabs as blanks, every other
        // C0 or C1 control and DEL as \xNN, so that no text from a server can drive a terminal or split a log line.
        public static string Visible(string text)
        {
            if (string.IsNullOrEmpty(text)) return text ?? "";
            StringBuilder sb = null;
            for (int k = 0; k < text.Length; k++)
            {
                char c = text[k];
                bool control = c < 0x20 || (c >= 0x7f && c < 0xa0);
                if (!control) { if (sb != null) sb.Append(c); continue; }
                if (sb == null) sb = new StringBuilder(text, 0, k, text.Length + 16);
                if (c == '\n' || c == '\r' || c == '\t') sb.Append(' ');
                else sb.Append("\\x").Append(((int)c).ToString("x2"));
            }
            return sb == null ? text : sb.ToString();
        }

        // What a failure through a proxy means: a refused tunnel, or no proxy at that address.
        private static string ProxyFailure(string text)
        {
            if (Regex.IsMatch(text, @"\b(403|405|407|502|503)\b"))
                return "the proxy refused the connection (" + text + ")";
            if (text.IndexOf("refused", StringComparison.OrdinalIgnoreCase) >= 0)
                return "nothing accepts connections at the proxy's address (" + text + ")";
            return text;
        }

        // Server text for an error string: visible, without secrets.
        public static string Clean(string text, Reply r) { return Visible(Redact(text, r == null ? null : r.Secrets)); }

        public static string Flatten(Exception e)
        {
            var parts = new List<string>();
            for (var x = e; x != null; x = x.InnerException)
            {
                var agg = x as AggregateException;
                if (agg != null && agg.InnerExceptions.Count == 1) continue;
                string m = x.Message.Trim();
                if (m.Length > 0 && !parts.Contains(m)) parts.Add(m);
            }
            return string.Join(": ", parts);
        }

        // Turns a failed reply into a CloudException that names the HTTP status, the server's
        // minorErrorCode and message, or says what else came back.
        public static CloudException Failure(Reply r)
        {
            string minor = "", message = "";
            string text = r.Text;
            if (r.IsHtml)
            {
                var m = Regex.Match(text, "<title>(.*?)</title>", RegexOptions.IgnoreCase | RegexOptions.Singleline);
                message = (r.Via.Length > 0 ? "the proxy " + r.Via + " (refusing the tunnel) or the server behind it" : "the server or a proxy in front of it")
                    + " answered with an HTML page"
                    + (m.Success ? " (\"" + WebUtility.HtmlDecode(m.Groups[1].Value.Trim()) + "\")" : "");
            }
            else if (text.TrimStart().StartsWith("<"))
            {
                try
                {
                    var doc = X.Parse(r);
                    var root = doc.Root;
                    if (root != null && root.Name.LocalName == "Error")
                    {
                        minor = root.Attr("minorErrorCode");
                        message = root.Attr("message");
                    }
                    else message = "unexpected " + (root == null ? "empty" : root.Name.LocalName) + " document";
                }
                catch (CloudException e) { message = "unreadable XML error body (" + e.Message + ")"; }
            }
            else if (text.TrimStart().StartsWith("{"))
            {
                try
                {
                    var json = Json.Parse(text, r.Limits.MaxDepth, r.Limits.MaxNodes);
                    minor = Json.Str(json, "minorErrorCode");
                    message = Json.Str(json, "message");
                }
                catch (FormatException e) { message = "unreadable JSON error body (" + e.Message + ")"; }
            }
            else if (text.Trim().Length > 0)
            {
                message = text.Trim();
                if (message.Length > 200) message = message.Substring(0, 200) + "...";
            }
            minor = Clean(minor, r);
            message = Clean(message, r);
            if (message.Length > 400) message = message.Substring(0, 400) + "...";
            var sb = new StringBuilder(r.What + ": HTTP " + r.Status);
            if (minor.Length > 0) sb.Append(" " + minor);
            if (message.Length > 0) sb.Append(": " + message);
            if (r.Status == 401) sb.Append(" (the session is not valid or has expired; log in again)");
            if (r.Status == 407) sb.Append(" (the proxy asks for credentials: give them in proxyCredentialsFile)");
            if (r.RetryNote != null) sb.Append(" (" + r.RetryNote + ")");
            if (r.RequestId.Length > 0 && message.IndexOf(r.RequestId, StringComparison.Ordinal) < 0)
                sb.Append(" [request " + Clean(r.RequestId, r) + "]");
            return new CloudException(sb.ToString(), r.Status, minor);
        }

        // An XML document from a successful reply, refusing HTML and unparsable bodies.
        public static XDocument Document(Reply r)
        {
            if (r.IsHtml)
                throw new CloudException(r.What + ": the server or a proxy in front of it answered with an HTML page instead of XML (HTTP " + r.Status + ")");
            if (r.Body.Length == 0) throw new CloudException(r.What + ": empty answer (HTTP " + r.Status + ")");
            return X.Parse(r);
        }
    }
}
