// The wrapper's settings: defaults, the optional defaults in vCloudSDKWrapper.config, and the
// "key=value;..." text that Initialize receives.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Security.Cryptography.X509Certificates;
using System.Text;
using System.Xml;

namespace vCloudSDKWrapper
{
    internal sealed class WrapperOptions
    {
        public string ApiVersion = "";                       // "" negotiates the highest common version
        public TimeSpan HttpTimeout = TimeSpan.FromSeconds(120);
        public TimeSpan TaskTimeout = TimeSpan.FromHours(1);
        public TimeSpan TaskPollInterval = TimeSpan.FromSeconds(3);
        public int PageSize = 128;
        public int MaxQueryPages = 2000;                     // page requests one query may make, restarts included
        // Bounds on every answer, so that no server can exhaust the agent's memory or stack: its body as
        // sent, its body once decompressed, and the nesting depth and node count of its XML or JSON.
        public long MaxResponseBytes = 32L << 20;
        public long MaxDecompressedBytes = 64L << 20;
        public int MaxNestingDepth = 100;
        public long MaxNodes = 1000000;
        public int QueryConcurrency = 4;                     // requests one session may have in flight at once
        public const int MaxQueryConcurrency = 16;           // the HTTP connection pool's limit per server
        public int Retries = 2;                              // extra attempts for a GET answered 502/503/504 or lost, or any request answered 429
        public TimeSpan MaxRetryWait = TimeSpan.FromSeconds(60);   // the longest wait before a retry, Retry-After included
        public string CaFile = "";
        public X509Certificate2Collection CaCertificates;   // loaded from CaFile
        public byte[] Pin;                                   // SHA-256 of the server certificate
        public bool Insecure;
        public bool AllowHttp;                               // plain http, to loopback addresses only
        public bool ImportMove = true;                       // restores move the vCenter VM instead of copying it
        public bool ApiToken;                                // auth=apiToken: Login's password is an API token
        // proxy=: "" follows https_proxy, http_proxy and no_proxy as curl does; "none" ignores them;
        // else an http://host:port forward proxy for every request.
        public string Proxy = "";
        public Uri ProxyUri;
        public string ProxyCredentialsFile = "";             // user:password on its first line
        public System.Net.NetworkCredential ProxyCredentials;

        public static readonly string[] Keys =
        {
            "apiVersion", "httpTimeout", "taskTimeout", "taskPollInterval", "pageSize", "maxQueryPages", "queryConcurrency",
            "retries", "maxRetryWait", "maxResponseBytes", "maxDecompressedBytes", "maxNestingDepth", "maxNodes",
            "caFile", "pin", "insecure", "allowHttp", "importMove", "auth", "proxy", "proxyCredentialsFile"
        };

        public WrapperOptions Clone() { return (WrapperOptions)MemberwiseClone(); }

        // Applies "key=value;key=value" on top of this object. Throws ArgumentException with a text fit
        // for getLastErrorString.
        public void Apply(string text, string origin)
        {
            if (string.IsNullOrEmpty(text)) return;
            foreach (var raw in text.Split(';'))
            {
                var item = raw.Trim();
                if (item.Length == 0) continue;
                int eq = item.IndexOf('=');
                if (eq <= 0) throw new ArgumentException(origin + ": '" + item + "' is not key=value");
                Set(item.Substring(0, eq).Trim(), item.Substring(eq + 1).Trim(), origin);
            }
        }

        public void Set(string key, string value, string origin)
        {
            string where = origin + ": option " + key;
            switch (key.ToLowerInvariant())
            {
                case "apiversion":
                    if (value.Length > 0 && ApiVersionNumber.Parse(value) == null)
                        throw new ArgumentException(where + ": '" + value + "' is not a version such as 36.0");
                    ApiVersion = value;
                    break;
                case "httptimeout": HttpTimeout = Duration(value, where, TimeSpan.FromSeconds(1)); break;
                case "tasktimeout": TaskTimeout = Duration(value, where, TimeSpan.FromSeconds(1)); break;
                case "taskpollinterval": TaskPollInterval = Duration(value, where, TimeSpan.FromMilliseconds(10)); break;
                case "pagesize":
                    PageSize = Integer(value, where, 1, 128);
                    break;
                case "maxquerypages": MaxQueryPages = Integer(value, where, 1, 1000000); break;
                case "maxresponsebytes": MaxResponseBytes = Size(value, where, 4096); break;
                case "maxdecompressedbytes": MaxDecompressedBytes = Size(value, where, 4096); break;
                case "maxnestingdepth": MaxNestingDepth = Integer(value, where, 8, 10000); break;
                case "maxnodes": MaxNodes = Integer(value, where, 100, int.MaxValue); break;
                case "queryconcurrency": QueryConcurrency = Integer(value, where, 1, MaxQueryConcurrency); break;
                case "retries": Retries = Integer(value, where, 0, 10); break;
                case "maxretrywait": MaxRetryWait = Duration(value, where, TimeSpan.FromSeconds(1)); break;
                case "cafile":
                    CaFile = value;
                    CaCertificates = value.Length == 0 ? null : LoadCertificates(value, where);
                    break;
                case "pin": Pin = value.Length == 0 ? null : ParsePin(value, where); break;
                case "insecure": Insecure = Flag(value, where); break;
                case "allowhttp": AllowHttp = Flag(value, where); break;
                case "importmove": ImportMove = Flag(value, where); break;
                case "proxy":
                    ProxyUri = value.Length == 0 || string.Equals(value, "none", StringComparison.OrdinalIgnoreCase) ? null : ParseProxy(value, where);
                    Proxy = ProxyUri == null ? value.ToLowerInvariant() : ProxyUri.GetLeftPart(UriPartial.Authority);
                    break;
                case "proxycredentialsfile":
                    ProxyCredentialsFile = value;
                    ProxyCredentials = value.Length == 0 ? null : ReadProxyCredentials(value, where);
                    break;
                case "auth":
                    if (string.Equals(value, "password", StringComparison.OrdinalIgnoreCase)) ApiToken = false;
                    else if (string.Equals(value, "apiToken", StringComparison.OrdinalIgnoreCase)) ApiToken = true;
                    else throw new ArgumentException(where + ": '" + value + "' is not password or apiToken");
                    break;
                default:
                    throw new ArgumentException(origin + ": unknown option '" + key + "' (known: " + string.Join(", ", Keys) + ")");
            }
        }

        // Defaults that an administrator put into vCloudSDKWrapper.config beside the assembly:
        // <appSettings><add key="httpTimeout" value="60s"/></appSettings>. A missing file is fine.
        public void ApplyConfigFile(string path)
        {
            if (!File.Exists(path)) return;
            var doc = new XmlDocument { XmlResolver = null };
            using (var reader = XmlReader.Create(path, new XmlReaderSettings { DtdProcessing = DtdProcessing.Prohibit, XmlResolver = null }))
                doc.Load(reader);
            var nodes = doc.SelectNodes("/configuration/appSettings/add");
            if (nodes == null) return;
            foreach (XmlElement add in nodes)
            {
                string key = add.GetAttribute("key");
                if (key.Length == 0) continue;
                Set(key, add.GetAttribute("value"), Path.GetFileName(path));
            }
        }

        public string Describe()
        {
            return string.Format(CultureInfo.InvariantCulture,
                "apiVersion={0}; httpTimeout={1}s; taskTimeout={2}s; taskPollInterval={3}ms; pageSize={4}; retries={5}; caFile={6}; pin={7}; insecure={8}; allowHttp={9}; importMove={10}; maxQueryPages={11}; maxResponseBytes={12}; maxDecompressedBytes={13}; maxNestingDepth={14}; maxNodes={15}; queryConcurrency={16}; auth={17}; proxy={18}; maxRetryWait={19}s",
                ApiVersion.Length == 0 ? "negotiate" : ApiVersion, HttpTimeout.TotalSeconds, TaskTimeout.TotalSeconds,
                TaskPollInterval.TotalMilliseconds, PageSize, Retries, CaFile.Length == 0 ? "none" : CaFile,
                Pin == null ? "none" : "set", Insecure, AllowHttp, ImportMove, MaxQueryPages,
                MaxResponseBytes, MaxDecompressedBytes, MaxNestingDepth, MaxNodes, QueryConcurrency, ApiToken ? "apiToken" : "password",
                Proxy.Length == 0 ? "from the environment" : Proxy + (ProxyCredentials != null ? " with credentials" : ""),
                MaxRetryWait.TotalSeconds);
        }

        private static TimeSpan Duration(string value, string where, TimeSpan minimum)
        {
            string v = value.Trim().ToLowerInvariant();
            double scale = 1000;
            if (v.EndsWith("ms")) { scale = 1; v = v.Substring(0, v.Length - 2); }
            else if (v.EndsWith("s")) { v = v.Substring(0, v.Length - 1); }
            else if (v.EndsWith("m")) { scale = 60000; v = v.Substring(0, v.Length - 1); }
            else if (v.EndsWith("h")) { scale = 3600000; v = v.Substring(0, v.Length - 1); }
            double n;
            if (!double.TryParse(v, NumberStyles.Float, CultureInfo.InvariantCulture, out n) || n < 0 || n > 1e9)
                throw new ArgumentException(where + ": '" + value + "' is not a duration such as 30s, 500ms or 2m");
            var d = TimeSpan.FromMilliseconds(n * scale);
            if (d < minimum)
                throw new ArgumentException(where + ": '" + value + "' is below the minimum of " + minimum.TotalMilliseconds + " ms");
            return d;
        }

        // A byte count up to 1 GiB (a body is held in one array): a whole number, optionally with KiB, MiB
        // or GiB (k, m, g for short).
        private static long Size(string value, string where, long minimum)
        {
            string v = value.Trim().ToLowerInvariant().Replace(" ", "");
            long scale = 1;
            foreach (var unit in new[] { new KeyValuePair<string, long>("gib", 1L << 30), new KeyValuePair<string, long>("mib", 1L << 20),
                                         new KeyValuePair<string, long>("kib", 1L << 10), new KeyValuePair<string, long>("g", 1L << 30),
                                         new KeyValuePair<string, long>("m", 1L << 20), new KeyValuePair<string, long>("k", 1L << 10) })
            {
                if (v.EndsWith(unit.Key, StringComparison.Ordinal)) { scale = unit.Value; v = v.Substring(0, v.Length - unit.Key.Length); break; }
            }
            long n;
            if (!long.TryParse(v, NumberStyles.None, CultureInfo.InvariantCulture, out n) || n > (1L << 30) / scale)
                throw new ArgumentException(where + ": '" + value + "' is not a size from 4KiB to 1GiB, such as 32MiB, 512KiB or 1048576");
            if (n * scale < minimum)
                throw new ArgumentException(where + ": '" + value + "' is below the minimum of " + minimum + " bytes");
            return n * scale;
        }

        private static int Integer(string value, string where, int min, int max)
        {
            int n;
            if (!int.TryParse(value, NumberStyles.Integer, CultureInfo.InvariantCulture, out n) || n < min || n > max)
                throw new ArgumentException(where + ": '" + value + "' is not a whole number from " + min + " to " + max);
            return n;
        }

        private static bool Flag(string value, string where)
        {
            switch (value.ToLowerInvariant())
            {
                case "1": case "true": case "yes": case "on": return true;
                case "0": case "false": case "no": case "off": return false;
            }
            throw new ArgumentException(where + ": '" + value + "' is not true or false");
        }

        // An http://host[:port] proxy URL (a trailing slash allowed). Credentials never travel in it: they
        // would show in every log line and command line that names the proxy.
        internal static Uri ParseProxy(string value, string where)
        {
            Uri u;
            if (!Uri.TryCreate(value.Trim(), UriKind.Absolute, out u) || u.Host.Length == 0)
                throw new ArgumentException(where + ": '" + value + "' is not a proxy URL such as http://proxy.example.test:3128");
            if (u.Scheme != Uri.UriSchemeHttp)
                throw new ArgumentException(where + ": the proxy scheme '" + u.Scheme + "' is not supported; give an http:// forward proxy");
            if (u.UserInfo.Length > 0)
                throw new ArgumentException(where + ": the proxy URL must not carry credentials; use proxyCredentialsFile");
            if (u.AbsolutePath != "/" || u.Query.Length > 0 || u.Fragment.Length > 0)
                throw new ArgumentException(where + ": a proxy URL is http://host:port, without a path");
            return new Uri(u.GetLeftPart(UriPartial.Authority) + "/");
        }

        private static System.Net.NetworkCredential ReadProxyCredentials(string path, string where)
        {
            string line;
            try
            {
                using (var reader = new StreamReader(path)) line = reader.ReadLine() ?? "";
            }
            catch (Exception e) { throw new ArgumentException(where + ": cannot read '" + path + "': " + e.Message); }
            int colon = line.IndexOf(':');
            if (colon <= 0) throw new ArgumentException(where + ": the first line of '" + path + "' is not user:password");
            return new System.Net.NetworkCredential(line.Substring(0, colon), line.Substring(colon + 1).TrimEnd('\r'));
        }

        // A SHA-256 fingerprint as 64 hex digits (colons and blanks allowed) or as base64.
        private static byte[] ParsePin(string value, string where)
        {
            string v = value.Trim();
            if (v.StartsWith("sha256/", StringComparison.OrdinalIgnoreCase)) v = v.Substring(7);
            var hex = new StringBuilder();
            foreach (char c in v) if (c != ':' && c != ' ') hex.Append(c);
            string h = hex.ToString();
            if (h.Length == 64)
            {
                var bytes = new byte[32];
                for (int i = 0; i < 32; i++)
                {
                    if (!byte.TryParse(h.Substring(2 * i, 2), NumberStyles.HexNumber, CultureInfo.InvariantCulture, out bytes[i]))
                        throw new ArgumentException(where + ": the pin is not hexadecimal");
                }
                return bytes;
            }
            try
            {
                var b = Convert.FromBase64String(v);
                if (b.Length == 32) return b;
            }
            catch (FormatException) { }
            throw new ArgumentException(where + ": the pin must be a SHA-256 fingerprint (64 hex digits or base64)");
        }

        // One or more certificates, PEM (several blocks allowed) or DER.
        private static X509Certificate2Collection LoadCertificates(string path, string where)
        {
            byte[] data;
            try { data = File.ReadAllBytes(path); }
            catch (Exception e) { throw new ArgumentException(where + ": cannot read '" + path + "': " + e.Message); }
            var result = new X509Certificate2Collection();
            string text = Encoding.ASCII.GetString(data);
            const string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
            try
            {
                int at = text.IndexOf(begin, StringComparison.Ordinal);
                if (at < 0) result.Add(new X509Certificate2(data));
                while (at >= 0)
                {
                    int stop = text.IndexOf(end, at, StringComparison.Ordinal);
                    if (stop < 0) break;
                    string body = text.Substring(at + begin.Length, stop - at - begin.Length);
                    result.Add(new X509Certificate2(Convert.FromBase64String(body.Replace("\r", "").Replace("\n", "").Trim())));
                    at = text.IndexOf(begin, stop, StringComparison.Ordinal);
                }
            }
            catch (Exception e) { throw new ArgumentException(where + ": '" + path + "' holds no readable certificate: " + e.Message); }
            if (result.Count == 0) throw new ArgumentException(where + ": '" + path + "' holds no certificate");
            return result;
        }
    }

    // An API version such as "37.2", compared numerically part by part ("5.10" is above "5.9").
    internal sealed class ApiVersionNumber : IComparable<ApiVersionNumber>
    {
        public readonly int Major, Minor;
        public readonly string Text;
        private ApiVersionNumber(int major, int minor, string text) { Major = major; Minor = minor; Text = text; }

        public static ApiVersionNumber Parse(string text)
        {
            if (text == null) return null;
            var parts = text.Trim().Split('.');
            int major, minor = 0;
            if (parts.Length < 1 || parts.Length > 2) return null;
            if (!int.TryParse(parts[0], NumberStyles.None, CultureInfo.InvariantCulture, out major)) return null;
            if (parts.Length == 2 && !int.TryParse(parts[1], NumberStyles.None, CultureInfo.InvariantCulture, out minor)) return null;
            return new ApiVersionNumber(major, minor, text.Trim());
        }

        public int CompareTo(ApiVersionNumber other)
        {
            int c = Major.CompareTo(other.Major);
            return c != 0 ? c : Minor.CompareTo(other.Minor);
        }

        public bool AtLeast(int major, int minor = 0) { return Major > major || (Major == major && Minor >= minor); }
        public override string ToString() { return Text; }
    }
}
