// Inventory walks: the folder tree of organisations, VDCs, vApps and VMs, and the VM lists of an entity,
// by name or wildcard, built on the query service.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Text;
using System.Text.RegularExpressions;
using System.Xml.Linq;

namespace vCloudSDKWrapper
{
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
            var shared = new SharedTexts(4);
            foreach (var rec in api.Query(r.VmType, filter, max, null, VmAttributes, list.Reserve))
            {
                if (!templates && rec["isVAppTemplate"] == "true") continue;
                var vm = vCloudWrapper.VmInfo(rec);
                // Hosts, guest systems and power states repeat across a large list: one text each.
                vm.hostName = shared.Get(vm.hostName, 0);
                vm.guestOSName = shared.Get(vm.guestOSName, 1);
                vm.guestOSVersion = shared.Get(vm.guestOSVersion, 2);
                vm.poweredState = shared.Get(vm.poweredState, 3);
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

            // The last text of each field and the instance it became: the page's reader gives a page's equal
            // texts as one instance, so a field that repeats is mostly found here, without hashing it.
            private readonly string[] lastSeen, lastKept;

            public SharedTexts(int fields) { lastSeen = new string[fields]; lastKept = new string[fields]; }

            public string Get(string text, int field)
            {
                if (string.IsNullOrEmpty(text)) return text;
                if (ReferenceEquals(text, lastSeen[field])) return lastKept[field];
                string kept;
                if (!texts.TryGetValue(text, out kept))
                {
                    kept = text;
                    if (texts.Count < Limit) texts.Add(text, text);
                }
                lastSeen[field] = text;
                lastKept[field] = kept;
                return kept;
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
