// The recording on disk: one file per answer under DIR/answers/, named after the request path, each with a
// short header (request, status, the headers that matter, body length) and the body as it came; and
// DIR/index.txt, which describes the recording and lists every answer in path order.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Text;

namespace VcbRecord
{
    sealed class Recording
    {
        public const string Magic = "# vcloud-bridge recording 1";
        readonly string dir;
        readonly List<string[]> entries = new List<string[]>();
        readonly object gate = new object();
        static readonly UTF8Encoding Utf8 = new UTF8Encoding(false);

        public Recording(string dir)
        {
            this.dir = dir;
            Directory.CreateDirectory(System.IO.Path.Combine(dir, "answers"));
        }

        public int Count { get { lock (gate) return entries.Count; } }

        // answers/<path>@<query>.http, every character outside [A-Za-z0-9._=&-] of a segment as %XX.
        public static string FileFor(string pathAndQuery)
        {
            string path = pathAndQuery, query = "";
            int q = pathAndQuery.IndexOf('?');
            if (q >= 0) { path = pathAndQuery.Substring(0, q); query = pathAndQuery.Substring(q + 1); }
            var sb = new StringBuilder("answers");
            foreach (string seg in path.Trim('/').Split('/'))
            {
                sb.Append('/');
                sb.Append(Safe(seg.Length == 0 ? "_" : seg));
            }
            if (query.Length > 0)
            {
                // Readable where it can be; a long query (a filter of hrefs) is cut and told apart by its hash.
                string q2 = Safe(Uri.UnescapeDataString(query));
                if (q2.Length > 120)
                {
                    byte[] h;
                    using (var sha = System.Security.Cryptography.SHA256.Create()) h = sha.ComputeHash(Utf8.GetBytes(query));
                    q2 = q2.Substring(0, 100) + "~" + BitConverter.ToString(h, 0, 8).Replace("-", "").ToLowerInvariant();
                }
                sb.Append('@').Append(q2);
            }
            return sb.Append(".http").ToString();
        }

        internal static string Safe(string s)
        {
            var sb = new StringBuilder(s.Length);
            foreach (byte b in Utf8.GetBytes(s))
            {
                char c = (char)b;
                if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '=' || c == '&' || (c == '.' && sb.Length > 0))
                    sb.Append(c);
                else sb.Append('%').Append(((int)b).ToString("X2", CultureInfo.InvariantCulture));
            }
            return sb.ToString();
        }

        // Writes one answer. Only the status, the media type and the body go to disk: no request or answer
        // header that could carry a credential is ever written.
        public void Add(string method, string pathAndQuery, string accept, int status, string contentType, byte[] body)
        {
            string file = FileFor(pathAndQuery);
            string full = System.IO.Path.Combine(dir, file);
            Directory.CreateDirectory(System.IO.Path.GetDirectoryName(full));
            var head = new StringBuilder();
            head.Append(method).Append(' ').Append(pathAndQuery).Append('\n');
            head.Append("Accept: ").Append(accept).Append('\n');
            head.Append("Status: ").Append(status.ToString(CultureInfo.InvariantCulture)).Append('\n');
            head.Append("Content-Type: ").Append(contentType).Append('\n');
            head.Append("Content-Length: ").Append(body.Length.ToString(CultureInfo.InvariantCulture)).Append('\n');
            head.Append('\n');
            using (var f = new FileStream(full, FileMode.Create, FileAccess.Write))
            {
                var h = Utf8.GetBytes(head.ToString());
                f.Write(h, 0, h.Length);
                f.Write(body, 0, body.Length);
            }
            lock (gate) entries.Add(new[] { pathAndQuery, method, status.ToString(CultureInfo.InvariantCulture), file });
        }

        public void WriteIndex(IList<KeyValuePair<string, string>> header)
        {
            List<string[]> sorted;
            lock (gate) sorted = new List<string[]>(entries);
            sorted.Sort((a, b) => string.CompareOrdinal(a[0], b[0]));
            var sb = new StringBuilder(Magic + "\n");
            foreach (var kv in header) sb.Append(kv.Key).Append(": ").Append(kv.Value).Append('\n');
            sb.Append("answers: ").Append(sorted.Count.ToString(CultureInfo.InvariantCulture)).Append('\n');
            sb.Append('\n');
            foreach (var e in sorted) sb.Append(e[1]).Append('\t').Append(e[2]).Append('\t').Append(e[0]).Append('\t').Append(e[3]).Append('\n');
            File.WriteAllText(System.IO.Path.Combine(dir, "index.txt"), sb.ToString(), Utf8);
        }
    }
}
