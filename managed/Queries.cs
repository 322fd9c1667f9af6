// Read-only operations: server version, name lists, storage profiles, users of a VM, VM descriptions,
// the inventory tree, VM lists by entity, metadata and wildcard, and the vCenter behind a VDC.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Linq;
using System.Text;
using System.Text.RegularExpressions;
using System.Xml.Linq;

namespace vCloudSDKWrapper
{
    public partial class vCloudWrapper
    {
        // System sessions: from /api/admin. Tenants: the release of the server's highest API version.
        public bool GetMgmtVersion(ref SMgmtVersionLib version)
        {
            SMgmtVersionLib result = new SMgmtVersionLib();
            bool ok = Run("GetMgmtVersion", false, api =>
            {
                string description = "";
                if (api.S.IsSystem)
                {
                    var admin = api.GetObject("api/admin", Ns.Vcloud, "VCloud", "the cloud's administrative view");
                    description = admin.ChildText(Ns.Vcloud, "Description");
                }
                if (description.Length > 0)
                {
                    // "10.5.1.23400185 Thu Feb 1 ...": version and build are the first word.
                    string word = description.Split(new[] { ' ', '\t' }, StringSplitOptions.RemoveEmptyEntries)[0].Replace('-', '.');
                    var parts = word.Split('.');
                    if (parts.Length >= 4)
                    {
                        result.strVersion = string.Join(".", parts.Take(parts.Length - 1).ToArray());
                        result.strBuild = parts[parts.Length - 1];
                    }
                    else
                    {
                        result.strVersion = word;
                        result.strBuild = "";
                    }
                    result.strFullVersion = description;
                }
                else
                {
                    string release = Connection.ReleaseOf(api.S.ServerHighest);
                    result.strVersion = release;
                    result.strBuild = "";
                    result.strFullVersion = (release.Length > 0 ? release + " " : "") + "(API " + api.S.ServerHighest + ")";
                }
                return true;
            });
            if (ok) version = result;
            return ok;
        }

        public bool GetVdcListInOrg(string org, ref SStringInfoLibList list)
        {
            SStringInfoLibList result = null;
            bool ok = Run("GetVdcListInOrg", false, api =>
            {
                var r = new Resolver(api);
                result = new SStringInfoLibList();
                foreach (var rec in r.VdcRecords(r.Org(N(org)))) result.Add(rec.Name);
                return true;
            });
            if (ok) list = result;
            return ok;
        }

        public bool GetVappListInVdc(string org, string vdc, ref SStringInfoLibList list)
        {
            SStringInfoLibList result = null;
            bool ok = Run("GetVappListInVdc", false, api =>
            {
                var v = new Resolver(api).Vdc(N(org), N(vdc));
                var obj = api.GetObject(v.Href, Ns.Vcloud, "Vdc", "VDC '" + v.Name + "'");
                result = Names(ResourceEntities(obj, "application/vnd.vmware.vcloud.vApp+xml"));
                return true;
            });
            if (ok) list = result;
            return ok;
        }

        public bool GetNetworkListInVApp(string org, string vdc, string vapp, ref SStringInfoLibList list)
        {
            SStringInfoLibList result = null;
            bool ok = Run("GetNetworkListInVApp", false, api =>
            {
                var a = new Resolver(api).VApp(N(org), N(vdc), N(vapp));
                var obj = api.GetObject(a.Href, Ns.Vcloud, "VApp", "vApp '" + a.Name + "'");
                result = new SStringInfoLibList();
                var section = obj.Child(Ns.Vcloud, "NetworkConfigSection");
                if (section != null)
                    foreach (var nc in section.Elements(Ns.Vcloud + "NetworkConfig")) result.Add(nc.Attr("networkName"));
                return true;
            });
            if (ok) list = result;
            return ok;
        }

        // The datastores of the provider VDC behind an organisation VDC (System sessions).
        public bool GetAssociatedDatastoreListForVdc(string vdc, ref SStringInfoLibList list)
        {
            SStringInfoLibList result = null;
            bool ok = Run("GetAssociatedDatastoreListForVdc", false, api =>
            {
                var r = new Resolver(api);
                r.RequireSystem("listing datastores");
                var v = r.Vdc("", N(vdc));
                var admin = api.GetObject("api/admin/vdc/" + Ref.Uuid(v.Href), Ns.Vcloud, "AdminVdc", "VDC '" + v.Name + "'");
                var pvdc = admin.Child(Ns.Vcloud, "ProviderVdcReference");
                if (pvdc == null) throw new CloudException("VDC '" + v.Name + "' names no provider VDC");
                result = new SStringInfoLibList();
                var seen = new HashSet<string>(StringComparer.Ordinal);
                foreach (var rec in api.Query("datastoreProviderVdcRelation", api.Eq("providerVdc", pvdc.Attr("href"))))
                    if (seen.Add(rec.Name)) result.Add(rec.Name);
                return true;
            });
            if (ok) list = result;
            return ok;
        }

        public bool GetUserListInOrg(string org, ref SStringInfoLibList list)
        {
            SStringInfoLibList result = null;
            bool ok = Run("GetUserListInOrg", false, api =>
            {
                var o = new Resolver(api).Org(N(org));
                var admin = api.GetObject("api/admin/org/" + Ref.Uuid(o.Href), Ns.Vcloud, "AdminOrg", "organisation '" + o.Name + "'");
                result = new SStringInfoLibList();
                var users = admin.Child(Ns.Vcloud, "Users");
                if (users != null)
                    foreach (var u in users.Elements(Ns.Vcloud + "UserReference")) result.Add(u.Attr("name"));
                return true;
            });
            if (ok) list = result;
            return ok;
        }

        public bool GetStorageProfileListInVDC(string org, string vdc, ref SStorageProfileInfoLibList list)
        {
            SStorageProfileInfoLibList result = null;
            bool ok = Run("GetStorageProfileListInVDC", false, api =>
            {
                var r = new Resolver(api);
                var v = r.Vdc(N(org), N(vdc));
                result = new SStorageProfileInfoLibList();
                foreach (var rec in api.Query(r.ProfileType, api.Eq("vdc", v.Href))) result.Add(Profile(rec));
                return true;
            });
            if (ok) list = result;
            return ok;
        }

        // profile: href, URN or UUID of a VDC storage profile, or a name that is unique in the cloud.
        public bool GetStorageProfileInfo(string profile, ref SStorageProfileInfoLib info)
        {
            SStorageProfileInfoLib result = new SStorageProfileInfoLib();
            bool ok = Run("GetStorageProfileInfo", false, api =>
            {
                result = Profile(new Resolver(api).StorageProfile(N(profile), null).Rec);
                return true;
            });
            if (ok) info = result;
            return ok;
        }

        // The VDC storage profile that uses vSphere storage policy 'moref' of vCenter 'vc' (System sessions).
        public bool GetStorageProfileInfoByMoref(string vc, string moref, ref SStorageProfileInfoLib info)
        {
            SStorageProfileInfoLib result = new SStorageProfileInfoLib();
            bool ok = Run("GetStorageProfileInfoByMoref", false, api =>
            {
                var r = new Resolver(api);
                var center = r.VCenter(N(vc));
                string m = N(moref);
                if (m.Length == 0) throw new CloudException("no storage policy moref given");
                var hits = api.Query("adminOrgVdcStorageProfile", null)
                    .Where(rec => rec["storageProfileMoref"] == m && Ref.Same(rec["vc"], center.Href)).ToList();
                if (hits.Count == 0)
                    throw new CloudException("no VDC storage profile uses storage policy '" + m + "' of vCenter server '" + center.Name + "'");
                if (hits.Count > 1)
                    throw new CloudException("storage policy '" + m + "' of vCenter server '" + center.Name + "' is used by " + hits.Count
                        + " VDC storage profiles (" + string.Join(", ", hits.Take(5).Select(h => h.Name + " in " + h["vdcName"]).ToArray())
                        + "); ask by storage profile href instead");
                result = Profile(hits[0]);
                return true;
            });
            if (ok) info = result;
            return ok;
        }

        // The vApp's owner and the subjects of its access control list.
        public bool GetUsersForVM(string org, string vdc, string vm, ref SVCloudUserLibList list)
        {
            SVCloudUserLibList result = null;
            bool ok = Run("GetUsersForVM", false, api =>
            {
                var found = new Resolver(api).Vm(N(org), N(vdc), "", N(vm));
                result = Users(api, found.Rec["container"], found.Name);
                return true;
            });
            if (ok) list = result;
            return ok;
        }

        public bool GetVMInfoForVM(string org, string vdc, string vm, ref SVMInfoLib info)
        {
            SVMInfoLib result = new SVMInfoLib();
            bool ok = Run("GetVMInfoForVM", false, api =>
            {
                result = VmInfo(new Resolver(api).Vm(N(org), N(vdc), "", N(vm)).Rec);
                return true;
            });
            if (ok) info = result;
            return ok;
        }

        // The vCenter servers registered in the cloud (System sessions).
        public SInventoryLibList GetManagedHypervisorsInCloud()
        {
            return Run<SInventoryLibList>("GetManagedHypervisorsInCloud", null, api =>
            {
                new Resolver(api).RequireSystem("listing vCenter servers");
                var list = new SInventoryLibList();
                foreach (var rec in api.Query("virtualCenter", null))
                    list.Add(Node(rec.Name, rec.Href, EInventoryType.eInventoryVCenter));
                return list;
            });
        }

        // The children of node (cloud root, organisation, VDC, vApp, vApp template), depth levels deep.
        public SInventoryLibList BrowseInventory(string org, SInventoryLib node, ulong mask, int depth)
        {
            return Run<SInventoryLibList>("BrowseInventory", null, api =>
                new Inventory(api, N(org), (mask & IncludePublicTemplates) != 0).Children(node, Math.Min(Math.Max(depth, 1), 4)));
        }

        public SVMInfoLibList GetVMStructListForEntity(string entity, EInventoryType type, ulong mask, int max)
        {
            return Run<SVMInfoLibList>("GetVMStructListForEntity", null, api =>
                new Inventory(api, "", (mask & IncludePublicTemplates) != 0).VmsUnder(N(entity), type, max));
        }

        public SVMInfoLibList GetVMStructListForEntityByName(string entity, EInventoryType type, ulong mask, int max)
        {
            return Run<SVMInfoLibList>("GetVMStructListForEntityByName", null, api =>
                new Inventory(api, "", (mask & IncludePublicTemplates) != 0).VmsUnder(N(entity), type, max));
        }

        // VMs whose metadata entry 'key' holds 'value' (a text; '*' matches any characters).
        public SVMInfoLibList GetVMInfoListForMetadataTag(string key, string value, ulong mask, int max)
        {
            return Run<SVMInfoLibList>("GetVMInfoListForMetadataTag", null, api =>
            {
                string k = N(key);
                if (k.Length == 0) throw new CloudException("no metadata key given");
                var inv = new Inventory(api, "", (mask & IncludePublicTemplates) != 0);
                string filter = "metadata:" + api.FilterValue(k) + "==STRING:" + api.FilterValue(value ?? "");
                return inv.Vms(Api.And(filter, inv.TemplateFilter), max);
            });
        }

        // VMs whose VM, vApp, VDC or organisation name matches pattern ('*' matches any characters).
        public SVMInfoLibList GetVMStructListForWildCard(string pattern, EFilterType filterType)
        {
            return Run<SVMInfoLibList>("GetVMStructListForWildCard", null, api =>
                new Inventory(api, "", false).VmsByPattern(N(pattern), filterType));
        }

        // The name and URL of the vCenter server behind an organisation VDC (System sessions).
        public bool QueryVcenterForVDC(string vdc, ref string vcName, ref string vcUrl)
        {
            string name = null, url = null;
            bool ok = Run("QueryVcenterForVDC", false, api =>
            {
                var r = new Resolver(api);
                r.RequireSystem("finding the vCenter server of a VDC");
                var v = r.Vdc("", N(vdc));
                var admin = api.GetObject("api/admin/vdc/" + Ref.Uuid(v.Href), Ns.Vcloud, "AdminVdc", "VDC '" + v.Name + "'");
                var serverRef = admin.Descendants(Ns.Ext + "VimServerRef").FirstOrDefault();
                if (serverRef == null)
                {
                    var pvdcRef = admin.Child(Ns.Vcloud, "ProviderVdcReference");
                    if (pvdcRef == null) throw new CloudException("VDC '" + v.Name + "' names neither resource pools nor a provider VDC");
                    var pvdc = api.GetObject("api/admin/extension/providervdc/" + Ref.Uuid(pvdcRef.Attr("href")), Ns.Ext, "VMWProviderVdc",
                        "provider VDC of '" + v.Name + "'");
                    serverRef = pvdc.Descendants(Ns.Ext + "VimServer").FirstOrDefault();
                }
                if (serverRef == null) throw new CloudException("the server names no vCenter server behind VDC '" + v.Name + "'");
                var server = api.GetObject(serverRef.Attr("href"), Ns.Ext, "VimServer", "vCenter server of VDC '" + v.Name + "'");
                name = server.Attr("name");
                url = server.ChildText(Ns.Ext, "Url");
                return true;
            });
            if (ok)
            {
                vcName = name;
                vcUrl = url;
            }
            return ok;
        }

        // ---- conversions ----

        internal static SInventoryLib Node(string name, string href, EInventoryType type)
        {
            return new SInventoryLib { name = name, href = href, type = type, children = new SInventoryLibList() };
        }

        private static SStringInfoLibList Names(IEnumerable<XElement> refs)
        {
            var list = new SStringInfoLibList();
            foreach (var e in refs) list.Add(e.Attr("name"));
            return list;
        }

        internal static IEnumerable<XElement> ResourceEntities(XElement vdc, string type)
        {
            var entities = vdc.Child(Ns.Vcloud, "ResourceEntities");
            if (entities == null) return Enumerable.Empty<XElement>();
            return entities.Elements(Ns.Vcloud + "ResourceEntity").Where(e => X.MediaTypeIs(e.Attr("type"), type));
        }

        // guestOSName is the configured guest OS; guestOSVersion the OS that VMware Tools report from
        // inside the guest (empty when unknown). hostName and moref need a System session.
        internal static SVMInfoLib VmInfo(QueryRecord r)
        {
            return new SVMInfoLib
            {
                name = r.Name,
                uuid = Ref.Uuid(r.Href),
                hostName = r["hostName"],
                moref = r["moref"],
                guestOSName = r["guestOs"],
                guestOSVersion = r["detectedGuestOs"],
                poweredState = r["status"]
            };
        }

        private const long MiB = 1024L * 1024L;

        // Sizes in bytes: the limit, and what is left of it. A limit of 0 means unlimited; both are then 0.
        internal static SStorageProfileInfoLib Profile(QueryRecord r)
        {
            long limit = Megabytes(r["storageLimitMB"]), used = Megabytes(r["storageUsedMB"]);
            return new SStorageProfileInfoLib
            {
                name = r.Name,
                guid = Ref.Uuid(r.Href),
                moref = r["storageProfileMoref"],
                i64TotalSizeInBytes = limit * MiB,
                i64FreeSpaceInBytes = limit > 0 ? Math.Max(0, limit - used) * MiB : 0,
                isDefault = r["isDefaultStorageProfile"] == "true"
            };
        }

        private static long Megabytes(string text)
        {
            double d;
            if (!double.TryParse(text, NumberStyles.Float, CultureInfo.InvariantCulture, out d) || d < 0) return 0;
            return d > long.MaxValue / MiB ? long.MaxValue / MiB : (long)d;
        }

        private static SVCloudUserLibList Users(Api api, string vappHref, string vmName)
        {
            if (vappHref.Length == 0) throw new CloudException("VM '" + vmName + "' names no vApp");
            var vapp = api.GetObject(vappHref, Ns.Vcloud, "VApp", "vApp of VM '" + vmName + "'");
            var entries = new List<SVCloudUserLib>();
            var hrefs = new List<string>();
            Action<string, string, bool, bool, bool> add = (href, name, group, full, read) =>
            {
                int at = hrefs.FindIndex(h => href.Length > 0 && Ref.Same(h, href));
                if (at < 0)
                {
                    hrefs.Add(href);
                    entries.Add(new SVCloudUserLib { name = name, group = group, fullAccess = full, readAccess = read });
                    return;
                }
                var e = entries[at];
                e.fullAccess |= full;
                e.readAccess |= read;
                entries[at] = e;
            };
            var owner = vapp.Child(Ns.Vcloud, "Owner");
            var ownerUser = owner == null ? null : owner.Child(Ns.Vcloud, "User");
            if (ownerUser != null) add(ownerUser.Attr("href"), ownerUser.Attr("name"), false, true, true);

            var link = vapp.Link("down", "application/vnd.vmware.vcloud.controlAccess+xml");
            string aclHref = link != null ? link.Attr("href") : vapp.Attr("href").TrimEnd('/') + "/controlAccess/";
            var acl = api.GetObject(aclHref, Ns.Vcloud, "ControlAccessParams", "access control of vApp '" + vapp.Attr("name") + "'");
            var settings = acl.Child(Ns.Vcloud, "AccessSettings");
            if (settings != null)
            {
                foreach (var setting in settings.Elements(Ns.Vcloud + "AccessSetting"))
                {
                    string level = setting.ChildText(Ns.Vcloud, "AccessLevel");
                    bool full = level == "FullControl";
                    bool read = full || level == "Change" || level == "ReadOnly";
                    var subject = setting.Child(Ns.Vcloud, "Subject");
                    if (subject != null)
                    {
                        string name = subject.Attr("name");
                        bool group = subject.Attr("type").IndexOf("group", StringComparison.OrdinalIgnoreCase) >= 0;
                        if (name.Length == 0 && subject.Attr("href").Length > 0)
                            name = api.GetObject(subject.Attr("href"), Ns.Vcloud, group ? "Group" : "User", "access control subject").Attr("name");
                        add(subject.Attr("href"), name, group, full, read);
                        continue;
                    }
                    var external = setting.Child(Ns.Vcloud, "ExternalSubject");
                    if (external != null)
                        add("", external.ChildText(Ns.Vcloud, "SubjectId"), external.ChildText(Ns.Vcloud, "IsUser") != "true", full, read);
                }
            }
            var list = new SVCloudUserLibList();
            foreach (var e in entries) list.Add(e);
            return list;
        }
    }

    // Inventory walks and VM lists built on the query service.
    internal sealed class Inventory
    {
        private readonly Api api;
        private readonly Resolver r;
        private readonly string org;
        private readonly bool templates;

        public Inventory(Api api, string org, bool includeTemplates)
        {
            this.api = api;
            r = new Resolver(api);
            this.org = org;
            templates = includeTemplates;
        }

        public string TemplateFilter { get { return templates ? null : "isVAppTemplate==false"; } }

        // The attributes of a VM record that a VM list reads (vCloudWrapper.VmInfo and the template check).
        private static readonly string[] VmAttributes = { "name", "hostName", "moref", "guestOs", "detectedGuestOs", "status", "isVAppTemplate" };

        // Every VM matching filter, max 0 meaning all.
        public SVMInfoLibList Vms(string filter, int max)
        {
            var list = new SVMInfoLibList();
            var shared = new SharedTexts();
            foreach (var rec in api.Query(r.VmType, filter, max, null, VmAttributes))
            {
                if (!templates && rec["isVAppTemplate"] == "true") continue;
                var vm = vCloudWrapper.VmInfo(rec);
                // Hosts, guest systems and power states repeat across a large list: one text each.
                vm.hostName = shared.Get(vm.hostName);
                vm.guestOSName = shared.Get(vm.guestOSName);
                vm.guestOSVersion = shared.Get(vm.guestOSVersion);
                vm.poweredState = shared.Get(vm.poweredState);
                list.Add(vm);
                if (max > 0 && list.Count >= max) break;
            }
            return list;
        }

        // One instance of each equal text, for texts that repeat; at most Limit different ones are kept.
        private sealed class SharedTexts
        {
            private const int Limit = 4096;
            private readonly Dictionary<string, string> texts = new Dictionary<string, string>(StringComparer.Ordinal);

            public string Get(string text)
            {
                if (string.IsNullOrEmpty(text)) return text;
                string kept;
                if (texts.TryGetValue(text, out kept)) return kept;
                if (texts.Count < Limit) texts.Add(text, text);
                return text;
            }
        }

        public SVMInfoLibList VmsUnder(string entity, EInventoryType type, int max)
        {
            switch (type)
            {
                case EInventoryType.eInventoryCloud:
                    return Vms(TemplateFilter, max);
                case EInventoryType.eInventoryUnknown:
                    if (entity.Length > 0) throw new CloudException("the entity type of '" + entity + "' is unknown");
                    return Vms(TemplateFilter, max);
                case EInventoryType.eInventoryOrg:
                    {
                        var o = r.Org(entity);
                        return Vms(Api.And(api.S.IsSystem ? api.Eq("org", o.Href) : null, TemplateFilter), max);
                    }
                case EInventoryType.eInventoryOrgVdc:
                    return Vms(Api.And(api.Eq("vdc", r.Vdc("", entity).Href), TemplateFilter), max);
                case EInventoryType.eInventoryVApp:
                    return Vms(api.Eq("container", r.VApp("", "", entity).Href), max);
                case EInventoryType.eInventoryVAppTemplate:
                    {
                        string href = Resolver.ObjectHref(entity, "vapptemplate", "a vApp template");
                        var t = api.GetObject(href, Ns.Vcloud, "VAppTemplate", "vApp template '" + entity + "'");
                        var list = new SVMInfoLibList();
                        foreach (var rec in api.Query(r.VmType, api.Eq("container", t.Attr("href"))))
                        {
                            list.Add(vCloudWrapper.VmInfo(rec));
                            if (max > 0 && list.Count >= max) break;
                        }
                        return list;
                    }
                case EInventoryType.eInventoryVM:
                    {
                        var list = new SVMInfoLibList();
                        list.Add(vCloudWrapper.VmInfo(r.Vm("", "", "", entity).Rec));
                        return list;
                    }
                case EInventoryType.eInventoryVCenter:
                    return Vms(Api.And(api.Eq("vc", r.VCenter(entity).Href), TemplateFilter), max);
                case EInventoryType.eInventoryStorageProfile:
                    {
                        var p = r.StorageProfile(entity, null);
                        return Vms(Api.And(api.Eq("vdc", p.Rec["vdc"]), api.Eq("storageProfileName", p.Name), TemplateFilter), max);
                    }
                case EInventoryType.eInventoryDatastore:
                    r.RequireSystem("listing the VMs of a datastore");
                    if (entity.Length == 0) throw new CloudException("no datastore given");
                    return Vms(Api.And(api.Eq("datastoreName", entity), TemplateFilter), max);
                default:
                    throw new CloudException("VMs cannot be listed under an entity of type " + type + " (" + (int)type + ")");
            }
        }

        public SVMInfoLibList VmsByPattern(string pattern, EFilterType filterType)
        {
            if (pattern.Length == 0) throw new CloudException("no pattern given");
            string attribute;
            switch (filterType)
            {
                case EFilterType.eFilterVMName: attribute = "name"; break;
                case EFilterType.eFilterVAppName: attribute = "containerName"; break;
                case EFilterType.eFilterVdcName: attribute = "vdcName"; break;
                case EFilterType.eFilterOrgName:
                    {
                        var rx = Wildcard(pattern);
                        var orgs = r.AllOrgs().Where(o => rx.IsMatch(o.Name)).ToList();
                        var list = new SVMInfoLibList();
                        if (orgs.Count == 0) return list;
                        if (!api.S.IsSystem) return Vms(TemplateFilter, 0);
                        foreach (var o in orgs)
                            foreach (var vm in Vms(Api.And(api.Eq("org", o.Href), TemplateFilter), 0)) list.Add(vm);
                        return list;
                    }
                default:
                    throw new CloudException("unknown filter type " + (int)filterType);
            }
            return Vms(Api.And(attribute + "==" + api.FilterValue(pattern), TemplateFilter), 0);
        }

        // Names match case-insensitively, '*' standing for any characters, as the query service matches.
        private static Regex Wildcard(string pattern)
        {
            var sb = new StringBuilder("^");
            foreach (var part in pattern.Split('*')) sb.Append(Regex.Escape(part)).Append(".*");
            sb.Length -= 2;
            return new Regex(sb.Append('$').ToString(), RegexOptions.IgnoreCase | RegexOptions.CultureInvariant);
        }

        // ---- browsing ----

        public SInventoryLibList Children(SInventoryLib node, int levels)
        {
            string text = !string.IsNullOrEmpty(node.href) ? node.href : (node.name ?? "");
            var list = new SInventoryLibList();
            switch (node.type)
            {
                case EInventoryType.eInventoryUnknown:
                case EInventoryType.eInventoryCloud:
                    if (node.type == EInventoryType.eInventoryUnknown && text.Length > 0)
                        throw new CloudException("the entity type of node '" + text + "' is unknown");
                    if (org.Length > 0)
                    {
                        var o = r.Org(org);
                        list.Add(vCloudWrapper.Node(o.Name, o.Href, EInventoryType.eInventoryOrg));
                    }
                    else foreach (var o in r.AllOrgs()) list.Add(vCloudWrapper.Node(o.Name, o.Href, EInventoryType.eInventoryOrg));
                    break;
                case EInventoryType.eInventoryOrg:
                    {
                        foreach (var rec in r.VdcRecords(r.Org(text)))
                            list.Add(vCloudWrapper.Node(rec.Name, rec.Href, EInventoryType.eInventoryOrgVdc));
                        break;
                    }
                case EInventoryType.eInventoryOrgVdc:
                    {
                        var v = r.Vdc(org, text);
                        var obj = api.GetObject(v.Href, Ns.Vcloud, "Vdc", "VDC '" + v.Name + "'");
                        foreach (var e in vCloudWrapper.ResourceEntities(obj, "application/vnd.vmware.vcloud.vApp+xml"))
                            list.Add(vCloudWrapper.Node(e.Attr("name"), e.Attr("href"), EInventoryType.eInventoryVApp));
                        if (templates)
                            foreach (var e in vCloudWrapper.ResourceEntities(obj, "application/vnd.vmware.vcloud.vAppTemplate+xml"))
                                list.Add(vCloudWrapper.Node(e.Attr("name"), e.Attr("href"), EInventoryType.eInventoryVAppTemplate));
                        break;
                    }
                case EInventoryType.eInventoryVApp:
                    {
                        var a = r.VApp(org, "", text);
                        AddVms(list, api.GetObject(a.Href, Ns.Vcloud, "VApp", "vApp '" + a.Name + "'"));
                        break;
                    }
                case EInventoryType.eInventoryVAppTemplate:
                    {
                        string href = Resolver.ObjectHref(text, "vapptemplate", "a vApp template");
                        AddVms(list, api.GetObject(href, Ns.Vcloud, "VAppTemplate", "vApp template '" + text + "'"));
                        break;
                    }
                case EInventoryType.eInventoryVM:
                    break;
                default:
                    throw new CloudException("nodes of type " + node.type + " (" + (int)node.type + ") cannot be browsed");
            }
            if (levels > 1)
            {
                for (int i = 0; i < list.Count; i++)
                {
                    var child = list[i];
                    if (child.type != EInventoryType.eInventoryVM)
                        foreach (var grandchild in Children(child, levels - 1)) child.children.Add(grandchild);
                }
            }
            return list;
        }

        private static void AddVms(SInventoryLibList list, XElement container)
        {
            var children = container.Child(Ns.Vcloud, "Children");
            if (children == null) return;
            foreach (var vm in children.Elements(Ns.Vcloud + "Vm"))
                list.Add(vCloudWrapper.Node(vm.Attr("name"), vm.Attr("href"), EInventoryType.eInventoryVM));
        }
    }
}
