// The audit of a scrubbed recording: searches every file for every original that the scrubbing replaced
// (each map entry of at least 3 characters, as text, URL-encoded and as the recording's file names encode
// it, case-insensitively, as a whole token). Values that the scrubber keeps by their kind or by the
// kept-field table are told apart by their place and not searched; every other value, the index and the
// answer files' headers are. A hit names the original's kind and the file, never the value.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Text;
using System.Text.RegularExpressions;
using System.Xml;
using System.Xml.Linq;

namespace VcbRecord
{
    sealed class AuditHit
    {
        public string Kind, File;
        public override string ToString() { return Kind + " in " + File; }
    }

    sealed class Audit
    {
        public const int MinLength = 3;

        sealed class Pattern
        {
            public string Text, Kind, Pseudonym;
        }

        // The patterns that start with one token, by their whole text, and the longest of them.
        sealed class Bucket
        {
            public int MaxLength;
            public readonly Dictionary<string, Pattern> ByText = new Dictionary<string, Pattern>(StringComparer.Ordinal);
        }

        readonly Dictionary<string, Bucket> byFirstToken = new Dictionary<string, Bucket>(StringComparer.Ordinal);
        public int Files, Values;

        // The pseudonyms' own words ("name", "host", "example") are not the originals they look like.
        static readonly Regex PseudonymShape = new Regex(@"name-\d{5,}|host-\d{5,}\.example\.invalid|5c0ab000-0000-4000-8000-[0-9a-f]{12}", RegexOptions.Compiled | RegexOptions.IgnoreCase);

        public Audit(IEnumerable<MapEntry> entries)
        {
            foreach (var e in entries)
            {
                if (e.Original.Length < MinLength) continue;
                foreach (string form in new[] { e.Original, Uri.EscapeDataString(e.Original), e.Original.Replace(' ', '+'), Recording.Safe(e.Original) }.Distinct())
                    Add(form, e);
            }
        }

        static bool TokenChar(char c) { return c < 128 ? AsciiTokenChar[c] : char.IsLetterOrDigit(c); }

        static readonly bool[] AsciiTokenChar = Enumerable.Range(0, 128).Select(c => char.IsLetterOrDigit((char)c)).ToArray();

        // Values that hold no original, up to a bound: the same rel, type and href values stand in many answers,
        // and the answer for a value depends only on the map.
        readonly HashSet<string> clean = new HashSet<string>(StringComparer.Ordinal);
        const int CleanKept = 500000;

        // A pattern is searched from its first letter or digit to its last.
        void Add(string form, MapEntry e)
        {
            string t = form.ToLowerInvariant();
            int i = 0, k = t.Length;
            while (i < k && !TokenChar(t[i])) i++;
            while (k > i && !TokenChar(t[k - 1])) k--;
            if (i == k) return;   // no letter or digit: nothing to find as a token
            t = t.Substring(i, k - i);
            int j = 0;
            while (j < t.Length && TokenChar(t[j])) j++;
            string first = t.Substring(0, j);
            Bucket b;
            if (!byFirstToken.TryGetValue(first, out b)) byFirstToken[first] = b = new Bucket();
            if (!b.ByText.ContainsKey(t)) b.ByText[t] = new Pattern { Text = t, Kind = e.Kind, Pseudonym = e.Pseudonym };
            b.MaxLength = Math.Max(b.MaxLength, t.Length);
        }

        // The first original that text holds as a whole token, or null; where the match starts. A match
        // starts where a token starts and ends where a token ends: for each token start the candidates are
        // the text up to each following token end, no longer than the longest pattern of that first token.
        // So the cost is a few lookups per token, however many originals share a first token.
        Pattern Find(string text, int from, out int start)
        {
            start = -1;
            string t = text.ToLowerInvariant();
            while (from > 0 && from < t.Length && TokenChar(t[from - 1])) from++;   // from the next token start
            for (int i = from; i < t.Length; i++)
            {
                if (!TokenChar(t[i])) continue;
                int end = i;
                while (end < t.Length && TokenChar(t[end])) end++;
                Bucket b;
                if (byFirstToken.TryGetValue(t.Substring(i, end - i), out b))
                    while (end - i <= b.MaxLength)
                    {
                        Pattern p;
                        if (b.ByText.TryGetValue(t.Substring(i, end - i), out p)) { start = i; return p; }
                        while (end < t.Length && !TokenChar(t[end])) end++;
                        if (end == t.Length) break;
                        while (end < t.Length && TokenChar(t[end])) end++;
                    }
                while (i + 1 < t.Length && TokenChar(t[i + 1])) i++;   // on to the token's end: a match starts a token
            }
            return null;
        }

        // The kind of the first original the text holds, or null. The pseudonyms in it are not searched.
        public string KindIn(string text)
        {
            Values++;
            if (string.IsNullOrEmpty(text)) return null;
            if (text.IndexOf("name-", StringComparison.OrdinalIgnoreCase) >= 0 || text.IndexOf("host-", StringComparison.OrdinalIgnoreCase) >= 0
                || text.IndexOf("5c0ab000-", StringComparison.OrdinalIgnoreCase) >= 0)
                text = PseudonymShape.Replace(text, " ");
            int start;
            var p = Find(text, 0, out start);
            return p == null ? null : p.Kind;
        }

        // The text with every original it holds replaced by its pseudonym: for the recording's own messages.
        public string Redact(string text)
        {
            int start, from = 0;
            Pattern p;
            while ((p = Find(text, from, out start)) != null)
            {
                text = text.Substring(0, start) + p.Pseudonym + text.Substring(start + p.Text.Length);
                from = start + p.Pseudonym.Length;
            }
            return text;
        }

        // Audits every file under dir; at most max hits, the first of each file.
        public List<AuditHit> Run(string dir, int max = 20)
        {
            var hits = new List<AuditHit>();
            dir = System.IO.Path.GetFullPath(dir).TrimEnd('/');
            // The answer files' names are their scrubbed request paths, which the index's lines are searched
            // for; any other file's name is searched as it is.
            var named = new HashSet<string>(StringComparer.Ordinal);
            string index = System.IO.Path.Combine(dir, "index.txt");
            if (File.Exists(index))
                foreach (string line in File.ReadLines(index, Encoding.UTF8))
                {
                    var f = line.Split('\t');
                    if (f.Length == 4 && f[3] == Recording.FileFor(f[2])) named.Add(f[3]);
                }
            foreach (string full in Directory.EnumerateFiles(dir, "*", SearchOption.AllDirectories).OrderBy(f => f, StringComparer.Ordinal))
            {
                string rel = full.Substring(dir.Length + 1);
                Files++;
                string kind = rel == "index.txt" || named.Contains(rel) ? null : KindIn(rel);
                kind = kind ?? (rel == "index.txt" ? IndexKind(full)
                                : rel.StartsWith("answers/", StringComparison.Ordinal) ? AnswerKind(full)
                                : KindIn(File.ReadAllText(full)));
                if (kind == null) continue;
                hits.Add(new AuditHit { Kind = kind, File = rel });
                if (hits.Count >= max) break;
            }
            return hits;
        }

        string IndexKind(string full)
        {
            var lines = File.ReadAllLines(full, Encoding.UTF8);
            int i = 1;
            for (; i < lines.Length && lines[i].Length > 0; i++)
            {
                int colon = lines[i].IndexOf(": ", StringComparison.Ordinal);
                if (colon <= 0) { string k0 = KindIn(lines[i]); if (k0 != null) return k0; continue; }
                string key = lines[i].Substring(0, colon), val = lines[i].Substring(colon + 2);
                if (key == "pseudonyms" || key == "kept") continue;   // counts by kind and field name
                string k = key == "base" ? FirstKind(Scrubber.Exposed("", null, true, val, Scrubber.NoNamespaces)) : KindIn(val);
                if (k != null) return k;
            }
            for (i++; i < lines.Length; i++)
            {
                var f = lines[i].Split('\t');
                if (f.Length != 4) { string k0 = KindIn(lines[i]); if (k0 != null) return k0; continue; }
                string k = KindIn(f[0]) ?? KindIn(f[1]) ?? FirstKind(Scrubber.ExposedPath(f[2]));
                if (k == null && f[3] != Recording.FileFor(f[2])) k = KindIn(f[3]);
                if (k != null) return k;
            }
            return null;
        }

        // Whether a value holds an original at all, as it stands or URL-decoded. Every part of a value that the
        // audit searches is a piece of one of these two, cut at characters that end a token, so a value that
        // holds none is passed without sorting out its kept and replaced parts, which is most of the work.
        bool MayHold(string v)
        {
            if (clean.Contains(v)) return false;
            if (Holds(v)) return true;
            if (clean.Count < CleanKept) clean.Add(v);
            return false;
        }

        bool Holds(string v)
        {
            int start;
            if (Find(v, 0, out start) != null) return true;
            if (v.IndexOf('%') < 0 && v.IndexOf('+') < 0) return false;
            string decoded;
            try { decoded = Uri.UnescapeDataString(v.Replace('+', ' ')); } catch (UriFormatException) { return true; }
            return Find(decoded, 0, out start) != null;
        }

        string FirstKind(IEnumerable<string> parts)
        {
            foreach (string p in parts)
            {
                string k = KindIn(p);
                if (k != null) return k;
            }
            return null;
        }

        // One answer file: its header lines, and its body value by value (XML) or whole (anything else).
        string AnswerKind(string full)
        {
            byte[] all = File.ReadAllBytes(full);
            int end = -1;
            for (int i = 0; i + 1 < all.Length; i++) if (all[i] == 10 && all[i + 1] == 10) { end = i; break; }
            if (end < 0) return KindIn(Encoding.UTF8.GetString(all));
            string contentType = "";
            var head = Encoding.UTF8.GetString(all, 0, end).Split('\n');
            for (int i = 0; i < head.Length; i++)
            {
                string line = head[i], k;
                int sp = line.IndexOf(' ');
                if (i == 0 && sp > 0) k = KindIn(line.Substring(0, sp)) ?? FirstKind(Scrubber.ExposedPath(line.Substring(sp + 1)));
                else
                {
                    int colon = line.IndexOf(": ", StringComparison.Ordinal);
                    if (colon > 0 && line.Substring(0, colon) == "Content-Type") contentType = line.Substring(colon + 2);
                    k = colon > 0 ? KindIn(line.Substring(0, colon)) ?? FirstKind(Scrubber.Exposed("", null, true, line.Substring(colon + 2), Scrubber.NoNamespaces)) : KindIn(line);
                }
                if (k != null) return k;
            }
            int start = end + 2;
            if (start >= all.Length) return null;
            if (contentType.IndexOf("xml", StringComparison.OrdinalIgnoreCase) >= 0)
            {
                XDocument doc = null;
                try
                {
                    using (var r = XmlReader.Create(new MemoryStream(all, start, all.Length - start), new XmlReaderSettings { DtdProcessing = DtdProcessing.Prohibit }))
                        doc = XDocument.Load(r, LoadOptions.PreserveWhitespace);
                }
                catch (XmlException) { }
                if (doc != null) return DocumentKind(doc);
            }
            return KindIn(Encoding.UTF8.GetString(all, start, all.Length - start));
        }

        string DocumentKind(XDocument doc)
        {
            var namespaces = new HashSet<string>(doc.Descendants().SelectMany(e => e.Attributes()).Where(a => a.IsNamespaceDeclaration).Select(a => a.Value), StringComparer.Ordinal);
            foreach (var e in doc.Descendants())
            {
                foreach (var a in e.Attributes())
                {
                    if (a.IsNamespaceDeclaration || Scrubber.KeptXsiType(a) || !MayHold(a.Value)) continue;
                    string k = FirstKind(Scrubber.Exposed(a.Name.LocalName, e, true, a.Value, namespaces));
                    if (k != null) return k;
                }
                foreach (var t in e.Nodes().OfType<XText>())
                {
                    if (string.IsNullOrWhiteSpace(t.Value) || !MayHold(t.Value)) continue;
                    string k = FirstKind(Scrubber.Exposed(e.Name.LocalName, e, false, t.Value, namespaces));
                    if (k != null) return k;
                }
            }
            foreach (var c in doc.DescendantNodes().OfType<XComment>())
            {
                string k = KindIn(c.Value);
                if (k != null) return k;
            }
            return null;
        }

        // Reads a map file written by --map: pseudonym<TAB>original lines; the kind is the pseudonym's form.
        public static List<MapEntry> ReadMap(string path)
        {
            var list = new List<MapEntry>();
            foreach (string line in File.ReadAllLines(path, Encoding.UTF8))
            {
                int tab = line.IndexOf('\t');
                if (tab <= 0) continue;
                string p = line.Substring(0, tab);
                list.Add(new MapEntry { Pseudonym = p, Original = line.Substring(tab + 1), Kind = KindOfPseudonym(p) });
            }
            return list;
        }

        static string KindOfPseudonym(string p)
        {
            if (p.StartsWith("name-", StringComparison.Ordinal)) return "name";
            if (p.StartsWith("host-", StringComparison.Ordinal)) return "host";
            if (p.StartsWith("5c0ab000-", StringComparison.Ordinal)) return "uuid";
            if (p.StartsWith("02:00:00:", StringComparison.Ordinal)) return "mac";
            if (p.StartsWith("10.", StringComparison.Ordinal)) return "ip";
            return "moref";
        }
    }
}
