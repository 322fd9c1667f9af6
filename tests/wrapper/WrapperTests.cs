// Tests of vCloudSDKWrapper.dll called directly: its contract with native callers, its settings and
// certificate policy, and every operation against the simulator, checked against the simulator's own
// state, with paging, injected faults and concurrent callers.
//
// mono wrappertests.exe --sim <vcdsim.exe> [--openssl <openssl>] [--work <dir>]
// mono wrappertests.exe --sim <vcdsim.exe> --measure ORGS,VDCS,VAPPS,VMS   (time a full VM listing)
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Threading;
using System.Xml.Linq;
using TestGroups;
using vCloudSDKWrapper;

namespace WrapperTests
{
    static class Program
    {
        static string simExe = "", openssl = "", work = "";
        const ulong IncludeTemplates = 0x4000000000000000UL;
        const string Fast = "allowHttp=true;taskPollInterval=20ms;retries=0;httpTimeout=20s;taskTimeout=60s";

        static int Main(string[] args)
        {
            string measure = null;
            for (int i = 0; i + 1 < args.Length; i += 2)
            {
                switch (args[i])
                {
                    case "--sim": simExe = args[i + 1]; break;
                    case "--openssl": openssl = args[i + 1]; break;
                    case "--work": work = args[i + 1]; break;
                    case "--measure": measure = args[i + 1]; break;
                    case "--group": Groups.Only = args[i + 1]; break;
                }
            }
            if (simExe.Length == 0 || !File.Exists(simExe)) { Console.WriteLine("usage: --sim <vcdsim.exe>"); return 2; }
            if (work.Length == 0) work = Path.Combine(Path.GetTempPath(), "wrappertests-" + Process.GetCurrentProcess().Id);
            Directory.CreateDirectory(work);
            if (measure != null) return Measure(measure);

            var sw = Stopwatch.StartNew();
            Run("contract", Contract);
            Run("record identities", RecordIdentities);
            Run("record pages", RecordPageTests.Run);
            Run("settings", Settings);
            Run("tls", Tls);
            Groups.RunSharing(SharedSimGroups, () => new Sim(simExe, "--task-ms 30"), Run);
            Run("versions", Versions);
            Run("paging", Paging);
            Run("public address", PublicAddress);
            Run("prefixed answers", PrefixedAnswers);
            Run("concurrent pages", ConcurrentPages);
            Run("session expiry", () => SessionTests.Expiry(simExe, work));
            Run("concurrent expiry", () => SessionTests.ConcurrentExpiry(simExe, work));
            Run("relogin", () => SessionTests.Relogin(simExe, work));
            Run("large expiry", () => SessionTests.LargeExpiry(simExe, work));
            Run("api token", () => SessionTests.ApiToken(simExe, work));
            Run("proxy choice", () => SessionTests.ProxyChoice(simExe));
            Run("kept names", KeptNames);
            Run("retry after", TransportTests.RetryAfterHeader);
            Run("throttling", () => TransportTests.Throttling(simExe, work));
            Run("certificate chains", () => TransportTests.Chains(openssl, work));
            Run("page lines", PageLineTests.Run);
            if (!Groups.AllFound()) return 2;
            Console.WriteLine("wrapper tests took " + sw.Elapsed.TotalSeconds.ToString("0.0") + " s" + (Check.Skipped > 0 ? ", " + Check.Skipped + " skipped" : ""));
            Console.WriteLine(Check.Passed + " passed, " + Check.Failed + " failed");
            return Check.Failed == 0 ? 0 : 1;
        }

        // The groups that share one simulator, in the order they run on it.
        static readonly KeyValuePair<string, Action<Sim>>[] SharedSimGroups =
        {
            Groups.Sharing<Sim>("login", Login), Groups.Sharing<Sim>("tenant", Tenant),
            Groups.Sharing<Sim>("system", SystemReads), Groups.Sharing<Sim>("changes", Changes),
            Groups.Sharing<Sim>("restore", Restore), Groups.Sharing<Sim>("faults", Faults),
            Groups.Sharing<Sim>("threads", Threads),
        };

        static void Run(string group, Action body)
        {
            Groups.Run(group, name => Check.Group = name, body, e => Check.That(false, "group ran to its end", e.ToString()));
        }

        static vCloudWrapper Connect(Sim sim, string user, string password, string options = Fast)
        {
            var w = new vCloudWrapper();
            if (!w.Initialize("", options, 0)) throw new Exception("Initialize: " + w.getLastErrorString());
            if (!w.Login(sim.Url, user, password)) throw new Exception("Login " + user + ": " + w.getLastErrorString());
            return w;
        }

        static vCloudWrapper Admin(Sim sim, string options = Fast) { return Connect(sim, "administrator@System", "vmware1!", options); }
        static vCloudWrapper Alice(Sim sim) { return Connect(sim, "alice@Acme", "alice1!"); }

        static List<string> Strings(SStringInfoLibList list) { return list == null ? new List<string>() : list.ToList(); }

        // ---- identities of query records, and the UUIDs of references ----

        // A walk drops a record as a duplicate when its key equals one already read, so two keys must be
        // equal exactly when the hrefs are: no two hrefs that differ may share a key.
        static void RecordIdentities()
        {
            const string u = "0a1b2c3d-4e5f-6789-abcd-ef0123456789";
            const string vm = "https://vcd.example.com/api/vApp/vm-";
            string before = null;
            var a = RecordKey.Of(vm + u, ref before);
            Check.That(a.HasUuid, "an href that ends in a lower-case UUID is held as the UUID");
            Check.Equal(vm, a.Text, "the text before the UUID");
            var again = RecordKey.Of(string.Copy(vm + u), ref before);
            Check.That(a.Equals(again) && a.GetHashCode() == again.GetHashCode(), "the same href, another instance: equal keys, equal hashes");
            Check.That(ReferenceEquals(a.Text, again.Text), "records of one query share the text before the UUID");
            string[] others =
            {
                vm + u.ToUpperInvariant(), "https://vcd.example.com/api/vAppTemplate/vm-" + u, vm + u.Substring(0, 35) + "8",
                vm + "1" + u.Substring(1), vm + u.Substring(0, 19) + "b" + u.Substring(20), vm + u.Substring(0, 15) + "0" + u.Substring(16),
                "https://vcd.example.com/api/vApp/vm-x" + u, vm + u + "/", vm.Replace(".com", ".org") + u,
            };
            foreach (var other in others)
                Check.That(!a.Equals(RecordKey.Of(other, ref before)), "a different href gets a different key: " + other);
            Check.That(RecordKey.Of(vm + u, ref before).Equals(a), "the key is the same after other hrefs came between");
            foreach (var bad in new[] { u.Replace('c', 'g'), u.Substring(0, 8) + "x" + u.Substring(9), u.Substring(0, 23) + "0" + u.Substring(24),
                                        u.ToUpperInvariant() })
                Check.That(!RecordKey.Of(vm + bad, ref before).HasUuid, "no UUID read from " + bad);
            var zero = RecordKey.Of("https://h/api/vm-" + "00000000-0000-0000-0000-000000000000", ref before);
            var bare = RecordKey.Of("https://h/api/vm-", ref before);
            Check.That(!zero.Equals(bare), "an href without a UUID differs from the same text followed by the zero UUID");
            Check.That(RecordKey.Of("VMRecord\nname=a", ref before).Equals(RecordKey.Of(string.Copy("VMRecord\nname=a"), ref before)),
                "identities without a UUID are equal by their text");
            Check.That(!RecordKey.Of("VMRecord\nname=a", ref before).Equals(RecordKey.Of("VMRecord\nname=b", ref before)),
                "identities without a UUID differ by their text");

            var uuids = new[]
            {
                new[] { vm + u, u }, new[] { " \t" + vm + u + "/ ", u }, new[] { "https://h/api/vApp/vapp-" + u + "?x=1#f", u },
                new[] { "urn:vcloud:vm:" + u, u }, new[] { "https://h/api/vAppTemplate/vappTemplate-" + u, u }, new[] { "VM-" + u, u },
                new[] { "https://h/api/org/" + u + "//", u }, new[] { "https://h/api/org/" + u + "#", u }, new[] { "", "" }, new[] { "   ", "" },
                new[] { "/", "" }, new[] { "?a/b", "" }, new[] { "abc", "abc" }, new[] { "vm-", "" }, new[] { "x/y:z", "z" },
                new[] { "a:b/c", "c" }, new[] { "https://h/api/vApp/vm-ab/?q", "ab" }, new[] { "https://h/api/vapp-/", "" },
            };
            foreach (var pair in uuids) Check.Equal(pair[1], global::vCloudSDKWrapper.Ref.Uuid(pair[0]), "the UUID of '" + pair[0] + "'");
        }

        // ---- the contract native callers rely on ----

        static void Contract()
        {
            var expected = new[]
            {
                "Initialize(String,String,UInt64):Boolean", "Login(String,String,String):Boolean", "Logout():Boolean",
                "getLastErrorString():String", "FindVCenterServer(String):Boolean", "PowerOnVM(String,String,String):Boolean",
                "FindVM(String,String,String):Boolean", "FindVMInVApp(String,String,String,String):Boolean",
                "FindVMByNameFromVapp(String,String,String):Boolean",
                "FindVMByNameFromVappAndGetMoref(String,String,String,String&):Boolean",
                "DeleteVMByNameFromVapp(String,String,String):Boolean",
                "BackupVM(String,String,String,String,String&,String&,String&,String&,String&):Boolean",
                "BackupVMWithVMRef(String,String,String&,String&,String&,String&,String&,String&):Boolean",
                "RestoreVM(String,String,String,String,Boolean,String,String,String,String,String,Boolean,String&,Boolean,String):Boolean",
                "DeleteVM(String,String,String,String):Boolean", "GetMgmtVersion(SMgmtVersionLib&):Boolean",
                "GetVdcListInOrg(String,SStringInfoLibList&):Boolean", "GetVappListInVdc(String,String,SStringInfoLibList&):Boolean",
                "GetNetworkListInVApp(String,String,String,SStringInfoLibList&):Boolean",
                "GetAssociatedDatastoreListForVdc(String,SStringInfoLibList&):Boolean", "GetUserListInOrg(String,SStringInfoLibList&):Boolean",
                "GetStorageProfileListInVDC(String,String,SStorageProfileInfoLibList&):Boolean",
                "GetStorageProfileInfo(String,SStorageProfileInfoLib&):Boolean",
                "GetStorageProfileInfoByMoref(String,String,SStorageProfileInfoLib&):Boolean",
                "GetUsersForVM(String,String,String,SVCloudUserLibList&):Boolean", "GetVMInfoForVM(String,String,String,SVMInfoLib&):Boolean",
                "GetManagedHypervisorsInCloud():SInventoryLibList", "BrowseInventory(String,SInventoryLib,UInt64,Int32):SInventoryLibList",
                "GetVMStructListForEntity(String,EInventoryType,UInt64,Int32):SVMInfoLibList",
                "GetVMStructListForEntityByName(String,EInventoryType,UInt64,Int32):SVMInfoLibList",
                "GetVMInfoListForMetadataTag(String,String,UInt64,Int32):SVMInfoLibList",
                "GetVMStructListForWildCard(String,EFilterType):SVMInfoLibList", "QueryVcenterForVDC(String,String&,String&):Boolean"
            };
            var type = typeof(vCloudWrapper);
            Check.That(type.GetConstructor(Type.EmptyTypes) != null, "vCloudWrapper has a parameterless constructor");
            var actual = type.GetMethods(BindingFlags.Public | BindingFlags.Instance | BindingFlags.DeclaredOnly)
                .Select(m => m.Name + "(" + string.Join(",", m.GetParameters().Select(p => p.ParameterType.Name).ToArray()) + "):" + m.ReturnType.Name)
                .ToList();
            foreach (var e in expected) Check.That(actual.Contains(e), "vCloudWrapper." + e);
            foreach (var a in actual) Check.That(expected.Contains(a), "no unexpected public method " + a);
            var allNames = type.GetMethods(BindingFlags.Public | BindingFlags.NonPublic | BindingFlags.Instance | BindingFlags.Static | BindingFlags.DeclaredOnly)
                .GroupBy(m => m.Name).Where(g => g.Count() > 1).Select(g => g.Key).ToList();
            Check.That(allNames.Count == 0, "no method name of vCloudWrapper is overloaded", string.Join(", ", allNames));

            Check.Equal(typeof(int), Enum.GetUnderlyingType(typeof(EInventoryType)), "EInventoryType is 32-bit");
            Check.Equal(typeof(int), Enum.GetUnderlyingType(typeof(EFilterType)), "EFilterType is 32-bit");
            string[] inv = { "eInventoryUnknown", "eInventoryCloud", "eInventoryOrg", "eInventoryOrgVdc", "eInventoryVApp", "eInventoryVM",
                "eInventoryVCenter", "eInventoryProviderVdc", "eInventoryNetwork", "eInventoryStorageProfile", "eInventoryVAppTemplate",
                "eInventoryCatalog", "eInventoryDatastore" };
            for (int i = 0; i < inv.Length; i++) Check.Equal(i, (int)Enum.Parse(typeof(EInventoryType), inv[i]), inv[i]);
            string[] filters = { "eFilterVMName", "eFilterVAppName", "eFilterVdcName", "eFilterOrgName" };
            for (int i = 0; i < filters.Length; i++) Check.Equal(i, (int)Enum.Parse(typeof(EFilterType), filters[i]), filters[i]);

            var records = new Dictionary<Type, string>
            {
                { typeof(SVMInfoLib), "name:String uuid:String hostName:String moref:String guestOSName:String guestOSVersion:String poweredState:String" },
                { typeof(SStorageProfileInfoLib), "name:String guid:String moref:String i64TotalSizeInBytes:Int64 i64FreeSpaceInBytes:Int64 isDefault:Boolean" },
                { typeof(SInventoryLib), "name:String href:String type:EInventoryType children:SInventoryLibList" },
                { typeof(SMgmtVersionLib), "strVersion:String strBuild:String strFullVersion:String" },
                { typeof(SVCloudUserLib), "name:String group:Boolean fullAccess:Boolean readAccess:Boolean" }
            };
            foreach (var r in records)
            {
                Check.That(r.Key.IsValueType, r.Key.Name + " is a structure");
                foreach (var f in r.Value.Split(' '))
                {
                    var parts = f.Split(':');
                    var field = r.Key.GetField(parts[0], BindingFlags.Public | BindingFlags.Instance);
                    Check.That(field != null && field.FieldType.Name == parts[1], r.Key.Name + "." + parts[0] + " is a public " + parts[1] + " field");
                }
            }

            var factory = typeof(vCloudSDKWrapperFactory);
            var lists = new Dictionary<string, Type>
            {
                { "SStringInfoLib", typeof(string) }, { "SStorageProfileInfoLib", typeof(SStorageProfileInfoLib) },
                { "SVCloudUserLib", typeof(SVCloudUserLib) }, { "SInventoryLib", typeof(SInventoryLib) }
            };
            foreach (var l in lists)
            {
                var create = factory.GetMethod("Create" + l.Key + "List", BindingFlags.Public | BindingFlags.Static);
                Check.That(create != null && create.GetParameters().Length == 0, "factory Create" + l.Key + "List()");
                if (create == null) continue;
                var list = create.Invoke(null, null);
                Check.That(list != null, "Create" + l.Key + "List returns a list");
                var adds = list.GetType().GetMethods(BindingFlags.Public | BindingFlags.Instance | BindingFlags.DeclaredOnly).Where(m => m.Name == "Add").ToList();
                Check.That(adds.Count == 1 && adds[0].GetParameters().Length == 1 && adds[0].GetParameters()[0].ParameterType == l.Value,
                    l.Key + " list declares one Add(" + l.Value.Name + ")");
            }
            foreach (var name in new[] { "StringEnumerator", "SVCloudUserLibListEnumerator", "SStorageProfileInfoLibListEnumerator",
                "SInventoryLibListEnumerator", "SVMInfoLibListEnumerator" })
            {
                var t = typeof(vCloudWrapper).Assembly.GetType("vCloudSDKWrapper." + name);
                Check.That(t != null, name + " exists");
                if (t == null) continue;
                var methods = t.GetMethods(BindingFlags.Public | BindingFlags.NonPublic | BindingFlags.Static | BindingFlags.Instance | BindingFlags.DeclaredOnly);
                var get = methods.Where(m => m.Name == "GetEnumerator").ToList();
                var next = methods.Where(m => m.Name == "MoveNext").ToList();
                var cur = methods.Where(m => m.Name == "Current").ToList();
                Check.That(get.Count == 1 && get[0].IsStatic && get[0].GetParameters().Length == 1, name + ".GetEnumerator(list) is static and single");
                Check.That(next.Count == 1 && !next[0].IsStatic && next[0].ReturnType == typeof(bool) && next[0].GetParameters().Length == 0, name + ".MoveNext() is a method");
                Check.That(cur.Count == 1 && !cur[0].IsStatic && cur[0].GetParameters().Length == 0, name + ".Current() is a method");
            }

            // Enumerators as native code drives them: a list of another kind or null enumerates as empty,
            // a null text comes through, and Current never throws.
            var texts = vCloudSDKWrapperFactory.CreateSStringInfoLibList();
            texts.Add("a");
            texts.Add(null);
            var en = StringEnumerator.GetEnumerator(texts);
            Check.Equal(null, en.Current(), "Current before MoveNext is null");
            Check.That(en.MoveNext() && en.Current() == "a" && en.MoveNext() && en.Current() == null && !en.MoveNext() && !en.MoveNext(),
                "StringEnumerator yields the texts in order, null included, then stops");
            Check.That(!StringEnumerator.GetEnumerator(null).MoveNext(), "a null list enumerates as empty");
            Check.That(!SVMInfoLibListEnumerator.GetEnumerator(texts).MoveNext(), "a list of another kind enumerates as empty");
            var nodes = vCloudSDKWrapperFactory.CreateSInventoryLibList();
            nodes.Add(new SInventoryLib { name = "n", type = EInventoryType.eInventoryVApp });
            var ne = SInventoryLibListEnumerator.GetEnumerator(nodes);
            nodes.Add(new SInventoryLib { name = "later" });
            Check.That(ne.MoveNext() && ne.Current().name == "n" && !ne.MoveNext(), "an enumerator reads the list as it was when it began");
        }

        // ---- settings ----

        static void Settings()
        {
            var w = new vCloudWrapper();
            Check.Equal("", w.getLastErrorString(), "no error text before any failure");
            Check.That(!w.Initialize("", "colour=blue", 0), "an unknown option fails Initialize");
            Check.Contains(w.getLastErrorString(), "unknown option 'colour'", "the error names the unknown option");
            Check.That(!w.Initialize("", "httpTimeout=soon", 0), "a bad duration fails Initialize");
            Check.Contains(w.getLastErrorString(), "httpTimeout", "the error names the option");
            Check.That(!w.Initialize("", "pageSize=500", 0), "a page size above 128 fails Initialize");
            Check.That(!w.Initialize("", "caFile=/nonexistent/ca.pem", 0), "an unreadable caFile fails Initialize");
            Check.That(!w.Initialize("", "pin=abc", 0), "a malformed pin fails Initialize");
            Check.That(w.Initialize("", "maxResponseBytes=8MiB;maxDecompressedBytes=1g;maxNestingDepth=40;maxNodes=5000;maxQueryPages=10", 0),
                "answer limits take sizes with units", w.getLastErrorString());
            Check.That(!w.Initialize("", "maxResponseBytes=2GiB", 0), "a body limit above 1 GiB fails Initialize");
            Check.Contains(w.getLastErrorString(), "maxResponseBytes", "the error names the option");
            Check.That(!w.Initialize("", "maxDecompressedBytes=lots", 0), "a size that is no number fails Initialize");
            Check.That(!w.Initialize("", "maxNestingDepth=2", 0), "a nesting limit too small to read any answer fails Initialize");
            Check.That(!w.Initialize(Path.Combine(work, "no/such/dir/log.txt"), "", 1), "an unwritable log file fails Initialize");
            Check.That(w.Initialize("", " apiVersion = 37.1 ; HTTPTIMEOUT=1500ms;taskPollInterval=0.5s;;insecure=false ", 0),
                "options are trimmed, keys ignore case, empty entries are skipped", w.getLastErrorString());

            Check.That(w.Initialize("", "", 0), "no options at all");
            Check.That(!w.Login("http://127.0.0.1:9/", "a@b", "p"), "plain http is refused by default");
            Check.Contains(w.getLastErrorString(), "plain http is refused", "the error says why");
            Check.That(w.Initialize("", "allowHttp=true", 0), "allowHttp");
            Check.That(!w.Login("http://192.0.2.1/", "a@b", "p"), "plain http to a non-loopback host is refused even when allowed");
            Check.Contains(w.getLastErrorString(), "only to a loopback address", "the error says why");
            Check.That(!w.Login("http://127.0.0.1:9/", "nobody", "p"), "a user without @organisation is refused");
            Check.Contains(w.getLastErrorString(), "user@organisation", "the error says the form");
            Check.That(!w.Login("ftp://127.0.0.1/", "a@b", "p"), "a URL that is not http(s) is refused");
            Check.That(!w.FindVM("Acme", "Acme-Gold", "web-01"), "an operation before Login fails");
            Check.Contains(w.getLastErrorString(), "not logged in", "and says so");
            Check.That(w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0) == null, "a list operation before Login gives null");
            Check.That(w.Logout(), "Logout without a session succeeds");

            using (var stalling = new StallingServer())
            {
                var patient = new vCloudWrapper();
                patient.Initialize("", "allowHttp=true;httpTimeout=1s;retries=0", 0);
                var started = Stopwatch.StartNew();
                Check.That(!patient.Login("http://127.0.0.1:" + stalling.Port + "/", "a@b", "p"), "a body that stops arriving fails");
                Check.Contains(patient.getLastErrorString(), "did not arrive within 1 s", "within the time-out, and says so");
                Check.That(started.Elapsed < TimeSpan.FromSeconds(30), "a stalled body does not hang the call");
            }

            string shared = Path.Combine(work, "shared.log");
            File.Delete(shared);
            var a = new vCloudWrapper();
            var b = new vCloudWrapper();
            a.Initialize(shared, "", 0);
            b.Initialize(shared, "", 0);
            for (int i = 0; i < 20; i++) { a.FindVM("o", "v", "a" + i); b.FindVM("o", "v", "b" + i); }
            Check.Equal(40, File.ReadAllLines(shared).Count(l => l.Contains("ERROR FindVM: not logged in")),
                "two wrapper objects logging to one file keep every line");
        }

        // ---- certificate policy, against openssl s_server ----

        static void Tls()
        {
            if (openssl.Length == 0 || !File.Exists(openssl)) { Check.Skip("certificate checks", "openssl not found"); return; }
            string dir = Path.Combine(work, "tls");
            Directory.CreateDirectory(dir);
            File.WriteAllText(Path.Combine(dir, "leaf.cnf"), "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n");
            File.WriteAllText(Path.Combine(dir, "other.cnf"), "subjectAltName=DNS:elsewhere.example.test\nbasicConstraints=CA:FALSE\n");
            bool made =
                TlsServer.Run(openssl, "req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=TestCA", dir)
                && TlsServer.Run(openssl, "req -x509 -newkey rsa:2048 -nodes -keyout ca2.key -out ca2.pem -days 2 -subj /CN=OtherCA", dir)
                && TlsServer.Run(openssl, "req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr -subj /CN=localhost", dir)
                && TlsServer.Run(openssl, "x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out leaf.pem -days 2 -extfile leaf.cnf", dir)
                && TlsServer.Run(openssl, "x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out other.pem -days 2 -extfile other.cnf", dir);
            if (!Check.That(made, "test certificates made with openssl")) return;
            string fingerprint = TlsServer.Capture(openssl, "x509 -in leaf.pem -noout -fingerprint -sha256", dir).Trim();
            fingerprint = fingerprint.Substring(fingerprint.IndexOf('=') + 1);

            // Past the TLS handshake the test server answers with an HTML page, which the wrapper refuses
            // in its own words; before it, the refusal names the certificate.
            Func<string, string, string> attempt = (options, url) =>
            {
                var w = new vCloudWrapper();
                if (!w.Initialize("", options, 0)) return "Initialize: " + w.getLastErrorString();
                w.Login(url, "a@b", "p");
                return w.getLastErrorString();
            };
            using (var good = new TlsServer(openssl, Path.Combine(dir, "leaf.pem"), Path.Combine(dir, "leaf.key")))
            using (var misnamed = new TlsServer(openssl, Path.Combine(dir, "other.pem"), Path.Combine(dir, "leaf.key")))
            {
                string url = "https://127.0.0.1:" + good.Port + "/";
                Check.Contains(attempt("", url), "TLS refused", "an unknown CA is refused by default");
                Check.Contains(attempt("pin=" + fingerprint, url), "HTML page", "the pinned certificate is accepted");
                Check.Contains(attempt("pin=" + new string('0', 64), url), "does not match the configured pin", "another pin is refused");
                Check.Contains(attempt("caFile=" + Path.Combine(dir, "ca.pem"), url), "HTML page", "a certificate from the configured CA is accepted");
                Check.Contains(attempt("caFile=" + Path.Combine(dir, "ca.pem"), "https://localhost:" + good.Port + "/"), "HTML page", "and by its DNS name");
                Check.Contains(attempt("caFile=" + Path.Combine(dir, "ca2.pem"), url), "not issued by a CA in the configured caFile", "another CA is refused");
                Check.Contains(attempt("caFile=" + Path.Combine(dir, "ca.pem"), "https://127.0.0.1:" + misnamed.Port + "/"), "not issued for that host",
                    "a certificate for another host name is refused");
                Check.Contains(attempt("insecure=true", url), "HTML page", "insecure accepts any certificate");
            }
        }

        // ---- login, logout, versions, logging ----

        static void Login(Sim sim)
        {
            var w = new vCloudWrapper();
            string log = Path.Combine(work, "login.log");
            File.Delete(log);
            Check.That(w.Initialize(log, Fast, 3), "Initialize with a log at level 3");
            Check.That(!w.Login(sim.Url, "alice@Acme", "wrong"), "a wrong password fails");
            Check.Contains(w.getLastErrorString(), "login refused for alice@Acme", "and says the login was refused");
            Check.That(!w.Login(sim.Url + "api", "administrator@System", "nope"), "a wrong provider password fails");
            long before = Json.Long(sim.Summary(), "sessions");
            Check.That(w.Login(sim.Url + "api/", "administrator@System", "vmware1!"), "System login (URL given with /api/)", w.getLastErrorString());
            Check.Equal(before + 1, Json.Long(sim.Summary(), "sessions"), "the server holds one more session");
            Check.That(w.Login(sim.Url, "alice@Acme", "alice1!"), "a second login replaces the first", w.getLastErrorString());
            Check.Equal(before + 1, Json.Long(sim.Summary(), "sessions"), "the first session was ended on the server");
            Check.That(w.Logout(), "Logout", w.getLastErrorString());
            Check.Equal(before, Json.Long(sim.Summary(), "sessions"), "Logout ends the session on the server");
            Check.That(!w.FindVM("Acme", "Acme-Gold", "web-01"), "no operation after Logout");
            string text = File.ReadAllText(log);
            Check.Contains(text, "API 38.0", "the highest common version was negotiated");
            Check.Contains(text, "GET /api/versions", "level 2 logs requests");
            Check.That(text.IndexOf("vmware1!", StringComparison.Ordinal) < 0 && text.IndexOf("alice1!", StringComparison.Ordinal) < 0,
                "the log holds no password");
            Check.That(text.IndexOf("Bearer", StringComparison.OrdinalIgnoreCase) < 0 && text.IndexOf("Basic ", StringComparison.Ordinal) < 0,
                "the log holds no authorization value");
        }

        static void Versions()
        {
            using (var legacy = new Sim(simExe, "--task-ms 30 --api-versions 31.0,32.0"))
            {
                var w = new vCloudWrapper();
                string log = Path.Combine(work, "legacy.log");
                File.Delete(log);
                w.Initialize(log, Fast, 2);
                Check.That(w.Login(legacy.Url, "alice@Acme", "alice1!"), "login to a server below API 33", w.getLastErrorString());
                var list = new SStringInfoLibList();
                Check.That(w.GetVdcListInOrg("", ref list) && list.Count == 2, "the legacy session works for queries", w.getLastErrorString());
                Check.That(w.Logout(), "legacy logout", w.getLastErrorString());
                string text = File.ReadAllText(log);
                Check.Contains(text, "POST /api/sessions", "the legacy login endpoint was used");
                Check.Contains(text, "API 32.0", "and API 32.0");
                Check.Equal(0L, Json.Long(legacy.Summary(), "sessions"), "legacy logout ends the session");
            }
            // From API 33 an Org document links no VDCs: every lookup of a VDC by name goes through the query
            // service, for System and for tenants, and stays inside the organisation named.
            using (var v33 = new Sim(simExe, "--task-ms 30 --api-versions 32.0D,33.0"))
            {
                foreach (var who in new[] { "System", "tenant" })
                {
                    var w = who == "System" ? Admin(v33) : Alice(v33);
                    var list = new SStringInfoLibList();
                    Check.That(w.GetVdcListInOrg("Acme", ref list), who + ": VDCs of an organisation at API 33", w.getLastErrorString());
                    Check.Equal("Acme-Gold,Acme-Silver", string.Join(",", Strings(list)), who + ": both VDCs, in the server's order");
                    Check.That(w.GetVappListInVdc("Acme", "acme-silver", ref list), who + ": a VDC named within its organisation", w.getLastErrorString());
                    Check.Equal("dev-sandbox,build-farm", string.Join(",", Strings(list)), who + ": its vApps");
                    var vm = new SVMInfoLib();
                    Check.That(w.GetVMInfoForVM("Acme", "Acme-Gold", "web-01", ref vm) && vm.name == "web-01", who + ": a VM by organisation, VDC and name",
                        w.getLastErrorString());
                    var tree = w.BrowseInventory("", new SInventoryLib { name = "Acme", type = EInventoryType.eInventoryOrg }, 0, 1);
                    Check.Equal("Acme-Gold,Acme-Silver", tree == null ? w.getLastErrorString() : string.Join(",", tree.Select(n => n.name)),
                        who + ": the inventory below an organisation");
                    Check.That(tree != null && tree.All(n => n.type == EInventoryType.eInventoryOrgVdc && n.href.Contains("/api/vdc/")),
                        who + ": as VDC nodes with their plain hrefs");
                    w.Logout();
                }
                var admin = Admin(v33);
                var none = new SStringInfoLibList();
                Check.That(!admin.GetVappListInVdc("Globex", "Acme-Gold", ref none), "a VDC of another organisation is not found by name");
                Check.Contains(admin.getLastErrorString(), "VDC 'Acme-Gold' not found in organisation 'Globex'", "and the error names both");
                admin.Logout();
            }
            using (var future = new Sim(simExe, "--api-versions 40.0,41.0"))
            {
                var w = new vCloudWrapper();
                w.Initialize("", Fast, 0);
                Check.That(!w.Login(future.Url, "alice@Acme", "alice1!"), "no common API version fails the login");
                Check.Contains(w.getLastErrorString(), "no common API version", "and says so");
                w.Initialize("", Fast + ";apiVersion=37.0", 0);
                Check.That(!w.Login(future.Url, "alice@Acme", "alice1!"), "a configured version the server lacks fails");
                Check.Contains(w.getLastErrorString(), "does not offer the configured API version 37.0", "and says so");
            }
        }

        // ---- answers with the vcloud namespace on a prefix ----

        // Servers write the vcloud namespace as the default in one answer and on a prefix (ns5:) in the next.
        // With every answer prefixed, each read, change and restore must come out as it does on the shared
        // simulator, where answers alternate.
        static void PrefixedAnswers()
        {
            using (var sim = new Sim(simExe, "--task-ms 30 --xml-prefix ns5"))
            {
                Tenant(sim);
                SystemReads(sim);
                Changes(sim);
                Restore(sim);
            }
        }

        // ---- a server whose hrefs name another address ----

        // Behind a load balancer a server writes its hrefs with its public address. Every request, and with
        // it every token, must still go to the endpoint the session logged in to: the address the hrefs
        // name here is a recorder that must see nothing, whatever the operation, input hrefs included.
        static void PublicAddress()
        {
            using (var other = new Recorder())
            using (var sim = new Sim(simExe, "--task-ms 30 --public-url " + other.Url))
            {
                var admin = Admin(sim);
                var tree = admin.BrowseInventory("", new SInventoryLib { type = EInventoryType.eInventoryCloud }, 0, 4);
                var nodes = new List<SInventoryLib>();
                Action<SInventoryLibList> walk = null;
                walk = l => { foreach (var n in l) { nodes.Add(n); walk(n.children); } };
                if (tree != null) walk(tree);
                Check.That(nodes.Count > 20 && nodes.All(n => n.href.StartsWith(other.Url + "/api/")), "the server's hrefs name the other address",
                    tree == null ? admin.getLastErrorString() : nodes.Count + " nodes");
                var web01 = nodes.FirstOrDefault(n => n.name == "web-01" && n.type == EInventoryType.eInventoryVM);
                var webTier = nodes.FirstOrDefault(n => n.name == "web-tier" && n.type == EInventoryType.eInventoryVApp);
                var gold = nodes.FirstOrDefault(n => n.name == "Acme-Gold" && n.type == EInventoryType.eInventoryOrgVdc);

                foreach (var w in new[] { admin, Alice(sim) })
                {
                    var names = new SStringInfoLibList();
                    Check.That(w.GetVdcListInOrg("Acme", ref names) && names.Count == 2, "VDCs", w.getLastErrorString());
                    Check.That(w.GetVappListInVdc("Acme", gold.href, ref names), "vApps of a VDC given by its href", w.getLastErrorString());
                    Check.That(w.GetNetworkListInVApp("Acme", "Acme-Gold", webTier.href, ref names), "networks of a vApp by href", w.getLastErrorString());
                    var profiles = new SStorageProfileInfoLibList();
                    Check.That(w.GetStorageProfileListInVDC("Acme", "Acme-Gold", ref profiles) && profiles.Count > 0, "storage profiles", w.getLastErrorString());
                    var one = new SStorageProfileInfoLib();
                    Check.That(profiles.Count > 0 && w.GetStorageProfileInfo(profiles.First().guid, ref one), "a storage profile", w.getLastErrorString());
                    var users = new SVCloudUserLibList();
                    Check.That(w.GetUsersForVM("Acme", "Acme-Gold", web01.href, ref users) && users.Count > 0, "users of a VM by href", w.getLastErrorString());
                    var vms = w.GetVMStructListForEntity(webTier.href, EInventoryType.eInventoryVApp, 0, 0);
                    Check.That(vms != null && vms.Count == 3, "VMs of a vApp by href", w.getLastErrorString());
                    Check.That(w.FindVMInVApp("Acme", "Acme-Gold", "web-tier", "web-02"), "a VM in a vApp", w.getLastErrorString());
                    Check.That(w.PowerOnVM("Acme", "Acme-Gold", "web-03"), "power on", w.getLastErrorString());
                }
                string vcName = "", vcUrl = "";
                Check.That(admin.QueryVcenterForVDC(gold.href, ref vcName, ref vcUrl) && vcName == "vc-east", "the vCenter server of a VDC", admin.getLastErrorString());
                var stores = new SStringInfoLibList();
                Check.That(admin.GetAssociatedDatastoreListForVdc("Acme-Gold", ref stores) && stores.Count > 0, "datastores", admin.getLastErrorString());
                string vmId = "", vc = "", moref = "", profile = "", xml = "";
                Check.That(admin.BackupVM("Acme", "Acme-Gold", "web-tier", "web-01", ref vmId, ref vc, ref moref, ref profile, ref xml), "backup",
                    admin.getLastErrorString());
                string vmRef = "";
                Check.That(admin.RestoreVM("Acme", gold.href, webTier.href, "web-elsewhere", false, "vc-east", "vm-7101", "Silver", "acme-web",
                    "restored", true, ref vmRef, false, "k=v"), "restore into a vApp given by href", admin.getLastErrorString());
                Check.That(vmRef.StartsWith(other.Url), "the new VM's href names the other address", vmRef);
                Check.That(admin.DeleteVM("Acme", "Acme-Gold", "web-tier", "web-elsewhere"), "delete it", admin.getLastErrorString());
                Check.That(admin.Logout(), "logout", admin.getLastErrorString());

                var seen = other.Heads;
                Check.Equal(0, seen.Count, "nothing reached the other address");
                Check.That(!seen.Any(h => h.IndexOf("Bearer", StringComparison.OrdinalIgnoreCase) >= 0 ||
                                          h.IndexOf("x-vcloud-authorization", StringComparison.OrdinalIgnoreCase) >= 0),
                    "no token reached it", seen.Count > 0 ? seen[0].Split('\n')[0] : "");
            }
        }

        // ---- reads as a tenant ----

        static void Tenant(Sim sim)
        {
            var w = Alice(sim);
            var list = new SStringInfoLibList();
            Check.That(w.GetVdcListInOrg("", ref list), "VDCs of the own organisation", w.getLastErrorString());
            Check.Equal("Acme-Gold,Acme-Silver", string.Join(",", Strings(list)), "VDC names in the server's order");
            Check.That(w.GetVappListInVdc("Acme", "Acme-Gold", ref list), "vApps of a VDC", w.getLastErrorString());
            Check.Equal("web-tier,db-tier,staging", string.Join(",", Strings(list)), "vApp names, templates left out");
            Check.That(w.GetNetworkListInVApp("Acme", "Acme-Gold", "web-tier", ref list), "networks of a vApp", w.getLastErrorString());
            Check.Equal("acme-web", string.Join(",", Strings(list)), "network names");
            Check.That(w.GetUserListInOrg("Acme", ref list), "users of the organisation", w.getLastErrorString());
            Check.Equal("alice,carol,dave", string.Join(",", Strings(list)), "user names");

            var profiles = new SStorageProfileInfoLibList();
            Check.That(w.GetStorageProfileListInVDC("Acme", "Acme-Gold", ref profiles), "storage profiles of a VDC", w.getLastErrorString());
            var gold = profiles.FirstOrDefault(p => p.name == "Gold");
            string goldState = sim.Objects("Gold", "storageprofile").First(o => Json.Str(o, "org") == "Acme" && Json.Long(o, "limitMB") == 4096L * 1024);
            Check.Equal(4096L * 1024 * 1024 * 1024, gold.i64TotalSizeInBytes, "a 4 TiB limit arrives in bytes, beyond 32 bits");
            Check.Equal((4096L * 1024 - Json.Long(goldState, "usedMB")) * 1024 * 1024, gold.i64FreeSpaceInBytes, "free space is the limit less the space used");
            Check.That(gold.isDefault && !profiles.First(p => p.name == "Silver").isDefault, "the default profile is flagged");
            Check.Equal("", gold.moref, "tenants get no vSphere policy");
            Check.Equal(Ref(Json.Str(goldState, "id")), gold.guid, "guid is the profile's UUID");
            var one = new SStorageProfileInfoLib();
            Check.That(w.GetStorageProfileInfo(gold.guid, ref one) && one.name == "Gold" && one.i64TotalSizeInBytes == gold.i64TotalSizeInBytes,
                "a profile by UUID", w.getLastErrorString());
            Check.That(!w.GetStorageProfileInfo("Gold", ref one), "the name Gold is ambiguous for Acme");
            Check.Contains(w.getLastErrorString(), "ambiguous", "and the error says so");

            var vm = new SVMInfoLib();
            string web01 = sim.Object("web-01", "vm");
            Check.That(w.GetVMInfoForVM("Acme", "Acme-Gold", "web-01", ref vm), "VM info", w.getLastErrorString());
            Check.Equal("web-01", vm.name, "VM name");
            Check.Equal(Ref(Json.Str(web01, "id")), vm.uuid, "uuid is the VM's UUID");
            Check.Equal(Json.Str(web01, "status"), vm.poweredState, "poweredState is the status name");
            Check.Equal("Ubuntu Linux (64-bit)", vm.guestOSName, "guest OS name");
            Check.That(vm.moref == "" && vm.hostName == "", "tenants get no vCenter placement");

            var users = new SVCloudUserLibList();
            Check.That(w.GetUsersForVM("Acme", "Acme-Gold", "web-01", ref users), "users of a VM", w.getLastErrorString());
            var byName = users.ToDictionary(u => u.name);
            Check.That(byName.ContainsKey("alice") && byName["alice"].fullAccess && byName["alice"].readAccess && !byName["alice"].group,
                "the vApp owner has full access");
            Check.That(byName.ContainsKey("carol") && !byName["carol"].fullAccess && byName["carol"].readAccess, "Change gives read access");
            Check.That(byName.ContainsKey("acme-operators") && byName["acme-operators"].group && byName["acme-operators"].readAccess,
                "a group subject is flagged as group");

            var version = new SMgmtVersionLib();
            Check.That(w.GetMgmtVersion(ref version), "version as a tenant", w.getLastErrorString());
            Check.Equal("10.5", version.strVersion, "the release of the highest API version (38.0)");
            Check.Equal("", version.strBuild, "no build for tenants");

            Check.That(!w.FindVM("Globex", "", "erp-app-01"), "another organisation stays invisible");
            Check.Contains(w.getLastErrorString(), "not found", "and reads as not found");
            // A name quoted back in an error text cannot carry a terminal sequence or a line break with it.
            Check.That(!w.FindVM("Acme", "", "web\u001b]0;owned\u0007\r\nall VMs backed up OK"), "a VM name with control characters is not found");
            Check.Contains(w.getLastErrorString(), "web\\x1b]0;owned\\x07  all VMs backed up OK", "its control characters are shown, not sent");
            Check.That(w.GetManagedHypervisorsInCloud() == null, "vCenter servers need a System session");
            Check.Contains(w.getLastErrorString(), "System administrator", "and the error says so");
            string moref = "unchanged";
            Check.That(!w.FindVMByNameFromVappAndGetMoref("Acme", "web-tier", "web-01", ref moref) && moref == "unchanged",
                "a tenant cannot read a moref, and the output stays untouched");
            var vms = w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
            Check.Equal(9, vms == null ? -1 : vms.Count, "a tenant lists the VMs of its own organisation");
            w.Logout();
        }

        static string Ref(string urnOrHref) { return urnOrHref.Substring(urnOrHref.LastIndexOf(':') + 1); }

        // ---- reads as System ----

        static void SystemReads(Sim sim)
        {
            var w = Admin(sim);
            var version = new SMgmtVersionLib();
            Check.That(w.GetMgmtVersion(ref version), "version as System", w.getLastErrorString());
            Check.Equal("10.5.1", version.strVersion, "version");
            Check.Equal("23400185", version.strBuild, "build");
            Check.Contains(version.strFullVersion, "10.5.1.23400185", "full text");

            var hv = w.GetManagedHypervisorsInCloud();
            Check.Equal("vc-east,vc-west", hv == null ? w.getLastErrorString() : string.Join(",", hv.Select(h => h.name).OrderBy(n => n)), "vCenter servers");
            Check.That(hv != null && hv.All(h => h.type == EInventoryType.eInventoryVCenter && h.children != null && h.href.Contains("/vimServer/")),
                "as vCenter nodes with hrefs and empty child lists");
            Check.That(w.FindVCenterServer("vc-west"), "a vCenter by name", w.getLastErrorString());
            Check.That(w.FindVCenterServer("vc-east.example.test"), "a vCenter by URL host", w.getLastErrorString());
            Check.That(hv != null && w.FindVCenterServer(hv[0].href), "a vCenter by href", w.getLastErrorString());
            Check.That(!w.FindVCenterServer("vc-north"), "an unknown vCenter is not found");

            string name = "", url = "";
            Check.That(w.QueryVcenterForVDC("Acme-Gold", ref name, ref url), "vCenter behind a VDC", w.getLastErrorString());
            Check.Equal("vc-east", name, "its name");
            Check.Equal("https://vc-east.example.test:443", url, "its URL");

            string web01 = sim.Object("web-01", "vm");
            string vmId = "", vc = "", moref = "", profile = "", xml = "";
            Check.That(w.BackupVM("Acme", "Acme-Gold", "web-tier", "web-01", ref vmId, ref vc, ref moref, ref profile, ref xml), "BackupVM", w.getLastErrorString());
            Check.Equal(Json.Str(web01, "id"), vmId, "vmId is the VM's URN");
            Check.Equal(Json.Str(web01, "vcenter"), vc, "vCenter name");
            Check.Equal(Json.Str(web01, "moref"), moref, "moref");
            Check.Equal(Json.Str(web01, "storageProfile"), profile, "storage profile");
            XDocument doc = null;
            try { doc = XDocument.Parse(xml); } catch (Exception) { }
            Check.That(doc != null && doc.Root.Name.LocalName == "Vm" && (string)doc.Root.Attribute("id") == vmId, "vmXml is the Vm document");
            string vapp = "", vdc = "", vmName = "", vc2 = "", moref2 = "", xml2 = "";
            Check.That(w.BackupVMWithVMRef("Acme", vmId, ref vapp, ref vdc, ref vmName, ref vc2, ref moref2, ref xml2), "BackupVMWithVMRef by URN", w.getLastErrorString());
            Check.Equal("web-tier|Acme-Gold|web-01|vc-east|" + moref, string.Join("|", vapp, vdc, vmName, vc2, moref2), "names and placement from a reference");
            Check.That(!w.BackupVMWithVMRef("Globex", vmId, ref vapp, ref vdc, ref vmName, ref vc2, ref moref2, ref xml2), "a reference outside the organisation fails");
            Check.That(!w.BackupVMWithVMRef("Acme", "urn:vcloud:vm:00000000-0000-0000-0000-000000000000", ref vapp, ref vdc, ref vmName, ref vc2, ref moref2, ref xml2),
                "an unknown URN fails");
            Check.Contains(w.getLastErrorString(), "not found or not accessible", "and reads as not found");
            string m = "";
            Check.That(w.FindVMByNameFromVappAndGetMoref("Acme", "web-tier", "web-01", ref m) && m == moref, "moref by name", w.getLastErrorString());

            Check.That(w.FindVM("Acme", "Acme-Gold", "web-01"), "FindVM", w.getLastErrorString());
            Check.That(w.FindVMInVApp("Acme", "Acme-Gold", "web-tier", "web-01"), "FindVMInVApp", w.getLastErrorString());
            Check.That(!w.FindVMInVApp("Acme", "Acme-Gold", "db-tier", "web-01"), "FindVMInVApp in the wrong vApp");
            Check.That(w.FindVMByNameFromVapp("Acme", "web-tier", Json.Str(web01, "href")), "a VM by href", w.getLastErrorString());
            Check.That(!w.FindVMByNameFromVapp("Acme", "db-tier", Json.Str(web01, "href")), "a VM href outside the vApp given fails");
            Check.That(!w.FindVM("", "", "util-01"), "a name used in two organisations is ambiguous");
            Check.Contains(w.getLastErrorString(), "ambiguous", "and the error says so");
            Check.That(w.FindVM("Globex", "", "util-01"), "and found once the organisation is given", w.getLastErrorString());
            Check.That(!w.FindVM("Acme", "Acme-Gold", "ubuntu-base"), "VMs of vApp templates are not found by name");

            var one = new SStorageProfileInfoLib();
            Check.That(w.GetStorageProfileInfoByMoref("vc-west", "2c0f8a7e-6b1d-4c3e-9a8f-7e6d5c4b3a21", ref one), "a profile by vSphere policy", w.getLastErrorString());
            Check.Equal("Silver", one.name, "the profile that uses it");
            Check.Equal("2c0f8a7e-6b1d-4c3e-9a8f-7e6d5c4b3a21", one.moref, "System sessions read the policy moref");
            Check.That(!w.GetStorageProfileInfoByMoref("vc-west", "9e5ba18f-5c36-4d2e-8f3b-1a1f2b3c4d5e", ref one), "a policy used by two VDCs is ambiguous");
            var vmInfo = new SVMInfoLib();
            Check.That(w.GetVMInfoForVM("Acme", "Acme-Gold", "web-01", ref vmInfo) && vmInfo.moref == moref && vmInfo.hostName == "esx-east-01.example.test",
                "System sessions read host and moref", w.getLastErrorString());

            var ds = new SStringInfoLibList();
            Check.That(w.GetAssociatedDatastoreListForVdc("Acme-Gold", ref ds), "datastores behind a VDC", w.getLastErrorString());
            Check.Equal("east-sata-01,east-ssd-01,east-ssd-02", string.Join(",", Strings(ds)), "the provider VDC's datastores, in name order");
            Check.That(!w.GetAssociatedDatastoreListForVdc("Acme-Bronze", ref ds), "datastores of an unknown VDC");

            // The inventory tree against the simulator's counts.
            var summary = sim.Summary();
            var tree = w.BrowseInventory("", new SInventoryLib { type = EInventoryType.eInventoryCloud }, 0, 4);
            Func<SInventoryLibList, EInventoryType, int> count = null;
            count = (l, t) => l == null ? 0 : l.Sum(n => (n.type == t ? 1 : 0) + count(n.children, t));
            Check.That(tree != null, "browse from the cloud root", w.getLastErrorString());
            Check.Equal((int)Json.Long(summary, "orgs"), count(tree, EInventoryType.eInventoryOrg), "organisations in the tree");
            Check.Equal((int)Json.Long(summary, "vdcs"), count(tree, EInventoryType.eInventoryOrgVdc), "VDCs in the tree");
            Check.Equal((int)Json.Long(summary, "vapps"), count(tree, EInventoryType.eInventoryVApp), "vApps in the tree");
            Check.Equal((int)Json.Long(summary, "vms") - 2, count(tree, EInventoryType.eInventoryVM), "VMs in the tree, template VMs left out");
            var vdcNode = tree.First(o => o.name == "Acme").children.First(v => v.name == "Acme-Gold");
            var withTemplates = w.BrowseInventory("", new SInventoryLib { name = vdcNode.name, href = vdcNode.href, type = EInventoryType.eInventoryOrgVdc }, IncludeTemplates, 1);
            Check.That(withTemplates != null && withTemplates.Any(n => n.type == EInventoryType.eInventoryVAppTemplate && n.name == "ubuntu-22.04-base")
                && withTemplates.All(n => n.children != null && n.children.Count == 0), "templates with the include bit, one level deep", w.getLastErrorString());
            var scoped = w.BrowseInventory("Globex", new SInventoryLib { type = EInventoryType.eInventoryCloud }, 0, 0);
            Check.Equal("Globex", scoped == null ? w.getLastErrorString() : string.Join(",", scoped.Select(n => n.name)), "the root scoped to one organisation");
            Check.That(w.BrowseInventory("", new SInventoryLib { type = EInventoryType.eInventoryCatalog, name = "x" }, 0, 1) == null, "a catalog node cannot be browsed");

            // VM lists.
            var all = w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
            Check.Equal((int)Json.Long(summary, "vms") - 2, all == null ? -1 : all.Count, "every VM of the cloud, template VMs left out");
            var allWithTemplates = w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, IncludeTemplates, 0);
            Check.Equal((int)Json.Long(summary, "vms"), allWithTemplates == null ? -1 : allWithTemplates.Count, "with the include bit, template VMs too");
            Check.Equal(3, Count(w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 3)), "max limits the list");
            Check.Equal("db-01,db-02,web-01,web-02,web-03", Names(w.GetVMStructListForEntityByName("Acme-Gold", EInventoryType.eInventoryOrgVdc, 0, 0)), "VMs of a VDC by name");
            Check.Equal("erp-app-01,erp-db-01,util-01", Names(w.GetVMStructListForEntity(Json.Str(sim.Object("erp", "vapp"), "href"), EInventoryType.eInventoryVApp, 0, 0)), "VMs of a vApp by href");
            Check.Equal(9, Count(w.GetVMStructListForEntity("Acme", EInventoryType.eInventoryOrg, 0, 0)), "VMs of an organisation");
            Check.Equal("web-01", Names(w.GetVMStructListForEntity(vmId, EInventoryType.eInventoryVM, 0, 0)), "a VM by URN");
            Check.Equal("db-01,db-02,dr-01,web-01,web-02,web-03", Names(w.GetVMStructListForEntity("vc-east", EInventoryType.eInventoryVCenter, 0, 0)), "VMs of a vCenter server");
            Check.Equal("db-01,db-02,web-01,web-02", Names(w.GetVMStructListForEntity(gold(w), EInventoryType.eInventoryStorageProfile, 0, 0)), "VMs of a storage profile");
            Check.That(w.GetVMStructListForEntity("x", EInventoryType.eInventoryNetwork, 0, 0) == null, "an entity type without VMs fails");
            Check.Contains(w.getLastErrorString(), "cannot be listed", "and says so");

            Check.Equal("db-01,erp-db-01,web-01,web-02", Names(w.GetVMInfoListForMetadataTag("backup-policy", "gold", 0, 0)), "VMs by metadata value");
            Check.Equal("db-02,dev-02,mail-01,web-03", Names(w.GetVMInfoListForMetadataTag("backup-policy", "s*", 0, 0)), "metadata values with a wildcard");
            Check.Equal("", Names(w.GetVMInfoListForMetadataTag("backup-policy", "platinum", 0, 0)), "no VM has that value");
            Check.Equal("web-01,web-02,web-03", Names(w.GetVMStructListForWildCard("web-*", EFilterType.eFilterVMName)), "VM names by wildcard");
            Check.Equal("db-01,db-02", Names(w.GetVMStructListForWildCard("db-t*", EFilterType.eFilterVAppName)), "vApp names by wildcard");
            Check.Equal("dr-01", Names(w.GetVMStructListForWildCard("*-DR", EFilterType.eFilterVdcName)), "VDC names by wildcard");
            Check.Equal("dr-01,erp-app-01,erp-db-01,mail-01,util-01", Names(w.GetVMStructListForWildCard("Glob*", EFilterType.eFilterOrgName)), "organisation names by wildcard");
            Check.Equal("", Names(w.GetVMStructListForWildCard("a(b);c,d", EFilterType.eFilterVMName)), "filter characters in a pattern are escaped, not a bad filter");
            w.Logout();
        }

        static string gold(vCloudWrapper w)
        {
            var profiles = new SStorageProfileInfoLibList();
            w.GetStorageProfileListInVDC("Acme", "Acme-Gold", ref profiles);
            return profiles.First(p => p.name == "Gold").guid;
        }

        static int Count(IEnumerable<SVMInfoLib> list) { return list == null ? -1 : list.Count(); }
        static string Names(SVMInfoLibList list) { return list == null ? "(null)" : string.Join(",", list.Select(v => v.name).OrderBy(n => n, StringComparer.Ordinal)); }

        // ---- changes: power, delete ----

        static void Changes(Sim sim)
        {
            var w = Admin(sim);
            Check.Equal("off", Json.Str(sim.Object("web-03", "vm"), "powerState"), "web-03 starts powered off");
            Check.That(w.PowerOnVM("Acme", "Acme-Gold", "web-03"), "PowerOnVM", w.getLastErrorString());
            Check.Equal("on", Json.Str(sim.Object("web-03", "vm"), "powerState"), "web-03 is on in the simulator");
            Check.That(w.PowerOnVM("Acme", "Acme-Gold", "web-03"), "powering on a VM that is on succeeds", w.getLastErrorString());
            Check.That(w.PowerOnVM("Acme", "Acme-Gold", "db-02"), "a suspended VM powers on", w.getLastErrorString());
            Check.Equal("on", Json.Str(sim.Object("db-02", "vm"), "powerState"), "db-02 is on");

            string dev01 = Json.Str(sim.Object("dev-01", "vm"), "href");
            Check.That(w.DeleteVM("Acme", "Acme-Silver", "dev-sandbox", "dev-01"), "DeleteVM of a VM that is off", w.getLastErrorString());
            Check.That(!sim.Exists(dev01), "dev-01 is gone from the simulator");
            Check.That(!w.FindVM("Acme", "Acme-Silver", "dev-01"), "and no longer found");
            string dev02 = Json.Str(sim.Object("dev-02", "vm"), "href");
            Check.That(w.DeleteVMByNameFromVapp("Acme", "dev-sandbox", "dev-02"), "DeleteVMByNameFromVapp of a VM that is on", w.getLastErrorString());
            Check.That(!sim.Exists(dev02), "dev-02 is gone after undeploy and removal");
            string build01 = Json.Str(sim.Object("build-01", "vm"), "href");
            Check.That(w.DeleteVM("Acme", "Acme-Silver", "build-farm", "build-01"), "DeleteVM of a VM that is off but deployed", w.getLastErrorString());
            Check.That(!sim.Exists(build01), "build-01 is gone");
            Check.That(!w.DeleteVM("Acme", "Acme-Silver", "build-farm", "build-01"), "deleting it again fails");
            w.Logout();
        }

        // ---- restore ----

        static void Restore(Sim sim)
        {
            var w = Admin(sim);
            string vmRef = "urn:vcloud:vm:original";
            bool ok = w.RestoreVM("Acme", "Acme-Gold", "web-tier", "web-restored", false, "vc-east", "vm-7001", "Silver", "acme-web",
                "restored copy", true, ref vmRef, false, "backup-policy=gold;note=a\\;b");
            if (Check.That(ok, "RestoreVM into an existing vApp", w.getLastErrorString()))
            {
                string state = sim.Object("web-restored", "vm");
                Check.Equal(Json.Str(state, "href"), vmRef, "vmRef comes back as the new VM's href");
                Check.Equal("vm-7001", Json.Str(state, "moref"), "from the moref given");
                Check.Equal("Silver", Json.Str(state, "storageProfile"), "on the storage profile given");
                Check.Equal("restored copy", Json.Str(state, "description"), "with the description");
                Check.Equal("on", Json.Str(state, "powerState"), "powered on");
                Check.Equal("acme-web", Json.Str(state, "network"), "attached to the network");
                Check.Equal("gold", Json.Str(state, "backup-policy"), "with metadata");
                Check.Equal("a;b", Json.Str(state, "note"), "escaped separators in metadata values");
            }
            string second = "";
            Check.That(!w.RestoreVM("Acme", "Acme-Gold", "web-tier", "web-restored", false, "vc-east", "vm-7002", "", "", "", false, ref second, false, ""),
                "a VM of that name blocks the restore without overwrite");
            string before = Json.Str(sim.Object("web-restored", "vm"), "href");
            Check.That(!w.RestoreVM("Acme", "Acme-Gold", "web-tier", "web-restored", false, "vc-east", "vm-1001", "", "", "", false, ref second, true, ""),
                "overwrite from a VM the cloud already manages fails");
            Check.That(sim.Exists(before), "and the VM it would have replaced is still there");
            Check.That(w.RestoreVM("Acme", "Acme-Gold", "web-tier", "web-restored", false, "vc-east", "vm-7003", "", "", "", false, ref second, true, ""),
                "overwrite replaces it", w.getLastErrorString());
            Check.That(!sim.Exists(before), "the replaced VM is gone");
            Check.Equal("vm-7003", Json.Str(sim.Object("web-restored", "vm"), "moref"), "one VM of that name, the new one");
            string third = "";
            Check.That(w.RestoreVM("Acme", "Acme-Gold", "restored-app", "app-01", true, "vc-east", "vm-7004", "", "acme-db", "in a new vApp", false, ref third, false, ""),
                "a restore creates a missing vApp when asked", w.getLastErrorString());
            string vapp = sim.Object("restored-app", "vapp");
            Check.Contains(vapp, "\"app-01\"", "the new vApp holds the VM");
            Check.Contains(vapp, "acme-db", "and the network it was given");
            Check.Equal("in a new vApp", Json.Str(sim.Object("app-01", "vm"), "description"), "the VM carries the description");
            CheckRestoreRefusals(w);
            w.Logout();
        }

        static void CheckRestoreRefusals(vCloudWrapper w)
        {
            string r = "keep";
            Check.That(!w.RestoreVM("Acme", "Acme-Gold", "no-such-vapp", "x", false, "vc-east", "vm-7100", "", "", "", false, ref r, false, "") && r == "keep",
                "a missing vApp without createVApp fails and leaves vmRef alone");
            Check.Contains(w.getLastErrorString(), "createVApp is false", "and says why");
            Check.That(!w.RestoreVM("Acme", "Acme-Gold", "web-tier", "x", false, "vc-east", "vm-7101", "Platinum", "", "", false, ref r, false, ""),
                "an unknown storage profile fails before anything changes");
            Check.That(!w.RestoreVM("Acme", "Acme-Gold", "web-tier", "x", false, "vc-east", "vm-7102", "", "no-net", "", false, ref r, false, ""),
                "an unknown network fails before anything changes");
            Check.That(!w.RestoreVM("Acme", "Acme-Gold", "web-tier", "x", false, "vc-east", "vm-7103", "", "", "", false, ref r, false, "novalue"),
                "malformed metadata fails");
        }

        // ---- injected faults: each gives false and a clear text, never a hang ----

        static void Faults(Sim sim)
        {
            var w = Admin(sim, "allowHttp=true;taskPollInterval=20ms;retries=0;httpTimeout=2s;taskTimeout=30s");
            var sw = Stopwatch.StartNew();
            Action<string, string, Func<bool>, string> fault = (what, query, call, expect) =>
            {
                sim.Reset();
                sim.Faults(query);
                var t = Stopwatch.StartNew();
                bool result = call();
                Check.That(!result, what + " gives false");
                Check.Contains(w.getLastErrorString(), expect, what + " gives a clear error text");
                Check.That(t.Elapsed < TimeSpan.FromSeconds(60), what + " does not hang");
                sim.Reset();
            };
            var list = new SStringInfoLibList();
            fault("latency beyond httpTimeout", "latencyMs=4000&count=1", () => w.GetVdcListInOrg("Acme", ref list), "no answer within 2 s");
            fault("HTTP 500", "error500=1&count=1", () => w.GetVdcListInOrg("Acme", ref list), "HTTP 500 INTERNAL_SERVER_ERROR");
            fault("HTTP 503", "error503=1&count=3", () => w.FindVM("Acme", "Acme-Gold", "web-01"), "HTTP 503");
            fault("malformed XML", "malformed=true&count=1", () => w.GetVdcListInOrg("Acme", ref list), "malformed XML");
            fault("truncated body", "truncate=true&count=1", () => w.GetVdcListInOrg("Acme", ref list), "GET /api/org");
            fault("HTML from a proxy", "html=true&count=1", () => w.GetVdcListInOrg("Acme", ref list), "HTML page");
            fault("malformed query page", "malformed=true&count=1&path=/api/query", () => w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0) != null, "malformed XML");
            fault("task ending in error", "failTasks=1", () => w.PowerOnVM("Globex", "Globex-Prod", "mail-01"), "ended with status 'error'");
            // A change whose answer came back empty (the server's task lost on the way) is not reported done.
            fault("an empty answer to a power-on", "empty=true&count=1&method=POST", () => w.PowerOnVM("Globex", "Globex-Prod", "mail-01"), "empty answer (HTTP 200)");
            fault("an empty answer to a delete", "empty=true&count=1&method=DELETE", () => w.DeleteVM("Globex", "Globex-Prod", "mail", "mail-01"), "empty answer (HTTP 200)");
            Check.That(sim.Exists(Json.Str(sim.Object("mail-01", "vm"), "href")), "the VM whose delete was not done is still there");
            Check.Equal("off", Json.Str(sim.Object("mail-01", "vm"), "powerState"), "the failed task left the VM off");

            var hasty = Admin(sim, "allowHttp=true;taskPollInterval=20ms;retries=0;taskTimeout=1s");
            sim.Faults("taskMs=4000");
            var started = Stopwatch.StartNew();
            Check.That(!hasty.PowerOnVM("Globex", "Globex-DR", "dr-01"), "a task beyond taskTimeout gives false");
            Check.Contains(hasty.getLastErrorString(), "did not finish within 1 s", "and says so");
            Check.That(started.Elapsed < TimeSpan.FromSeconds(3.5), "without waiting for the task");
            sim.Reset();
            hasty.Logout();

            var patient = Admin(sim, "allowHttp=true;taskPollInterval=20ms;retries=2");
            sim.Faults("error503=1&count=1");
            Check.That(patient.GetVdcListInOrg("Acme", ref list) && list.Count == 2, "a GET answered 503 once succeeds on retry", patient.getLastErrorString());
            sim.Reset();
            // What else a GET retries: a gateway's 504, a proxy's HTML 502 and a connection lost before any answer.
            foreach (var once in new[] { "error504=1", "html=true&htmlStatus=502", "reset=true" })
            {
                sim.Faults(once + "&count=1&method=GET");
                Check.That(patient.GetVdcListInOrg("Acme", ref list) && list.Count == 2, "a GET that meets " + once + " once succeeds on retry", patient.getLastErrorString());
                sim.Reset();
            }
            // A request that changes the cloud is never sent twice: a power-on answered 503, or whose connection
            // is lost, fails after exactly one request, although the session allows two retries.
            string powerOn = new Uri(Json.Str(sim.Object("mail-01", "vm"), "href")).AbsolutePath.TrimEnd('/') + "/power/action/powerOn";
            foreach (var once in new[] { "error503=1", "reset=true" })
            {
                sim.Reset();
                sim.Faults(once + "&count=1&method=POST");
                Check.That(!patient.PowerOnVM("Globex", "Globex-Prod", "mail-01"), "a power-on that meets " + once + " fails");
                Check.Contains(patient.getLastErrorString(), once.StartsWith("error") ? "HTTP 503" : "power", "and says why (" + once + ")");
                Check.Equal(1L, sim.Requests(powerOn), "the power-on that met " + once + " was sent once");
                sim.Reset();
            }
            Check.Equal("off", Json.Str(sim.Object("mail-01", "vm"), "powerState"), "the VM is still off");
            Check.That(patient.PowerOnVM("Globex", "Globex-Prod", "mail-01"), "without the fault, the power-on succeeds", patient.getLastErrorString());

            // A session the server has already dropped: the logout is answered 401, and that still ends the session.
            var dropped = Admin(sim);
            sim.Faults("tokenExpiresAfter=0");
            Check.That(dropped.Logout(), "logging out of a session the server has dropped succeeds", dropped.getLastErrorString());
            sim.Reset();

            fault("expired token", "tokenExpiresAfter=1", () => w.FindVM("Acme", "Acme-Gold", "web-01") && w.FindVM("Acme", "Acme-Gold", "web-02"), "HTTP 401");
            Check.Contains(w.getLastErrorString(), "log in again", "the text says to log in again");
            Check.That(w.Login(sim.Url, "administrator@System", "vmware1!") && w.FindVM("Acme", "Acme-Gold", "web-01"), "a new login works again", w.getLastErrorString());
            w.Logout();
            patient.Logout();
            Check.That(sw.Elapsed < TimeSpan.FromSeconds(120), "the fault checks finish");
            ForeignRecords(sim);
        }

        // Every paged query takes only its own type's records: a page of records of another kind fails
        // the operation, names what came back, and leaves the caller's outputs as they were.
        static void ForeignRecords(Sim sim)
        {
            foreach (bool system in new[] { true, false })
            {
                var w = system ? Admin(sim) : Alice(sim);
                string who = system ? "as System, " : "as a tenant, ";
                string admin = system ? "admin" : "";
                Action<string, string, string, Func<bool>> refused = (what, type, element, call) =>
                {
                    sim.Reset();
                    sim.Faults("recordElement=" + type + ":" + element);
                    bool ok = call();
                    sim.Reset();
                    Check.That(!ok, who + what + " answered with " + element + " records fails");
                    Check.Contains(w.getLastErrorString(), "query " + type + ": the server answered with " + element + " records",
                        who + what + " names the records that came back");
                };
                refused("a VM list", system ? "adminVM" : "vm", system ? "AdminVAppRecord" : "VAppRecord",
                    () => w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0) != null);
                refused("a VM found by name", system ? "adminVM" : "vm", system ? "AdminVAppRecord" : "VAppRecord", () => w.FindVM("Acme", "Acme-Gold", "web-01"));
                var strings = new SStringInfoLibList();
                strings.Add("kept");
                refused("a VDC list", system ? "adminOrgVdc" : "orgVdc", "VMRecord", () => w.GetVdcListInOrg("Acme", ref strings));
                refused("a vApp's networks", system ? "adminVApp" : "vApp", system ? "AdminVMRecord" : "VMRecord",
                    () => w.GetNetworkListInVApp("Acme", "Acme-Gold", "web-tier", ref strings));
                var profiles = new SStorageProfileInfoLibList();
                refused("a storage profile list", admin.Length > 0 ? "adminOrgVdcStorageProfile" : "orgVdcStorageProfile", "OrgVdcRecord",
                    () => w.GetStorageProfileListInVDC("Acme", "Acme-Gold", ref profiles));
                if (system)
                {
                    refused("the vCenter list", "virtualCenter", "VMWProviderVdcRecord", () => w.GetManagedHypervisorsInCloud() != null);
                    refused("a vCenter by name", "virtualCenter", "DatastoreRecord", () => w.FindVCenterServer("vc-west"));
                    refused("a VDC's datastores", "datastoreProviderVdcRelation", "DatastoreRecord",
                        () => w.GetAssociatedDatastoreListForVdc("Acme-Gold", ref strings));
                }
                Check.Equal("kept", string.Join(",", strings), who + "the string list passed in is untouched");
                Check.Equal(0, profiles.Count, who + "the profile list passed in is untouched");
                Check.That(w.GetVdcListInOrg("Acme", ref strings), who + "the same query with its own records succeeds", w.getLastErrorString());
                w.Logout();
            }
        }

        // ---- several threads on one wrapper object ----

        static void Threads(Sim sim)
        {
            var w = Admin(sim);
            var names = new[] { "web-01", "web-02", "db-01", "erp-app-01", "erp-db-01", "mail-01", "dr-01", "util-01" };
            var orgs = new[] { "Acme", "Acme", "Acme", "Globex", "Globex", "Globex", "Globex", "Globex" };
            int good = 0, wrong = 0;
            string wrongText = "";
            var threads = new List<Thread>();
            for (int t = 0; t < names.Length; t++)
            {
                int k = t;
                threads.Add(new Thread(() =>
                {
                    for (int i = 0; i < 5; i++)
                    {
                        var info = new SVMInfoLib();
                        if (w.GetVMInfoForVM(orgs[k], "", names[k], ref info) && info.name == names[k]) Interlocked.Increment(ref good);
                        else { Interlocked.Increment(ref wrong); wrongText = w.getLastErrorString(); }
                        var bad = new SVMInfoLib();
                        if (!w.GetVMInfoForVM(orgs[k], "", "missing-" + k, ref bad) && w.getLastErrorString().Contains("missing-" + k))
                            Interlocked.Increment(ref good);
                        else Interlocked.Increment(ref wrong);
                    }
                }));
            }
            foreach (var t in threads) t.Start();
            foreach (var t in threads) Check.That(t.Join(TimeSpan.FromSeconds(120)), "a calling thread finishes");
            Check.Equal(names.Length * 10, good, "concurrent calls give each thread its own results and error text");
            Check.Equal(0, wrong, "no call mixed up (" + wrongText + ")");
            Check.Equal("", w.getLastErrorString(), "the main thread has no error text of the other threads");

            // Two callers power the same VM on at once: one waits for the other's task and both succeed.
            sim.Faults("taskMs=300");
            bool first = false, second = false;
            string why = "";
            var one = new Thread(() => { first = w.PowerOnVM("Globex", "Globex-Prod", "util-01"); if (!first) why = w.getLastErrorString(); });
            var two = new Thread(() => { second = w.PowerOnVM("Globex", "Globex-Prod", "util-01"); if (!second) why = w.getLastErrorString(); });
            one.Start();
            two.Start();
            Check.That(one.Join(TimeSpan.FromSeconds(60)) && two.Join(TimeSpan.FromSeconds(60)), "both power-on calls return");
            Check.That(first && second, "both power-on calls succeed", why);
            Check.Equal("on", Json.Str(sim.Objects("util-01", "vm").First(o => Json.Str(o, "org") == "Globex"), "powerState"), "and the VM is on");
            sim.Reset();
            w.Logout();
        }

        // ---- paging ----

        static void Paging()
        {
            using (var sim = new Sim(simExe, "--task-ms 30 --generate 2,2,5,40"))
            {
                long total = Json.Long(sim.Summary(), "vms");
                var w = Admin(sim);
                sim.ResetCounters();
                var all = w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
                Check.Equal(total, all == null ? -1L : all.Count, "every VM across pages of 128");
                Check.Equal(total, all == null ? -1L : all.Select(v => v.uuid).Distinct().Count(), "no VM twice");
                // Each window overlaps the one before by a few records, so that the walk can tell whether it still
                // joins up: one request per 124 records or fewer, plus the first.
                long pages = sim.Requests("/api/query");
                Check.That(pages >= (total + 127) / 128 && pages <= 1 + (total + 123) / 124, "about one request per page of 128", pages + " requests");
                // With the offset parameter each window after the first starts two records before the end of the
                // one before: 126 new records a request.
                Check.Equal(1 + (total - 128 + 125) / 126, pages, "windows placed by offset overlap by two records");
                Check.That(sim.Requests("/api/query") == pages, "and nothing else is asked of the query service");
                sim.ResetCounters();
                Check.Equal(200, Count(w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 200)), "max 200");
                Check.Equal(2L, sim.Requests("/api/query"), "stops fetching pages once max is reached");
                var vdcVms = w.GetVMStructListForEntityByName("Org001-VDC01", EInventoryType.eInventoryOrgVdc, 0, 0);
                Check.Equal(200, Count(vdcVms), "VMs of one VDC across pages");
                // A list shares the texts that repeat (hosts, guest systems, power states) among its VMs; each VM
                // still has its own values, as it alone would be answered.
                foreach (var vm in (vdcVms ?? new SVMInfoLibList()).Take(6))
                {
                    var one = new SVMInfoLib();
                    if (!Check.That(w.GetVMInfoForVM("Org001", "Org001-VDC01", vm.name, ref one), "VM " + vm.name + " alone", w.getLastErrorString())) continue;
                    Check.Equal(one.hostName + "|" + one.moref + "|" + one.guestOSName + "|" + one.guestOSVersion + "|" + one.poweredState,
                        vm.hostName + "|" + vm.moref + "|" + vm.guestOSName + "|" + vm.guestOSVersion + "|" + vm.poweredState,
                        "VM " + vm.name + " in the list as alone");
                }
                var small = Admin(sim, Fast + ";pageSize=25");
                sim.ResetCounters();
                var tenantCount = Count(small.GetVMStructListForEntity("Org002", EInventoryType.eInventoryOrg, 0, 0));
                Check.Equal(400, tenantCount, "an organisation's VMs at 25 a page");
                long small25 = sim.Requests("/api/query");
                Check.That(small25 >= 16 && small25 <= 1 + 400 / 20, "pages of 25 that overlap by one", small25 + " requests");
                // The page cap stops a server without a total; a list whose total is stated may need more pages.
                var capped = Admin(sim, Fast + ";pageSize=25;maxQueryPages=3");
                int cappedCount = Count(capped.GetVMStructListForEntity("Org002", EInventoryType.eInventoryOrg, 0, 0));
                Check.That(cappedCount == 400, "a stated total of 400 lists whole in pages of 25 beyond maxQueryPages=3",
                    cappedCount + " VMs; " + capped.getLastErrorString());
                capped.Logout();
                var list = new SStringInfoLibList();
                Check.That(w.GetVappListInVdc("Org001", "Org001-VDC02", ref list) && list.Count == 5, "vApps of a generated VDC", w.getLastErrorString());
                w.Logout();
                small.Logout();
            }
        }

        // Query pages read several at once: the records and their order are those of a walk that reads
        // one page at a time, and a session never has more requests in flight than queryConcurrency, even
        // with two listings running on it (the simulator counts the most requests it answered at once). The
        // simulator answers each request 30 ms late, so that reads overlap whenever the wrapper lets them.
        static void ConcurrentPages()
        {
            using (var sim = new Sim(simExe, "--task-ms 30 --generate 2,2,5,40 --latency-ms 30"))
            {
                Func<int, vCloudWrapper> session = k =>
                {
                    var w = new vCloudWrapper();
                    if (!w.Initialize("", Fast + ";pageSize=25;queryConcurrency=" + k, 0) || !w.Login(sim.Url, "administrator@System", "vmware1!"))
                        throw new Exception("login: " + w.getLastErrorString());
                    sim.ResetCounters();
                    return w;
                };
                Func<long> mostInFlight = () => Json.Long(sim.Get("sim/counters"), "mostInFlight");
                Func<SVMInfoLibList, string> names = l => l == null ? "<failed>" : string.Join(",", l.Select(v => v.uuid + "/" + v.name));
                var one = session(1);
                var sequential = one.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
                Check.Equal(800, sequential == null ? -1 : sequential.Count, "every VM, one page at a time");
                Check.Equal(1L, mostInFlight(), "queryConcurrency=1: one request at a time");

                var four = session(4);
                var concurrent = four.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
                Check.Equal(names(sequential), names(concurrent), "four pages at once: the same VMs in the same order");
                long most = mostInFlight();
                Check.That(most >= 2 && most <= 4, "four pages at once: several requests, never more than 4, in flight", most + " requests at once");
                Check.Equal(120, Count(four.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 120)), "max 120 with pages read ahead");

                var two = session(2);
                SVMInfoLibList a = null, b = null;
                var other = new Thread(() => a = two.GetVMStructListForEntityByName("Org001", EInventoryType.eInventoryOrg, 0, 0));
                other.Start();
                b = two.GetVMStructListForEntityByName("Org002", EInventoryType.eInventoryOrg, 0, 0);
                other.Join();
                Check.That(Count(a) == 400 && Count(b) == 400, "two listings at once on one session", Count(a) + " and " + Count(b));
                most = mostInFlight();
                Check.That(most <= 2, "two listings at once: still at most queryConcurrency=2 requests in flight", most + " requests at once");
                foreach (var w in new[] { one, two, four }) w.Logout();

                // Under churn a walk with four pages at once keeps the rules of one page at a time: whole (no VM
                // twice, every VM that existed throughout, in name order) or refused as incomplete. The churn
                // replaces the VMs first in name order before every page after the first, so each walk it meets
                // breaks at its second window; churnWalks says how many walks meet it, so each round has one
                // outcome: whole on the wrapper's second or third attempt, or refused after the third.
                using (var churning = new Sim(simExe, "--task-ms 30 --generate 2,2,5,40"))
                {
                    var w = new vCloudWrapper();
                    if (!w.Initialize("", Fast + ";queryConcurrency=4", 0) || !w.Login(churning.Url, "administrator@System", "vmware1!"))
                        throw new Exception("login: " + w.getLastErrorString());
                    var rounds = new[]
                    {
                        Tuple.Create("churn=8&churnFront=true&churnWalks=1", true),
                        Tuple.Create("churn=8&churnFront=true&churnWalks=2", true),
                        Tuple.Create("churn=8&churnFront=true&churnWalks=3", false),
                        Tuple.Create("churn=8&churnFront=true", false),
                    };
                    foreach (var round in rounds)
                    {
                        string label = "churn " + round.Item1;
                        var before = w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
                        churning.Faults(round.Item1);
                        var during = w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
                        string why = w.getLastErrorString();
                        churning.Reset();
                        var after = w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
                        if (before == null || after == null) { Check.That(false, label + ": listings without churn", w.getLastErrorString()); continue; }
                        Check.That(!before.Select(v => v.uuid).SequenceEqual(after.Select(v => v.uuid)), label + ": the inventory did change during the listing");
                        if (!round.Item2)
                        {
                            Check.That(during == null, label + ": a listing that cannot be made whole fails",
                                during == null ? "" : "true with " + during.Count + " VMs");
                            Check.Contains(why, "incomplete", label + ": and says the list is incomplete");
                            continue;
                        }
                        if (!Check.That(during != null, label + ": the listing is made whole", why)) continue;
                        var got = during.Select(v => v.uuid).ToList();
                        var throughout = before.Select(v => v.uuid).Intersect(after.Select(v => v.uuid)).ToList();
                        Check.Equal(got.Count, got.Distinct().Count(), label + ": no VM twice");
                        Check.Equal(0, throughout.Count(u => !got.Contains(u)), label + ": no VM that existed throughout is missing");
                        // A VM created during the walk may come back where a window overlapped the one before, after
                        // names that sort behind it; the VMs that existed throughout keep the name order.
                        var kept = new HashSet<string>(throughout);
                        var order = during.Where(v => kept.Contains(v.uuid)).Select(v => v.name).ToList();
                        Check.That(order.Zip(order.Skip(1), (x, y) => string.Compare(x, y, StringComparison.OrdinalIgnoreCase) <= 0).All(ok => ok),
                            label + ": the VMs that existed throughout come in name order, as one page at a time reads them");
                    }
                    w.Logout();
                }

                var settings = new vCloudWrapper();
                Check.That(!settings.Initialize("", "queryConcurrency=17", 0), "queryConcurrency above 16 is refused");
                Check.Contains(settings.getLastErrorString(), "queryConcurrency", "the refusal names the option");
            }
        }

        // Requests per operation in one session, first call and repeat: the session keeps the organisations
        // its names resolved to, and drops them at Initialize, Login and Logout. Renaming organisations
        // shows that a kept name never answers for another organisation: a VDC record that names another
        // organisation, or a query that finds nothing under the kept one, makes the operation resolve afresh.
        static void KeptNames()
        {
            using (var sim = new Sim(simExe, "--task-ms 30"))
            {
                var w = Admin(sim);
                var info = new SVMInfoLib();
                string vmId = "", vc = "", moref = "", profile = "", xml = "";
                Func<Func<bool>, string, long> requests = (op, what) =>
                {
                    sim.ResetCounters();
                    Check.That(op(), what + " succeeds", w.getLastErrorString());
                    return sim.Requests();
                };
                Func<bool> findVm = () => w.FindVMInVApp("Acme", "Acme-Gold", "web-tier", "web-01");
                Func<bool> vmInfo = () => w.GetVMInfoForVM("Acme", "Acme-Gold", "web-01", ref info);
                Func<bool> backup = () => w.BackupVM("Acme", "Acme-Gold", "web-tier", "web-01", ref vmId, ref vc, ref moref, ref profile, ref xml);

                Check.Equal(3L, requests(findVm, "FindVM by org, VDC, vApp and VM"), "FindVM, first call: organisation, VDC, VM");
                Check.Equal(2L, requests(findVm, "FindVM again"), "FindVM, repeated: VDC and VM");
                Check.Equal(2L, requests(vmInfo, "GetVMInfoForVM"), "GetVMInfoForVM, organisation kept: VDC and VM");
                Check.Equal(3L, requests(backup, "BackupVM"), "BackupVM, organisation kept: VDC, VM record, VM");
                Check.Equal(3L, requests(backup, "BackupVM again"), "BackupVM, repeated");

                Check.That(w.Initialize("", Fast, 0), "Initialize again", w.getLastErrorString());
                Check.Equal(3L, requests(findVm, "FindVM after Initialize"), "Initialize drops the kept organisation");
                Check.That(w.Login(sim.Url, "administrator@System", "vmware1!"), "Login again", w.getLastErrorString());
                Check.Equal(3L, requests(vmInfo, "GetVMInfoForVM after Login"), "Login drops the kept organisation");
                Check.That(w.Logout() && w.Login(sim.Url, "administrator@System", "vmware1!"), "Logout and Login", w.getLastErrorString());
                Check.Equal(4L, requests(backup, "BackupVM after Logout"), "Logout drops the kept organisation");

                // The kept organisation is renamed and another one takes its name.
                string acme = Json.Str(sim.Object("Acme", "org"), "href"), globex = Json.Str(sim.Object("Globex", "org"), "href");
                string erp = Ref(Json.Str(sim.Object("erp-app-01", "vm"), "id")), web01 = Ref(Json.Str(sim.Object("web-01", "vm"), "id"));
                Check.That(vmInfo(), "web-01 by its organisation's name", w.getLastErrorString());
                sim.Post("sim/rename?href=" + Uri.EscapeDataString(acme) + "&name=Acme-old");
                Check.That(!vmInfo(), "an organisation renamed away no longer answers to the kept name");
                Check.Contains(w.getLastErrorString(), "not found", "and the error says what is missing");
                Check.That(w.GetVMInfoForVM("Acme-old", "Acme-Gold", "web-01", ref info) && info.uuid == web01, "it answers to its new name", w.getLastErrorString());
                Check.That(vmInfo() == false, "still not under the old name once the new one is known");
                sim.Post("sim/rename?href=" + Uri.EscapeDataString(globex) + "&name=Acme");
                Check.That(!vmInfo(), "another organisation now named Acme has no VDC Acme-Gold");
                Check.That(!findVm(), "nor a vApp web-tier there");
                Check.That(w.GetVMInfoForVM("Acme", "Globex-Prod", "erp-app-01", ref info) && info.uuid == erp, "the organisation that took the name answers for itself", w.getLastErrorString());
                Check.Equal(2L, requests(() => w.GetVMInfoForVM("Acme", "Globex-Prod", "erp-app-01", ref info), "the new Acme, repeated"), "and is kept in turn");

                // The names return to their first owners: the kept Acme (the other organisation) finds nothing
                // under Acme-Gold, and the operation resolves the name once more.
                sim.Post("sim/rename?href=" + Uri.EscapeDataString(globex) + "&name=Globex");
                sim.Post("sim/rename?href=" + Uri.EscapeDataString(acme) + "&name=Acme");
                Check.That(vmInfo() && info.uuid == web01, "web-01 again under the organisation that has the name now", w.getLastErrorString());
                Check.That(w.GetVMInfoForVM("Acme", "Globex-Prod", "erp-app-01", ref info) == false, "erp-app-01 no longer under the name Acme");
                Check.Equal(2L, requests(vmInfo, "GetVMInfoForVM once settled"), "two requests again once the name is settled");

                // Renamed in case only: names compare in any case, so the kept organisation still serves its name.
                sim.Post("sim/rename?href=" + Uri.EscapeDataString(acme) + "&name=ACME");
                Check.Equal(2L, requests(vmInfo, "GetVMInfoForVM after a rename in case only"), "the kept organisation, without resolving it again");
                Check.Equal(web01, info.uuid, "and the VM found under it");
                sim.Post("sim/rename?href=" + Uri.EscapeDataString(acme) + "&name=Acme");
                w.Logout();
            }
        }

        // ---- measurement, not part of the test run ----

        static int Measure(string generate)
        {
            using (var sim = new Sim(simExe, "--generate " + generate))
            {
                long total = Json.Long(sim.Summary(), "vms");
                var w = Admin(sim, "allowHttp=true");
                sim.ResetCounters();
                var sw = Stopwatch.StartNew();
                var all = w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
                sw.Stop();
                Console.WriteLine("listed " + (all == null ? w.getLastErrorString() : all.Count.ToString()) + " of " + total + " VMs in "
                    + sw.Elapsed.TotalSeconds.ToString("0.00") + " s with " + sim.Requests() + " HTTP requests (" + sim.Requests("/api/query") + " query pages)");
                w.Logout();
                return all != null && all.Count == total ? 0 : 1;
            }
        }
    }
}
