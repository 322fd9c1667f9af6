// Query pages of records read by the wrapper's own page scanner against the same pages read by the full
// XML reader: each page gives the same counts and the same records (element, attribute names, values and
// order), or the same failure. Each page also says whether the scanner is to read it itself or hand it
// to the full reader, so that a scanner that gives up on ordinary pages shows as well as one that reads
// a page wrongly.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
using System.Text;
using vCloudSDKWrapper;

namespace WrapperTests
{
    static class RecordPageTests
    {
        const string V = "http://www.vmware.com/vcloud/v1.5";
        const string Decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
        static readonly string[] Keep = { "name", "status", "moref", "href" };

        static string Page(string records, string rootAttributes = "total=\"2\" page=\"1\" pageSize=\"128\"")
        {
            return Decl + "<QueryResultRecords xmlns=\"" + V + "\" " + rootAttributes + ">" + records + "</QueryResultRecords>";
        }

        static string Vm(string attributes) { return "<VMRecord " + attributes + "/>"; }

        // What a page reads to: its counts and records as one text, or the failure's text.
        static string Outcome(byte[] body, int length, string[] keep, ParseLimits limits, bool scan)
        {
            try
            {
                var page = Api.ReadRecordsPage(body, length, "GET /api/query", limits, keep, scan);
                var sb = new StringBuilder("total=" + page.Total + " pageSize=" + page.PageSize + " page=" + page.Number);
                foreach (var rec in page.Records)
                {
                    sb.Append("\n<").Append(rec.Element).Append('>');
                    foreach (var kv in rec.Attrs) sb.Append(" [").Append(kv.Key).Append("]=[").Append(kv.Value).Append(']');
                }
                return sb.ToString();
            }
            catch (CloudException e) { return "failed: " + e.Message; }
        }

        // The page reads the same through the scanner as through the full reader, with and without a list
        // of attributes to keep; 'scanned' says whether the scanner reads it itself.
        static void Same(string what, byte[] body, bool scanned, ParseLimits limits = null, string expect = null, int length = -1)
        {
            if (length < 0) length = body.Length;
            foreach (var keep in new[] { Keep, null })
            {
                string full = Outcome(body, length, keep, limits, false), fast = Outcome(body, length, keep, limits, true);
                string how = what + (keep == null ? " (whole records)" : " (kept attributes)");
                Check.Equal(full, fast, how + ": the scanner reads what the full reader reads");
                if (expect != null) Check.Contains(full, expect, how + ": the page reads as it should");
                bool took;
                try { took = RecordPageScanner.TryRead(body, length, V, keep, limits, "GET /api/query", new RecordsPage()); }
                catch (CloudException) { took = true; }
                Check.Equal(scanned, took, how + ": " + (scanned ? "read by the scanner itself" : "handed to the full reader"));
            }
        }

        static void Same(string what, string page, bool scanned, ParseLimits limits = null, string expect = null)
        {
            Same(what, Encoding.UTF8.GetBytes(page), scanned, limits, expect);
        }

        public static void Run()
        {
            const string href = "href=\"https://h/api/vApp/vm-0a1b2c3d-4e5f-6789-abcd-ef0123456789\"";
            // Pages as servers send them.
            Same("a page as the simulator sends it",
                Decl + "<QueryResultRecords xmlns=\"" + V + "\" xmlns:ovf=\"http://schemas.dmtf.org/ovf/envelope/1\" name=\"adminVM\" page=\"2\" pageSize=\"128\" total=\"300\""
                + " href=\"https://h/api/query?type=adminVM&amp;page=2&amp;pageSize=128\" type=\"application/vnd.vmware.vcloud.query.records+xml\">"
                + "<Link rel=\"nextPage\" href=\"https://h/api/query?type=adminVM&amp;page=3\" type=\"application/vnd.vmware.vcloud.query.records+xml\" />"
                + "<AdminVMRecord " + href + " name=\"vm-000255\" hostName=\"esx-01.example.test\" moref=\"vm-1255\" status=\"POWERED_ON\" isVAppTemplate=\"false\" />"
                + "<AdminVMRecord href=\"https://h/api/vApp/vm-1\" name=\"vm-000256\" moref=\"vm-1256\" status=\"POWERED_OFF\" /></QueryResultRecords>",
                true, expect: "total=300 pageSize=128 page=2\n<AdminVMRecord> [href]=[https://h/api/vApp/vm-0a1b2c3d");
            Same("the vcloud namespace on a prefix, unused declarations, a byte order mark, blanks and line breaks between tags",
                "\uFEFF<?xml version='1.0' encoding='utf-8' standalone='yes'?>\r\n<ns5:QueryResultRecords xmlns:ns5=\"" + V + "\"\n\txmlns:vmext=\"http://www.vmware.com/vcloud/extension/v1.5\" total = '1' >\n"
                + "  <ns5:VMRecord\tname = \"a\"  status='POWERED_ON' " + href + "\n/>\n</ns5:QueryResultRecords >\n", true, expect: "[name]=[a]");
            Same("an empty page", Decl + "<QueryResultRecords xmlns=\"" + V + "\" total=\"0\"/>", true, expect: "total=0");
            Same("no declaration, no blanks", "<QueryResultRecords xmlns=\"" + V + "\"><VMRecord name=\"x\"/></QueryResultRecords>", true);
            Same("records of other elements: exactly 'Record', another namespace, not ending in Record",
                Page("<Record name=\"r\"/><x:VMRecord xmlns:x=\"urn:other\" name=\"o\"/><VMRecords name=\"s\"/>" + Vm("name=\"v\"")), false);
            Same("records of other elements, declared on the root",
                "<QueryResultRecords xmlns=\"" + V + "\" xmlns:x=\"urn:other\"><Record name=\"r\"/><x:VMRecord name=\"o\"/><VMRecords name=\"s\"/>"
                + "<Link rel=\"up\"/>" + Vm("name=\"v\"") + "</QueryResultRecords>", true, expect: "<Record> [name]=[r]\n<VMRecord> [name]=[v]");
            Same("a record without attributes, one without an href, one with many",
                Page("<VMRecord/>" + Vm("name=\"n\" status=\"s\"") + Vm("a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\" g=\"7\" h=\"8\" i=\"9\" j=\"10\" name=\"m\" moref=\"vm-1\"")), true);

            // Values: references, quotes, characters beyond ASCII, repeated and look-alike texts.
            Same("the five entities and character references",
                Page(Vm("name=\"&lt;a&gt; &amp; &quot;b&quot; &apos;c&apos; &#65;&#x42;&#x0043;&#x1F600;&#x9b;&#9;&#xA;&#13;x\" status='say \"hi\"' moref=\"it's > 1\"")),
                true, expect: "[name]=[<a> & \"b\" 'c' ABC\U0001F600\u009b\t\n\rx]");
            Same("UTF-8 beyond ASCII", Page(Vm("name=\"Zürich 日本 \U0001F600 \u0085\" status=\"é\"")), true, expect: "[name]=[Zürich 日本 \U0001F600 \u0085]");
            var repeated = new StringBuilder();
            foreach (var n in new[] { "vm-100255", "vm-200255", "vm-100255", "POWERED_ON", "POWERED_ON", "a&amp;b", "a&amp;b", "a&b".Replace("&", "&#38;"), "" })
                repeated.Append(Vm("name=\"" + n + "\" status=\"" + n + "\""));
            Same("texts that repeat, and texts alike in length and some characters", Page(repeated.ToString()), true,
                expect: "<VMRecord> [name]=[vm-100255] [status]=[vm-100255]\n<VMRecord> [name]=[vm-200255]");
            // A page read for the walk holds each repeated short value once: 100,000 records share a few
            // texts of power state, host and guest system instead of holding a copy each.
            var twice = Encoding.UTF8.GetBytes(Page(Vm("name=\"a\" status=\"POWERED_ON\"") + Vm("name=\"b\" status=\"POWERED_ON\"")));
            var shared = Api.ReadRecordsPage(twice, twice.Length, "GET /api/query", null, Keep);
            Check.That(shared.Records.Count == 2 && ReferenceEquals(shared.Records[0]["status"], shared.Records[1]["status"]),
                "a value repeated on a page is one string");
            string longName = new string('n', 64) + "1", longOther = new string('n', 64) + "2";
            Same("texts longer than the shared ones", Page(Vm("name=\"" + longName + "\"") + Vm("name=\"" + longOther + "\"")), true, expect: longOther);
            // ASCII values longer than the scanner's first text buffer (256), around the end of the first and of
            // a grown one.
            foreach (int n in new[] { 255, 256, 257, 513, 5000 })
            {
                string text = string.Concat(Enumerable.Range(0, n).Select(i => (char)('a' + i % 26)));
                Same("an ASCII value of " + n + " characters", Page(Vm("name=\"" + text + "\"")), true, expect: "[name]=[" + text + "]");
            }

            // The root's counts, read as the full reader's callers read them.
            foreach (var counts in new[] { "total=\" 42 \" pageSize=\"+5\" page=\"3\"", "total=\"-5\" pageSize=\"0\" page=\"-2\"", "total=\"abc\" pageSize=\"2147483648\" page=\"2147483647\"",
                                           "total=\"9223372036854775807\" pageSize=\"1\"", "total=\"9223372036854775808\"", "total=\"&#52;2\"", "" })
                Same("the counts " + counts, Page(Vm("name=\"a\""), counts), true);
            Same("a total written out", Page("", "total=\" 42 \" pageSize=\"+5\" page=\"3\""), true, expect: "total=42 pageSize=5 page=3");

            // Pages the scanner hands to the full reader: the same records, or the same failure.
            Same("a comment", Page("<!-- c -->" + Vm("name=\"a\"")), false);
            Same("a processing instruction", Page("<?pi x?>" + Vm("name=\"a\"")), false);
            Same("text in the root", Page("text" + Vm("name=\"a\"")), false);
            Same("CDATA in the root", Page("<![CDATA[x]]>" + Vm("name=\"a\"")), false);
            Same("a document type", Decl + "<!DOCTYPE QueryResultRecords [<!ENTITY e \"x\">]><QueryResultRecords xmlns=\"" + V + "\"/>", false, expect: "failed");
            Same("a literal tab, line feed and carriage return in a value", Page(Vm("name=\"a\tb\nc\r\nd\rz\"")), false, expect: "[name]=[a b c d z]");
            Same("a record with content", Page("<VMRecord name=\"a\"><Metadata/></VMRecord>" + Vm("name=\"b\"")), false);
            Same("a record declaring a namespace", Page(Vm("xmlns=\"" + V + "\" name=\"a\"")), false);
            Same("a record declaring a prefix", Page(Vm("xmlns:q=\"urn:q\" name=\"a\"")), false);
            Same("a prefixed attribute on a record", "<QueryResultRecords xmlns=\"" + V + "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
                + Vm("xsi:nil=\"true\" name=\"a\"") + "</QueryResultRecords>", false);
            Same("a prefixed attribute on the root", "<QueryResultRecords xmlns=\"" + V + "\" xmlns:q=\"urn:q\" q:x=\"1\" total=\"1\">" + Vm("name=\"a\"") + "</QueryResultRecords>", false);
            Same("a name beyond ASCII", Page(Vm("näme=\"a\" name=\"b\"")), false);
            Same("another encoding", Encoding.GetEncoding("ISO-8859-1").GetBytes("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><QueryResultRecords xmlns=\"" + V + "\">"
                + Vm("name=\"caf\u00e9\"") + "</QueryResultRecords>"), false, expect: "[name]=[caf\u00e9]");
            Same("another encoding, its bytes also UTF-8", Encoding.GetEncoding("ISO-8859-1").GetBytes("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><QueryResultRecords xmlns=\"" + V + "\">"
                + Vm("name=\"caf\u00c3\u00a9\"") + "</QueryResultRecords>"), false, expect: "[name]=[caf\u00c3\u00a9]");
            Same("XML 1.1", "<?xml version=\"1.1\"?><QueryResultRecords xmlns=\"" + V + "\"/>", false);
            Same("a declaration without its version", "<?xml encoding=\"UTF-8\"?><QueryResultRecords xmlns=\"" + V + "\"/>", false);
            Same("a declaration out of order", "<?xml version=\"1.0\" standalone=\"yes\" encoding=\"UTF-8\"?><QueryResultRecords xmlns=\"" + V + "\"/>", false);
            Same("a comment after the root", Page(Vm("name=\"a\"")) + "<!-- end -->", false);

            // Malformed pages: the full reader's failure.
            foreach (var bad in new[]
            {
                Vm("name=\"&nbsp;\""), Vm("name=\"&#0;\""), Vm("name=\"&#x1F;\""), Vm("name=\"&#xD800;\""), Vm("name=\"&#xFFFE;\""), Vm("name=\"&#x110000;\""),
                Vm("name=\"&#X41;\""), Vm("name=\"&#x;\""), Vm("name=\"&#;\""), Vm("name=\"&#12a;\""), Vm("name=\"a & b\""), Vm("name=\"&amp\""),
                Vm("name=\"a<b\""), Vm("name=\"a\" name=\"b\""), Vm("status=\"a\" name=\"b\" status=\"c\""), Vm("name=\"a\"status=\"b\""), Vm("name=a"), Vm("1name=\"a\""),
                Vm("name=\"a\u0001\""), "<q:VMRecord name=\"a\"/>", "<VMRecord name=\"a\">", "<VMRecord name=\"a\"/ >", "<VMRecord :name=\"a\"/>", "<VMRecord n:=\"a\"/>",
            })
                Same("malformed: " + bad, Page(bad), false, expect: "failed");
            Same("malformed: the wrong end tag", Decl + "<QueryResultRecords xmlns=\"" + V + "\">" + Vm("name=\"a\"") + "</QueryResultRecord>", false, expect: "failed");
            Same("malformed: an end tag of the same length", Decl + "<QueryResultRecords xmlns=\"" + V + "\">" + Vm("name=\"a\"") + "</QueryResultRecordz>", false, expect: "failed");
            Same("malformed: no end tag", Decl + "<QueryResultRecords xmlns=\"" + V + "\">" + Vm("name=\"a\""), false, expect: "failed");
            Same("malformed: an empty prefix declaration", "<QueryResultRecords xmlns=\"" + V + "\" xmlns:q=\"\"/>", false, expect: "failed");
            Same("another root", Decl + "<QueryResultReferences xmlns=\"" + V + "\"/>", false, expect: "expected QueryResultRecords");
            Same("the root in another namespace", Decl + "<QueryResultRecords xmlns=\"urn:other\"/>", false, expect: "expected QueryResultRecords");
            Same("the root without a namespace", Decl + "<QueryResultRecords/>", false, expect: "expected QueryResultRecords");
            foreach (var raw in new[] { new byte[] { 0xC3, 0x28 }, new byte[] { 0xED, 0xA0, 0x80 }, new byte[] { 0xEF, 0xBF, 0xBE }, new byte[] { 0xEF, 0xBF, 0xBF }, new byte[] { 0xF4, 0x90, 0x80, 0x80 } })
            {
                var body = new List<byte>(Encoding.UTF8.GetBytes(Page("<VMRecord name=\"a")));
                int at = body.Count - "</QueryResultRecords>".Length;
                body.InsertRange(at, raw.Concat(Encoding.UTF8.GetBytes("\"/>")));
                Same("malformed: the bytes " + BitConverter.ToString(raw), body.ToArray(), false, expect: "failed");
            }
            Same("malformed: an empty answer", new byte[0], false, expect: "failed");

            // A page read into a thread's page buffer is its first bytes only: what lies beyond them is left
            // from a longer page before.
            var cut = Encoding.UTF8.GetBytes(Page(Vm("name=\"a\"") + Vm("name=\"b\"")));
            int ends = cut.Length - "</QueryResultRecords>".Length;
            Same("a page cut short before its end tag, a whole page's end behind it", cut, false, expect: "failed", length: ends);
            var shorter = Encoding.UTF8.GetBytes(Page(Vm("name=\"a\"")) + "<VMRecord name=\"stale\"/></QueryResultRecords>");
            Same("a page followed by the rest of a longer one", shorter, true, expect: "[name]=[a]", length: Encoding.UTF8.GetByteCount(Page(Vm("name=\"a\""))));
            var reply = new Reply();
            var buffer = Encoding.ASCII.GetBytes("answer and the rest of an older one");
            reply.LendBody(buffer, 6);
            Check.Equal(6, reply.BodyLength, "a lent body's length");
            Check.Equal("answer", Encoding.ASCII.GetString(reply.Body), "a lent body taken as an array of its own holds the answer only");
            buffer[0] = (byte)'X';
            Check.Equal("answer", Encoding.ASCII.GetString(reply.Body), "and no longer changes with the page buffer");

            // The limits on a server's document hold for scanned pages as for the full reader's.
            var page10 = Page(string.Concat(Enumerable.Range(0, 10).Select(i => Vm("name=\"v" + i + "\" status=\"s\""))));
            Same("ten records within a node limit of 100", page10, true, new ParseLimits { MaxNodes = 100 }, "v9");
            // Without a declaration the scanner counts nodes exactly as the full reader does: the root and its
            // one attribute, each record and its attribute, the end tag.
            var bare10 = "<QueryResultRecords xmlns=\"" + V + "\">" + string.Concat(Enumerable.Range(0, 10).Select(i => Vm("name=\"v" + i + "\""))) + "</QueryResultRecords>";
            Same("ten records at a node limit of 23", bare10, true, new ParseLimits { MaxNodes = 23 }, "v9");
            Same("ten records one node beyond a limit of 22", bare10, false, new ParseLimits { MaxNodes = 22 }, "holds more than 22 nodes");
            Same("ten records beyond a node limit of 20", page10, false, new ParseLimits { MaxNodes = 20 }, "failed: the answer to GET /api/query holds more than 20 nodes (maxNodes)");
            Same("records one level deep within a depth limit of 1", page10, true, new ParseLimits { MaxDepth = 1 }, "v9");
            Same("records one level deep beyond a depth limit of 0", page10, false, new ParseLimits { MaxDepth = 0 }, "failed: the answer to GET /api/query nests deeper than 0 levels");
            var late = new ParseLimits { Clock = Stopwatch.StartNew(), Timeout = TimeSpan.FromMilliseconds(1) };
            System.Threading.Thread.Sleep(20);
            var page1000 = Page(string.Concat(Enumerable.Range(0, 1000).Select(i => Vm("name=\"v" + i + "\""))));
            Same("a page of 2,000 nodes read after its time-out has passed", page1000, true, late, "was not read and parsed within");
            Same("a short page after its time-out has passed", page10, true, late, "v9");
        }
    }
}
