// Read-only operations: server version, name lists, storage profiles, users of a VM, VM descriptions,
// the inventory tree, VM lists by entity, metadata and wildcard, and the vCenter behind a VDC.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Linq;
using System.Xml.Linq;

namespace vCloudSDKWrapper
{
    public partial class vCloudWrapper
    {
        // System sessions: from /api/admin. Tenants: the release of the server's highest API version.
        public bool GetMgmtVersion(ref SMgmtVersionLib version)
        {
            return Fill("GetMgmtVersion", ref version, api =>
            {
                SMgmtVersionLib result = new SMgmtVersionLib();
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
                return result;
            });
        }

        public bool GetVdcListInOrg(string org, ref SStringInfoLibList list)
        {
            return Fill("GetVdcListInOrg", ref list, api =>
            {
                var r = new Resolver(api);
                SStringInfoLibList result = new SStringInfoLibList();
                foreach (var rec in r.VdcRecords(r.Org(N(org)))) result.Add(rec.Name);
                return result;
            });
        }

        public bool GetVappListInVdc(string org, string vdc, ref SStringInfoLibList list)
        {
            return Fill("GetVappListInVdc", ref list, api =>
            {
                var v = new Resolver(api).Vdc(N(org), N(vdc));
                var obj = api.GetObject(v.Href, Ns.Vcloud, "Vdc", "VDC '" + v.Name + "'");
                return Names(ResourceEntities(obj, "application/vnd.vmware.vcloud.vApp+xml"));
            });
        }

        public bool GetNetworkListInVApp(string org, string vdc, string vapp, ref SStringInfoLibList list)
        {
            return Fill("GetNetworkListInVApp", ref list, api =>
            {
                var a = new Resolver(api).VApp(N(org), N(vdc), N(vapp));
                var obj = api.GetObject(a.Href, Ns.Vcloud, "VApp", "vApp '" + a.Name + "'");
                SStringInfoLibList result = new SStringInfoLibList();
                var section = obj.Child(Ns.Vcloud, "NetworkConfigSection");
                if (section != null)
                    foreach (var nc in section.Elements(Ns.Vcloud + "NetworkConfig")) result.Add(nc.Attr("networkName"));
                return result;
            });
        }

        // The datastores of the provider VDC behind an organisation VDC (System sessions).
        public bool GetAssociatedDatastoreListForVdc(string vdc, ref SStringInfoLibList list)
        {
            return Fill("GetAssociatedDatastoreListForVdc", ref list, api =>
            {
                var r = new Resolver(api);
                r.RequireSystem("listing datastores");
                var v = r.Vdc("", N(vdc));
                var admin = api.GetObject("api/admin/vdc/" + Ref.Uuid(v.Href), Ns.Vcloud, "AdminVdc", "VDC '" + v.Name + "'");
                var pvdc = admin.Child(Ns.Vcloud, "ProviderVdcReference");
                if (pvdc == null) throw new CloudException("VDC '" + v.Name + "' names no provider VDC");
                SStringInfoLibList result = new SStringInfoLibList();
                var seen = new HashSet<string>(StringComparer.Ordinal);
                foreach (var rec in api.Query("datastoreProviderVdcRelation", api.Eq("providerVdc", pvdc.Attr("href"))))
                    if (seen.Add(rec.Name)) result.Add(rec.Name);
                return result;
            });
        }

        public bool GetUserListInOrg(string org, ref SStringInfoLibList list)
        {
            return Fill("GetUserListInOrg", ref list, api =>
            {
                var o = new Resolver(api).Org(N(org));
                var admin = api.GetObject("api/admin/org/" + Ref.Uuid(o.Href), Ns.Vcloud, "AdminOrg", "organisation '" + o.Name + "'");
                SStringInfoLibList result = new SStringInfoLibList();
                var users = admin.Child(Ns.Vcloud, "Users");
                if (users != null)
                    foreach (var u in users.Elements(Ns.Vcloud + "UserReference")) result.Add(u.Attr("name"));
                return result;
            });
        }

        public bool GetStorageProfileListInVDC(string org, string vdc, ref SStorageProfileInfoLibList list)
        {
            return Fill("GetStorageProfileListInVDC", ref list, api =>
            {
                var r = new Resolver(api);
                var v = r.Vdc(N(org), N(vdc));
                SStorageProfileInfoLibList result = new SStorageProfileInfoLibList();
                foreach (var rec in api.Query(r.ProfileType, api.Eq("vdc", v.Href))) result.Add(Profile(rec));
                return result;
            });
        }

        // profile: href, URN or UUID of a VDC storage profile, or a name that is unique in the cloud.
        public bool GetStorageProfileInfo(string profile, ref SStorageProfileInfoLib info)
        {
            return Fill("GetStorageProfileInfo", ref info, api =>
            {
                SStorageProfileInfoLib result = new SStorageProfileInfoLib();
                result = Profile(new Resolver(api).StorageProfile(N(profile), null).Rec);
                return result;
            });
        }

        // The VDC storage profile that uses vSphere storage policy 'moref' of vCenter 'vc' (System sessions).
        public bool GetStorageProfileInfoByMoref(string vc, string moref, ref SStorageProfileInfoLib info)
        {
            return Fill("GetStorageProfileInfoByMoref", ref info, api =>
            {
                SStorageProfileInfoLib result = new SStorageProfileInfoLib();
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
                return result;
            });
        }

        // The vApp's owner and the subjects of its access control list.
        public bool GetUsersForVM(string org, string vdc, string vm, ref SVCloudUserLibList list)
        {
            return Fill("GetUsersForVM", ref list, api =>
            {
                var found = new Resolver(api).Vm(N(org), N(vdc), "", N(vm));
                return Users(api, found.Rec["container"], found.Name);
            });
        }

        public bool GetVMInfoForVM(string org, string vdc, string vm, ref SVMInfoLib info)
        {
            return Fill("GetVMInfoForVM", ref info, api =>
            {
                SVMInfoLib result = new SVMInfoLib();
                result = VmInfo(new Resolver(api).Vm(N(org), N(vdc), "", N(vm)).Rec);
                return result;
            });
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
            return VmsUnderEntity("GetVMStructListForEntity", entity, type, mask, max);
        }

        // The same walk: the entity text is a name, an href or a URN for both.
        public SVMInfoLibList GetVMStructListForEntityByName(string entity, EInventoryType type, ulong mask, int max)
        {
            return VmsUnderEntity("GetVMStructListForEntityByName", entity, type, mask, max);
        }

        private SVMInfoLibList VmsUnderEntity(string operation, string entity, EInventoryType type, ulong mask, int max)
        {
            return Run<SVMInfoLibList>(operation, null, api =>
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
}
