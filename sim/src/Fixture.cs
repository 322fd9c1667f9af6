// Loads an inventory from a fixture file (XML, described in the README) and generates large inventories
// of a requested shape for load tests.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Xml.Linq;

namespace VcdSim
{
    class FixtureError : Exception
    {
        public FixtureError(string message) : base(message) { }
    }

    static class Fixture
    {
        static string Req(XElement e, string attr)
        {
            var a = e.Attribute(attr);
            if (a == null || a.Value.Length == 0)
                throw new FixtureError("<" + e.Name.LocalName + "> needs the attribute " + attr + Where(e));
            return a.Value;
        }

        static string Opt(XElement e, string attr, string dflt = null)
        {
            var a = e.Attribute(attr);
            return a == null ? dflt : a.Value;
        }

        static long Num(XElement e, string attr, long dflt)
        {
            var a = e.Attribute(attr);
            if (a == null) return dflt;
            long n;
            if (!long.TryParse(a.Value, NumberStyles.Integer, CultureInfo.InvariantCulture, out n))
                throw new FixtureError("attribute " + attr + " of <" + e.Name.LocalName + "> is not a number" + Where(e));
            return n;
        }

        static string Where(XElement e)
        {
            var li = (System.Xml.IXmlLineInfo)e;
            return li.HasLineInfo() ? " (line " + li.LineNumber + ")" : "";
        }

        static T Named<T>(IEnumerable<T> items, string name, string what, XElement at) where T : Entity
        {
            foreach (var i in items) if (i.Name == name) return i;
            throw new FixtureError("unknown " + what + " \"" + name + "\"" + Where(at));
        }

        public static void Load(Cloud cloud, string path)
        {
            XDocument doc;
            try
            {
                doc = XDocument.Load(path, LoadOptions.SetLineInfo);
            }
            catch (Exception ex)
            {
                throw new FixtureError("cannot read " + path + ": " + ex.Message);
            }
            var root = doc.Root;
            if (root == null || root.Name.LocalName != "cloud") throw new FixtureError(path + ": the root element must be <cloud>");
            cloud.ProductVersion = Opt(root, "productVersion", cloud.ProductVersion);
            cloud.ProductBuildDate = Opt(root, "buildDate", cloud.ProductBuildDate);
            var b = new Builder(cloud);

            foreach (var ve in root.Elements("vcenter"))
            {
                var vc = b.VCenter(Req(ve, "name"), Req(ve, "url"), Opt(ve, "version", "8.0.2"), Opt(ve, "user", "svc-cloud@vsphere.local"));
                var uuid = Opt(ve, "uuid");
                if (uuid != null) vc.InstanceUuid = uuid;
                foreach (var he in ve.Elements("host")) b.Host(vc, Req(he, "name"), Opt(he, "moref"));
                foreach (var de in ve.Elements("datastore"))
                    b.Datastore(vc, Req(de, "name"), Opt(de, "moref"), Num(de, "capacityGB", 4096) * 1024, Num(de, "usedGB", 0) * 1024);
                foreach (var pe in ve.Elements("storagePolicy")) b.Policy(vc, Req(pe, "name"), Opt(pe, "moref"));
            }
            foreach (var pe in root.Elements("providerVdc"))
            {
                var vc = Named(cloud.VCenters, Req(pe, "vcenter"), "vCenter server", pe);
                var stores = new List<Datastore>();
                foreach (string ds in Req(pe, "datastores").Split(','))
                    stores.Add(Named(vc.Datastores, ds.Trim(), "datastore", pe));
                var p = b.Pvdc(Req(pe, "name"), vc, Opt(pe, "resourcePool"), stores);
                p.Description = Opt(pe, "description", "");
            }
            foreach (var oe in root.Elements("org")) LoadOrg(b, oe);
            if (cloud.Orgs.Count == 0) throw new FixtureError(path + ": no <org>");
            var sys = cloud.Orgs.Find(o => o.IsSystem);
            if (sys == null) throw new FixtureError(path + ": no organization has system=\"true\"");
        }

        static void LoadOrg(Builder b, XElement oe)
        {
            var cloud = b.Cloud;
            var org = b.Org(Req(oe, "name"), Opt(oe, "fullName", Req(oe, "name")), Opt(oe, "system") == "true");
            org.Description = Opt(oe, "description", "");
            foreach (var ge in oe.Elements("group")) b.Group(org, Req(ge, "name"), Opt(ge, "role", "vApp User"), Opt(ge, "description"));
            foreach (var ue in oe.Elements("user"))
            {
                var u = b.User(org, Req(ue, "name"), Req(ue, "password"), Opt(ue, "role", "vApp User"), Opt(ue, "fullName"), Opt(ue, "email"));
                string groups = Opt(ue, "groups");
                if (groups != null)
                    foreach (string g in groups.Split(',')) u.Groups.Add(Named(org.Groups, g.Trim(), "group", ue));
            }
            foreach (var ce in oe.Elements("catalog"))
                b.Catalog(org, Req(ce, "name"), Opt(ce, "description"), Opt(ce, "published") == "true");
            foreach (var ve in oe.Elements("vdc"))
            {
                var pvdc = Named(cloud.Pvdcs, Req(ve, "providerVdc"), "provider VDC", ve);
                var vdc = b.Vdc(org, Req(ve, "name"), pvdc);
                vdc.Description = Opt(ve, "description", "");
                vdc.AllocationModel = Opt(ve, "allocation", "AllocationVApp");
                vdc.CpuLimitMhz = Num(ve, "cpuLimitMhz", vdc.CpuLimitMhz);
                vdc.MemoryLimitMB = Num(ve, "memoryLimitMB", vdc.MemoryLimitMB);
                foreach (var se in ve.Elements("storageProfile"))
                {
                    string policyName = Opt(se, "policy", Req(se, "name"));
                    var policy = pvdc.VCenter.FindPolicy(policyName);
                    if (policy == null) throw new FixtureError("vCenter server " + pvdc.VCenter.Name + " has no storage policy \"" + policyName + "\"" + Where(se));
                    var p = b.Profile(vdc, Req(se, "name"), policy, Num(se, "limitGB", 0) * 1024, Opt(se, "default") == "true");
                    p.UsedMB = Num(se, "usedGB", 0) * 1024;
                }
                if (vdc.Profiles.Count == 0) throw new FixtureError("VDC " + vdc.Name + " has no storage profile" + Where(ve));
                foreach (var ne in ve.Elements("network"))
                {
                    var n = b.Network(vdc, Req(ne, "name"), Opt(ne, "gateway", "192.168.0.1"), Opt(ne, "netmask", "255.255.255.0"),
                                      Opt(ne, "ipStart", "192.168.0.10"), Opt(ne, "ipEnd", "192.168.0.250"));
                    n.Dns = Opt(ne, "dns", "");
                    n.FenceMode = Opt(ne, "fenceMode", "bridged");
                    n.Description = Opt(ne, "description", "");
                    n.Shared = Opt(ne, "shared") == "true";
                }
                foreach (var ae in ve.Elements("vapp"))
                {
                    string ownerName = Opt(ae, "owner");
                    var owner = ownerName == null ? null : Named(org.Users, ownerName, "user", ae);
                    var va = b.VApp(vdc, Req(ae, "name"), owner, Opt(ae, "description"));
                    va.AutoNature = Opt(ae, "autoNature") == "true";
                    LoadMetadata(va, ae);
                    foreach (var xe in ae.Elements("access"))
                    {
                        string subj = Req(xe, "subject");
                        Entity who = org.Users.Find(u => u.Name == subj);
                        if (who == null) who = org.Groups.Find(g => g.Name == subj);
                        if (who == null) throw new FixtureError("unknown user or group \"" + subj + "\"" + Where(xe));
                        va.Acl.Add(new AccessEntry { Subject = who, Level = Opt(xe, "level", "ReadOnly") });
                    }
                    if (Opt(ae, "sharedToEveryone") == "true")
                    {
                        va.SharedToEveryone = true;
                        va.EveryoneLevel = Opt(ae, "everyoneLevel", "ReadOnly");
                    }
                    foreach (var me in ae.Elements("vm")) LoadVm(b, va, me);
                }
                foreach (var te in ve.Elements("vappTemplate"))
                {
                    string catName = Opt(te, "catalog");
                    var cat = catName == null ? null : Named(org.Catalogs, catName, "catalog", te);
                    var t = b.Template(vdc, Req(te, "name"), cat, Opt(te, "description"));
                    LoadMetadata(t, te);
                    foreach (var me in te.Elements("vm")) LoadVm(b, t, me);
                }
            }
        }

        static void LoadMetadata(Entity e, XElement parent)
        {
            foreach (var me in parent.Elements("metadata"))
            {
                string type = Opt(me, "type", "STRING");
                if (type != "STRING" && type != "NUMBER" && type != "BOOLEAN" && type != "DATETIME")
                    throw new FixtureError("unknown metadata type \"" + type + "\"" + Where(me));
                e.Meta.Add(new MetaEntry { Key = Req(me, "key"), Value = Opt(me, "value", ""), Type = type, Domain = Opt(me, "domain", "GENERAL") });
            }
        }

        static void LoadVm(Builder b, VAppBase parent, XElement me)
        {
            var vdc = parent.Vdc;
            string powerText = Opt(me, "power", "off");
            Power power;
            switch (powerText)
            {
                case "on": power = Power.On; break;
                case "off": power = Power.Off; break;
                case "suspended": power = Power.Suspended; break;
                default: throw new FixtureError("power must be on, off or suspended" + Where(me));
            }
            if (parent is VAppTemplate) power = Power.Off;
            bool deployed = Opt(me, "deployed", power == Power.Off ? "false" : "true") == "true";
            string netName = Opt(me, "network");
            Network net = netName == null ? null : Named(vdc.Networks, netName, "network", me);
            string spName = Opt(me, "storageProfile");
            StorageProfile sp = spName == null ? null : Named(vdc.Profiles, spName, "storage profile", me);
            var vm = b.Vm(parent, Req(me, "name"), power, deployed, net, sp);
            vm.Cpus = (int)Num(me, "cpus", 1);
            vm.MemoryMB = (int)Num(me, "memoryMB", 2048);
            vm.DiskMB = Num(me, "diskGB", 40) * 1024;
            vm.OsType = Opt(me, "os", vm.OsType);
            vm.GuestOs = Opt(me, "guestOs", vm.GuestOs);
            vm.Description = Opt(me, "description", "");
            vm.HwVersion = (int)Num(me, "hardwareVersion", vm.HwVersion);
            string ip = Opt(me, "ip");
            if (ip != null && vm.Nics.Count > 0) { vm.Nics[0].Ip = ip; vm.Nics[0].Mode = "MANUAL"; }
            string moref = Opt(me, "moref");
            if (moref != null && vm.VCenter != null)
            {
                if (b.Cloud.FindByMoref(vm.VCenter, moref) != null) throw new FixtureError("moref " + moref + " is used twice" + Where(me));
                vm.Moref = moref;
            }
            string host = Opt(me, "host");
            if (host != null && vm.VCenter != null)
            {
                vm.Host = vm.VCenter.Hosts.Find(h => h.Name == host);
                if (vm.Host == null) throw new FixtureError("unknown host \"" + host + "\"" + Where(me));
            }
            string ds = Opt(me, "datastore");
            if (ds != null && vm.VCenter != null) vm.Datastore = Named(vm.VCenter.Datastores, ds, "datastore", me);
            LoadMetadata(vm, me);
            if (parent.FindVm(vm.Name) != null) throw new FixtureError("VM name \"" + vm.Name + "\" appears twice in " + parent.Name + Where(me));
            b.Add(vm);
        }
    }

    // A cloud of ORGS organisations x VDCS VDCs each x VAPPS vApps each x VMS VMs each, with a System
    // organisation, two vCenter servers and one administrator per organisation.
    static class Generator
    {
        public static void Generate(Cloud cloud, int orgs, int vdcs, int vapps, int vms)
        {
            var b = new Builder(cloud);
            var vcs = new List<VCenter>();
            var pvdcs = new List<ProviderVdc>();
            for (int i = 1; i <= 2; i++)
            {
                var vc = b.VCenter("vc-" + i.ToString("00"), "https://vc-" + i.ToString("00") + ".example.test:443", "8.0.2", "svc-cloud@vsphere.local");
                for (int h = 1; h <= 8; h++) b.Host(vc, string.Format("esx-{0:00}-{1:00}.example.test", i, h), "host-" + (100 + h));
                var stores = new List<Datastore>();
                for (int d = 1; d <= 4; d++) stores.Add(b.Datastore(vc, string.Format("ds-{0:00}-{1:00}", i, d), "datastore-" + (200 + d), 65536L * 1024, 20000L * 1024));
                b.Policy(vc, "Gold", null);
                b.Policy(vc, "Silver", null);
                vcs.Add(vc);
                pvdcs.Add(b.Pvdc("PVDC-" + i.ToString("00"), vc, "resgroup-" + (8 + i), stores));
            }
            var sys = b.Org("System", "System Organization", true);
            b.User(sys, "administrator", "vmware1!", "System Administrator", "Cloud Administrator", null);
            int vmSeq = 0, vappSeq = 0;
            string[] os = { "ubuntu64Guest", "windows2019srv_64Guest", "rhel9_64Guest", "centos8_64Guest" };
            string[] osName = { "Ubuntu Linux (64-bit)", "Microsoft Windows Server 2019 (64-bit)", "Red Hat Enterprise Linux 9 (64-bit)", "CentOS 8 (64-bit)" };
            for (int o = 1; o <= orgs; o++)
            {
                string oname = "Org" + o.ToString("000");
                var org = b.Org(oname, "Generated organization " + o, false);
                var admin = b.User(org, "admin", "admin1!", "Organization Administrator", "Administrator of " + oname, null);
                b.User(org, "operator", "operator1!", "vApp User", "Operator of " + oname, null);
                for (int v = 1; v <= vdcs; v++)
                {
                    var pvdc = pvdcs[(o + v) % pvdcs.Count];
                    var vdc = b.Vdc(org, oname + "-VDC" + v.ToString("00"), pvdc);
                    var gold = b.Profile(vdc, "Gold", pvdc.VCenter.Policies[0], 4096L * 1024, true);
                    b.Profile(vdc, "Silver", pvdc.VCenter.Policies[1], 0, false);
                    int third = (o * 7 + v) % 200;
                    var net = b.Network(vdc, oname.ToLowerInvariant() + "-net" + v.ToString("00"), "10." + (o % 250) + "." + v + ".1",
                                        "255.255.0.0", "10." + (o % 250) + "." + v + ".10", "10." + (o % 250) + "." + (v + third % 50) + ".250");
                    for (int a = 1; a <= vapps; a++)
                    {
                        var va = b.VApp(vdc, "vapp-" + (++vappSeq).ToString("000000"), admin, "");
                        for (int m = 1; m <= vms; m++)
                        {
                            int n = ++vmSeq;
                            var power = n % 3 == 0 ? Power.Off : n % 7 == 0 ? Power.Suspended : Power.On;
                            var vm = b.Vm(va, "vm-" + n.ToString("000000"), power, power != Power.Off, net, gold);
                            vm.Cpus = 1 + n % 4;
                            vm.MemoryMB = 1024 << (n % 4);
                            vm.OsType = os[n % os.Length];
                            vm.GuestOs = osName[n % os.Length];
                            if (n % 10 == 0) vm.Meta.Add(new MetaEntry { Key = "backup-policy", Value = n % 20 == 0 ? "gold" : "silver" });
                            b.Add(vm);
                        }
                    }
                }
            }
        }
    }
}
