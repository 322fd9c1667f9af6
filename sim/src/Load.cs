// Loads a recorded cloud (`vcdsim --load DIR`, written by `vcloud-bridge record`): checks every answer file,
// builds the model (organisations, VDCs, vApps, VMs, metadata, vCenter servers, storage profiles, users and
// access) from the recorded query records and documents, and keeps the recorded answers so that requests
// the recording holds are answered as recorded until something changes.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Text;
using System.Xml;
using System.Xml.Linq;

namespace VcdSim
{
    class RecordedAnswer
    {
        public string Method, PathAndQuery, File, ContentType;
        public int Status, Offset, Length;
        public int HeaderLines;   // the lines before the body: a body's line N is the file's line HeaderLines + N
        public XDocument Doc;   // while the model is built

        // The recorded body, read again from its file: a large recording is not held in memory.
        public byte[] Body()
        {
            var b = new byte[Length];
            using (var f = new FileStream(File, FileMode.Open, FileAccess.Read))
            {
                f.Seek(Offset, SeekOrigin.Begin);
                int got = 0;
                while (got < Length)
                {
                    int n = f.Read(b, got, Length - got);
                    if (n <= 0) throw new IOException(File + " has become shorter since it was loaded");
                    got += n;
                }
            }
            return b;
        }
    }

    static class Load
    {
        const string Magic = "# vcloud-bridge recording 1";

        public static Replay FromDirectory(Cloud cloud, string dir)
        {
            string indexPath = Path.Combine(dir, "index.txt");
            if (!File.Exists(indexPath)) throw new FixtureError(indexPath + ": missing; " + dir + " is not a recording");
            var lines = File.ReadAllLines(indexPath, Encoding.UTF8);
            if (lines.Length == 0 || lines[0] != Magic) throw new FixtureError(indexPath + ": not a recording index (the first line must be \"" + Magic + "\")");
            var header = new Dictionary<string, string>(StringComparer.Ordinal);
            int i = 1;
            for (; i < lines.Length && lines[i].Length > 0; i++)
            {
                int colon = lines[i].IndexOf(": ", StringComparison.Ordinal);
                if (colon <= 0) throw new FixtureError(indexPath + " line " + (i + 1) + ": expected KEY: VALUE");
                string k = lines[i].Substring(0, colon);
                if (!header.ContainsKey(k)) header[k] = lines[i].Substring(colon + 2);
            }
            string complete;
            if (!header.TryGetValue("complete", out complete)) throw new FixtureError(indexPath + ": no \"complete:\" line; the recording was cut short");
            // The whole index is checked before any answer is read: a cut-off index names itself.
            var listed = new List<string[]>();
            for (i++; i < lines.Length; i++)
            {
                if (lines[i].Length == 0) continue;
                var f = lines[i].Split('\t');
                int status;
                if (f.Length != 4 || !int.TryParse(f[1], NumberStyles.None, CultureInfo.InvariantCulture, out status))
                    throw new FixtureError(indexPath + " line " + (i + 1) + ": expected METHOD, STATUS, PATH and FILE separated by tabs");
                listed.Add(f);
            }
            string announced;
            if (!header.TryGetValue("answers", out announced) || announced != listed.Count.ToString(CultureInfo.InvariantCulture))
                throw new FixtureError(indexPath + ": announces " + (announced ?? "no number of") + " answers but lists " + listed.Count + "; the index is cut short");
            // Query pages first: the model is made from their records. Then every other answer is read, checked
            // and let add what it says to the model, one at a time; only its place on disk is kept.
            var answers = new List<RecordedAnswer>(listed.Count);
            foreach (var f in listed)
                answers.Add(new RecordedAnswer { File = f[3], Method = f[0], Status = int.Parse(f[1], CultureInfo.InvariantCulture), PathAndQuery = f[2] });
            var pages = answers.Where(IsQueryPage).ToList();
            string org;
            header.TryGetValue("org", out org);
            var model = new ModelFromRecording(cloud, pages, org == "(scrubbed)" ? null : org);
            model.Build(a => ReadAnswer(dir, a));
            foreach (var a in answers)
            {
                if (IsQueryPage(a)) continue;
                ReadAnswer(dir, a);
                model.Enrich(a);
                a.Doc = null;
            }
            cloud.Changed();
            return new Replay(cloud, header, answers);
        }

        // A recording holds no passwords; this file gives some users theirs, one "USER@ORG PASSWORD" a line.
        public static void Passwords(Cloud cloud, string path)
        {
            string[] lines;
            try { lines = File.ReadAllLines(path, Encoding.UTF8); }
            catch (Exception e) when (e is IOException || e is UnauthorizedAccessException) { throw new FixtureError("cannot read " + path + ": " + e.Message); }
            for (int i = 0; i < lines.Length; i++)
            {
                string line = lines[i].Trim();
                if (line.Length == 0 || line[0] == '#') continue;
                int sp = line.IndexOf(' '), at = sp < 0 ? -1 : line.LastIndexOf('@', sp);
                if (sp <= 0 || at <= 0) throw new FixtureError(path + " line " + (i + 1) + ": expected USER@ORG PASSWORD");
                string user = line.Substring(0, at), org = line.Substring(at + 1, sp - at - 1);
                var u = cloud.Users.Find(x => string.Equals(x.Name, user, StringComparison.OrdinalIgnoreCase) &&
                                              string.Equals(x.Org.Name, org, StringComparison.OrdinalIgnoreCase));
                if (u == null) throw new FixtureError(path + " line " + (i + 1) + ": the recording has no user " + user + "@" + org);
                u.Password = line.Substring(sp + 1);
            }
        }

        static bool IsQueryPage(RecordedAnswer a)
        {
            return a.PathAndQuery.StartsWith("/api/query?", StringComparison.Ordinal);
        }

        // Reads one answer file and checks it: the header, the body's length against Content-Length, and
        // well-formed XML for XML media types. Sets the body's place in the file and, for XML, its document.
        static void ReadAnswer(string dir, RecordedAnswer a)
        {
            // The index names files relative to the recording; one that resolves outside it is never read.
            string root = Path.GetFullPath(dir).TrimEnd('/') + "/";
            string full = Path.Combine(dir, a.File);
            if (Path.IsPathRooted(a.File) || !Path.GetFullPath(full).StartsWith(root, StringComparison.Ordinal))
                throw new FixtureError(full + ": an answer file must lie inside the recording");
            a.File = full;
            byte[] all;
            try { all = File.ReadAllBytes(full); }
            catch (Exception e) when (e is IOException || e is UnauthorizedAccessException)
            {
                throw new FixtureError(full + ": cannot read the recorded answer to " + a.Method + " " + a.PathAndQuery + ": " + e.Message);
            }
            int end = IndexOf(all, new byte[] { 10, 10 });
            if (end < 0) throw new FixtureError(full + ": truncated: no blank line after the header");
            long length = -1;
            foreach (string line in Encoding.UTF8.GetString(all, 0, end).Split('\n').Skip(1))
            {
                int colon = line.IndexOf(": ", StringComparison.Ordinal);
                if (colon <= 0) continue;
                string k = line.Substring(0, colon), v = line.Substring(colon + 2);
                if (k == "Content-Type") a.ContentType = v;
                else if (k == "Content-Length") long.TryParse(v, NumberStyles.None, CultureInfo.InvariantCulture, out length);
            }
            int start = end + 2;
            a.HeaderLines = 0;
            for (int i = 0; i < start; i++) if (all[i] == 10) a.HeaderLines++;
            if (length < 0) throw new FixtureError(full + ": the header has no Content-Length");
            if (all.Length - start != length)
                throw new FixtureError(full + ": truncated or padded: the header announces " + length + " body bytes, the file holds " + (all.Length - start));
            if (a.ContentType == null) throw new FixtureError(full + ": the header has no Content-Type");
            a.Offset = start;
            a.Length = (int)length;
            if (length > 0 && a.ContentType.IndexOf("xml", StringComparison.OrdinalIgnoreCase) >= 0)
            {
                try
                {
                    // Every body is checked to be well-formed; a tree is built only for the documents the model
                    // learns from, the others (vApps with their VMs inline, the bulk of a recording) are only read.
                    using (var r = XmlReader.Create(new MemoryStream(all, start, (int)length), new XmlReaderSettings { DtdProcessing = DtdProcessing.Prohibit }))
                    {
                        r.MoveToContent();
                        if (IsQueryPage(a) || ModelFromRecording.LearnsFrom(r.LocalName))
                            a.Doc = new XDocument(XElement.Load(r, LoadOptions.SetLineInfo));
                        else
                            while (r.Read()) { }
                    }
                }
                catch (XmlException e)
                {
                    throw new FixtureError(full + ": malformed XML: " + e.Message);
                }
            }
        }

        static int IndexOf(byte[] hay, byte[] needle)
        {
            for (int i = 0; i + needle.Length <= hay.Length; i++)
            {
                int j = 0;
                while (j < needle.Length && hay[i + j] == needle[j]) j++;
                if (j == needle.Length) return i;
            }
            return -1;
        }
    }

    // Answers GET requests with the recorded bytes, hrefs rebased onto this server's address, for as long as
    // the cloud is as recorded and the request is one the recording holds: the same path and query, the
    // recorded API version and the recorded user. Everything else the model answers.
    class Replay
    {
        readonly Cloud cloud;
        readonly Dictionary<string, RecordedAnswer> byPath = new Dictionary<string, RecordedAnswer>(StringComparer.Ordinal);
        readonly long loadedVersion;
        public readonly string RecordedBase, Version, User, OrgName, Complete;
        public bool Stale;

        public Replay(Cloud cloud, Dictionary<string, string> header, List<RecordedAnswer> answers)
        {
            this.cloud = cloud;
            header.TryGetValue("base", out RecordedBase);
            header.TryGetValue("api-version", out Version);
            header.TryGetValue("user", out User);
            header.TryGetValue("org", out OrgName);
            header.TryGetValue("complete", out Complete);
            foreach (var a in answers) if (a.Method == "GET") byPath[Key(a.PathAndQuery)] = a;
            loadedVersion = cloud.Version;
        }

        static string Key(string pathAndQuery)
        {
            return Uri.UnescapeDataString(pathAndQuery.Replace('+', ' '));
        }

        public int Count { get { return byPath.Count; } }

        // Called for every request once it is authenticated (s is null for /api/versions).
        public Resp Answer(Req r, Session s)
        {
            if (r.Method != "GET")
            {
                string s1 = r.Seg(1);
                if (s1 != "sessions" && s1 != "session") Stale = true;
                return null;
            }
            if (Stale || cloud.Version != loadedVersion) return null;
            if (s != null && (r.Version != Version || !string.Equals(s.User.Name, User, StringComparison.OrdinalIgnoreCase)
                              || !string.Equals(s.Org.Name, OrgName, StringComparison.OrdinalIgnoreCase)))
                return null;
            string raw = r.Ctx != null ? r.Ctx.Request.RawUrl : r.Path;
            RecordedAnswer a;
            if (raw == null || !byPath.TryGetValue(Key(raw), out a)) return null;
            byte[] body;
            try { body = a.Body(); }
            catch (Exception e) when (e is IOException || e is UnauthorizedAccessException)
            {
                Console.Error.WriteLine("vcdsim: " + e.Message + "; the model answers instead");
                Stale = true;
                return null;
            }
            if (!string.IsNullOrEmpty(RecordedBase) && RecordedBase != Refs.Base && body.Length > 0)
                body = Encoding.UTF8.GetBytes(Encoding.UTF8.GetString(body).Replace(RecordedBase, Refs.Base));
            return new Resp { Status = a.Status, ContentType = a.ContentType.Length == 0 ? null : a.ContentType, Body = body };
        }
    }
}
