// Read-only representations: organisations, VDCs, vApps, VMs, templates, catalogs, networks, storage
// profiles, users, tasks, and the provider objects that only System users see.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Linq;

namespace VcdSim
{
    partial class Api
    {
        // ---- organisations ---------------------------------------------------------------------------------

        Resp OrgList(Req r)
        {
            var s = r.Session;
            var x = HrefTypeDoc("OrgList", Refs.Api + "/org/", Mt.OrgList);
            foreach (var o in cloud.Orgs)
                if (s.IsSystem || o == s.Org) x.Ref("Org", o);
            x.End();
            return Xml(r, 200, Mt.OrgList, x);
        }

        // A new document whose root carries an href and a media type: lists, settings and sections.
        static XmlOut HrefTypeDoc(string root, string href, string type, params string[] prefixes)
        {
            var x = new XmlOut();
            x.Root(root, Ns.V, prefixes);
            x.Attr("href", href);
            x.Attr("type", type);
            return x;
        }

        // A new document whose root represents an entity, starting with its href, id, name and type.
        static XmlOut EntityDoc(string root, Entity e, string href, string type)
        {
            var x = new XmlOut();
            x.Root(root, Ns.V);
            x.Identity(e, href, type);
            return x;
        }

        static void MetadataLink(XmlOut x, Entity e)
        {
            x.Link("down", MetadataHref(e), Mt.Metadata);
        }

        // Provider VDCs keep their metadata under their admin view.
        static string MetadataHref(Entity e)
        {
            return (e.Kind == Kind.ProviderVdc ? Refs.AdminHref(e) : Refs.Href(e)) + "/metadata";
        }

        // Every network of an organisation, VDC by VDC.
        static IEnumerable<Network> OrgNetworks(Org o)
        {
            foreach (var v in o.Vdcs)
                foreach (var n in v.Networks) yield return n;
        }

        Resp OrgXml(Req r, Org o)
        {
            var x = EntityDoc("Org", o, Refs.Href(o), Mt.Org);
            // From API 33 an Org no longer links its VDCs and catalogs one by one; it links the queries that
            // list them instead, and clients that name a VDC go through the query service.
            if (VersionNumber(r) >= 33)
            {
                var name = new System.Text.StringBuilder();
                foreach (char c in o.Name) name.Append("(),;\\".IndexOf(c) >= 0 ? "\\" + c : c.ToString());
                string scope = "&format=records&filter=" + Uri.EscapeDataString("orgName==" + name);
                x.Link("down", Refs.Api + "/query?type=orgVdc" + scope, Mt.Records, "vdcs");
                x.Link("down", Refs.Api + "/query?type=catalog" + scope, Mt.Records, "catalogs");
            }
            else
            {
                foreach (var v in o.Vdcs) x.Link("down", Refs.Href(v), Mt.Vdc, v.Name);
                foreach (var c in o.Catalogs) x.Link("down", Refs.Href(c), Mt.Catalog, c.Name);
            }
            x.Link("down", Refs.Api + "/tasksList/" + o.Id, Mt.TasksList);
            foreach (var n in OrgNetworks(o)) x.Link("down", Refs.Href(n), Mt.OrgNetwork, n.Name);
            MetadataLink(x, o);
            x.El("Description", o.Description);
            x.El("FullName", o.FullName);
            x.End();
            return Xml(r, 200, Mt.Org, x);
        }

        Resp AdminOrgXml(Req r, Org o)
        {
            var x = EntityDoc("AdminOrg", o, Refs.AdminHref(o), Mt.AdminOrg);
            x.Link("alternate", o);
            x.El("Description", o.Description);
            x.El("FullName", o.FullName);
            x.El("IsEnabled", o.Enabled);
            x.RefList("Users", "UserReference", o.Users);
            x.RefList("Groups", "GroupReference", o.Groups);
            x.RefList("Catalogs", "CatalogReference", o.Catalogs, Refs.AdminHref, Mt.P + "admin.catalog+xml");
            x.RefList("Vdcs", "Vdc", o.Vdcs);
            x.RefList("Networks", "Network", OrgNetworks(o), Refs.AdminHref, Mt.P + "admin.network+xml");
            x.End();
            return Xml(r, 200, Mt.AdminOrg, x);
        }

        Resp UserXml(Req r, User u)
        {
            var x = EntityDoc("User", u, Refs.Href(u), Mt.User);
            x.Link("up", Refs.AdminHref(u.Org), Mt.AdminOrg);
            x.El("FullName", u.FullName);
            x.El("EmailAddress", u.Email);
            x.El("IsEnabled", u.Enabled);
            x.El("IsLocked", false);
            x.El("NameInSource", u.Name);
            x.El("IsExternal", false);
            x.El("ProviderType", "INTEGRATED");
            x.El("IsGroupRole", false);
            x.El("StoredVmQuota", 0);
            x.El("DeployedVmQuota", 0);
            x.RefTo("Role", Refs.Api + "/admin/role/" + cloud.StableIdFor("role/" + u.Role), u.Role, Mt.Role);
            x.RefList("GroupReferences", "GroupReference", u.Groups);
            x.End();
            return Xml(r, 200, Mt.User, x);
        }

        Resp GroupXml(Req r, Group g)
        {
            var x = EntityDoc("Group", g, Refs.Href(g), Mt.Group);
            x.Link("up", Refs.AdminHref(g.Org), Mt.AdminOrg);
            x.El("Description", g.Description);
            x.El("NameInSource", g.Name);
            x.RefList("UsersList", "UserReference", g.Org.Users.Where(u => u.Groups.Contains(g)));
            x.El("ProviderType", "INTEGRATED");
            x.End();
            return Xml(r, 200, Mt.Group, x);
        }

        // ---- VDCs, storage profiles, networks ----------------------------------------------------------------

        Resp VdcXml(Req r, Vdc v, bool admin)
        {
            var s = r.Session;
            var x = new XmlOut();
            x.Root(admin ? "AdminVdc" : "Vdc", Ns.V);
            x.Attr("href", admin ? Refs.AdminHref(v) : Refs.Href(v));
            x.Attr("id", Refs.Urn(v));
            x.Attr("name", v.Name);
            x.Attr("status", 1);
            x.Attr("type", admin ? Mt.AdminVdc : Mt.Vdc);
            x.Link("up", admin ? Refs.AdminHref(v.Org) : Refs.Href(v.Org), admin ? Mt.AdminOrg : Mt.Org);
            x.Link("alternate", admin ? Refs.Href(v) : Refs.AdminHref(v), admin ? Mt.Vdc : Mt.AdminVdc);
            MetadataLink(x, v);
            x.El("Description", v.Description);
            x.El("AllocationModel", v.AllocationModel);
            x.Open("ComputeCapacity");
            Capacity(x, "Cpu", "MHz", v.CpuLimitMhz, UsedCpu(v));
            Capacity(x, "Memory", "MB", v.MemoryLimitMB, UsedMemory(v));
            x.End();
            x.RefList("ResourceEntities", "ResourceEntity", v.VApps.Concat<VAppBase>(v.Templates));
            x.RefList("AvailableNetworks", "Network", v.Networks);
            x.Open("Capabilities");
            x.Open("SupportedHardwareVersions");
            x.El("SupportedHardwareVersion", "vmx-19");
            x.End();
            x.End();
            x.El("NicQuota", 0);
            x.El("NetworkQuota", 1000);
            x.El("UsedNetworkCount", v.Networks.Count);
            x.El("VmQuota", 0);
            x.El("IsEnabled", v.Enabled);
            x.RefList("VdcStorageProfiles", "VdcStorageProfile", v.Profiles);
            if (admin)
            {
                x.El("ResourceGuaranteedMemory", "1.00");
                x.El("ResourceGuaranteedCpu", "1.00");
                x.El("VCpuInMhz", 2000);
                x.El("IsThinProvision", true);
                if (v.Pvdc != null)
                    x.Ref("ProviderVdcReference", v.Pvdc, href: Refs.AdminHref(v.Pvdc), type: Mt.AdminProviderVdc);
                if (s.IsSystem && v.VCenter != null)
                {
                    x.Open("ResourcePoolRefs");
                    VimObjectRef(x, Ns.Ext, v.VCenter, v.ResourcePool, "RESOURCE_POOL");
                    x.End();
                }
                x.El("UsesFastProvisioning", false);
            }
            x.End();
            return Xml(r, 200, admin ? Mt.AdminVdc : Mt.Vdc, x);
        }

        static long UsedCpu(Vdc v)
        {
            long n = 0;
            foreach (var va in v.VApps) foreach (var vm in va.Vms) if (vm.Power == Power.On) n += vm.Cpus * 1000L;
            return n;
        }

        static long UsedMemory(Vdc v)
        {
            long n = 0;
            foreach (var va in v.VApps) foreach (var vm in va.Vms) if (vm.Power == Power.On) n += vm.MemoryMB;
            return n;
        }

        static void Capacity(XmlOut x, string what, string units, long limit, long used)
        {
            x.Open(what);
            x.El("Units", units);
            x.El("Allocated", limit);
            x.El("Limit", limit);
            x.El("Reserved", 0);
            x.El("Used", used);
            x.End();
        }

        // A vSphere object reference: the vCenter server, the managed object reference and its type.
        static void VimObjectRef(XmlOut x, string ns, VCenter vc, string moref, string type, string elem = "VimObjectRef")
        {
            x.Open(elem, ns);
            x.Ref("VimServerRef", vc, Ns.Ext);
            x.El("MoRef", moref, Ns.Ext);
            x.El("VimObjectType", type, Ns.Ext);
            x.End();
        }

        Resp StorageProfileXml(Req r, StorageProfile p, bool admin)
        {
            var x = new XmlOut();
            x.Root(admin ? "AdminVdcStorageProfile" : "VdcStorageProfile", Ns.V);
            x.Identity(p, admin ? Refs.AdminHref(p) : Refs.Href(p), admin ? Mt.AdminStorageProfile : Mt.StorageProfile);
            x.Link("up", p.Vdc);
            MetadataLink(x, p);
            x.El("Enabled", p.Enabled);
            x.El("Units", "MB");
            x.El("Limit", p.LimitMB);
            x.El("Default", p.IsDefault);
            x.El("StorageUsedMB", p.UsedMB);
            x.El("IopsAllocated", 0);
            if (admin && p.Policy != null) PvdcStorageProfileRef(x, p.Vdc.Pvdc, p.Policy);
            x.End();
            return Xml(r, 200, admin ? Mt.AdminStorageProfile : Mt.StorageProfile, x);
        }

        // The provider VDC's storage profile for a vSphere storage policy, which is named but not served.
        void PvdcStorageProfileRef(XmlOut x, ProviderVdc pvdc, StoragePolicy policy)
        {
            x.RefTo("ProviderVdcStorageProfile", Refs.Api + "/admin/pvdcStorageProfile/" + cloud.StableIdFor("pvdcsp/" + pvdc.Id + "/" + policy.Name),
                policy.Name, Mt.P + "admin.pvdcStorageProfile+xml");
        }

        Resp NetworkXml(Req r, Network n)
        {
            var x = EntityDoc("OrgVdcNetwork", n, Refs.Href(n), Mt.OrgNetwork);
            x.Link("up", n.Vdc);
            MetadataLink(x, n);
            x.El("Description", n.Description);
            x.Open("Configuration");
            x.Open("IpScopes");
            x.Open("IpScope");
            x.El("IsInherited", false);
            x.El("Gateway", n.Gateway);
            x.El("Netmask", n.Netmask);
            if (n.Dns.Length > 0) x.El("Dns1", n.Dns);
            x.El("IsEnabled", true);
            x.Open("IpRanges");
            x.Open("IpRange");
            x.El("StartAddress", n.IpStart);
            x.El("EndAddress", n.IpEnd);
            x.End();
            x.End();
            x.End();
            x.End();
            x.El("FenceMode", n.FenceMode);
            x.El("RetainNetInfoAcrossDeployments", false);
            x.End();
            x.El("IsShared", n.Shared);
            x.End();
            return Xml(r, 200, Mt.OrgNetwork, x);
        }

        // ---- vApps and VMs ---------------------------------------------------------------------------------

        Resp RouteVApp(Req r)
        {
            string id = r.Seg(2);
            if (id.StartsWith("vapp-", StringComparison.Ordinal))
            {
                var va = Lookup<VApp>(r.Session, id, "VAPP_VIEW");
                return VAppRoute(r, va);
            }
            if (id.StartsWith("vm-", StringComparison.Ordinal))
            {
                var vm = Lookup<Vm>(r.Session, id, "VAPP_VIEW");
                if (vm.IsTemplate) throw SimError.Forbidden("VAPP_VIEW");
                return VmRoute(r, vm);
            }
            throw SimError.Forbidden("VAPP_VIEW");
        }

        Resp VAppXml(Req r, VApp va)
        {
            var x = new XmlOut();
            x.Root("VApp", Ns.V, OvfPrefixes);
            x.Attr("ovfDescriptorUploaded", true);
            x.Attr("deployed", Cloud.VAppDeployed(va));
            x.Attr("status", Cloud.VAppStatus(va));
            string h = Refs.Href(va);
            x.IdentityNameFirst(va, h, Mt.VApp);
            PowerLinks(x, h, va.Vms.Count == 0 ? (Power?)null : AggregatePower(va), Cloud.VAppDeployed(va));
            x.Link("down", h + "/controlAccess/", Mt.ControlAccess);
            x.Link("controlAccess", h + "/action/controlAccess", Mt.ControlAccess);
            x.Link("recompose", h + "/action/recomposeVApp", Mt.Recompose);
            x.Link("up", va.Vdc);
            x.Link("edit", h, Mt.VApp);
            if (!Cloud.VAppDeployed(va)) x.Link("remove", h);
            x.Link("down", h + "/owner", Mt.Owner);
            MetadataLink(x, va);
            x.Link("down", h + "/networkConfigSection/", Mt.NetworkConfigSection);
            x.El("Description", va.Description);
            TasksElement(x, va);
            x.Open("NetworkSection", Ns.Ovf);
            x.El("Info", "The list of logical networks", Ns.Ovf);
            foreach (var n in va.Nets)
            {
                x.Open("Network", Ns.Ovf);
                x.W.WriteAttributeString("name", Ns.Ovf, n.Name);
                x.El("Description", "", Ns.Ovf);
                x.End();
            }
            x.End();
            WriteNetworkConfigSection(x, va);
            x.El("DateCreated", Iso(va.Created));
            x.Open("Owner");
            x.Attr("type", Mt.Owner);
            if (va.Owner != null) x.Ref("User", va.Owner);
            x.End();
            x.El("InMaintenanceMode", false);
            x.Open("Children");
            foreach (var vm in va.Vms) WriteVm(x, r, vm);
            x.End();
            x.End();
            return Xml(r, 200, Mt.VApp, x);
        }

        // The namespaces declared on vApps, templates and VMs, whose OVF sections use them.
        static readonly string[] OvfPrefixes = { "ovf", "vssd", "rasd", "vmw", "vmext", "xsi" };

        // The head of a vcloud section in OVF form: href, type, ovf:required="false" and the ovf:Info text.
        static void SectionHead(XmlOut x, string href, string type, string info)
        {
            x.Attr("href", href);
            x.Attr("type", type);
            x.W.WriteAttributeString("required", Ns.Ovf, "false");
            x.El("Info", info, Ns.Ovf);
        }

        // The href and type of an OVF section, which as attributes of an ovf element carry the vcloud prefix.
        static void VcloudHrefType(XmlOut x, string href, string type)
        {
            x.W.WriteAttributeString("vcloud", "href", Ns.V, href);
            x.W.WriteAttributeString("vcloud", "type", Ns.V, type);
        }

        static Power AggregatePower(VAppBase va)
        {
            bool anyOn = false, anySusp = false;
            foreach (var vm in va.Vms)
            {
                if (vm.Power == Power.On) anyOn = true;
                if (vm.Power == Power.Suspended) anySusp = true;
            }
            return anyOn ? Power.On : anySusp ? Power.Suspended : Power.Off;
        }

        // The power and deployment links that match the current state, as the server offers them.
        static void PowerLinks(XmlOut x, string h, Power? p, bool deployed)
        {
            if (p == null) return;
            if (p != Power.On) x.Link("power:powerOn", h + "/power/action/powerOn");
            if (p == Power.On)
            {
                x.Link("power:reboot", h + "/power/action/reboot");
                x.Link("power:reset", h + "/power/action/reset");
                x.Link("power:shutdown", h + "/power/action/shutdown");
                x.Link("power:suspend", h + "/power/action/suspend");
            }
            if (p != Power.Off) x.Link("power:powerOff", h + "/power/action/powerOff");
            if (p == Power.Suspended) x.Link("discardState", h + "/action/discardSuspendedState");
            if (deployed) x.Link("undeploy", h + "/action/undeploy", Mt.Undeploy);
            else x.Link("deploy", h + "/action/deploy", Mt.Deploy);
        }

        void TasksElement(XmlOut x, Entity e)
        {
            if (e.ActiveTask == null || e.ActiveTask.Finished) return;
            x.Open("Tasks");
            WriteTask(x, e.ActiveTask);
            x.End();
        }

        void WriteNetworkConfigSection(XmlOut x, VApp va, bool root = false)
        {
            string h = Refs.Href(va) + "/networkConfigSection/";
            x.Open(root, "NetworkConfigSection", Ns.V, "ovf");
            SectionHead(x, h, Mt.NetworkConfigSection, "The configuration parameters for logical networks");
            x.Link("edit", h, Mt.NetworkConfigSection);
            foreach (var n in va.Nets)
            {
                x.Open("NetworkConfig");
                x.Attr("networkName", n.Name);
                x.El("Description", "");
                x.Open("Configuration");
                if (n.Parent != null)
                {
                    x.Open("IpScopes");
                    x.Open("IpScope");
                    x.El("IsInherited", true);
                    x.El("Gateway", n.Parent.Gateway);
                    x.El("Netmask", n.Parent.Netmask);
                    x.El("IsEnabled", true);
                    x.End();
                    x.End();
                    x.Ref("ParentNetwork", n.Parent, withId: true);
                }
                x.El("FenceMode", n.FenceMode);
                x.El("RetainNetInfoAcrossDeployments", false);
                x.End();
                x.El("IsDeployed", Cloud.VAppDeployed(va));
                x.End();
            }
            x.End();
        }

        Resp NetworkConfigSectionXml(Req r, VApp va)
        {
            var x = new XmlOut();
            WriteNetworkConfigSection(x, va, true);
            return Xml(r, 200, Mt.NetworkConfigSection, x);
        }

        Resp VmXml(Req r, Vm vm)
        {
            var x = new XmlOut();
            WriteVm(x, r, vm, true);
            return Xml(r, 200, Mt.Vm, x);
        }

        void WriteVm(XmlOut x, Req r, Vm vm, bool root = false)
        {
            var s = r.Session;
            double version = VersionNumber(r);
            x.Open(root, "Vm", Ns.V, OvfPrefixes);
            string h = Refs.Href(vm);
            x.Attr("needsCustomization", false);
            x.Attr("nestedHypervisorEnabled", false);
            x.Attr("deployed", vm.Deployed);
            x.Attr("status", Cloud.VmStatus(vm));
            x.IdentityNameFirst(vm, h, Mt.Vm);
            // vSphere placement is extension data: System users only.
            if (s.IsSystem && vm.VCenter != null)
            {
                x.Open("VCloudExtension");
                x.Attr("required", false);
                x.Open("VmVimInfo", Ns.Ext);
                VimObjectRef(x, Ns.Ext, vm.VCenter, vm.Moref, "VIRTUAL_MACHINE", "VmVimObjectRef");
                if (vm.Datastore != null) VimObjectRef(x, Ns.Ext, vm.VCenter, vm.Datastore.Moref, "DATASTORE", "DatastoreVimObjectRef");
                if (vm.Host != null) VimObjectRef(x, Ns.Ext, vm.VCenter, vm.Host.Moref, "HOST", "HostVimObjectRef");
                x.El("VirtualDisksMaxChainLength", 1, Ns.Ext);
                x.End();
                x.End();
            }
            if (!vm.IsTemplate) PowerLinks(x, h, vm.Power, vm.Deployed);
            x.Link("up", vm.Parent);
            if (!vm.IsTemplate)
            {
                x.Link("edit", h, Mt.Vm);
                x.Link("reconfigureVm", h + "/action/reconfigureVm", Mt.Vm, vm.Name);
                if (!vm.Deployed) x.Link("remove", h);
            }
            MetadataLink(x, vm);
            x.Link("down", h + "/networkConnectionSection/", Mt.NetworkConnectionSection);
            x.El("Description", vm.Description);
            TasksElement(x, vm);
            WriteHardware(x, vm, h);
            x.Open("OperatingSystemSection", Ns.Ovf);
            x.W.WriteAttributeString("id", Ns.Ovf, "101");
            VcloudHrefType(x, h + "/operatingSystemSection/", Mt.P + "vcloud.operatingSystemSection+xml");
            x.W.WriteAttributeString("osType", Ns.Vmw, vm.OsType);
            x.El("Info", "Specifies the operating system installed", Ns.Ovf);
            x.El("Description", vm.GuestOs, Ns.Ovf);
            x.End();
            WriteNetworkConnectionSection(x, vm);
            x.Open("GuestCustomizationSection");
            SectionHead(x, h + "/guestCustomizationSection/", Mt.P + "vcloud.guestCustomizationSection+xml",
                "Specifies Guest OS Customization Settings");
            x.El("Enabled", false);
            x.El("ChangeSid", false);
            x.El("VirtualMachineId", vm.Id);
            x.El("JoinDomainEnabled", false);
            x.El("UseOrgSettings", false);
            x.El("AdminPasswordEnabled", false);
            x.El("AdminPasswordAuto", true);
            x.El("AdminAutoLogonEnabled", false);
            x.El("AdminAutoLogonCount", 0);
            x.El("ResetPasswordRequired", false);
            x.El("ComputerName", vm.ComputerName);
            x.End();
            x.Open("RuntimeInfoSection");
            VcloudHrefType(x, h + "/runtimeInfoSection", Mt.P + "vcloud.virtualHardwareSection+xml");
            x.El("Info", "Specifies Runtime info", Ns.Ovf);
            x.Open("VMWareTools");
            x.Attr("version", vm.ToolsVersion.ToString(CultureInfo.InvariantCulture));
            x.End();
            x.End();
            WriteVmSpecSection(x, vm, version);
            x.El("DateCreated", Iso(vm.Created));
            x.El("VAppScopedLocalId", vm.LocalId);
            x.Open("VmCapabilities");
            x.Attr("href", h + "/vmCapabilities/");
            x.Attr("type", Mt.P + "vcloud.vmCapabilitiesSection+xml");
            x.El("MemoryHotAddEnabled", false);
            x.El("CpuHotAddEnabled", false);
            x.End();
            if (vm.Profile != null) x.Ref("StorageProfile", vm.Profile);
            // Boot delay and BIOS setup at every version; retries, secure boot and network boot from 37.1.
            x.Open("BootOptions");
            x.El("BootDelay", 0);
            x.El("EnterBIOSSetup", false);
            if (version >= 37.1)
            {
                x.El("BootRetryEnabled", false);
                x.El("BootRetryDelay", 10000);
                x.El("EfiSecureBootEnabled", false);
                x.El("NetworkBootProtocol", "IPV4");
            }
            x.End();
            x.End();
        }

        // The VM's hardware and guest description (the section that RecomposeVAppParams and reconfigureVm also
        // take): guest OS, CPUs, memory, disks, hardware version. Firmware from 37.1.
        void WriteVmSpecSection(XmlOut x, Vm vm, double version)
        {
            x.Open("VmSpecSection");
            x.Attr("Modified", false);
            x.El("Info", "The configuration parameters for logical VM", Ns.Ovf);
            x.El("OsType", vm.OsType);
            x.El("NumCpus", vm.Cpus);
            x.El("NumCoresPerSocket", 1);
            x.Open("CpuResourceMhz");
            x.El("Configured", vm.Cpus * 1000L);
            x.End();
            x.Open("MemoryResourceMb");
            x.El("Configured", vm.MemoryMB);
            x.End();
            x.Open("DiskSection");
            x.Open("DiskSettings");
            x.El("DiskId", 2000);
            x.El("SizeMb", vm.DiskMB);
            x.El("UnitNumber", 0);
            x.El("BusNumber", 0);
            x.El("AdapterType", 5);
            x.El("ThinProvisioned", true);
            if (vm.Profile != null) x.Ref("StorageProfile", vm.Profile);
            x.El("overrideVmDefault", false);
            x.End();
            x.End();
            x.Open("HardwareVersion");
            if (vm.Vdc != null) x.Attr("href", Refs.Href(vm.Vdc) + "/hwv/vmx-" + Str(vm.HwVersion));
            x.Attr("type", Mt.P + "vcloud.virtualHardwareVersion+xml");
            x.W.WriteString("vmx-" + Str(vm.HwVersion));
            x.End();
            x.El("VmToolsVersion", vm.ToolsVersion.ToString(CultureInfo.InvariantCulture));
            x.El("VirtualCpuType", "VM64");
            x.El("TimeSyncWithHost", false);
            if (version >= 37.1) x.El("Firmware", "bios");
            x.End();
        }

        static string Str(long v)
        {
            return v.ToString(CultureInfo.InvariantCulture);
        }

        // The rasd elements of a hardware item, from name and value pairs, in the order given.
        static void Rasd(XmlOut x, params string[] nameValue)
        {
            for (int i = 0; i < nameValue.Length; i += 2) x.El(nameValue[i], nameValue[i + 1], Ns.Rasd);
        }

        // The rasd elements of a CPU or memory item: a quantity of the resource, without reservation or weight.
        static void QuantityRasd(XmlOut x, string units, string description, string elementName, string instanceId,
                                 string resourceType, long quantity)
        {
            Rasd(x, "AllocationUnits", units, "Description", description, "ElementName", elementName, "InstanceID", instanceId,
                "Reservation", "0", "ResourceType", resourceType, "VirtualQuantity", Str(quantity), "Weight", "0");
        }

        void WriteHardware(XmlOut x, Vm vm, string h)
        {
            var w = x.W;
            x.Open("VirtualHardwareSection", Ns.Ovf);
            w.WriteAttributeString("transport", Ns.Ovf, "");
            VcloudHrefType(x, h + "/virtualHardwareSection/", Mt.P + "vcloud.virtualHardwareSection+xml");
            x.El("Info", "Virtual hardware requirements", Ns.Ovf);
            x.Open("System", Ns.Ovf);
            x.El("ElementName", "Virtual Hardware Family", Ns.Vssd);
            x.El("InstanceID", "0", Ns.Vssd);
            x.El("VirtualSystemIdentifier", vm.Name, Ns.Vssd);
            x.El("VirtualSystemType", "vmx-" + Str(vm.HwVersion), Ns.Vssd);
            x.End();
            int instance = 1;
            foreach (var nic in vm.Nics)
            {
                x.Open("Item", Ns.Ovf);
                Rasd(x, "Address", nic.Mac, "AddressOnParent", Str(nic.Index), "AutomaticAllocation", nic.Connected ? "true" : "false");
                x.Open("Connection", Ns.Rasd);
                w.WriteAttributeString("vcloud", "ipAddressingMode", Ns.V, nic.Mode);
                if (nic.Ip.Length > 0) w.WriteAttributeString("vcloud", "ipAddress", Ns.V, nic.Ip);
                w.WriteAttributeString("vcloud", "primaryNetworkConnection", Ns.V, nic.Index == 0 ? "true" : "false");
                w.WriteString(nic.Network);
                x.End();
                Rasd(x, "Description", "Vmxnet3 ethernet adapter on \"" + nic.Network + "\"", "ElementName", "Network adapter " + Str(nic.Index),
                    "InstanceID", Str(instance++), "ResourceSubType", "VMXNET3", "ResourceType", "10");
                x.End();
            }
            x.Open("Item", Ns.Ovf);
            Rasd(x, "Address", "0", "Description", "SCSI Controller", "ElementName", "SCSI Controller 0", "InstanceID", "100",
                "ResourceSubType", "lsilogicsas", "ResourceType", "6");
            x.End();
            x.Open("Item", Ns.Ovf);
            Rasd(x, "AddressOnParent", "0", "Description", "Hard disk", "ElementName", "Hard disk 1");
            x.Open("HostResource", Ns.Rasd);
            w.WriteAttributeString("vcloud", "capacity", Ns.V, Str(vm.DiskMB));
            if (vm.Profile != null) w.WriteAttributeString("vcloud", "storageProfileHref", Ns.V, Refs.Href(vm.Profile));
            w.WriteAttributeString("vcloud", "busType", Ns.V, "6");
            w.WriteAttributeString("vcloud", "busSubType", Ns.V, "lsilogicsas");
            x.End();
            Rasd(x, "InstanceID", "2000", "Parent", "100", "ResourceType", "17", "VirtualQuantity", Str(vm.DiskMB * 1024L * 1024L),
                "VirtualQuantityUnits", "byte");
            x.End();
            x.Open("Item", Ns.Ovf);
            QuantityRasd(x, "hertz * 10^6", "Number of Virtual CPUs", Str(vm.Cpus) + " virtual CPU(s)", "4", "3", vm.Cpus);
            x.Open("CoresPerSocket", Ns.Vmw);
            w.WriteAttributeString("required", Ns.Ovf, "false");
            w.WriteString("1");
            x.End();
            x.End();
            x.Open("Item", Ns.Ovf);
            QuantityRasd(x, "byte * 2^20", "Memory Size", Str(vm.MemoryMB) + " MB of memory", "5", "4", vm.MemoryMB);
            x.End();
            x.End();
        }

        Resp NetworkConnectionSectionXml(Req r, Vm vm)
        {
            var x = new XmlOut();
            WriteNetworkConnectionSection(x, vm, true);
            return Xml(r, 200, Mt.NetworkConnectionSection, x);
        }

        void WriteNetworkConnectionSection(XmlOut x, Vm vm, bool root = false)
        {
            string h = Refs.Href(vm) + "/networkConnectionSection/";
            x.Open(root, "NetworkConnectionSection", Ns.V, "ovf");
            SectionHead(x, h, Mt.NetworkConnectionSection, "Specifies the available VM network connections");
            if (vm.Nics.Count > 0) x.El("PrimaryNetworkConnectionIndex", vm.Nics[0].Index);
            foreach (var nic in vm.Nics)
            {
                x.Open("NetworkConnection");
                x.Attr("needsCustomization", false);
                x.Attr("network", nic.Network);
                x.El("NetworkConnectionIndex", nic.Index);
                if (nic.Ip.Length > 0) x.El("IpAddress", nic.Ip);
                x.El("IsConnected", nic.Connected);
                x.El("MACAddress", nic.Mac);
                x.El("IpAddressAllocationMode", nic.Mode);
                x.El("NetworkAdapterType", "VMXNET3");
                x.End();
            }
            if (!vm.IsTemplate) x.Link("edit", h, Mt.NetworkConnectionSection);
            x.End();
        }

        // ---- templates and catalogs ------------------------------------------------------------------------

        Entity TemplateEntity(Req r)
        {
            string id = r.Seg(2);
            if (id.StartsWith("vappTemplate-", StringComparison.Ordinal))
                return Lookup<VAppTemplate>(r.Session, id, "VAPP_TEMPLATE_VIEW");
            if (id.StartsWith("vm-", StringComparison.Ordinal))
            {
                var vm = Lookup<Vm>(r.Session, id, "VAPP_TEMPLATE_VIEW");
                if (!vm.IsTemplate) throw SimError.Forbidden("VAPP_TEMPLATE_VIEW");
                return vm;
            }
            throw SimError.Forbidden("VAPP_TEMPLATE_VIEW");
        }

        Resp TemplateOrVm(Req r)
        {
            var e = TemplateEntity(r);
            if (e is Vm) return VmXml(r, (Vm)e);
            var t = (VAppTemplate)e;
            var x = new XmlOut();
            x.Root("VAppTemplate", Ns.V, OvfPrefixes);
            x.Attr("goldMaster", false);
            x.Attr("ovfDescriptorUploaded", true);
            x.Attr("status", 8);
            x.IdentityNameFirst(t, Refs.Href(t), Mt.VAppTemplate);
            x.Link("up", t.Vdc);
            if (t.Catalog != null) x.Link("catalogItem", CatalogItemHref(t), Mt.CatalogItem);
            MetadataLink(x, t);
            x.El("Description", t.Description);
            x.Open("Children");
            foreach (var vm in t.Vms) WriteVm(x, r, vm);
            x.End();
            x.El("DateCreated", Iso(t.Created));
            x.End();
            return Xml(r, 200, Mt.VAppTemplate, x);
        }

        Resp CatalogXml(Req r, Catalog c)
        {
            var x = EntityDoc("Catalog", c, Refs.Href(c), Mt.Catalog);
            x.Link("up", c.Org);
            MetadataLink(x, c);
            x.El("Description", c.Description);
            x.Open("CatalogItems");
            foreach (var t in c.Items)
            {
                x.Open("CatalogItem");
                CatalogItemIdentity(x, t);
                x.End();
            }
            x.End();
            x.El("IsPublished", c.Published);
            x.End();
            return Xml(r, 200, Mt.Catalog, x);
        }

        // A template's place in its catalog, which has an id of its own.
        static string CatalogItemHref(VAppTemplate t)
        {
            return Refs.Api + "/catalogItem/" + t.CatalogItemId;
        }

        static void CatalogItemIdentity(XmlOut x, VAppTemplate t)
        {
            x.Identity(CatalogItemHref(t), "urn:vcloud:catalogitem:" + t.CatalogItemId, t.Name, Mt.CatalogItem);
        }

        Resp CatalogItemXml(Req r)
        {
            string id = Refs.IdOf(r.Seg(2));
            VAppTemplate t = null;
            foreach (var cand in cloud.Templates)
                if (string.Equals(cand.CatalogItemId, id, StringComparison.OrdinalIgnoreCase)) t = cand;
            CheckVisible(r.Session, t, "CATALOG_VIEW");
            var x = new XmlOut();
            x.Root("CatalogItem", Ns.V);
            CatalogItemIdentity(x, t);
            x.Link("up", t.Catalog);
            x.El("Description", t.Description);
            x.Ref("Entity", t);
            x.End();
            return Xml(r, 200, Mt.CatalogItem, x);
        }

        // ---- provider objects (System only) ------------------------------------------------------------------

        Resp VCloudXml(Req r)
        {
            var x = new XmlOut();
            x.Root("VCloud", Ns.V);
            x.Attr("href", Refs.Api + "/admin/");
            x.Attr("name", "vcdsim");
            x.Attr("type", Mt.VCloud);
            x.Link("down", Refs.Api + "/admin/extension", Mt.Extension);
            x.Link("down", Refs.Api + "/org/", Mt.OrgList);
            x.El("Description", cloud.ProductVersion + " " + cloud.ProductBuildDate);
            x.RefList("OrganizationReferences", "OrganizationReference", cloud.Orgs, Refs.AdminHref, Mt.AdminOrg);
            x.RefList("ProviderVdcReferences", "ProviderVdcReference", cloud.Pvdcs, Refs.AdminHref, Mt.AdminProviderVdc);
            x.End();
            return Xml(r, 200, Mt.VCloud, x);
        }

        // A new document of the vSphere extension, whose root carries the vmext prefix, an href and a media type.
        static XmlOut ExtensionDoc(string root, string href, string type)
        {
            var x = new XmlOut();
            x.RootP("vmext", root, Ns.Ext, "vcloud");
            x.Attr("href", href);
            x.Attr("type", type);
            return x;
        }

        Resp ExtensionXml(Req r)
        {
            var x = ExtensionDoc("VMWExtension", Refs.Api + "/admin/extension", Mt.Extension);
            string e = Refs.Api + "/admin/extension/";
            x.Link("down", e + "vimServerReferences", Mt.VimServerRefs);
            x.Link("down", e + "providerVdcReferences", Mt.P + "admin.vmwProviderVdcReferences+xml");
            x.End();
            return Xml(r, 200, Mt.Extension, x);
        }

        Resp VimServerRefsXml(Req r)
        {
            var x = ExtensionDoc("VMWVimServerReferences", Refs.Api + "/admin/extension/vimServerReferences", Mt.VimServerRefs);
            // The references are in the extension namespace, like their list.
            foreach (var vc in cloud.VCenters) x.Ref("VimServerReference", vc, Ns.Ext);
            x.End();
            return Xml(r, 200, Mt.VimServerRefs, x);
        }

        Resp ProviderVdcRefsXml(Req r)
        {
            var x = ExtensionDoc("VMWProviderVdcReferences", Refs.Api + "/admin/extension/providerVdcReferences",
                Mt.P + "admin.vmwProviderVdcReferences+xml");
            foreach (var p in cloud.Pvdcs) x.Ref("ProviderVdcReference", p, Ns.Ext);
            x.End();
            return Xml(r, 200, Mt.P + "admin.vmwProviderVdcReferences+xml", x);
        }

        Resp TasksListXml(Req r, Org o)
        {
            var x = new XmlOut();
            x.Root("TasksList", Ns.V);
            x.Attr("href", Refs.Api + "/tasksList/" + o.Id);
            x.Attr("name", o.Name);
            x.Attr("type", Mt.TasksList);
            foreach (var e in cloud.ById.Values)
            {
                var t = e as SimTask;
                if (t != null && t.Org == o) WriteTask(x, t);
            }
            x.End();
            return Xml(r, 200, Mt.TasksList, x);
        }

        Resp VimServerXml(Req r, VCenter vc)
        {
            var x = new XmlOut();
            x.RootP("vmext", "VimServer", Ns.Ext, "vcloud");
            string h = Refs.Href(vc);
            x.IdentityNameFirst(vc, h, Mt.VimServer);
            x.Link("importVmIntoExistingVApp", h + "/importVmIntoExistingVApp", Mt.ImportIntoVApp);
            x.Link("importVmAsVApp", h + "/importVmAsVApp", Mt.ImportAsVApp);
            x.El("Description", vc.Description);
            x.El("Username", vc.UserName, Ns.Ext);
            x.El("Url", vc.Url, Ns.Ext);
            x.El("IsEnabled", vc.Enabled, Ns.Ext);
            x.El("IsConnected", vc.Connected, Ns.Ext);
            x.El("UseVsphereService", false, Ns.Ext);
            x.El("Uuid", vc.InstanceUuid, Ns.Ext);
            x.El("VcVersion", vc.VcVersion, Ns.Ext);
            x.End();
            return Xml(r, 200, Mt.VimServer, x);
        }

        Resp ProviderVdcXml(Req r, ProviderVdc p, bool extension)
        {
            var x = new XmlOut();
            if (extension) x.RootP("vmext", "VMWProviderVdc", Ns.Ext, "vcloud");
            else x.Root("ProviderVdc", Ns.V);
            x.Attr("status", 1);
            x.IdentityNameFirst(p, extension ? Refs.Href(p) : Refs.AdminHref(p), extension ? Mt.ProviderVdc : Mt.AdminProviderVdc);
            x.Link("alternate", extension ? Refs.AdminHref(p) : Refs.Href(p), extension ? Mt.AdminProviderVdc : Mt.ProviderVdc);
            x.Link("down", Refs.AdminHref(p) + "/vdcReferences", Mt.VdcReferences);
            MetadataLink(x, p);
            x.El("Description", p.Description);
            x.Open("StorageProfiles");
            foreach (var pol in p.VCenter.Policies) PvdcStorageProfileRef(x, p, pol);
            x.End();
            x.RefList("Vdcs", "VdcReference", cloud.Vdcs.Where(v => v.Pvdc == p), Refs.AdminHref, Mt.AdminVdc);
            x.El("IsEnabled", true);
            if (extension)
            {
                x.Open("DataStoreRefs", Ns.Ext);
                foreach (var d in p.Datastores) VimObjectRef(x, Ns.Ext, p.VCenter, d.Moref, "DATASTORE");
                x.End();
                x.Open("ResourcePoolRefs", Ns.Ext);
                VimObjectRef(x, Ns.Ext, p.VCenter, p.ResourcePool, "RESOURCE_POOL");
                x.End();
                x.Ref("VimServer", p.VCenter, Ns.Ext);
                x.Open("HostReferences", Ns.Ext);
                foreach (var hst in p.VCenter.Hosts)
                {
                    x.Open("HostReference", Ns.Ext);
                    x.Attr("href", Refs.Api + "/admin/extension/host/" + cloud.StableIdFor("host/" + p.VCenter.Id + "/" + hst.Moref));
                    x.Attr("name", hst.Name);
                    x.Attr("type", Mt.P + "admin.host+xml");
                    x.End();
                }
                x.End();
            }
            x.End();
            return Xml(r, 200, extension ? Mt.ProviderVdc : Mt.AdminProviderVdc, x);
        }

        Resp VdcReferencesXml(Req r, ProviderVdc p)
        {
            var x = HrefTypeDoc("VdcReferences", Refs.AdminHref(p) + "/vdcReferences", Mt.VdcReferences);
            x.Link("up", Refs.AdminHref(p), Mt.AdminProviderVdc);
            foreach (var v in cloud.Vdcs.Where(v => v.Pvdc == p)) x.Ref("VdcReference", v, href: Refs.AdminHref(v), type: Mt.AdminVdc);
            x.End();
            return Xml(r, 200, Mt.VdcReferences, x);
        }

        Resp ExtensibilityXml(Req r)
        {
            var x = HrefTypeDoc("ApiExtensibility", Refs.Api + "/extensibility", Mt.ApiExtensibility);
            x.End();
            return Xml(r, 200, Mt.ApiExtensibility, x);
        }

        Resp DatastoreXml(Req r, Datastore d)
        {
            var x = new XmlOut();
            x.RootP("vmext", "Datastore", Ns.Ext, "vcloud");
            x.IdentityNameFirst(d, Refs.Href(d), Mt.Datastore);
            x.El("Enabled", true, Ns.Ext);
            x.El("Type", d.Type, Ns.Ext);
            x.El("VcDisplayName", d.Name, Ns.Ext);
            VimObjectRef(x, Ns.Ext, d.VCenter, d.Moref, "DATASTORE");
            x.El("TotalMB", d.CapacityMB, Ns.Ext);
            x.El("UsedMB", d.UsedMB, Ns.Ext);
            x.End();
            return Xml(r, 200, Mt.Datastore, x);
        }

        // ---- entity resolver and tasks -----------------------------------------------------------------------

        Resp EntityXml(Req r)
        {
            string urn = r.Seg(2);
            var e = cloud.Find(Refs.IdOf(urn));
            if (e == null || !urn.StartsWith("urn:vcloud:" + Refs.UrnKind(e.Kind) + ":", StringComparison.OrdinalIgnoreCase))
                throw SimError.Forbidden("ENTITY_VIEW");
            if (e.Kind == Kind.VCenter || e.Kind == Kind.ProviderVdc || e.Kind == Kind.Datastore) RequireSystem(r.Session, "ENTITY_VIEW");
            else CheckVisible(r.Session, e, "ENTITY_VIEW");
            var x = new XmlOut();
            x.Root("Entity", Ns.V);
            x.Identity(Refs.Api + "/entity/" + Refs.Urn(e), Refs.Urn(e), Refs.Urn(e), Mt.Entity);
            x.Link("alternate", e);
            x.End();
            return Xml(r, 200, Mt.Entity, x);
        }

        Resp TaskResp(Req r, SimTask t, int status)
        {
            var x = new XmlOut();
            WriteTask(x, t, true);
            return Xml(r, status, Mt.Task, x);
        }

        void WriteTask(XmlOut x, SimTask t, bool root = false)
        {
            x.Open(root, "Task", Ns.V);
            x.Attr("cancelRequested", t.CancelRequested);
            if (t.EndTime.HasValue) x.Attr("endTime", Iso(t.EndTime.Value));
            x.Attr("expiryTime", Iso(t.StartTime.AddDays(90)));
            x.Attr("operation", t.Operation);
            x.Attr("operationName", t.OperationName);
            x.Attr("serviceNamespace", "com.vmware.vcloud");
            x.Attr("startTime", Iso(t.StartTime));
            x.Attr("status", t.Status);
            x.IdentityNameFirst(t, Refs.Href(t), Mt.Task);
            if (!t.Finished) x.Link("task:cancel", Refs.Href(t) + "/action/cancel");
            x.RefTo("Owner", t.OwnerHref, t.OwnerName, t.OwnerType, t.OwnerUrn);
            if (t.Error != null)
            {
                x.Open("Error");
                x.Attr("majorErrorCode", t.Error.Status);
                x.Attr("minorErrorCode", t.Error.Minor);
                x.Attr("message", t.Error.Message);
                x.End();
            }
            if (t.User != null) x.Ref("User", t.User, withId: true);
            if (t.Org != null) x.Ref("Organization", t.Org, withId: true);
            x.El("Progress", Tasks.Progress(t));
            // An empty Details is written open and closed, as servers write it.
            x.Open("Details");
            x.W.WriteString(t.Error != null ? t.Error.Message : "");
            x.W.WriteFullEndElement();
            x.End();
        }

        // ---- owner, access control, sections -----------------------------------------------------------------

        Resp OwnerXml(Req r, VApp va)
        {
            var x = HrefTypeDoc("Owner", Refs.Href(va) + "/owner", Mt.Owner);
            x.Link("up", va);
            x.Link("edit", Refs.Href(va) + "/owner", Mt.Owner);
            if (va.Owner != null) x.Ref("User", va.Owner);
            x.End();
            return Xml(r, 200, Mt.Owner, x);
        }

        Resp ControlAccessXml(Req r, VApp va)
        {
            var x = HrefTypeDoc("ControlAccessParams", Refs.Href(va) + "/controlAccess/", Mt.ControlAccess);
            x.El("IsSharedToEveryone", va.SharedToEveryone);
            if (va.SharedToEveryone) x.El("EveryoneAccessLevel", va.EveryoneLevel);
            if (va.Acl.Count > 0)
            {
                x.Open("AccessSettings");
                foreach (var a in va.Acl)
                {
                    x.Open("AccessSetting");
                    x.Ref("Subject", a.Subject);
                    x.El("AccessLevel", a.Level);
                    x.End();
                }
                x.End();
            }
            x.End();
            return Xml(r, 200, Mt.ControlAccess, x);
        }

        Resp MetadataXml(Req r, Entity e)
        {
            string h = MetadataHref(e);
            var x = HrefTypeDoc("Metadata", h, Mt.Metadata, "xsi");
            x.Link("up", e);
            x.Link("add", h, Mt.Metadata);
            if (e.Metadata != null)
                foreach (var m in e.Metadata)
                {
                    string mh = MetaHref(h, m);
                    x.Open("MetadataEntry");
                    x.Attr("href", mh);
                    x.Attr("type", Mt.MetadataValue);
                    x.Link("up", h, Mt.Metadata);
                    x.Link("edit", mh, Mt.MetadataValue);
                    x.Link("remove", mh);
                    WriteMetaBody(x, m, true);
                    x.End();
                }
            x.End();
            return Xml(r, 200, Mt.Metadata, x);
        }

        static void WriteMetaBody(XmlOut x, MetaEntry m, bool withKey)
        {
            if (m.Domain != "GENERAL")
            {
                x.Open("Domain");
                x.Attr("visibility", "READONLY");
                x.W.WriteString(m.Domain);
                x.End();
            }
            if (withKey) x.El("Key", m.Key);
            x.Open("TypedValue");
            x.W.WriteAttributeString("xsi", "type", Ns.Xsi, x.VcloudType(m.XsiType));
            x.El("Value", m.Value);
            x.End();
        }

        // An entry's own address: its key below the metadata, with SYSTEM entries under their domain.
        static string MetaHref(string metadataHref, MetaEntry m)
        {
            return metadataHref + (m.Domain == "GENERAL" ? "/" : "/" + m.Domain + "/") + Uri.EscapeDataString(m.Key);
        }

        Resp MetadataValueXml(Req r, Entity e, MetaEntry m)
        {
            string h = MetadataHref(e);
            var x = HrefTypeDoc("MetadataValue", MetaHref(h, m), Mt.MetadataValue, "xsi");
            x.Link("up", h, Mt.Metadata);
            WriteMetaBody(x, m, false);
            x.End();
            return Xml(r, 200, Mt.MetadataValue, x);
        }
    }
}
