// Drives the simulator over HTTP and checks the shapes a client depends on: login headers, navigation,
// paging across pages, filters, tenant isolation, task life cycle, deletes, imports, and injected faults.
// Usage: SimTests.exe <vcdsim.exe>            run the checks
//        SimTests.exe <vcdsim.exe> --walk O,V,A,M   measure the adminVM walk over a generated cloud
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Text.RegularExpressions;
using System.Threading;
using System.Xml.Linq;
using static VcdSimTests.Tally;
using TestGroups;

namespace VcdSimTests
{
    static class Program
    {
        const string P = "application/vnd.vmware.";
        const string UndeployCt = P + "vcloud.undeployVAppParams+xml";
        const string RecomposeCt = P + "vcloud.recomposeVAppParams+xml";
        const string MetaValueCt = P + "vcloud.metadata.value+xml";
        const string MetaCt = P + "vcloud.metadata+xml";
        const string OwnerCt = P + "vcloud.owner+xml";
        const string AccessCt = P + "vcloud.controlAccess+xml";
        const string ImportIntoCt = P + "admin.importVmIntoExistingVAppParams+xml";
        const string ImportAsCt = P + "admin.importVmAsVAppParams+xml";
        const string VNs = "http://www.vmware.com/vcloud/v1.5";
        const string ExtNs = "http://www.vmware.com/vcloud/extension/v1.5";

        static string exe;

        static int Main(string[] args)
        {
            if (args.Length < 1) { Console.Error.WriteLine("usage: SimTests.exe <vcdsim.exe> [--walk O,V,A,M | --group NAME]"); return 2; }
            exe = args[0];
            if (args.Length == 3 && args[1] == "--walk") return Walk(args[2]);
            if (args.Length == 3 && args[1] == "--group") Groups.Only = args[2];
            var clock = Stopwatch.StartNew();
            Groups.RunSharing(DemoGroups, () => new Sim(exe, "--task-ms 60"), Group);
            Group("paging", Paging);
            Group("legacy server", LegacyServer);
            Group("stopping", Stopping);
            Group("night", () => NightChecks.Run(exe));
            if (!Groups.AllFound()) return 2;
            Console.WriteLine("{0} passed, {1} failed ({2:0.0} s)", Passed, Failed, clock.Elapsed.TotalSeconds);
            return Failed == 0 ? 0 : 1;
        }

        // The groups that share the demo cloud's simulator, in the order they run on it.
        static readonly KeyValuePair<string, Action<Sim>>[] DemoGroups =
        {
            Groups.Sharing<Sim>("versions and login", VersionsAndLogin), Groups.Sharing<Sim>("navigation", Navigation),
            Groups.Sharing<Sim>("filters", Filters), Groups.Sharing<Sim>("tenant isolation", Isolation),
            Groups.Sharing<Sim>("tasks", TaskLifeCycle), Groups.Sharing<Sim>("deletes", Deletes),
            Groups.Sharing<Sim>("imports", Imports), Groups.Sharing<Sim>("metadata, owner, access", MetadataOwnerAccess),
            Groups.Sharing<Sim>("sections and edits", SectionsAndEdits), Groups.Sharing<Sim>("real-server manners", Manners),
            Groups.Sharing<Sim>("faults", FaultInjection),
        };

        static void Group(string name, Action body)
        {
            Groups.Run(name, g => Tally.Group = g, body, e => Check(false, "group stopped by an exception", e.GetType().Name + ": " + e.Message));
        }

        static Client Admin(Sim s) { return new Client(s).Login("administrator", "System", "vmware1!"); }
        static Client Alice(Sim s) { return new Client(s).Login("alice", "Acme", "alice1!"); }

        static string Minor(Answer a)
        {
            try { return (string)a.Root.Attribute("minorErrorCode") ?? ""; } catch (Exception) { return ""; }
        }

        static bool IsError(Answer a, int status, string minor = null)
        {
            try
            {
                return a.Status == status && a.Root.Name == NS.V + "Error" && (int)a.Root.Attribute("majorErrorCode") == status &&
                       (minor == null || (string)a.Root.Attribute("minorErrorCode") == minor) &&
                       a.ContentType.StartsWith(P + "vcloud.error+xml", StringComparison.Ordinal);
            }
            catch (Exception) { return false; }
        }

        static string Undeploy(string action)
        {
            return "<UndeployVAppParams xmlns=\"" + VNs + "\"><UndeployPowerAction>" + action + "</UndeployPowerAction></UndeployVAppParams>";
        }

        static string Status(XElement task) { return (string)task.Attribute("status"); }

        static string Power(Client c, string href) { return c.State(href)["powerState"] as string; }

        // ---- versions and login ---------------------------------------------------------------------------

        static void VersionsAndLogin(Sim s)
        {
            var anon = new Client(s);
            var v = anon.Send("GET", "api/versions", accept: "application/*+xml");
            Check(v.Status == 200 && v.Root.Name == NS.Versions + "SupportedVersions", "versions answer without a version in Accept", v.ToString());
            var infos = v.Root.Elements(NS.Versions + "VersionInfo").ToList();
            Check(infos.Any(i => (string)i.Element(NS.Versions + "Version") == "38.0" && (string)i.Attribute("deprecated") == "false"), "38.0 is listed and current");
            Check(infos.Any(i => (string)i.Attribute("deprecated") == "true"), "older versions are marked deprecated");
            Check(infos.All(i => ((string)i.Element(NS.Versions + "LoginUrl") ?? "").EndsWith(
                      double.Parse((string)i.Element(NS.Versions + "Version"), System.Globalization.CultureInfo.InvariantCulture) >= 38
                      ? "/cloudapi/1.0.0/sessions" : "/api/sessions")),
                  "every version has its LoginUrl: /api/sessions below 38.0, where that login exists, the OpenAPI login from 38.0");

            var t = anon.TryLogin("alice", "Acme", "alice1!", false);
            Check(t.Status == 200, "tenant login through /cloudapi/1.0.0/sessions", t.ToString());
            string jwt = t.Header("X-VMWARE-VCLOUD-ACCESS-TOKEN");
            Check(jwt != null && jwt.Length > 32 && jwt.Split('.').Length == 3, "the access token is a long bearer token");
            Check(t.Header("x-vcloud-authorization") == null, "the OpenAPI login returns no legacy token");
            Check(t.Body.Contains("\"name\":\"Acme\"") && t.Body.Contains("\"sessionIdleTimeoutMinutes\""), "session JSON names the organization", t.Body);

            Equal(401, anon.TryLogin("administrator", "System", "vmware1!", false).Status, "System cannot use the tenant endpoint from 36.0");
            Equal(200, anon.TryLogin("administrator", "System", "vmware1!", true).Status, "System logs in through the provider endpoint");
            Equal(401, anon.TryLogin("alice", "Acme", "alice1!", true).Status, "a tenant cannot use the provider endpoint");
            var bad = anon.TryLogin("alice", "Acme", "wrong", false);
            Check(bad.Status == 401 && bad.Body.Contains("\"minorErrorCode\""), "a wrong password gives 401 with a JSON error", bad.ToString());
            Equal(401, anon.TryLogin("alice", "Globex", "alice1!", false).Status, "a user of another organization is refused");

            var legacy = new Client(s) { Version = "37.2" };
            var l = legacy.Send("POST", "api/sessions", tweak: r => r.Headers.TryAddWithoutValidation("Authorization", Client.Basic("bob@Globex", "bob1!")));
            Check(l.Status == 200 && l.Root.Name == NS.V + "Session" && (string)l.Root.Attribute("org") == "Globex", "legacy login below 38.0 returns a Session", l.ToString());
            string tok = l.Header("x-vcloud-authorization");
            Check(tok != null && Regex.IsMatch(tok, "^[0-9a-f]{32}$"), "legacy login returns x-vcloud-authorization", tok);
            Check(l.Header("X-VMWARE-VCLOUD-ACCESS-TOKEN") != null, "legacy login also returns the access token");
            legacy.LegacyToken = tok;
            Equal(200, legacy.Get("api/org").Status, "the legacy token authenticates later requests");
            var l38 = new Client(s).Send("POST", "api/sessions", tweak: r => r.Headers.TryAddWithoutValidation("Authorization", Client.Basic("bob@Globex", "bob1!")));
            Check(l38.Status != 200 && l38.Header("x-vcloud-authorization") == null, "no legacy login at 38.0", l38.ToString());

            var alice = new Client(s) { Bearer = jwt };
            var noVer = alice.Send("GET", "api/org", accept: "application/*+xml");
            Check(IsError(noVer, 406, "NOT_ACCEPTABLE"), "a request without a version gets 406", noVer.ToString());
            Check(noVer.Root.Attribute("message").Value.Contains("38.0"), "the 406 message lists the supported versions");
            Check(IsError(alice.Send("GET", "api/org", accept: "application/*+xml;version=20.0"), 406), "an unsupported version gets 406");

            Check(IsError(new Client(s).Get("api/org"), 401), "no token gives 401 with an Error element");
            Check(IsError(new Client(s) { Bearer = "not-a-token" }.Get("api/org"), 401), "an unknown token gives 401");
            Check(IsError(new Client(s) { LegacyToken = jwt }.Get("api/org"), 401), "the bearer token is not accepted as a legacy token");

            var sess = alice.Get("api/session");
            var ext = sess.Root.Elements(NS.V + "Link").FirstOrDefault(k => (string)k.Attribute("rel") == "down:extensibility");
            Check(ext != null && (string)ext.Attribute("type") == P + "vcloud.apiextensibility+xml" && alice.Get((string)ext.Attribute("href")).Status == 200,
                  "the Session links the API extensibility document", sess.ToString());
            Check(sess.Status == 200 && (string)sess.Root.Attribute("user") == "alice" &&
                  sess.Root.Elements(NS.V + "Link").Any(k => (string)k.Attribute("type") == P + "vcloud.orgList+xml"),
                  "GET /api/session with the bearer token returns the Session and its links", sess.ToString());
            var traced = alice.Send("GET", "api/org", tweak: r => r.Headers.TryAddWithoutValidation("X-VMWARE-VCLOUD-CLIENT-REQUEST-ID", "trace-42"));
            Check((traced.Header("X-VMWARE-VCLOUD-REQUEST-ID") ?? "").StartsWith("trace-42"), "the client request id comes back in the request id");

            var cur = alice.Get("cloudapi/1.0.0/sessions/current");
            Check(cur.Status == 200 && cur.Body.Contains("\"alice\""), "GET sessions/current", cur.ToString());
            Equal(204, alice.Delete("cloudapi/1.0.0/sessions/current").Status, "DELETE sessions/current");
            Equal(401, alice.Get("api/org").Status, "the token is dead after logout");
            Equal(204, legacy.Delete("api/session").Status, "DELETE /api/session");
            Equal(401, legacy.Get("api/org").Status, "the legacy token is dead after logout");

            // The versions offered change from the control endpoint, as a cell upgrade changes them between two
            // logins; a list that does not parse is refused and changes nothing.
            Func<List<string>> offered = () => anon.Send("GET", "api/versions", accept: "application/*+xml").Root
                .Elements(NS.Versions + "VersionInfo")
                .Select(i => (string)i.Element(NS.Versions + "Version") + ((string)i.Attribute("deprecated") == "true" ? "D" : "")).ToList();
            var first = offered();
            Equal(400, anon.Control("POST", "api-versions?list=38.0,39.x").Status, "a version list that does not parse is refused");
            Equal(400, anon.Control("POST", "api-versions?list=,").Status, "an empty version list is refused");
            Equal(string.Join(",", first), string.Join(",", offered()), "and the versions offered stay");
            Equal(200, anon.Control("POST", "api-versions?list=37.0D,38.0,39.0").Status, "a new version list");
            Equal("37.0D,38.0,39.0", string.Join(",", offered()), "is offered from then on");
            Equal(200, anon.Control("POST", "api-versions?list=" + string.Join(",", first)).Status, "the first list again");
            Equal(string.Join(",", first), string.Join(",", offered()), "is offered again");
        }

        // ---- navigation -------------------------------------------------------------------------------------

        static void Navigation(Sim s)
        {
            var alice = Alice(s);
            var admin = Admin(s);
            var orgs = alice.Get("api/org").Root.Elements(NS.V + "Org").ToList();
            Check(orgs.Count == 1 && (string)orgs[0].Attribute("name") == "Acme", "a tenant's OrgList holds its organization only");
            Equal(3, admin.Get("api/org").Root.Elements(NS.V + "Org").Count(), "System sees every organization");

            string orgHref = (string)orgs[0].Attribute("href");
            var org = alice.Get(orgHref).Root;
            Check(!org.Elements(NS.V + "Link").Any(k => (string)k.Attribute("type") == P + "vcloud.vdc+xml" || (string)k.Attribute("type") == P + "vcloud.catalog+xml"),
                  "from API 33 an Org links neither VDCs nor catalogs");
            var vdcQuery = org.Elements(NS.V + "Link").FirstOrDefault(k => (string)k.Attribute("type") == P + "vcloud.query.records+xml" &&
                                                                           ((string)k.Attribute("href")).ToLowerInvariant().Contains("vdc"));
            Check(vdcQuery != null, "the Org links the records query of its VDCs instead");
            var vdcRecords = alice.Get((string)vdcQuery.Attribute("href")).Root.Elements(NS.V + "OrgVdcRecord").ToList();
            Equal("Acme-Gold,Acme-Silver", string.Join(",", vdcRecords.Select(k => (string)k.Attribute("name")).OrderBy(n => n)), "that query lists the Org's VDCs");
            var catQuery = org.Elements(NS.V + "Link").FirstOrDefault(k => (string)k.Attribute("type") == P + "vcloud.query.records+xml" &&
                                                                           ((string)k.Attribute("href")).ToLowerInvariant().Contains("catalog"));
            Equal("Acme-Templates", catQuery == null ? "(no link)" : string.Join(",", alice.Get((string)catQuery.Attribute("href")).Root
                .Elements(NS.V + "CatalogRecord").Select(k => (string)k.Attribute("name"))), "and the catalogs' query lists its catalogs");
            Equal("Acme-Gold", string.Join(",", alice.Names(F("orgVdc", "orgName==Acme;name==acme-gold"))), "tenants find a VDC by organisation name and VDC name");
            Equal("Globex-DR,Globex-Prod", string.Join(",", admin.Names(F("adminOrgVdc", "org==" + admin.HrefOf("organization", "Globex")))),
                  "System finds the VDCs of an organisation by its href");
            Check(new Client(s) { Version = "35.0", Bearer = alice.Bearer }.Get(orgHref).Root.Elements(NS.V + "Link")
                  .All(k => (string)k.Attribute("type") != P + "vcloud.vdc+xml"), "no VDC links at 35.0 either");

            var vdc = alice.Get((string)vdcRecords.First(k => (string)k.Attribute("name") == "Acme-Gold").Attribute("href")).Root;
            Equal("1", (string)vdc.Attribute("status"), "VDC status is READY");
            var entities = vdc.Element(NS.V + "ResourceEntities").Elements(NS.V + "ResourceEntity").ToList();
            Equal("db-tier,staging,web-tier", string.Join(",", entities.Where(e => (string)e.Attribute("type") == P + "vcloud.vApp+xml")
                .Select(e => (string)e.Attribute("name")).OrderBy(n => n)), "ResourceEntities lists the vApps by type");
            Check(entities.Any(e => (string)e.Attribute("type") == P + "vcloud.vAppTemplate+xml"), "templates share the ResourceEntities list");
            Check(vdc.Element(NS.V + "VdcStorageProfiles").Elements(NS.V + "VdcStorageProfile").Count() == 2, "VDC lists its storage profiles");
            Check(vdc.Element(NS.V + "AvailableNetworks").Elements(NS.V + "Network").Count() == 2, "VDC lists its networks");

            var vapp = alice.Get((string)entities.First(e => (string)e.Attribute("name") == "web-tier").Attribute("href")).Root;
            Equal("10", (string)vapp.Attribute("status"), "a vApp with running and stopped VMs is MIXED");
            Equal("alice", (string)vapp.Element(NS.V + "Owner").Element(NS.V + "User").Attribute("name"), "the vApp names its owner");
            var vms = vapp.Element(NS.V + "Children").Elements(NS.V + "Vm").ToList();
            Equal(3, vms.Count, "the vApp holds its VMs as Children");
            Check(vms.All(m => m.Element(NS.V + "VCloudExtension") == null), "tenants get no vSphere extension data");
            Check(vapp.Elements(NS.V + "NetworkConfigSection").Elements(NS.V + "NetworkConfig").Any(n => (string)n.Attribute("networkName") == "acme-web"),
                  "the vApp's NetworkConfigSection names its network");

            string web1 = (string)vms.First(m => (string)m.Attribute("name") == "web-01").Attribute("href");
            var vmA = admin.Get(web1).Root;
            var vimRef = vmA.Element(NS.V + "VCloudExtension")?.Element(NS.Ext + "VmVimInfo")?.Element(NS.Ext + "VmVimObjectRef");
            Check(vimRef != null && ((string)vimRef.Element(NS.Ext + "MoRef")).StartsWith("vm-") &&
                  (string)vimRef.Element(NS.Ext + "VimServerRef").Attribute("name") == "vc-east", "System users get VmVimInfo with the moref");
            Equal("4", (string)vmA.Attribute("status"), "a running VM has status 4");
            var spec = vmA.Element(NS.V + "VmSpecSection");
            Check(spec != null && (string)spec.Element(NS.V + "NumCpus") != null && spec.Element(NS.V + "MemoryResourceMb")?.Element(NS.V + "Configured") != null &&
                  ((string)spec.Element(NS.V + "HardwareVersion")).StartsWith("vmx-") && (string)spec.Element(NS.V + "Firmware") == "bios",
                  "the VM carries its VmSpecSection (with Firmware at 38.0)");
            var boot = vmA.Element(NS.V + "BootOptions");
            Check(boot != null && boot.Element(NS.V + "BootDelay") != null && boot.Element(NS.V + "EfiSecureBootEnabled") != null, "and BootOptions");
            var vm37 = new Client(s) { Version = "37.0", Bearer = admin.Bearer }.Get(web1).Root;
            Check(vm37.Element(NS.V + "BootOptions")?.Element(NS.V + "BootDelay") != null && vm37.Element(NS.V + "BootOptions").Element(NS.V + "EfiSecureBootEnabled") == null &&
                  vm37.Element(NS.V + "VmSpecSection")?.Element(NS.V + "Firmware") == null, "at 37.0 without what 37.1 added");
            Check(vmA.Elements(NS.V + "Link").Any(k => (string)k.Attribute("rel") == "power:powerOff") &&
                  !vmA.Elements(NS.V + "Link").Any(k => (string)k.Attribute("rel") == "power:powerOn"), "power links follow the state");
            Check(vmA.Element(NS.V + "StorageProfile") != null && (string)vmA.Element(NS.V + "StorageProfile").Attribute("name") == "Gold", "VM names its storage profile");
            Equal("Ubuntu Linux (64-bit)", (string)vmA.Descendants().First(e => e.Name.LocalName == "OperatingSystemSection").Elements().First(e => e.Name.LocalName == "Description"),
                  "VM carries its guest OS");
            Equal("3", (string)admin.Get(admin.HrefOf("adminVM", "db-02")).Root.Attribute("status"), "a suspended VM has status 3");

            var vc = admin.Get("api/admin");
            Check(vc.Status == 200 && ((string)vc.Root.Element(NS.V + "Description")).StartsWith("10.5.1."), "/api/admin carries the product version", vc.ToString());
            Check(IsError(alice.Get("api/admin"), 403), "/api/admin is for System users");
            var refs = admin.Get("api/admin/extension/vimServerReferences").Root;
            Check(refs.Name == NS.Ext + "VMWVimServerReferences" && refs.Elements(NS.Ext + "VimServerReference").Count() == 2 &&
                  !refs.Elements(NS.V + "VimServerReference").Any(), "two vCenter references, root and children in the extension namespace");
            var server = admin.Get((string)refs.Elements(NS.Ext + "VimServerReference").First().Attribute("href")).Root;
            Check(server.Name == NS.Ext + "VimServer" && ((string)server.Element(NS.Ext + "Url")).StartsWith("https://"), "vimServer/{id} gives the URL");

            string vdcId = ((string)vdc.Attribute("href")).Split('/').Last();
            var adminVdc = admin.Get("api/admin/vdc/" + vdcId).Root;
            Check(adminVdc.Element(NS.V + "ProviderVdcReference") != null && adminVdc.Element(NS.V + "ResourcePoolRefs") != null, "AdminVdc for System has the provider VDC and resource pool");
            Check(alice.Get("api/admin/vdc/" + vdcId).Root.Element(NS.V + "ResourcePoolRefs") == null, "AdminVdc for a tenant has no vSphere references");
            string pvdcHref = (string)adminVdc.Element(NS.V + "ProviderVdcReference").Attribute("href");
            var pvdc = admin.Get(pvdcHref).Root;
            var vdcRefsLink = pvdc.Elements(NS.V + "Link").FirstOrDefault(k => (string)k.Attribute("type") == P + "admin.vdcReferences+xml");
            var vdcRefs = vdcRefsLink == null ? null : admin.Get((string)vdcRefsLink.Attribute("href")).Root;
            Check(vdcRefs != null && vdcRefs.Elements(NS.V + "VdcReference").Any(v => (string)v.Attribute("name") == "Acme-Gold"),
                  "a provider VDC links the references of its VDCs", pvdc.ToString());
            var pvdcMeta = pvdc.Elements(NS.V + "Link").FirstOrDefault(k => (string)k.Attribute("type") == P + "vcloud.metadata+xml");
            Check(pvdcMeta != null && (string)pvdcMeta.Attribute("href") == pvdcHref + "/metadata" && admin.Get(pvdcHref + "/metadata").Root.Name == NS.V + "Metadata",
                  "and its metadata, under its admin href");
            var sp = alice.Get((string)vdc.Element(NS.V + "VdcStorageProfiles").Elements().First().Attribute("href")).Root;
            Check(sp.Element(NS.V + "Limit") != null && sp.Element(NS.V + "StorageUsedMB") != null && sp.Element(NS.V + "Default") != null, "storage profile has limit, usage and default flag");

            string urn = (string)vmA.Attribute("id");
            var ent = alice.Get("api/entity/" + urn);
            Check(ent.Status == 200 && ent.Root.Elements(NS.V + "Link").Any(k => (string)k.Attribute("href") == web1), "the entity resolver links to the VM", ent.ToString());
            Check(IsError(alice.Get("api/vApp/vm-00000000-0000-4000-8000-000000000000"), 403, "ACCESS_TO_RESOURCE_IS_FORBIDDEN"), "an unknown id gives 403");
            Check(IsError(alice.Get("api/nosuch"), 404), "an unknown path gives 404");
        }

        // ---- filters -------------------------------------------------------------------------------------------

        static string F(string type, string filter, string extra = "")
        {
            return "type=" + type + "&pageSize=128&filter=" + Uri.EscapeDataString(filter) + extra;
        }

        static void Filters(Sim s)
        {
            var admin = Admin(s);
            var alice = Alice(s);
            Equal("web-01,web-02,web-03", string.Join(",", admin.Names(F("adminVM", "name==web-*"))), "wildcard at the end");
            Equal("web-01,web-02,web-03", string.Join(",", admin.Names(F("adminVM", "name==WEB-0*"))), "== ignores case");
            Equal(0, admin.Records(F("adminVM", "name==web%2D01", "&filterEncoded=true")).Count, "from API 35 filterEncoded has no effect");
            Equal("db-01,db-02", string.Join(",", admin.Names(F("adminVM", "name==*b-0*;containerName==db*"))), "wildcards at both ends and AND");
            Equal("web-02,web-03", string.Join(",", admin.Names(F("adminVM", "name!=web-01;containerName==web-tier"))), "!= with AND");
            Equal("db-01,web-01", string.Join(",", admin.Names(F("adminVM", "(name==web-01,name==db-01);status==POWERED_ON"))), "OR inside parentheses, then AND");
            Equal("db-01,web-01,web-02", string.Join(",", admin.Names(F("adminVM", "name==db-01,name==web-0*;status==POWERED_ON"))), "AND binds tighter than OR");
            Equal("db-01,erp-db-01,web-01,web-02", string.Join(",", admin.Names(F("adminVM", "metadata:backup-policy==STRING:gold"))), "metadata STRING filter");
            Equal("db-02,dev-02,mail-01,web-03", string.Join(",", admin.Names(F("adminVM", "metadata:backup-policy==STRING:s*"))), "metadata with a wildcard");
            Equal("web-01", string.Join(",", admin.Names(F("adminVM", "metadata:retention-days=ge=NUMBER:30"))), "metadata NUMBER comparison");
            Equal(0, admin.Names(F("adminVM", "metadata:retention-days=gt=NUMBER:30")).Count, "metadata NUMBER strict comparison");
            Equal("db-01,web-01,web-02", string.Join(",", alice.Names(F("vm", "metadata:backup-policy==STRING:gold"))), "a tenant's metadata query stays in its organization");
            Equal("ubuntu-base,win2019", string.Join(",", admin.Names(F("adminVM", "isVAppTemplate==true"))), "template VMs are in the VM query");
            Equal(6, admin.Names(F("adminVM", "status==POWERED_OFF;isVAppTemplate==false")).Count, "templates filtered out");

            string silver = admin.HrefOf("adminOrgVdc", "Acme-Silver");
            string silverId = silver.Split('/').Last();
            Equal("build-01,dev-01,dev-02,util-01", string.Join(",", admin.Names(F("adminVM", "vdc==" + silver))), "vdc== by href");
            Equal(4, admin.Names(F("adminVM", "vdc==" + silverId)).Count, "vdc== by bare uuid");
            Equal(4, admin.Names(F("adminVM", "vdc==urn:vcloud:vdc:" + silverId)).Count, "vdc== by URN");
            Equal(2, admin.Names(F("adminVM", "name==util-01")).Count, "the same VM name in two organizations");
            string globex = admin.HrefOf("organization", "Globex");
            Equal(1, admin.Names(F("adminVM", "name==util-01;org==" + globex)).Count, "org== narrows by reference");

            var esc = admin.Get("api/query?" + F("adminVM", "name==web\\,01"));
            Check(esc.Status == 200 && esc.Root.Attribute("total").Value == "0", "an escaped comma is part of the value", esc.ToString());
            Equal(200, admin.Get("api/query?" + F("adminVM", "name==web\\(1\\)")).Status, "escaped parentheses are accepted");
            foreach (var bad in new[] { "name=~web", "nosuch==x", "name==web(1)", "metadata:backup-policy==gold", "(name==a", "name==a;", "isDeployed=gt=true" })
                Check(IsError(admin.Get("api/query?" + F("adminVM", bad)), 400, "BAD_REQUEST"), "bad filter gives 400: " + bad);
            Check(IsError(admin.Get("api/query?type=VM"), 400), "query types are case-sensitive");
            Check(IsError(admin.Get("api/query?type=vm&format=xml"), 400), "an unknown format gives 400");
            Check(IsError(admin.Get("api/query?type=vm&sortAsc=nosuch"), 400), "sorting on an unknown attribute gives 400");

            var rec = admin.Records(F("adminVM", "name==web-01", "&fields=name,status,metadata:backup-policy")).Single();
            Equal("href,name,status", string.Join(",", rec.Attributes().Where(a => !a.IsNamespaceDeclaration).Select(a => a.Name.LocalName).OrderBy(n => n)), "fields limits the attributes");
            var entry = rec.Element(NS.V + "Metadata")?.Element(NS.V + "MetadataEntry");
            Check(entry != null && (string)entry.Element(NS.V + "Key") == "backup-policy" &&
                  XsiType(entry.Element(NS.V + "TypedValue")) == NS.V + "MetadataStringValue" &&
                  (string)entry.Element(NS.V + "TypedValue").Element(NS.V + "Value") == "gold", "requested metadata comes back in the record");

            Equal("web-03", (string)alice.Records("type=vm&sortDesc=name&pageSize=1").Single().Attribute("name"), "sortDesc");
            Equal("build-01", (string)alice.Records("type=vm&sortAsc=name&pageSize=1").Single().Attribute("name"), "sortAsc");
            var idr = admin.Records(F("adminVM", "name==web-01", "&format=idrecords")).Single();
            Check(((string)idr.Attribute("id")).StartsWith("urn:vcloud:vm:") && ((string)idr.Attribute("vdc")).StartsWith("urn:vcloud:vdc:"), "idrecords carry URNs");
            var vmRec = alice.Records(F("vm", "name==web-01")).Single();
            Check(vmRec.Attribute("moref") == null && vmRec.Attribute("vc") == null, "tenant VM records have no moref or vc");
            var adminRec = admin.Records(F("adminVM", "name==web-01")).Single();
            Check(((string)adminRec.Attribute("moref")).StartsWith("vm-") && ((string)adminRec.Attribute("vc")).Contains("/api/admin/extension/vimServer/"), "adminVM records carry moref and vc");
            var spRec = admin.Records(F("adminOrgVdcStorageProfile", "name==Gold;vdc==" + silverId)).Single();
            Check(((string)spRec.Attribute("storageProfileMoref") ?? "").Length > 0 && spRec.Attribute("vc") != null, "admin storage profile records carry the vSphere profile and vCenter");
            var vcRec = admin.Records("type=virtualCenter&filter=" + Uri.EscapeDataString("name==vc-west")).Single();
            Check(((string)vcRec.Attribute("url")).StartsWith("https://vc-west") && ((string)vcRec.Attribute("uuid")).Length == 36, "virtualCenter records give URL and uuid");
            var vdcRec = admin.Records(F("adminOrgVdc", "name==Acme-Silver")).Single();
            Equal("vc-west", (string)vdcRec.Attribute("vcName"), "AdminVdcRecord names its vCenter");
            var uses = admin.Records(F("datastoreProviderVdcRelation", "providerVdc==" + (string)vdcRec.Attribute("providerVdc")));
            Equal("west-nl-01,west-ssd-01", string.Join(",", uses.Select(u => (string)u.Attribute("name")).OrderBy(n => n)), "datastores behind a provider VDC");
            Check(uses.All(u => ((string)u.Attribute("moref")).StartsWith("datastore-") && u.Attribute("storageMB") != null), "datastore relation records carry moref and capacity");
            Check(IsError(admin.Get("api/query?type=datastoreProviderVdcRelation&format=references"), 400), "that query has no references format");

            // Reference filters: an href in a form the server gives out for the object, its URN, or its uuid.
            string pvdcAdmin = (string)admin.Get("api/admin/vdc/" + silverId).Root.Element(NS.V + "ProviderVdcReference").Attribute("href");
            Check(pvdcAdmin.Contains("/api/admin/providervdc/") && ((string)vdcRec.Attribute("providerVdc")).Contains("/api/admin/extension/providervdc/"),
                  "the AdminVdc names its provider VDC in the admin form, the records in the extension form");
            Equal(2, admin.Records(F("datastoreProviderVdcRelation", "providerVdc==" + pvdcAdmin)).Count, "a filter takes either form");
            var pvsp = admin.Records(F("providerVdcStorageProfile", "providerVdc==" + pvdcAdmin));
            Check(pvsp.Count > 0 && pvsp.All(r => r.Name == NS.V + "ProviderVdcStorageProfileRecord" && ((string)r.Attribute("storageProfileMoref")).Length > 0 &&
                  (string)r.Attribute("providerVdc") == (string)vdcRec.Attribute("providerVdc")), "providerVdcStorageProfile records of one provider VDC");
            Equal(0, admin.Names(F("adminVM", "vdc==" + silver.Replace("/api/vdc/", "/api/org/"))).Count, "an href of another kind with the VDC's uuid matches nothing");
            Equal(0, admin.Names(F("adminVM", "vdc==urn:vcloud:org:" + silverId)).Count, "nor does a URN of another kind");
            Equal(4, admin.Names(F("adminVM", "vdc==" + silver.Replace("/api/vdc/", "/api/admin/vdc/"))).Count, "the VDC's admin href matches");
            Equal(4, admin.Names(F("adminVM", "vdc==" + silver.Replace("127.0.0.1", "vcd.example.test"))).Count, "whatever host the href names");

            // Tasks: a tenant's own organization in "task", every one in "adminTask" (System only).
            var mine = alice.Records("type=task&pageSize=128");
            Check(mine.All(r => r.Name == NS.V + "TaskRecord" && (string)r.Attribute("orgName") == "Acme"), "task lists the organization's own tasks");
            Check(IsError(alice.Get("api/query?type=adminTask"), 403), "adminTask is for System");
        }

        // ---- tenant isolation -----------------------------------------------------------------------------------

        static void Isolation(Sim s)
        {
            var admin = Admin(s);
            var alice = Alice(s);
            var bob = new Client(s).Login("bob", "Globex", "bob1!");
            string erp = admin.HrefOf("adminVApp", "erp");
            string erpDb = admin.HrefOf("adminVM", "erp-db-01");
            Check(IsError(alice.Get(erp), 403, "ACCESS_TO_RESOURCE_IS_FORBIDDEN"), "another organization's vApp is forbidden");
            Check(IsError(alice.Get(erpDb), 403), "another organization's VM is forbidden");
            Check(IsError(alice.Get(admin.HrefOf("organization", "Globex")), 403), "another organization is forbidden");
            Check(IsError(alice.Post(erpDb + "/power/action/powerOff"), 403), "another organization's VM cannot be powered off");
            Equal("on", Power(admin, erpDb), "and its state did not change");
            var aliceVms = alice.Records("type=vm&pageSize=128");
            Check(aliceVms.Count == 10 && aliceVms.All(r => ((string)r.Attribute("vdcName")).StartsWith("Acme")), "a tenant's VM query holds its own VMs only", aliceVms.Count.ToString());
            Check(bob.Records("type=vm&pageSize=128").All(r => ((string)r.Attribute("vdcName")).StartsWith("Globex")), "and the other tenant's too");
            foreach (var t in new[] { "adminVM", "adminVApp", "adminOrgVdc", "adminOrgVdcStorageProfile", "virtualCenter" })
                Check(IsError(alice.Get("api/query?type=" + t), 403), "a tenant cannot run the " + t + " query");
            Check(IsError(alice.Get("api/admin/extension/vimServerReferences"), 403), "a tenant cannot list vCenter servers");
            Check(IsError(alice.Get("api/admin/org/" + admin.HrefOf("organization", "Globex").Split('/').Last()), 403), "a tenant cannot read another AdminOrg");
            var erin = new Client(s).Login("erin", "Globex", "erin1!");
            Check(IsError(erin.Get("api/admin/org/" + admin.HrefOf("organization", "Globex").Split('/').Last()), 403), "a plain user cannot read the AdminOrg");
            Equal(200, bob.Get("api/admin/org/" + admin.HrefOf("organization", "Globex").Split('/').Last()).Status, "an organization administrator can");
            var ent = alice.Get("api/entity/" + (string)admin.Get(erpDb).Root.Attribute("id"));
            Check(IsError(ent, 403), "the entity resolver hides other organizations");
        }

        // ---- tasks ----------------------------------------------------------------------------------------------

        static void TaskLifeCycle(Sim s)
        {
            var alice = Alice(s);
            string web2 = alice.HrefOf("vm", "web-02");
            var started = alice.Post(web2 + "/power/action/powerOff");
            Check(started.Status == 202 && started.Root.Name == NS.V + "Task", "a power action answers 202 with a Task", started.ToString());
            Check(Status(started.Root) == "queued" || Status(started.Root) == "running", "the task starts queued or running");
            Equal(web2, (string)started.Root.Element(NS.V + "Owner")?.Attribute("href"), "the task's Owner is the VM");
            Check(started.Root.Elements(NS.V + "Link").Any(k => (string)k.Attribute("rel") == "task:cancel"), "a running task offers cancel");
            var done = alice.Wait(started);
            Equal("success", Status(done), "the task succeeds");
            var rec = alice.Records(F("task", "object==" + web2 + ";name==" + (string)done.Attribute("operationName"))).LastOrDefault();
            Check(rec != null && (string)rec.Attribute("status") == "success" && (string)rec.Attribute("objectName") == "web-02" &&
                  (string)rec.Attribute("href") == (string)done.Attribute("href"), "the task query lists the finished task", rec?.ToString());
            Check(Admin(s).Records(F("adminTask", "orgName==Acme")).Any(r => (string)r.Attribute("href") == (string)done.Attribute("href")),
                  "and so does adminTask for System");
            Check(done.Attribute("endTime") != null && (string)done.Element(NS.V + "Progress") == "100", "a finished task has endTime and progress 100");
            var st = alice.State(web2);
            Check((string)st["powerState"] == "off" && (bool)st["deployed"], "powerOff leaves the VM off and deployed");
            Check(IsError(alice.Post(web2 + "/power/action/powerOff"), 400, "BAD_REQUEST"), "powering off a VM that is off gives 400");

            string web3 = alice.HrefOf("vm", "web-03");
            alice.Control("POST", "faults?taskMs=5000");
            var slow = alice.Post(web3 + "/power/action/powerOn");
            Check(IsError(alice.Post(web3 + "/power/action/powerOn"), 400, "BUSY_ENTITY"), "a second change while a task runs gives BUSY_ENTITY");
            var vmXml = alice.Get(web3).Root;
            Check(vmXml.Element(NS.V + "Tasks")?.Element(NS.V + "Task") != null, "the busy VM lists its running task");
            string taskHref = (string)slow.Root.Attribute("href");
            Equal(204, alice.Post(taskHref + "/action/cancel").Status, "a running task can be canceled");
            Equal("canceled", Status(alice.Get(taskHref).Root), "and ends canceled");
            Equal("off", Power(alice, web3), "a canceled task changes nothing");
            Check(IsError(alice.Post(taskHref + "/action/cancel"), 400), "a finished task cannot be canceled");
            alice.Control("POST", "faults/reset");

            alice.Control("POST", "faults?failTasks=1");
            var failed = alice.Wait(alice.Post(web3 + "/power/action/powerOn"));
            Check(Status(failed) == "error" && failed.Element(NS.V + "Error") != null &&
                  (string)failed.Element(NS.V + "Error").Attribute("majorErrorCode") == "500", "an injected task failure ends in error with an Error element");
            Equal("off", Power(alice, web3), "a failed task changes nothing");
            Equal("success", Status(alice.Wait(alice.Post(web3 + "/power/action/powerOn"))), "only the next task fails");
            Equal("on", Power(alice, web3), "powerOn takes effect");

            string farm = alice.HrefOf("vApp", "build-farm");
            Equal("success", Status(alice.Wait(alice.Post(farm + "/power/action/powerOn"))), "vApp power on");
            Equal("4", (string)alice.Get(farm).Root.Attribute("status"), "the vApp is powered on");
            string susp = alice.HrefOf("vm", "dev-02");
            Equal("success", Status(alice.Wait(alice.Post(susp + "/power/action/suspend"))), "suspend");
            Equal("3", (string)alice.Get(susp).Root.Attribute("status"), "suspended VM status");
            Check(IsError(alice.Post(susp + "/power/action/nosuch"), 404), "an unknown power action gives 404");
        }

        // ---- deletes --------------------------------------------------------------------------------------------

        static void Deletes(Sim s)
        {
            var alice = Alice(s);
            string web1 = alice.HrefOf("vm", "web-01");
            Check(IsError(alice.Delete(web1), 400), "a running VM cannot be deleted");
            Check(IsError(alice.Post(web1 + "/action/undeploy"), 400), "undeploy needs its parameters");
            Check(IsError(alice.Post(web1 + "/action/undeploy", "application/xml", Undeploy("powerOff")), 415), "undeploy checks the media type");
            Check(IsError(alice.Post(web1 + "/action/undeploy", UndeployCt, Undeploy("sideways")), 400), "undeploy checks the power action");
            Equal("success", Status(alice.Wait(alice.Post(web1 + "/action/undeploy", UndeployCt, Undeploy("powerOff")))), "undeploy with powerOff");
            var st = alice.State(web1);
            Check((string)st["powerState"] == "off" && !(bool)st["deployed"], "undeploy leaves the VM off and undeployed");
            var del = alice.Delete(web1);
            Check(del.Status == 202 && del.Root.Name == NS.V + "Task", "DELETE of a stopped VM answers with a Task", del.ToString());
            Equal("success", Status(alice.Wait(del)), "the delete succeeds");
            Check(IsError(alice.Get(web1), 403), "a deleted VM is gone (403)");
            Check(!(bool)alice.State(web1)["exists"], "and gone from the inventory");
            Equal(0, alice.Names(F("vm", "name==web-01")).Count, "and from the query service");

            string dbTier = alice.HrefOf("vApp", "db-tier");
            string db2 = alice.HrefOf("vm", "db-02");
            string recompose = "<RecomposeVAppParams xmlns=\"" + VNs + "\"><DeleteItem href=\"" + db2 + "\"/></RecomposeVAppParams>";
            Check(IsError(alice.Post(dbTier + "/action/recomposeVApp", RecomposeCt, recompose), 400), "recompose refuses to remove a suspended VM");
            Equal("success", Status(alice.Wait(alice.Post(db2 + "/action/discardSuspendedState"))), "discard the suspended state");
            Equal("success", Status(alice.Wait(alice.Post(dbTier + "/action/recomposeVApp", RecomposeCt, recompose))), "recompose with DeleteItem");
            Equal("db-01", string.Join(",", alice.Get(dbTier).Root.Element(NS.V + "Children").Elements(NS.V + "Vm").Select(v => (string)v.Attribute("name"))),
                  "the VM left the vApp");
            Check(IsError(alice.Get(db2), 403), "the removed VM is gone");
            string web2 = alice.HrefOf("vm", "web-02");
            string foreign = "<RecomposeVAppParams xmlns=\"" + VNs + "\"><DeleteItem href=\"" + web2 + "\"/></RecomposeVAppParams>";
            Check(IsError(alice.Post(dbTier + "/action/recomposeVApp", RecomposeCt, foreign), 400), "recompose refuses a VM of another vApp");

            string staging = alice.HrefOf("vApp", "staging");
            Equal("success", Status(alice.Wait(alice.Delete(staging))), "delete an empty vApp");
            string gold = alice.HrefOf("orgVdc", "Acme-Gold");
            Check(!alice.Get(gold).Root.Descendants(NS.V + "ResourceEntity").Any(e => (string)e.Attribute("name") == "staging"), "the VDC no longer lists it");
            Check(IsError(alice.Delete(alice.HrefOf("vApp", "dev-sandbox")), 400), "a vApp with running VMs cannot be deleted");
        }

        // ---- imports --------------------------------------------------------------------------------------------

        static string ImportInto(string vapp, string moref, string name, string profile, string refPrefix = "vmext")
        {
            return "<vmext:ImportVmIntoExistingVAppParams xmlns:vmext=\"" + ExtNs + "\" xmlns:vcloud=\"" + VNs + "\" sourceMove=\"false\">" +
                   "<vmext:VmName>" + name + "</vmext:VmName><vmext:VmDescription>restored copy</vmext:VmDescription>" +
                   "<vmext:VmMoRef>" + moref + "</vmext:VmMoRef>" +
                   (profile == null ? "" : "<" + refPrefix + ":VdcStorageProfile href=\"" + profile + "\"/>") +
                   "<" + refPrefix + ":VApp href=\"" + vapp + "\"/></vmext:ImportVmIntoExistingVAppParams>";
        }

        static string ImportAs(string vdc, string moref, string name)
        {
            return "<vmext:ImportVmAsVAppParams xmlns:vmext=\"" + ExtNs + "\" xmlns:vcloud=\"" + VNs + "\" name=\"" + name + "\" sourceMove=\"false\">" +
                   "<vmext:VmName>" + name + "-vm</vmext:VmName><vmext:VmMoRef>" + moref + "</vmext:VmMoRef>" +
                   "<vmext:Vdc href=\"" + vdc + "\"/></vmext:ImportVmAsVAppParams>";
        }

        static void Imports(Sim s)
        {
            var admin = Admin(s);
            string east = admin.HrefOf("virtualCenter", "vc-east");
            string west = admin.HrefOf("virtualCenter", "vc-west");
            string webTier = admin.HrefOf("adminVApp", "web-tier");
            string silverSp = admin.Records(F("adminOrgVdcStorageProfile", "name==Silver;vdcName==Acme-Gold")).Single().Attribute("href").Value;

            var into = admin.Post(east + "/importVmIntoExistingVApp", ImportIntoCt, ImportInto(webTier, "vm-9001", "restored-01", silverSp));
            Check(into.Status == 202, "import into an existing vApp answers with a Task", into.ToString());
            Equal("success", Status(admin.Wait(into)), "the import succeeds");
            var rec = admin.Records(F("adminVM", "name==restored-01")).SingleOrDefault();
            Check(rec != null && (string)rec.Attribute("moref") == "vm-9001" && (string)rec.Attribute("containerName") == "web-tier" &&
                  (string)rec.Attribute("vc") == east && (string)rec.Attribute("storageProfileName") == "Silver" &&
                  (string)rec.Attribute("status") == "POWERED_OFF", "the imported VM is in the vApp with its moref and profile");
            Check(IsError(admin.Post(east + "/importVmIntoExistingVApp", ImportIntoCt, ImportInto(webTier, "vm-9001", "again", null)), 400), "a moref cannot be imported twice");
            string managed = (string)admin.Records(F("adminVM", "name==db-01")).Single().Attribute("moref");
            Check(IsError(admin.Post(east + "/importVmIntoExistingVApp", ImportIntoCt, ImportInto(webTier, managed, "dup", null)), 400), "a managed VM cannot be imported");
            Check(IsError(admin.Post(west + "/importVmIntoExistingVApp", ImportIntoCt, ImportInto(webTier, "vm-9002", "x", null)), 400), "the vApp's VDC must be on that vCenter");
            Check(IsError(admin.Post(east + "/importVmIntoExistingVApp", ImportIntoCt, ImportInto(webTier, "vm-9003", "web-02", null)), 400, "DUPLICATE_NAME"), "VM names are unique in a vApp");
            Check(IsError(admin.Post(east + "/importVmIntoExistingVApp", "application/xml", ImportInto(webTier, "vm-9004", "y", null)), 415), "import checks the media type");
            var spelled = admin.Post(east + "/importVmIntoExistingVApp", ImportIntoCt, ImportInto(webTier, "vm-9005", "restored-02", silverSp, "vcloud"));
            Equal("success", Status(admin.Wait(spelled)), "references in the vcloud namespace are read too");
            Equal("Silver", (string)admin.Records(F("adminVM", "name==restored-02")).Single().Attribute("storageProfileName"), "including the storage profile");

            string silverVdc = admin.HrefOf("adminOrgVdc", "Acme-Silver");
            var asApp = admin.Post(west + "/importVmAsVApp", ImportAsCt, ImportAs(silverVdc, "vm-7001", "restored-app"));
            Check(asApp.Status == 201 && asApp.Root.Name == NS.V + "VApp" && asApp.Root.Element(NS.V + "Tasks") != null, "import as a vApp answers with the VApp and its task", asApp.ToString());
            Equal("success", Status(admin.Wait(asApp)), "the import as a vApp succeeds");
            var appRec = admin.Records(F("adminVApp", "name==restored-app")).SingleOrDefault();
            Check(appRec != null && (string)appRec.Attribute("numberOfVMs") == "1", "the new vApp holds the VM");
            Check(IsError(admin.Post(west + "/importVmAsVApp", ImportAsCt, ImportAs(silverVdc, "vm-7002", "dev-sandbox")), 400, "DUPLICATE_NAME"), "vApp names are unique in a VDC");
            Check(IsError(Alice(s).Post(east + "/importVmIntoExistingVApp", ImportIntoCt, ImportInto(webTier, "vm-9005", "z", null)), 403), "tenants cannot import");
        }

        // ---- metadata, owner, access control ----------------------------------------------------------------

        static string MetaValue(string type, string value)
        {
            return "<MetadataValue xmlns=\"" + VNs + "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><TypedValue xsi:type=\"" + type + "\"><Value>" + value + "</Value></TypedValue></MetadataValue>";
        }

        static void MetadataOwnerAccess(Sim s)
        {
            var alice = Alice(s);
            var admin = Admin(s);
            string dev1 = alice.HrefOf("vm", "dev-01");
            Equal("success", Status(alice.Wait(alice.Put(dev1 + "/metadata/backup-policy", MetaValueCt, MetaValue("MetadataStringValue", "bronze")))), "set a metadata value");
            var got = alice.Get(dev1 + "/metadata/backup-policy").Root;
            Equal("bronze", (string)got.Element(NS.V + "TypedValue")?.Element(NS.V + "Value"), "read it back");
            Equal("dev-01", string.Join(",", alice.Names(F("vm", "metadata:backup-policy==STRING:bronze"))), "the query service sees it");
            Check(IsError(alice.Put(dev1 + "/metadata/size", MetaValueCt, MetaValue("MetadataNumberValue", "big")), 400), "a NUMBER value must be a number");
            string two = "<Metadata xmlns=\"" + VNs + "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">" +
                         "<MetadataEntry><Key>tier</Key><TypedValue xsi:type=\"MetadataStringValue\"><Value>dev</Value></TypedValue></MetadataEntry>" +
                         "<MetadataEntry><Key>slots</Key><TypedValue xsi:type=\"MetadataNumberValue\"><Value>4</Value></TypedValue></MetadataEntry></Metadata>";
            Equal("success", Status(alice.Wait(alice.Post(dev1 + "/metadata", MetaCt, two))), "merge several entries");
            var keys = alice.Get(dev1 + "/metadata").Root.Elements(NS.V + "MetadataEntry").Select(e => (string)e.Element(NS.V + "Key")).OrderBy(k => k).ToList();
            Equal("backup-policy,slots,tier", string.Join(",", keys), "all entries are listed");
            Equal("success", Status(alice.Wait(alice.Delete(dev1 + "/metadata/tier"))), "delete an entry");
            Check(IsError(alice.Get(dev1 + "/metadata/tier"), 403, "ACCESS_TO_RESOURCE_IS_FORBIDDEN"), "a deleted (missing) key answers 403");
            Equal("bronze", (string)alice.Get(dev1 + "/metadata/GENERAL/backup-policy").Root.Element(NS.V + "TypedValue")?.Element(NS.V + "Value"),
                  "a key by its domain, GENERAL");
            Check(IsError(alice.Get(dev1 + "/metadata/SYSTEM/backup-policy"), 403), "a GENERAL key is not in the SYSTEM domain");
            Check(IsError(alice.Put(dev1 + "/metadata/SYSTEM/audit", MetaValueCt, MetaValue("MetadataStringValue", "x")), 403), "only System writes the SYSTEM domain");
            Equal("success", Status(admin.Wait(admin.Put(dev1 + "/metadata/SYSTEM/audit", MetaValueCt, MetaValue("MetadataStringValue", "kept")))),
                  "System sets a SYSTEM key by its domain");
            var audit = alice.Get(dev1 + "/metadata/SYSTEM/audit");
            Check(audit.Status == 200 && ((string)audit.Root.Attribute("href")).EndsWith("/metadata/SYSTEM/audit") &&
                  (string)audit.Root.Element(NS.V + "Domain") == "SYSTEM", "and reads it back under SYSTEM", audit.ToString());
            Check(IsError(alice.Get(dev1 + "/metadata/audit"), 403), "a SYSTEM key is not found without its domain");
            Equal(404, alice.Get(dev1 + "/metadata/OTHER/audit").Status, "an unknown domain is not a path");

            string webTier = alice.HrefOf("vApp", "web-tier");
            string carol = admin.Records(F("adminUser", "name==carol")).Single().Attribute("href").Value;
            string dave = admin.Records(F("adminUser", "name==dave")).Single().Attribute("href").Value;
            string bob = admin.Records(F("adminUser", "name==bob")).Single().Attribute("href").Value;
            string group = alice.Get(alice.HrefOf("organization", "Acme").Replace("/api/org/", "/api/admin/org/")).Root
                .Element(NS.V + "Groups").Elements(NS.V + "GroupReference").First().Attribute("href").Value;
            string owner = "<Owner xmlns=\"" + VNs + "\"><User href=\"" + carol + "\"/></Owner>";
            Equal(204, alice.Put(webTier + "/owner", OwnerCt, owner).Status, "change the vApp owner");
            Equal("carol", (string)alice.Get(webTier + "/owner").Root.Element(NS.V + "User").Attribute("name"), "the new owner is shown");
            Check(IsError(alice.Put(webTier + "/owner", OwnerCt, "<Owner xmlns=\"" + VNs + "\"><User href=\"" + bob + "\"/></Owner>"), 400), "the owner must belong to the organization");

            Func<string, string, string, string> setting = (href, type, level) =>
                "<AccessSetting><Subject href=\"" + href + "\" type=\"" + type + "\"/><AccessLevel>" + level + "</AccessLevel></AccessSetting>";
            string acl = "<ControlAccessParams xmlns=\"" + VNs + "\"><IsSharedToEveryone>false</IsSharedToEveryone><AccessSettings>" +
                         setting(dave, P + "admin.user+xml", "FullControl") + setting(group, P + "admin.group+xml", "ReadOnly") +
                         "</AccessSettings></ControlAccessParams>";
            var set = alice.Post(webTier + "/action/controlAccess", AccessCt, acl);
            Check(set.Status == 200 && set.Root.Name == NS.V + "ControlAccessParams", "set access control", set.ToString());
            var read = alice.Get(webTier + "/controlAccess/").Root.Descendants(NS.V + "AccessSetting").ToList();
            Check(read.Count == 2 && read.Any(x => (string)x.Element(NS.V + "Subject").Attribute("name") == "dave" && (string)x.Element(NS.V + "AccessLevel") == "FullControl") &&
                  read.Any(x => (string)x.Element(NS.V + "Subject").Attribute("type") == P + "admin.group+xml"), "the settings read back with users and groups");
            string dup = "<ControlAccessParams xmlns=\"" + VNs + "\"><IsSharedToEveryone>false</IsSharedToEveryone><AccessSettings>" +
                         setting(dave, P + "admin.user+xml", "FullControl") + setting(dave, P + "admin.user+xml", "ReadOnly") + "</AccessSettings></ControlAccessParams>";
            Check(IsError(alice.Post(webTier + "/action/controlAccess", AccessCt, dup), 400), "a subject may appear once only");
            string stranger = "<ControlAccessParams xmlns=\"" + VNs + "\"><IsSharedToEveryone>false</IsSharedToEveryone><AccessSettings>" +
                              setting(bob, P + "admin.user+xml", "ReadOnly") + "</AccessSettings></ControlAccessParams>";
            Check(IsError(alice.Post(webTier + "/action/controlAccess", AccessCt, stranger), 400), "subjects must belong to the organization");
            // A refused request changes nothing, sharing with everyone included.
            string everyone = "<ControlAccessParams xmlns=\"" + VNs + "\"><IsSharedToEveryone>true</IsSharedToEveryone></ControlAccessParams>";
            Check(IsError(alice.Post(webTier + "/action/controlAccess", AccessCt, everyone), 400), "sharing with everyone needs an access level");
            Equal("false", (string)alice.Get(webTier + "/controlAccess/").Root.Element(NS.V + "IsSharedToEveryone"),
                  "a refused request leaves the vApp unshared");
        }

        // ---- network sections, VM edits, deploy, templates -----------------------------------------------------

        static void SectionsAndEdits(Sim s)
        {
            var alice = Alice(s);
            var bob = new Client(s).Login("bob", "Globex", "bob1!");
            var acmeTasks = new List<string>();   // the tasks this group starts in Acme
            Func<XElement, XElement> acme = task => { acmeTasks.Add((string)task.Attribute("href")); return task; };
            var carol = new Client(s).Login("carol", "Acme", "carol1!");
            const string NcsCt = P + "vcloud.networkConnectionSection+xml";
            const string NcfgCt = P + "vcloud.networkConfigSection+xml";
            const string VmCt = P + "vcloud.vm+xml";

            string dev1 = alice.HrefOf("vm", "dev-01");
            var ncs = alice.Get(dev1 + "/networkConnectionSection/");
            Check(ncs.Status == 200 && ncs.Root.Name == NS.V + "NetworkConnectionSection" &&
                  (string)ncs.Root.Element(NS.V + "NetworkConnection").Attribute("network") == "acme-dev", "GET a VM's network connections", ncs.ToString());
            Func<string, string> nics = body => "<NetworkConnectionSection xmlns=\"" + VNs + "\" xmlns:ovf=\"http://schemas.dmtf.org/ovf/envelope/1\">" +
                "<ovf:Info>nics</ovf:Info><PrimaryNetworkConnectionIndex>0</PrimaryNetworkConnectionIndex>" + body + "</NetworkConnectionSection>";
            Func<string, int, string, string> nic = (net, idx, mode) => "<NetworkConnection network=\"" + net + "\"><NetworkConnectionIndex>" + idx +
                "</NetworkConnectionIndex><IsConnected>true</IsConnected><IpAddressAllocationMode>" + mode + "</IpAddressAllocationMode></NetworkConnection>";
            Equal("success", Status(acme(alice.Wait(alice.Put(dev1 + "/networkConnectionSection/", NcsCt, nics(nic("acme-dev", 0, "POOL") + nic("none", 1, "NONE")))))), "replace the network connections");
            var st = alice.State(dev1);
            var list = (List<object>)st["nics"];
            Check(list.Count == 2 && (string)((Dictionary<string, object>)list[0])["ip"] != "" && (string)((Dictionary<string, object>)list[1])["network"] == "none",
                  "the new adapters have a pool address and 'none'");
            Check(IsError(alice.Put(dev1 + "/networkConnectionSection/", NcsCt, nics(nic("acme-web", 0, "POOL"))), 400), "a network the vApp lacks is refused");
            Check(IsError(alice.Put(dev1 + "/networkConnectionSection/", NcsCt, nics(nic("acme-dev", 0, "POOL") + nic("none", 0, "NONE"))), 400), "adapter indexes are unique");

            string webTier = alice.HrefOf("vApp", "web-tier");
            string acmeDb = alice.HrefOf("orgVdcNetwork", "acme-db");
            string acmeWeb = alice.HrefOf("orgVdcNetwork", "acme-web");
            Func<string, string, string> cfg = (name, parent) => "<NetworkConfig networkName=\"" + name + "\"><Configuration><ParentNetwork href=\"" + parent +
                "\"/><FenceMode>bridged</FenceMode></Configuration></NetworkConfig>";
            Func<string, string> section = body => "<NetworkConfigSection xmlns=\"" + VNs + "\" xmlns:ovf=\"http://schemas.dmtf.org/ovf/envelope/1\"><ovf:Info>n</ovf:Info>" + body + "</NetworkConfigSection>";
            Equal("success", Status(acme(alice.Wait(alice.Put(webTier + "/networkConfigSection/", NcfgCt, section(cfg("acme-web", acmeWeb) + cfg("acme-db", acmeDb)))))), "add a vApp network");
            Check(alice.Get(webTier).Root.Descendants(NS.V + "NetworkConfig").Any(n => (string)n.Attribute("networkName") == "acme-db"), "the vApp lists the new network");
            Check(IsError(alice.Put(webTier + "/networkConfigSection/", NcfgCt, section(cfg("acme-db", acmeDb))), 400), "a network still in use cannot be removed");
            string globexNet = Admin(s).HrefOf("orgVdcNetwork", "globex-net");
            Check(IsError(alice.Put(webTier + "/networkConfigSection/", NcfgCt, section(cfg("acme-web", acmeWeb) + cfg("g", globexNet))), 400), "the parent network must belong to the VDC");

            string erpApp = bob.HrefOf("vm", "erp-app-01");
            string edit = "<Vm xmlns=\"" + VNs + "\" name=\"erp-app-01\"><Description>ERP front end</Description></Vm>";
            Equal("success", Status(bob.Wait(bob.Put(erpApp, VmCt, edit))), "edit a VM's description");
            Equal("ERP front end", (string)bob.Get(erpApp).Root.Element(NS.V + "Description"), "the description changed");
            Check(IsError(bob.Put(erpApp, VmCt, "<Vm xmlns=\"" + VNs + "\" name=\"erp-db-01\"/>"), 400, "DUPLICATE_NAME"), "a rename onto a sibling's name is refused");
            string acmeSilver = Admin(s).Records(F("adminOrgVdcStorageProfile", "name==Silver;vdcName==Acme-Gold")).Single().Attribute("href").Value;
            Check(IsError(bob.Put(erpApp, VmCt, "<Vm xmlns=\"" + VNs + "\" name=\"erp-app-01\"><StorageProfile href=\"" + acmeSilver + "\"/></Vm>"), 400), "a storage profile of another VDC is refused");

            string mail = bob.HrefOf("vm", "mail-01");
            string deploy = "<DeployVAppParams xmlns=\"" + VNs + "\" powerOn=\"false\"/>";
            Equal("success", Status(bob.Wait(bob.Post(mail + "/action/deploy", P + "vcloud.deployVAppParams+xml", deploy))), "deploy without power on");
            var ms = bob.State(mail);
            Check((bool)ms["deployed"] && (string)ms["powerState"] == "off", "the VM is deployed and still off");
            Check(IsError(bob.Post(mail + "/action/deploy", P + "vcloud.deployVAppParams+xml", deploy), 400), "deploying twice is refused");

            string tpl = alice.HrefOf("vAppTemplate", "ubuntu-22.04-base");
            var t = alice.Get(tpl).Root;
            var tvm = t.Element(NS.V + "Children")?.Element(NS.V + "Vm");
            Check(tvm != null && ((string)tvm.Attribute("href")).Contains("/api/vAppTemplate/vm-"), "a template holds its VMs under /api/vAppTemplate");
            Equal(200, alice.Get((string)tvm.Attribute("href")).Status, "a template VM can be read");
            Check(IsError(alice.Get(((string)tvm.Attribute("href")).Replace("/vAppTemplate/", "/vApp/")), 403), "but not as a vApp VM");
            var cat = alice.Get(alice.HrefOf("catalog", "Acme-Templates")).Root;
            string item = (string)cat.Element(NS.V + "CatalogItems").Element(NS.V + "CatalogItem").Attribute("href");
            Equal(tpl, (string)alice.Get(item).Root.Element(NS.V + "Entity").Attribute("href"), "the catalog item points at the template");

            var tasks = alice.Get("api/tasksList/" + alice.HrefOf("organization", "Acme").Split('/').Last());
            Check(tasks.Status == 200 && acmeTasks.Count == 2
                && acmeTasks.All(h => tasks.Root.Elements(NS.V + "Task").Any(x => (string)x.Attribute("href") == h)),
                "the organization's tasks list holds its tasks");
            string vdc = alice.HrefOf("orgVdc", "Acme-Gold");
            string meta = MetaValue("MetadataStringValue", "east");
            Check(IsError(carol.Put(vdc + "/metadata/region", MetaValueCt, meta), 403), "only administrators set VDC metadata");
            Equal("success", Status(alice.Wait(alice.Put(vdc + "/metadata/region", MetaValueCt, meta))), "an organization administrator can");
            int all = int.Parse((string)alice.Get("api/query?type=vm").Root.Attribute("total"));
            var shifted = alice.Records("type=vm&pageSize=4&offset=" + (all - 3) + "&sortAsc=name");
            Check(shifted.Count == 3 && (string)shifted.Last().Attribute("name") == "web-03", "offset skips records", shifted.Count.ToString());
        }

        // ---- faults ---------------------------------------------------------------------------------------------

        static void FaultInjection(Sim s)
        {
            var alice = Alice(s);
            alice.Control("POST", "faults/reset");
            var set = alice.Control("POST", "faults?error500=0.5&path=/api/org");
            Check(set.Status == 200 && set.Body.Contains("\"error500\":0.5"), "faults are set through the control endpoint", set.ToString());
            var codes = Enumerable.Range(0, 4).Select(i => alice.Get("api/org")).ToList();
            Equal(2, codes.Count(a => a.Status == 500), "half of the matching requests fail with 500");
            Check(codes.Where(a => a.Status == 500).All(a => IsError(a, 500)), "the 500 answers carry an Error element");
            Equal(200, alice.Get("api/session").Status, "requests outside the fault path are untouched");
            alice.Control("POST", "faults/reset");

            alice.Control("POST", "faults?error503=1&count=1");
            Equal(503, alice.Get("api/org").Status, "a single 503");
            Equal(200, alice.Get("api/org").Status, "count limits the fault to the next request");

            alice.Control("POST", "faults?latencyMs=300&count=1");
            var sw = Stopwatch.StartNew();
            alice.Get("api/org");
            Check(sw.ElapsedMilliseconds >= 250, "added latency delays the answer", sw.ElapsedMilliseconds + " ms");

            alice.Control("POST", "faults?tokenExpiresAfter=2");
            Equal(200, alice.Get("api/org").Status, "first request within the token's life");
            Equal(200, alice.Get("api/org").Status, "second request within the token's life");
            Check(IsError(alice.Get("api/org"), 401), "the token expires after N requests");
            Equal(401, alice.Get("api/org").Status, "and stays expired");
            var again = Alice(s);
            Equal(200, again.Get("api/org").Status, "a new login works");
            alice.Control("POST", "faults/reset");
            Equal(200, again.Get("api/org").Status, "after reset tokens live on");
            Equal(200, again.Get("api/org").Status, "after reset tokens live on (2)");

            alice = again;
            alice.Control("POST", "faults?truncate=1&count=1");
            bool broken;
            try
            {
                var a = alice.Get("api/org");
                broken = a.Status != 200 || !Parses(a.Body);
            }
            catch (Exception) { broken = true; }
            Check(broken, "a truncated body breaks the exchange");
            Equal(200, alice.Get("api/org").Status, "the next request is whole again");

            alice.Control("POST", "faults?malformed=1&count=1");
            var mal = alice.Get("api/org");
            Check(mal.Status == 200 && !Parses(mal.Body), "a malformed body does not parse as XML");

            alice.Control("POST", "faults?html=1&count=1");
            var html = alice.Get("api/org");
            Check(html.Status == 502 && html.ContentType.StartsWith("text/html") && html.Body.Contains("<html"), "a proxy answers with an HTML page", html.ToString());
            alice.Control("POST", "faults?html=1&htmlStatus=200&count=1");
            var html200 = alice.Get("api/org");
            Check(html200.Status == 200 && html200.ContentType.StartsWith("text/html"), "an HTML page can come with 200");

            Equal(400, alice.Control("POST", "faults?nosuch=1").Status, "unknown fault settings are refused");
            Equal(400, alice.Control("POST", "faults?error500=2").Status, "shares are between 0 and 1");
            alice.Control("POST", "faults/reset");
            var f = alice.Control("GET", "faults");
            Check(f.Body.Contains("\"error500\":0,") && f.Body.Contains("\"taskMs\":60"), "reset restores the defaults", f.Body);

            alice.Control("POST", "counters/reset");
            for (int i = 0; i < 3; i++) alice.Get("api/org");
            alice.Get("api/session");
            var c = Json.Parse(alice.Control("GET", "counters?prefix=/api/org").Body) as Dictionary<string, object>;
            Check((double)c["count"] == 3 && (double)c["total"] == 4, "counters count per path prefix and in total", alice.Control("GET", "counters").Body);
            var state = Json.Parse(alice.Control("GET", "state").Body) as Dictionary<string, object>;
            Check((double)state["orgs"] == 3 && state.ContainsKey("vms"), "the state summary answers");
        }

        static bool Parses(string xml)
        {
            try { XDocument.Parse(xml); return true; } catch (Exception) { return false; }
        }

        // ---- paging over a generated cloud ----------------------------------------------------------------------

        static void Paging()
        {
            using (var gen = new Sim(exe, "--generate 2,2,5,30"))
            {
                var admin = Admin(gen);
                var first = admin.Get("api/query?type=adminVM&pageSize=128");
                var root = first.Root;
                Check((string)root.Attribute("total") == "600" && (string)root.Attribute("pageSize") == "128" && (string)root.Attribute("page") == "1",
                      "page 1 reports total, page and page size", first.ToString());
                Equal(128, root.Elements(NS.V + "AdminVMRecord").Count(), "a full page of records");
                var last = root.Elements(NS.V + "Link").FirstOrDefault(k => (string)k.Attribute("rel") == "lastPage");
                Check(last != null && ((string)last.Attribute("href")).Contains("page=5"), "lastPage points at page 5");
                Check(!root.Elements(NS.V + "Link").Any(k => (string)k.Attribute("rel") == "previousPage"), "page 1 has no previousPage");

                var seen = new HashSet<string>();
                int pages = 0, records = 0;
                string next = "api/query?type=adminVM&pageSize=128&filter=" + Uri.EscapeDataString("isVAppTemplate==false");
                while (next != null && pages < 20)
                {
                    var p = admin.Get(next).Root;
                    pages++;
                    foreach (var r in p.Elements(NS.V + "AdminVMRecord")) { records++; seen.Add((string)r.Attribute("href")); }
                    var nl = p.Elements(NS.V + "Link").FirstOrDefault(k => (string)k.Attribute("rel") == "nextPage");
                    next = nl == null ? null : (string)nl.Attribute("href");
                    if (pages == 2)
                        Check(p.Elements(NS.V + "Link").Any(k => (string)k.Attribute("rel") == "previousPage"), "later pages link back");
                }
                Equal(5, pages, "following nextPage visits every page");
                Equal(600, records, "every record arrives");
                Equal(600, seen.Count, "no record arrives twice");

                Equal("128", (string)admin.Get("api/query?type=adminVM&pageSize=1000").Root.Attribute("pageSize"), "pageSize is capped at 128");
                Equal(25, admin.Records("type=adminVM").Count, "the default page size is 25");
                Equal(88, admin.Records("type=adminVM&pageSize=128&page=5").Count, "the last page holds the rest");
                Check(IsError(admin.Get("api/query?type=adminVM&pageSize=128&page=6"), 400), "a page past the end gives 400");
                Check(IsError(admin.Get("api/query?type=adminVM&page=0"), 400), "page 0 gives 400");
                Check(IsError(admin.Get("api/query?type=adminVM&pageSize=abc"), 400), "a non-numeric page size gives 400");
                var refs = admin.Get("api/query?type=adminVM&format=references&pageSize=50&page=2").Root;
                Check(refs.Name == NS.V + "QueryResultReferences" && refs.Elements(NS.V + "VMReference").Count() == 50, "references format pages too");
                var empty = admin.Get("api/query?type=adminVM&filter=" + Uri.EscapeDataString("name==nothing*")).Root;
                Check((string)empty.Attribute("total") == "0" && !empty.Elements(NS.V + "AdminVMRecord").Any(), "an empty result is page 1 of 0");

                var tenant = new Client(gen).Login("admin", "Org001", "admin1!");
                Equal("300", (string)tenant.Get("api/query?type=vm&pageSize=128").Root.Attribute("total"), "a tenant pages over its own organization");
                var tenantSeen = new HashSet<string>();
                for (int pg = 1; pg <= 3; pg++)
                    foreach (var r in tenant.Records("type=vm&pageSize=128&page=" + pg)) tenantSeen.Add((string)r.Attribute("href"));
                Equal(300, tenantSeen.Count, "the tenant's pages hold distinct VMs");

                // A change between page requests shows up in later pages: the result is not frozen.
                string vmHref = (string)admin.Records("type=adminVM&pageSize=1&filter=" + Uri.EscapeDataString("status==POWERED_ON")).Single().Attribute("href");
                int before = int.Parse((string)admin.Get("api/query?type=adminVM&filter=" + Uri.EscapeDataString("status==POWERED_ON")).Root.Attribute("total"));
                admin.Wait(admin.Post(vmHref + "/power/action/powerOff"));
                int after = int.Parse((string)admin.Get("api/query?type=adminVM&filter=" + Uri.EscapeDataString("status==POWERED_ON")).Root.Attribute("total"));
                Equal(before - 1, after, "a power change is visible to the next query");
            }
        }

        // ---- a server below API 33 ----------------------------------------------------------------------------

        static void LegacyServer()
        {
            using (var old = new Sim(exe, "--api-versions 31.0,32.0 --product-version 9.7.0.15498291"))
            {
                var c = new Client(old) { Version = "32.0" };
                Equal(2, c.Send("GET", "api/versions", accept: "application/*+xml").Root.Elements(NS.Versions + "VersionInfo").Count(), "only the configured versions");
                Equal(404, c.TryLogin("alice", "Acme", "alice1!", false).Status, "no OpenAPI login below API 33");
                var l = c.Send("POST", "api/sessions", tweak: r => r.Headers.TryAddWithoutValidation("Authorization", Client.Basic("administrator@System", "vmware1!")));
                Equal(200, l.Status, "legacy login");
                c.LegacyToken = l.Header("x-vcloud-authorization");
                Check(((string)c.Get("api/admin").Root.Element(NS.V + "Description")).StartsWith("9.7.0."), "the product version follows the option");
                string acme = (string)c.Get("api/org").Root.Elements(NS.V + "Org").First(o => (string)o.Attribute("name") == "Acme").Attribute("href");
                Equal("Acme-Gold,Acme-Silver", string.Join(",", c.Get(acme).Root.Elements(NS.V + "Link")
                    .Where(k => (string)k.Attribute("type") == P + "vcloud.vdc+xml").Select(k => (string)k.Attribute("name")).OrderBy(n => n)),
                    "below API 33 the Org links its VDCs");
                Equal("Acme-Gold,Acme-Silver", string.Join(",", c.Names("type=adminOrgVdc&filterEncoded=true&filter=" +
                    Uri.EscapeDataString("org==" + Uri.EscapeDataString(acme) + ";name==Acme%2D*"))), "below API 35 filterEncoded=true decodes each value");
                var first = c.Get("api/query?type=adminOrgVdc&filterEncoded=true&pageSize=1&filter=" + Uri.EscapeDataString("name==Acme%2D*")).Root;
                var next = first.Elements(NS.V + "Link").FirstOrDefault(k => (string)k.Attribute("rel") == "nextPage");
                Check(next != null && c.Get((string)next.Attribute("href")).Root.Elements(NS.V + "AdminVdcRecord").Count() == 1,
                      "the next page keeps filterEncoded", next == null ? first.ToString() : (string)next.Attribute("href"));
                Check(IsError(c.Send("GET", "api/org", accept: "application/*+xml;version=38.0"), 406), "38.0 is not served by this server");
                Check(c.Get(acme).Root.Elements(NS.V + "Link").Any(k => ((string)k.Attribute("type") ?? "").EndsWith("+json")),
                      "at 32.0 links come with +json twins");
                c.Version = "31.0";
                Check(!c.Get(acme).Root.Elements(NS.V + "Link").Any(k => ((string)k.Attribute("type") ?? "").EndsWith("+json")),
                      "below 32.0 each link comes once");
            }
        }

        // ---- real-server manners ----------------------------------------------------------------------------

        static readonly string[] RootNamespaces =
        {
            "http://schemas.dmtf.org/ovf/envelope/1", "http://schemas.dmtf.org/wbem/wscim/1/cim-schema/2/CIM_VirtualSystemSettingData",
            "http://schemas.dmtf.org/wbem/wscim/1/common", "http://schemas.dmtf.org/wbem/wscim/1/cim-schema/2/CIM_ResourceAllocationSettingData",
            "http://www.vmware.com/schema/ovf", "http://schemas.dmtf.org/ovf/environment/1", ExtNs,
        };

        // The namespaces a root declares, by prefix ("" for the default one).
        static Dictionary<string, string> Declared(XElement root)
        {
            return root.Attributes().Where(a => a.IsNamespaceDeclaration)
                .ToDictionary(a => a.Name.Namespace == XNamespace.None ? "" : a.Name.LocalName, a => a.Value);
        }

        // Every Link with an +xml media type has a +json twin right after it, same rel and href, and no
        // other Link is doubled.
        static string TwinFault(XElement root)
        {
            var links = root.Descendants(NS.V + "Link").ToList();
            for (int i = 0; i < links.Count; i++)
            {
                string type = (string)links[i].Attribute("type") ?? "";
                if (type.EndsWith("+json")) continue;
                bool twin = i + 1 < links.Count && (string)links[i + 1].Attribute("href") == (string)links[i].Attribute("href")
                            && (string)links[i + 1].Attribute("rel") == (string)links[i].Attribute("rel");
                if (type.EndsWith("+xml"))
                {
                    if (!twin || (string)links[i + 1].Attribute("type") != type.Substring(0, type.Length - 4) + "+json") return links[i].ToString();
                }
                else if (twin && ((string)links[i + 1].Attribute("type") ?? "") == type) return "doubled: " + links[i];
            }
            return null;
        }

        static void Manners(Sim s)
        {
            var admin = Admin(s);
            var alice = Alice(s);
            string web01 = alice.HrefOf("vm", "web-01");
            string acme = (string)alice.Get("api/org").Root.Elements(NS.V + "Org").First().Attribute("href");

            // The vcloud namespace sits on a prefix in one answer and is the default in the next; readers that go
            // by namespace see the same document.
            var a1 = alice.Get(web01);
            var a2 = alice.Get(web01);
            var forms = new[] { a1, a2 }.Select(a => a.Root.GetPrefixOfNamespace(NS.V) ?? "").OrderBy(p => p).ToList();
            Equal("|ns5", string.Join("|", forms), "two answers in a row: one default namespace, one ns5 prefix");
            Check(XNode.DeepEquals(Strip(a1.Root), Strip(a2.Root)), "both forms carry the same elements and attributes");
            var prefixed = a1.Body.Contains("<ns5:Vm ") ? a1 : a2;
            Check(prefixed.Body.Contains("<ns5:VmSpecSection") && !Regex.IsMatch(prefixed.Body, "<(Link|Vm|Name) "),
                  "in the prefixed form every vcloud element carries the prefix", prefixed.ToString());

            // Every root but the versions document declares the whole namespace set, used or not; no schemaLocation.
            foreach (string path in new[] { "api/org", acme, web01, "api/query?type=vm&pageSize=1", "api/session" })
            {
                var a = alice.Get(path);
                var d = Declared(a.Root);
                Check(RootNamespaces.All(d.ContainsValue) && d.ContainsKey("ns9") && d["ns9"] == NS.Versions.NamespaceName,
                      "the root of " + path + " declares rasd, ovf, vssd, common, vmw, ovfenv, vmext and versions (ns9)", a.ToString());
                Check(a.Root.Attribute(NS.Xsi + "schemaLocation") == null, "no xsi:schemaLocation on " + path);
                Check(TwinFault(a.Root) == null, "every +xml link of " + path + " has its +json twin", TwinFault(a.Root));
                // Content-Type: the media type in lower case; the body's type attribute in camel case.
                string ct = a.ContentType.Split(';')[0];
                Check(ct == ct.ToLowerInvariant() && a.ContentType.EndsWith("version=38.0"), "lower-case Content-Type with the version for " + path, a.ContentType);
                string type = (string)a.Root.Attribute("type") ?? "";
                Check(string.Equals(type, ct, StringComparison.OrdinalIgnoreCase), "the type attribute names the same media type", type + " / " + ct);
            }
            Equal(P + "vcloud.orgList+xml", (string)alice.Get("api/org").Root.Attribute("type"), "the type attribute keeps its camel case");
            Equal(P + "vcloud.orglist+xml;version=38.0", alice.Get("api/org").ContentType.Replace(" ", ""), "the Content-Type is lower case");
            var vc = admin.Get(admin.HrefOf("virtualCenter", "vc-east"));
            Check(vc.Root.Name == NS.Ext + "VimServer" && RootNamespaces.All(Declared(vc.Root).ContainsValue) && TwinFault(vc.Root) == null,
                  "a vmext root declares the same set, its links twinned", vc.ToString());
            var meta = alice.Get(web01 + "/metadata");
            var typed = meta.Root.Descendants(NS.V + "TypedValue").First();
            Equal(NS.V + "MetadataStringValue", XsiType(typed), "xsi:type names the vcloud type in either form");
            var meta2 = alice.Get(web01 + "/metadata");
            Equal(NS.V + "MetadataStringValue", XsiType(meta2.Root.Descendants(NS.V + "TypedValue").First()), "and in the other form");

            // The versions document: plain text/xml, the versions namespace as default and vcloud on ns2, every
            // VersionInfo marked deprecated or not, no MediaTypeMapping, SchemaRoot last.
            var v = new Client(s).Send("GET", "api/versions", accept: "application/*+xml");
            Equal("text/xml", v.ContentType, "the versions document is text/xml with no version");
            var vd = Declared(v.Root);
            Check(vd.ContainsKey("") && vd[""] == NS.Versions.NamespaceName && vd.ContainsKey("ns2") && vd["ns2"] == VNs,
                  "versions as the default namespace, vcloud bound to ns2", v.ToString());
            Check(v.Root.Elements(NS.Versions + "VersionInfo").All(i => i.Attribute("deprecated") != null) &&
                  !v.Root.Descendants(NS.Versions + "MediaTypeMapping").Any(), "every VersionInfo says deprecated; no MediaTypeMapping");
            Equal("SchemaRoot", v.Root.Elements().Last().Name.LocalName, "a SchemaRoot element ends it");

            // An action answers 202 with a queued task whose owner, user and organization carry ids.
            string web03 = alice.HrefOf("vm", "web-03");
            var on = alice.Post(web03 + "/power/action/powerOn");
            Check(on.Status == 202 && Status(on.Root) == "queued" && on.Root.Attribute("endTime") == null, "202 Accepted with a queued task", on.ToString());
            Check(new[] { "Owner", "User", "Organization" }.All(n => ((string)on.Root.Element(NS.V + n)?.Attribute("id") ?? "").StartsWith("urn:vcloud:")),
                  "Owner, User and Organization carry URN ids", on.ToString());
            Check(Regex.IsMatch(on.Body, "<(ns5:)?Details></(ns5:)?Details>"), "an empty Details is written open and closed", on.Body);
            var done = alice.Wait(on);
            Check(Status(done) == "success" && done.Attribute("endTime") != null, "endTime appears on success");
            Check(alice.Wait(alice.Post(web03 + "/power/action/powerOff")) != null, "web-03 is off again");

            // An empty page: total="0", no records, no nextPage or lastPage.
            var empty = alice.Get("api/query?type=vm&filter=" + Uri.EscapeDataString("name==no-such-vm"));
            Check((string)empty.Root.Attribute("total") == "0" && !empty.Root.Elements().Any(e => e.Name.LocalName.EndsWith("Record")) &&
                  !empty.Root.Elements(NS.V + "Link").Any(k => ((string)k.Attribute("rel")).EndsWith("Page")),
                  "an empty result is total=0 with no records and no page links", empty.ToString());
            Equal(4, empty.Root.Elements(NS.V + "Link").Count(k => (string)k.Attribute("rel") == "alternate"),
                  "four alternates: references and idrecords, each as xml and json");

            // An error body: self-closed, majorErrorCode, message (request id first), minorErrorCode, no stackTrace,
            // no trailing newline, and the Content-Type carries the version asked for.
            alice.Version = "37.1";
            var err = alice.Get("api/vdc/00000000-0000-0000-0000-000000000000");
            alice.Version = "38.0";
            Check(IsError(err, 403, "ACCESS_TO_RESOURCE_IS_FORBIDDEN") && err.ContentType.Replace(" ", "").EndsWith(";version=37.1"), "403 in the version asked for", err.ContentType);
            Check(Regex.IsMatch(err.Body, "<(ns5:)?Error [^>]*majorErrorCode=\"403\" message=\"\\[ [^ ]+ \\] [^\"]*\" minorErrorCode=\"[A-Z_]+\" />$")
                  && !err.Body.Contains("stackTrace"), "self-closed, attributes in the servers' order, nothing after it", err.Body);
        }

        // The type an xsi:type value names: a QName, resolved against the namespaces in scope.
        static XName XsiType(XElement e)
        {
            string t = (string)e?.Attribute(NS.Xsi + "type") ?? "";
            int colon = t.IndexOf(':');
            if (e == null) return XName.Get("none");
            var ns = colon < 0 ? e.GetDefaultNamespace() : e.GetNamespaceOfPrefix(t.Substring(0, colon));
            return (ns ?? XNamespace.None) + t.Substring(colon + 1);
        }

        // An element tree without namespace declarations, to compare two forms of one document.
        static XElement Strip(XElement e)
        {
            return new XElement(e.Name, e.Attributes().Where(a => !a.IsNamespaceDeclaration), e.Nodes().Select(n => n is XElement c ? Strip(c) : n));
        }

        // ---- stopping -----------------------------------------------------------------------------------------

        static void Stopping()
        {
            var s1 = new Sim(exe, "");
            Check(Regex.IsMatch(s1.FirstLine, "^vcdsim listening on http://127\\.0\\.0\\.1:[0-9]+/$"), "the first line names the address", s1.FirstLine);
            Check(!s1.Base.EndsWith(":0/"), "port 0 picks a real port");
            s1.Proc.StandardInput.Close();
            Check(s1.Proc.WaitForExit(15000), "closing standard input stops the simulator");
            Check(s1.Proc.HasExited && s1.Proc.ExitCode == 0, "with exit code 0");

            var s2 = new Sim(exe, "");
            using (var kill = Process.Start(new ProcessStartInfo("kill", "-TERM " + s2.Proc.Id) { UseShellExecute = false }))
                kill.WaitForExit();
            Check(s2.Proc.WaitForExit(15000), "SIGTERM stops the simulator");
            Check(s2.Proc.HasExited && s2.Proc.ExitCode == 0, "with exit code 0 after SIGTERM");
            s2.Dispose();
            s1.Dispose();

            var bad = new ProcessStartInfo("mono", "\"" + exe + "\" --fixture /nonexistent/cloud.xml") { UseShellExecute = false, RedirectStandardError = true, RedirectStandardOutput = true };
            using (var p = Process.Start(bad))
            {
                string err = p.StandardError.ReadToEnd();
                p.WaitForExit(15000);
                Check(p.ExitCode == 2 && err.Contains("cannot read"), "a missing fixture is reported and the program exits", err);
            }
        }

        // ---- measurement --------------------------------------------------------------------------------------

        static long RssKb(int pid)
        {
            foreach (var line in File.ReadAllLines("/proc/" + pid + "/status"))
                if (line.StartsWith("VmRSS:")) return long.Parse(Regex.Match(line, "[0-9]+").Value);
            return -1;
        }

        static long HwmKb(int pid)
        {
            foreach (var line in File.ReadAllLines("/proc/" + pid + "/status"))
                if (line.StartsWith("VmHWM:")) return long.Parse(Regex.Match(line, "[0-9]+").Value);
            return -1;
        }

        // Walks every page of the adminVM query at page size 128 and reports pages per second and memory.
        static int Walk(string shape)
        {
            var load = Stopwatch.StartNew();
            using (var gen = new Sim(exe, "--generate " + shape))
            {
                Console.WriteLine("started in {0:0.0} s, RSS {1} MB", load.Elapsed.TotalSeconds, RssKb(gen.Proc.Id) / 1024);
                var admin = Admin(gen);
                for (int round = 1; round <= 3; round++)
                {
                    var sw = Stopwatch.StartNew();
                    int pages = 0, records = 0;
                    long total = -1;
                    string next = "api/query?type=adminVM&format=records&pageSize=128";
                    while (next != null)
                    {
                        var p = admin.Get(next);
                        if (p.Status != 200) { Console.WriteLine("page failed: " + p); return 1; }
                        var root = p.Root;
                        if (total < 0) total = long.Parse((string)root.Attribute("total"));
                        pages++;
                        records += root.Elements(NS.V + "AdminVMRecord").Count();
                        var nl = root.Elements(NS.V + "Link").FirstOrDefault(k => (string)k.Attribute("rel") == "nextPage");
                        next = nl == null ? null : (string)nl.Attribute("href");
                    }
                    double secs = sw.Elapsed.TotalSeconds;
                    Console.WriteLine("round {0}: {1} pages, {2} of {3} records in {4:0.00} s = {5:0} pages/s; RSS {6} MB, peak {7} MB",
                        round, pages, records, total, secs, pages / secs, RssKb(gen.Proc.Id) / 1024, HwmKb(gen.Proc.Id) / 1024);
                }
            }
            return 0;
        }
    }
}
