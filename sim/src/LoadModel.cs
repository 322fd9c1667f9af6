// Builds the simulator's model from a recording: one table maps each kind of query record to the object it
// makes, in an order where every reference points at something already made; the recorded documents then
// add what records do not carry (metadata, access settings, network connections, groups). Objects keep
// their recorded ids, so recorded hrefs, URNs and filters find them. A reference the recording cannot
// resolve stops the load with the file that holds it.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Linq;
using System.Xml.Linq;

namespace VcdSim
{
    class ModelFromRecording
    {
        readonly Cloud cloud;
        readonly Builder b;
        readonly List<RecordedAnswer> answers;
        readonly Dictionary<StorageProfile, long> usedMB = new Dictionary<StorageProfile, long>();
        static readonly XNamespace Xsi = "http://www.w3.org/2001/XMLSchema-instance";
        readonly HashSet<string> seen = new HashSet<string>(StringComparer.OrdinalIgnoreCase);
        readonly string sessionOrg;
        readonly HashSet<Org> groupsRecorded = new HashSet<Org>();

        // sessionOrg: the organisation of the user who recorded (the index's org), for records that name none.
        public ModelFromRecording(Cloud cloud, List<RecordedAnswer> answers, string sessionOrg)
        {
            this.cloud = cloud;
            this.answers = answers;
            this.sessionOrg = string.IsNullOrEmpty(sessionOrg) ? null : sessionOrg;
            b = new Builder(cloud);
        }

        class Step
        {
            public string[] Elements, Types;
            public Action<ModelFromRecording, Rec> Make;
        }

        // One record being turned into an object: its attributes, and where it came from for messages.
        class Rec
        {
            public XElement E;
            public RecordedAnswer From;
            public string A(string name, string dflt = "") { var a = E.Attribute(name); return a == null ? dflt : a.Value; }
            public long N(string name, long dflt = 0)
            {
                long n;
                return long.TryParse(A(name), NumberStyles.Integer, CultureInfo.InvariantCulture, out n) ? n : dflt;
            }
            public bool B(string name) { return A(name) == "true"; }
            public string Id { get { return Refs.IdOf(A("href")); } }
            public string Where { get { return From.File + " line " + (From.HeaderLines + ((System.Xml.IXmlLineInfo)E).LineNumber) + ": <" + E.Name.LocalName + " name=\"" + A("name") + "\">"; } }
        }

        static readonly Step[] Steps =
        {
            new Step { Elements = new[] { "VirtualCenterRecord" }, Types = new[] { "virtualCenter" }, Make = (m, r) =>
                {
                    var vc = m.b.VCenter(r.A("name"), r.A("url"), r.A("vcVersion", "8.0.2"), r.A("userName"));
                    vc.InstanceUuid = r.A("uuid", vc.InstanceUuid);
                    vc.Enabled = r.A("isEnabled", "true") == "true";
                    m.Rekey(vc, r);
                } },
            new Step { Elements = new[] { "DatastoreRecord" }, Types = new[] { "datastore" }, Make = (m, r) =>
                {
                    var vc = m.VCenterOf(r);
                    var d = m.b.Datastore(vc, r.A("name"), r.A("moref"), r.N("storageMB"), r.N("storageUsedMB"));
                    d.Type = r.A("datastoreType", d.Type);
                    m.Rekey(d, r);
                } },
            new Step { Elements = new[] { "VMWProviderVdcRecord" }, Types = new[] { "providerVdc" }, Make = (m, r) =>
                {
                    var vc = m.VCenterOf(r);
                    var p = m.b.Pvdc(r.A("name"), vc, null, vc.Datastores);
                    p.Description = r.A("description");
                    m.Rekey(p, r);
                } },
            new Step { Elements = new[] { "OrgRecord" }, Types = new[] { "organization" }, Make = (m, r) =>
                {
                    var o = m.b.Org(r.A("name"), r.A("displayName", r.A("name")), r.A("name") == "System");
                    o.Enabled = r.A("isEnabled", "true") == "true";
                    m.Rekey(o, r);
                } },
            new Step { Elements = new[] { "AdminVdcRecord", "OrgVdcRecord" }, Types = new[] { "adminOrgVdc", "orgVdc" }, Make = (m, r) =>
                {
                    var org = m.OrgOf(r);
                    // A tenant's record may link its provider VDC in the admin API, which a tenant's recording
                    // cannot hold: the VDC then has none.
                    var pvdc = m.cloud.Find(Refs.IdOf(r.A("providerVdc"))) as ProviderVdc;
                    var v = m.b.Vdc(org, r.A("name"), pvdc);
                    v.Description = r.A("description");
                    v.AllocationModel = r.A("allocationModel", v.AllocationModel);
                    v.CpuLimitMhz = r.N("cpuLimitMhz", v.CpuLimitMhz);
                    v.MemoryLimitMB = r.N("memoryLimitMB", v.MemoryLimitMB);
                    v.Enabled = r.A("isEnabled", "true") == "true";
                    m.Rekey(v, r);
                } },
            new Step { Elements = new[] { "AdminOrgVdcStorageProfileRecord", "OrgVdcStorageProfileRecord" }, Types = new[] { "adminOrgVdcStorageProfile", "orgVdcStorageProfile" }, Make = (m, r) =>
                {
                    var vdc = m.VdcOf(r);
                    StoragePolicy policy = null;
                    var vc = vdc.VCenter;
                    if (vc != null)
                    {
                        policy = vc.FindPolicy(r.A("name")) ?? m.b.Policy(vc, r.A("name"), r.A("storageProfileMoref").Length > 0 ? r.A("storageProfileMoref") : null);
                    }
                    var p = m.b.Profile(vdc, r.A("name"), policy, r.N("storageLimitMB"), r.B("isDefaultStorageProfile"));
                    m.usedMB[p] = p.UsedMB = r.N("storageUsedMB");
                    p.Enabled = r.A("isEnabled", "true") == "true";
                    m.Rekey(p, r);
                } },
            new Step { Elements = new[] { "AdminUserRecord", "UserRecord" }, Types = new[] { "adminUser", "user" }, Make = (m, r) =>
                {
                    var org = m.OrgOf(r);
                    // A recording holds no passwords: a recorded user logs in with any password.
                    var u = m.b.User(org, r.A("name"), null, r.A("roleNames", "vApp User"), r.A("fullName"), null);
                    u.Enabled = r.A("isEnabled", "true") == "true";
                    m.Rekey(u, r);
                } },
            new Step { Elements = new[] { "OrgVdcNetworkRecord" }, Types = new[] { "orgVdcNetwork" }, Make = (m, r) =>
                {
                    var vdc = m.VdcOf(r);
                    var n = m.b.Network(vdc, r.A("name"), r.A("defaultGateway"), r.A("netmask"), "", "");
                    n.Dns = r.A("dns1");
                    n.Shared = r.B("isShared");
                    n.FenceMode = r.A("linkType") == "1" ? "natRouted" : r.A("linkType") == "2" ? "isolated" : "bridged";
                    m.Rekey(n, r);
                } },
            new Step { Elements = new[] { "CatalogRecord" }, Types = new[] { "catalog" }, Make = (m, r) =>
                {
                    var org = m.OrgOf(r);
                    var c = m.b.Catalog(org, r.A("name"), r.A("description"), r.B("isPublished"));
                    m.Rekey(c, r);
                } },
            new Step { Elements = new[] { "AdminVAppRecord", "VAppRecord" }, Types = new[] { "adminVApp", "vApp" }, Make = (m, r) =>
                {
                    var vdc = m.VdcOf(r);
                    var owner = m.OwnerOf(r, vdc.Org);
                    var va = m.b.VApp(vdc, r.A("name"), owner, r.A("description"));
                    va.AutoNature = r.B("isAutoNature");
                    va.Created = m.Date(r, "creationDate", va.Created);
                    m.Rekey(va, r);
                } },
            new Step { Elements = new[] { "AdminVAppTemplateRecord", "VAppTemplateRecord" }, Types = new[] { "adminVAppTemplate", "vAppTemplate" }, Make = (m, r) =>
                {
                    var vdc = m.VdcOf(r);
                    var cat = m.CatalogOf(r, vdc.Org);
                    var t = m.b.Template(vdc, r.A("name"), cat, r.A("description"));
                    t.Created = m.Date(r, "creationDate", t.Created);
                    m.Rekey(t, r);
                } },
            new Step { Elements = new[] { "AdminVMRecord", "VMRecord" }, Types = new[] { "adminVM", "vm" }, Make = (m, r) => m.MakeVm(r) },
        };

        // Makes the objects, step by step; each step reads the pages of its query types (admin types first, in
        // page order) one at a time, so that only one page is in memory.
        public void Build(Action<RecordedAnswer> read)
        {
            var byType = new Dictionary<string, List<KeyValuePair<int, RecordedAnswer>>>(StringComparer.Ordinal);
            foreach (var a in answers)
            {
                var q = Req.ParseQuery(a.PathAndQuery.Substring(a.PathAndQuery.IndexOf('?') + 1));
                string type = q["type"] ?? "";
                int page;
                if (!int.TryParse(q["page"] ?? "1", NumberStyles.None, CultureInfo.InvariantCulture, out page)) page = 1;
                List<KeyValuePair<int, RecordedAnswer>> list;
                if (!byType.TryGetValue(type, out list)) byType[type] = list = new List<KeyValuePair<int, RecordedAnswer>>();
                list.Add(new KeyValuePair<int, RecordedAnswer>(page, a));
            }
            if (!byType.ContainsKey("organization")) throw new FixtureError("the recording holds no organization records (query type organization)");
            var known = new HashSet<string>(Steps.SelectMany(st => st.Types), StringComparer.Ordinal);
            foreach (var kv in byType)
                if (!known.Contains(kv.Key))
                    foreach (var p in kv.Value) read(p.Value);   // checked, though nothing is made from it
            foreach (var step in Steps)
                foreach (string type in step.Types)
                {
                    List<KeyValuePair<int, RecordedAnswer>> pages;
                    if (!byType.TryGetValue(type, out pages)) continue;
                    foreach (var p in pages.OrderBy(x => x.Key))
                    {
                        var a = p.Value;
                        read(a);
                        if (a.Doc != null && a.Doc.Root != null && a.Status == 200 && a.Doc.Root.Name.LocalName == "QueryResultRecords")
                            foreach (var e in a.Doc.Root.Elements())
                            {
                                string href = (string)e.Attribute("href");
                                if (href == null || !step.Elements.Contains(e.Name.LocalName)) continue;
                                if (!seen.Add(type.Replace("admin", "").ToLowerInvariant() + "|" + href)) continue;
                                var r = new Rec { E = e, From = a };
                                if (cloud.Find(r.Id) != null) continue;   // the tenant record of an object the admin record made
                                step.Make(this, r);
                            }
                        a.Doc = null;
                    }
                }
            // Adding VMs counted their disks against their profiles; the recorded use is what the cloud said.
            foreach (var kv in usedMB) kv.Key.UsedMB = kv.Value;
            if (cloud.Orgs.Find(o => o.IsSystem) == null) b.Org("System", "System", true);
        }

        void Rekey(Entity e, Rec r)
        {
            string id = r.Id;
            if (id.Length == 0) throw new FixtureError(r.Where + " has no href");
            if (cloud.Find(id) != null && cloud.Find(id) != e) throw new FixtureError(r.Where + ": the id " + id + " is used twice");
            cloud.ById.Remove(e.Id);
            e.Id = id;
            cloud.ById[id] = e;
        }

        T Ref<T>(Rec r, string attr) where T : Entity
        {
            string href = r.A(attr);
            var e = cloud.Find(Refs.IdOf(href)) as T;
            if (e == null)
                throw new FixtureError(r.Where + " refers to " + (href.Length == 0 ? "no " + attr : attr + " " + href) +
                                       ", which the recording does not hold: the references do not join up");
            return e;
        }

        // ---- joins: by what real records carry ---------------------------------------------------------------
        // Real records do not all carry the same references: a tenant's OrgVdcRecord has orgName and no org
        // href, a tenant's records have no admin links that a tenant could follow. Each join takes the
        // reference when the record carries one; a record without it joins by the name it carries, else (for
        // the organisation) by the recording user's own. A reference to something the recording does not
        // hold, or a record that joins by nothing, stops the load.

        static bool Same(string a, string b) { return string.Equals(a, b, StringComparison.OrdinalIgnoreCase); }

        FixtureError Unjoined(Rec r, string what)
        {
            return new FixtureError(r.Where + " refers to " + what + ", which the recording does not hold: the references do not join up");
        }

        // The organisation the record names, by reference or by name; null when it names none it joins.
        Org NamedOrgOf(Rec r)
        {
            if (r.A("org").Length > 0) return cloud.Find(Refs.IdOf(r.A("org"))) as Org;
            if (r.A("orgName").Length > 0) return cloud.Orgs.Find(x => Same(x.Name, r.A("orgName")));
            return null;
        }

        // The record's organisation: the one it names, else, when it names none, the recording user's.
        Org TryOrgOf(Rec r)
        {
            if (r.A("org").Length > 0 || r.A("orgName").Length > 0) return NamedOrgOf(r);
            if (sessionOrg != null) return cloud.Orgs.Find(x => Same(x.Name, sessionOrg));
            return null;
        }

        Org OrgOf(Rec r)
        {
            var o = TryOrgOf(r);
            if (o != null) return o;
            throw Unjoined(r, r.A("org").Length > 0 ? "org " + r.A("org") : r.A("orgName").Length > 0 ? "the organization \"" + r.A("orgName") + "\"" : "no org");
        }

        Vdc VdcOf(Rec r)
        {
            var v = cloud.Find(Refs.IdOf(r.A("vdc"))) as Vdc;
            if (v != null) return v;
            string name = r.A("vdcName");
            if (r.A("vdc").Length == 0 && name.Length > 0)
            {
                var org = NamedOrgOf(r);
                var named = cloud.Vdcs.Where(x => Same(x.Name, name) && (org == null || x.Org == org)).Take(2).ToList();
                if (named.Count == 1) return named[0];
            }
            throw Unjoined(r, r.A("vdc").Length > 0 ? "vdc " + r.A("vdc") : name.Length > 0 ? "the VDC \"" + name + "\"" : "no vdc");
        }

        VAppBase ContainerOf(Rec r)
        {
            var c = cloud.Find(Refs.IdOf(r.A("container"))) as VAppBase;
            if (c != null) return c;
            string name = r.A("containerName");
            if (r.A("container").Length == 0 && name.Length > 0 && (r.A("vdc").Length > 0 || r.A("vdcName").Length > 0))
            {
                var vdc = VdcOf(r);
                var named = vdc.VApps.Cast<VAppBase>().Concat(vdc.Templates).Where(x => Same(x.Name, name)).Take(2).ToList();
                if (named.Count == 1) return named[0];
            }
            throw Unjoined(r, r.A("container").Length > 0 ? "container " + r.A("container") : "no container");
        }

        // A vApp's owner: by href, else by ownerName in its organisation. An owner that the recording cannot
        // hold (its user query was refused to the recording user) leaves the vApp without one; an owner the
        // recorded users do not include, when they were recorded, stops the load.
        User OwnerOf(Rec r, Org org)
        {
            string href = r.A("owner"), name = r.A("ownerName");
            var u = cloud.Find(Refs.IdOf(href)) as User;
            if (u != null) return u;
            if (href.Length == 0 && (name.Length == 0 || name == "system")) return null;
            u = href.Length == 0 ? cloud.Users.Find(x => x.Org == org && Same(x.Name, name)) : null;
            if (u != null) return u;
            if (!cloud.Users.Any(x => x.Org == org)) return null;
            throw Unjoined(r, href.Length > 0 ? "owner " + href : "the owner \"" + name + "\"");
        }

        Catalog CatalogOf(Rec r, Org org)
        {
            var c = cloud.Find(Refs.IdOf(r.A("catalog"))) as Catalog;
            if (c != null) return c;
            string name = r.A("catalogName");
            return name.Length == 0 ? null : cloud.Catalogs.Find(x => x.Org == org && Same(x.Name, name));
        }

        VCenter VCenterOf(Rec r)
        {
            var vc = cloud.Find(Refs.IdOf(r.A("vc"))) as VCenter;
            if (vc != null) return vc;
            if (r.A("vc").Length == 0 && r.A("vcName").Length > 0) vc = cloud.VCenters.Find(x => Same(x.Name, r.A("vcName")));
            if (vc != null) return vc;
            throw Unjoined(r, r.A("vc").Length > 0 ? "vc " + r.A("vc") : "no vc");
        }

        DateTime Date(Rec r, string attr, DateTime dflt)
        {
            DateTime d;
            return DateTime.TryParse(r.A(attr), CultureInfo.InvariantCulture, DateTimeStyles.None, out d) ? d : dflt;
        }

        void MakeVm(Rec r)
        {
            var parent = ContainerOf(r);
            var vdc = parent.Vdc;
            string status = r.A("status");
            var power = status == "POWERED_ON" ? Power.On : status == "SUSPENDED" ? Power.Suspended : Power.Off;
            var net = vdc.Networks.Find(n => n.Name == r.A("networkName"));
            var profile = vdc.Profiles.Find(p => p.Name == r.A("storageProfileName"));
            var vm = b.Vm(parent, r.A("name"), power, r.B("isDeployed"), net, profile);
            vm.Id = r.Id;
            if (cloud.Find(vm.Id) != null) throw new FixtureError(r.Where + ": the id " + vm.Id + " is used twice");
            vm.Cpus = (int)r.N("numberOfCpus", vm.Cpus);
            vm.MemoryMB = (int)r.N("memoryMB", vm.MemoryMB);
            vm.DiskMB = r.N("totalStorageAllocatedMb", vm.DiskMB);
            vm.GuestOs = r.A("guestOs", vm.GuestOs);
            vm.HwVersion = (int)r.N("hardwareVersion", vm.HwVersion);
            vm.ToolsVersion = (int)r.N("vmToolsVersion", vm.ToolsVersion);
            vm.Description = r.A("description");
            vm.LocalId = r.A("vappScopedLocalId", vm.LocalId);
            vm.Created = Date(r, "dateCreated", vm.Created);
            if (vm.Nics.Count > 0 && r.A("ipAddress").Length > 0) vm.Nics[0].Ip = r.A("ipAddress");
            if (r.A("vc").Length > 0)
            {
                vm.VCenter = Ref<VCenter>(r, "vc");
                vm.Moref = r.A("moref", vm.Moref);
                string host = r.A("hostName");
                vm.Host = host.Length == 0 ? null : vm.VCenter.Hosts.Find(h => h.Name == host) ?? b.Host(vm.VCenter, host, null);
                string ds = r.A("datastoreName");
                vm.Datastore = ds.Length == 0 ? null : vm.VCenter.Datastores.Find(d => d.Name == ds);
                if (cloud.FindByMoref(vm.VCenter, vm.Moref) != null) throw new FixtureError(r.Where + ": the moref " + vm.Moref + " is used twice");
            }
            else if (r.E.Name.LocalName == "VMRecord")
            {
                // A tenant's records carry no vSphere data; the moref stays one the simulator made up.
                vm.VCenter = vdc.VCenter;
            }
            b.Add(vm);
        }

        // ---- what documents add -------------------------------------------------------------------------------

        static readonly HashSet<string> Roots = new HashSet<string>(StringComparer.Ordinal)
            { "Metadata", "ControlAccessParams", "Vm", "Org", "AdminOrg", "User", "VCloud", "SupportedVersions" };

        // Whether Enrich learns anything from a document with this root element.
        public static bool LearnsFrom(string root) { return Roots.Contains(root); }

        // What a recorded document (not a query page) adds to the model.
        public void Enrich(RecordedAnswer a)
        {
            if (a.Doc == null || a.Doc.Root == null || a.Status != 200) return;
            var root = a.Doc.Root;
            string path = a.PathAndQuery;
            int q = path.IndexOf('?');
            if (q >= 0) return;
            var owner = OwnerOf(path);
            switch (root.Name.LocalName)
            {
                case "Metadata":
                    if (owner == null) return;
                    owner.Metadata = null;
                    foreach (var me in root.Elements().Where(e => e.Name.LocalName == "MetadataEntry"))
                    {
                        var typed = Child(me, "TypedValue");
                        string xsi = typed == null ? "" : (string)typed.Attribute(Xsi + "type") ?? "";
                        if (xsi.Contains(":")) xsi = xsi.Substring(xsi.IndexOf(':') + 1);
                        var domain = Child(me, "Domain");
                        owner.Meta.Add(new MetaEntry
                        {
                            Key = Text(me, "Key"),
                            Value = typed == null ? "" : Text(typed, "Value"),
                            Type = xsi == "MetadataNumberValue" ? "NUMBER" : xsi == "MetadataBooleanValue" ? "BOOLEAN" : xsi == "MetadataDateTimeValue" ? "DATETIME" : "STRING",
                            Domain = domain == null ? "GENERAL" : domain.Value,
                        });
                    }
                    break;
                case "ControlAccessParams":
                    var va = owner as VApp;
                    if (va == null) return;
                    va.SharedToEveryone = Text(root, "IsSharedToEveryone") == "true";
                    if (va.SharedToEveryone) va.EveryoneLevel = Text(root, "EveryoneAccessLevel", "ReadOnly");
                    va.Acl.Clear();
                    foreach (var s in root.Descendants().Where(e => e.Name.LocalName == "AccessSetting"))
                    {
                        var subj = Child(s, "Subject");
                        var who = subj == null ? null : cloud.Find(Refs.IdOf((string)subj.Attribute("href"))) ?? Unrecorded(subj, va.Org);
                        if (who == null)
                            throw new FixtureError(a.File + " line " + (a.HeaderLines + ((System.Xml.IXmlLineInfo)s).LineNumber) + ": an access setting names " + (subj == null ? "no subject" : (string)subj.Attribute("href")) +
                                                   ", which the recording does not hold: the references do not join up");
                        va.Acl.Add(new AccessEntry { Subject = who, Level = Text(s, "AccessLevel", "ReadOnly") });
                    }
                    break;
                case "Vm":
                    var vm = owner as Vm;
                    if (vm == null) return;
                    var os = root.Descendants().FirstOrDefault(e => e.Name.LocalName == "OsType");
                    if (os != null) vm.OsType = os.Value;
                    var cn = root.Descendants().FirstOrDefault(e => e.Name.LocalName == "ComputerName");
                    if (cn != null) vm.ComputerName = cn.Value;
                    var conns = root.Descendants().Where(e => e.Name.LocalName == "NetworkConnection").ToList();
                    if (conns.Count == 0) break;
                    vm.Nics.Clear();
                    foreach (var c in conns)
                    {
                        int index;
                        int.TryParse(Text(c, "NetworkConnectionIndex", "0"), out index);
                        vm.Nics.Add(new Nic
                        {
                            Index = index,
                            Network = (string)c.Attribute("network") ?? "none",
                            Ip = Text(c, "IpAddress"),
                            Mac = Text(c, "MACAddress"),
                            Connected = Text(c, "IsConnected", "true") == "true",
                            Mode = Text(c, "IpAddressAllocationMode", "POOL"),
                        });
                    }
                    break;
                case "Org":
                case "AdminOrg":
                    var org = owner as Org;
                    if (org == null) return;
                    org.Description = Text(root, "Description", org.Description);
                    if (root.Name.LocalName == "Org") break;
                    groupsRecorded.Add(org);
                    foreach (var g in root.Descendants().Where(e => e.Name.LocalName == "GroupReference"))
                    {
                        string id = Refs.IdOf((string)g.Attribute("href"));
                        if (id.Length == 0 || cloud.Find(id) != null) continue;
                        var grp = b.Group(org, (string)g.Attribute("name") ?? id, "vApp User", "");
                        cloud.ById.Remove(grp.Id);
                        grp.Id = id;
                        cloud.ById[id] = grp;
                    }
                    break;
                case "User":
                    var user = owner as User;
                    if (user == null) return;
                    user.Email = Text(root, "EmailAddress", user.Email);
                    foreach (var g in root.Descendants().Where(e => e.Name.LocalName == "GroupReference"))
                    {
                        var grp = cloud.Find(Refs.IdOf((string)g.Attribute("href"))) as Group;
                        if (grp != null && !user.Groups.Contains(grp)) user.Groups.Add(grp);
                    }
                    break;
                case "VCloud":
                    string d = Text(root, "Description");
                    int sp = d.IndexOf(' ');
                    if (sp > 0) { cloud.ProductVersion = d.Substring(0, sp); cloud.ProductBuildDate = d.Substring(sp + 1); }
                    break;
                case "SupportedVersions":
                    var list = new List<string>();
                    foreach (var vi in root.Elements().Where(e => e.Name.LocalName == "VersionInfo"))
                        list.Add(Text(vi, "Version") + ((string)vi.Attribute("deprecated") == "true" ? "D" : ""));
                    if (list.Count > 0)
                    {
                        try { cloud.SetApiVersions(string.Join(",", list)); }
                        catch (ArgumentException e) { throw new FixtureError(a.File + ": " + e.Message); }
                    }
                    break;
            }
        }

        // The subject of an access setting whose kind the recording user could not list (an org
        // administrator reads no AdminOrg, so no groups; a user may be refused the user query): made from the
        // setting's own reference. A subject of a kind that was recorded, and is missing, is not made.
        Entity Unrecorded(XElement subj, Org org)
        {
            string href = (string)subj.Attribute("href") ?? "", id = Refs.IdOf(href), name = (string)subj.Attribute("name") ?? id;
            if (id.Length == 0) return null;
            Entity e;
            if (href.Contains("/group/") && !groupsRecorded.Contains(org)) e = b.Group(org, name, "vApp User", "");
            else if (href.Contains("/user/") && !cloud.Users.Any(u => u.Org == org)) e = b.User(org, name, null, "vApp User", "", null);
            else return null;
            cloud.ById.Remove(e.Id);
            e.Id = id;
            cloud.ById[id] = e;
            return e;
        }

        // The object a document's path names: /api/vApp/vm-ID/metadata, /api/admin/org/ID, ...
        Entity OwnerOf(string path)
        {
            foreach (string seg in path.Split('/').Reverse())
            {
                var e = cloud.Find(Refs.IdOf(seg));
                if (e != null) return e;
            }
            return null;
        }

        static XElement Child(XElement e, string local)
        {
            return e.Elements().FirstOrDefault(c => c.Name.LocalName == local);
        }

        static string Text(XElement e, string local, string dflt = "")
        {
            var c = Child(e, local);
            return c == null ? dflt : c.Value;
        }
    }
}
