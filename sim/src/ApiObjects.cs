// Read-only representations: organisations, VDCs, vApps, VMs, templates, catalogs, networks, storage
// profiles, users, tasks, and the provider objects that only System users see.
using System;
using System.Collections.Generic;
using System.Globalization;

namespace VcdSim
{
    partial class Api
    {
        // ---- organisations ---------------------------------------------------------------------------------

        Resp OrgList(Req r)
        {
            var s = r.Session;
            var x = new XmlOut();
            x.Root("OrgList", Ns.V);
            x.Attr("href", Refs.Api + "/org/");
            x.Attr("type", Mt.OrgList);
            foreach (var o in cloud.Orgs)
                if (s.IsSystem || o == s.Org) x.Ref("Org", o);
            x.End();
            return Xml(r, 200, Mt.OrgList, x);
        }

        Resp OrgXml(Req r, Org o)
        {
            var x = new XmlOut();
            x.Root("Org", Ns.V);
            x.Attr("href", Refs.Href(o));
            x.Attr("id", Refs.Urn(o));
            x.Attr("name", o.Name);
            x.Attr("type", Mt.Org);
            foreach (var v in o.Vdcs) x.Link("down", Refs.Href(v), Mt.Vdc, v.Name);
            foreach (var c in o.Catalogs) x.Link("down", Refs.Href(c), Mt.Catalog, c.Name);
            x.Link("down", Refs.Api + "/tasksList/" + o.Id, Mt.TasksList);
            foreach (var v in o.Vdcs)
                foreach (var n in v.Networks) x.Link("down", Refs.Href(n), Mt.OrgNetwork, n.Name);
            x.Link("down", Refs.Href(o) + "/metadata", Mt.Metadata);
            x.El("Description", o.Description);
            x.El("FullName", o.FullName);
            x.End();
            return Xml(r, 200, Mt.Org, x);
        }

        Resp AdminOrgXml(Req r, Org o)
        {
            var x = new XmlOut();
            x.Root("AdminOrg", Ns.V);
            x.Attr("href", Refs.AdminHref(o));
            x.Attr("id", Refs.Urn(o));
            x.Attr("name", o.Name);
            x.Attr("type", Mt.AdminOrg);
            x.Link("alternate", Refs.Href(o), Mt.Org);
            x.El("Description", o.Description);
            x.El("FullName", o.FullName);
            x.El("IsEnabled", o.Enabled);
            x.W.WriteStartElement("Users", Ns.V);
            foreach (var u in o.Users) x.Ref("UserReference", u);
            x.End();
            x.W.WriteStartElement("Groups", Ns.V);
            foreach (var g in o.Groups) x.Ref("GroupReference", g);
            x.End();
            x.W.WriteStartElement("Catalogs", Ns.V);
            foreach (var c in o.Catalogs) x.Ref("CatalogReference", c, href: Refs.AdminHref(c), type: Mt.P + "admin.catalog+xml");
            x.End();
            x.W.WriteStartElement("Vdcs", Ns.V);
            foreach (var v in o.Vdcs) x.Ref("Vdc", v);
            x.End();
            x.W.WriteStartElement("Networks", Ns.V);
            foreach (var v in o.Vdcs)
                foreach (var n in v.Networks) x.Ref("Network", n, href: Refs.AdminHref(n), type: Mt.P + "admin.network+xml");
            x.End();
            x.End();
            return Xml(r, 200, Mt.AdminOrg, x);
        }

        Resp UserXml(Req r, User u)
        {
            var x = new XmlOut();
            x.Root("User", Ns.V);
            x.Attr("href", Refs.Href(u));
            x.Attr("id", Refs.Urn(u));
            x.Attr("name", u.Name);
            x.Attr("type", Mt.User);
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
            x.W.WriteStartElement("Role", Ns.V);
            x.Attr("href", Refs.Api + "/admin/role/" + cloud.StableIdFor("role/" + u.Role));
            x.Attr("name", u.Role);
            x.Attr("type", Mt.Role);
            x.End();
            x.W.WriteStartElement("GroupReferences", Ns.V);
            foreach (var g in u.Groups) x.Ref("GroupReference", g);
            x.End();
            x.End();
            return Xml(r, 200, Mt.User, x);
        }

        Resp GroupXml(Req r, Group g)
        {
            var x = new XmlOut();
            x.Root("Group", Ns.V);
            x.Attr("href", Refs.Href(g));
            x.Attr("id", Refs.Urn(g));
            x.Attr("name", g.Name);
            x.Attr("type", Mt.Group);
            x.Link("up", Refs.AdminHref(g.Org), Mt.AdminOrg);
            x.El("Description", g.Description);
            x.El("NameInSource", g.Name);
            x.W.WriteStartElement("UsersList", Ns.V);
            foreach (var u in g.Org.Users)
                if (u.Groups.Contains(g)) x.Ref("UserReference", u);
            x.End();
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
            x.Link("down", Refs.Href(v) + "/metadata", Mt.Metadata);
            x.El("Description", v.Description);
            x.El("AllocationModel", v.AllocationModel);
            x.W.WriteStartElement("ComputeCapacity", Ns.V);
            Capacity(x, "Cpu", "MHz", v.CpuLimitMhz, UsedCpu(v));
            Capacity(x, "Memory", "MB", v.MemoryLimitMB, UsedMemory(v));
            x.End();
            x.W.WriteStartElement("ResourceEntities", Ns.V);
            foreach (var va in v.VApps) x.Ref("ResourceEntity", va);
            foreach (var t in v.Templates) x.Ref("ResourceEntity", t);
            x.End();
            x.W.WriteStartElement("AvailableNetworks", Ns.V);
            foreach (var n in v.Networks) x.Ref("Network", n);
            x.End();
            x.W.WriteStartElement("Capabilities", Ns.V);
            x.W.WriteStartElement("SupportedHardwareVersions", Ns.V);
            x.El("SupportedHardwareVersion", "vmx-19");
            x.End();
            x.End();
            x.El("NicQuota", 0);
            x.El("NetworkQuota", 1000);
            x.El("UsedNetworkCount", v.Networks.Count);
            x.El("VmQuota", 0);
            x.El("IsEnabled", v.Enabled);
            x.W.WriteStartElement("VdcStorageProfiles", Ns.V);
            foreach (var p in v.Profiles) x.Ref("VdcStorageProfile", p);
            x.End();
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
                    x.W.WriteStartElement("ResourcePoolRefs", Ns.V);
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
            x.W.WriteStartElement(what, Ns.V);
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
            x.W.WriteStartElement(elem, ns);
            x.Ref("VimServerRef", vc, Ns.Ext);
            x.El("MoRef", moref, Ns.Ext);
            x.El("VimObjectType", type, Ns.Ext);
            x.End();
        }

        Resp StorageProfileXml(Req r, StorageProfile p, bool admin)
        {
            var x = new XmlOut();
            x.Root(admin ? "AdminVdcStorageProfile" : "VdcStorageProfile", Ns.V);
            x.Attr("href", admin ? Refs.AdminHref(p) : Refs.Href(p));
            x.Attr("id", Refs.Urn(p));
            x.Attr("name", p.Name);
            x.Attr("type", admin ? Mt.AdminStorageProfile : Mt.StorageProfile);
            x.Link("up", Refs.Href(p.Vdc), Mt.Vdc);
            x.Link("down", Refs.Href(p) + "/metadata", Mt.Metadata);
            x.El("Enabled", p.Enabled);
            x.El("Units", "MB");
            x.El("Limit", p.LimitMB);
            x.El("Default", p.IsDefault);
            x.El("StorageUsedMB", p.UsedMB);
            x.El("IopsAllocated", 0);
            if (admin && p.Policy != null)
            {
                x.W.WriteStartElement("ProviderVdcStorageProfile", Ns.V);
                x.Attr("href", Refs.Api + "/admin/pvdcStorageProfile/" + cloud.StableIdFor("pvdcsp/" + p.Vdc.Pvdc.Id + "/" + p.Policy.Name));
                x.Attr("name", p.Policy.Name);
                x.Attr("type", Mt.P + "admin.pvdcStorageProfile+xml");
                x.End();
            }
            x.End();
            return Xml(r, 200, admin ? Mt.AdminStorageProfile : Mt.StorageProfile, x);
        }

        Resp NetworkXml(Req r, Network n)
        {
            var x = new XmlOut();
            x.Root("OrgVdcNetwork", Ns.V);
            x.Attr("href", Refs.Href(n));
            x.Attr("id", Refs.Urn(n));
            x.Attr("name", n.Name);
            x.Attr("type", Mt.OrgNetwork);
            x.Link("up", Refs.Href(n.Vdc), Mt.Vdc);
            x.Link("down", Refs.Href(n) + "/metadata", Mt.Metadata);
            x.El("Description", n.Description);
            x.W.WriteStartElement("Configuration", Ns.V);
            x.W.WriteStartElement("IpScopes", Ns.V);
            x.W.WriteStartElement("IpScope", Ns.V);
            x.El("IsInherited", false);
            x.El("Gateway", n.Gateway);
            x.El("Netmask", n.Netmask);
            if (n.Dns.Length > 0) x.El("Dns1", n.Dns);
            x.El("IsEnabled", true);
            x.W.WriteStartElement("IpRanges", Ns.V);
            x.W.WriteStartElement("IpRange", Ns.V);
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
            x.Root("VApp", Ns.V, "ovf", "vssd", "rasd", "vmw", "vmext", "xsi");
            x.Attr("ovfDescriptorUploaded", true);
            x.Attr("deployed", Cloud.VAppDeployed(va));
            int status = Cloud.VAppStatus(va);
            x.Attr("status", status);
            x.Attr("name", va.Name);
            x.Attr("id", Refs.Urn(va));
            x.Attr("href", Refs.Href(va));
            x.Attr("type", Mt.VApp);
            string h = Refs.Href(va);
            PowerLinks(x, h, va.Vms.Count == 0 ? (Power?)null : AggregatePower(va), Cloud.VAppDeployed(va));
            x.Link("down", h + "/controlAccess/", Mt.ControlAccess);
            x.Link("controlAccess", h + "/action/controlAccess", Mt.ControlAccess);
            x.Link("recompose", h + "/action/recomposeVApp", Mt.Recompose);
            x.Link("up", Refs.Href(va.Vdc), Mt.Vdc);
            x.Link("edit", h, Mt.VApp);
            if (!Cloud.VAppDeployed(va)) x.Link("remove", h);
            x.Link("down", h + "/owner", Mt.Owner);
            x.Link("down", h + "/metadata", Mt.Metadata);
            x.Link("down", h + "/networkConfigSection/", Mt.NetworkConfigSection);
            x.El("Description", va.Description);
            TasksElement(x, va);
            x.W.WriteStartElement("NetworkSection", Ns.Ovf);
            x.El("Info", "The list of logical networks", Ns.Ovf);
            foreach (var n in va.Nets)
            {
                x.W.WriteStartElement("Network", Ns.Ovf);
                x.W.WriteAttributeString("name", Ns.Ovf, n.Name);
                x.El("Description", "", Ns.Ovf);
                x.End();
            }
            x.End();
            WriteNetworkConfigSection(x, va);
            x.El("DateCreated", Iso(va.Created));
            x.W.WriteStartElement("Owner", Ns.V);
            x.Attr("type", Mt.Owner);
            if (va.Owner != null) x.Ref("User", va.Owner);
            x.End();
            x.El("InMaintenanceMode", false);
            x.W.WriteStartElement("Children", Ns.V);
            foreach (var vm in va.Vms) WriteVm(x, r.Session, vm);
            x.End();
            x.End();
            return Xml(r, 200, Mt.VApp, x);
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
            x.W.WriteStartElement("Tasks", Ns.V);
            WriteTask(x, e.ActiveTask, false);
            x.End();
        }

        void WriteNetworkConfigSection(XmlOut x, VApp va, bool root = false)
        {
            string h = Refs.Href(va) + "/networkConfigSection/";
            if (root)
            {
                x.Root("NetworkConfigSection", Ns.V, "ovf");
            }
            else x.W.WriteStartElement("NetworkConfigSection", Ns.V);
            x.Attr("href", h);
            x.Attr("type", Mt.NetworkConfigSection);
            x.W.WriteAttributeString("required", Ns.Ovf, "false");
            x.El("Info", "The configuration parameters for logical networks", Ns.Ovf);
            x.Link("edit", h, Mt.NetworkConfigSection);
            foreach (var n in va.Nets)
            {
                x.W.WriteStartElement("NetworkConfig", Ns.V);
                x.Attr("networkName", n.Name);
                x.El("Description", "");
                x.W.WriteStartElement("Configuration", Ns.V);
                if (n.Parent != null)
                {
                    x.W.WriteStartElement("IpScopes", Ns.V);
                    x.W.WriteStartElement("IpScope", Ns.V);
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

        Resp VmXml(Req r, Vm vm)
        {
            var x = new XmlOut();
            WriteVm(x, r.Session, vm, true);
            return Xml(r, 200, Mt.Vm, x);
        }

        void WriteVm(XmlOut x, Session s, Vm vm, bool root = false)
        {
            if (root) x.Root("Vm", Ns.V, "ovf", "vssd", "rasd", "vmw", "vmext", "xsi");
            else x.W.WriteStartElement("Vm", Ns.V);
            string h = Refs.Href(vm);
            x.Attr("needsCustomization", false);
            x.Attr("nestedHypervisorEnabled", false);
            x.Attr("deployed", vm.Deployed);
            x.Attr("status", Cloud.VmStatus(vm));
            x.Attr("name", vm.Name);
            x.Attr("id", Refs.Urn(vm));
            x.Attr("href", h);
            x.Attr("type", Mt.Vm);
            // vSphere placement is extension data: System users only.
            if (s.IsSystem && vm.VCenter != null)
            {
                x.W.WriteStartElement("VCloudExtension", Ns.V);
                x.Attr("required", false);
                x.W.WriteStartElement("VmVimInfo", Ns.Ext);
                VimObjectRef(x, Ns.Ext, vm.VCenter, vm.Moref, "VIRTUAL_MACHINE", "VmVimObjectRef");
                if (vm.Datastore != null) VimObjectRef(x, Ns.Ext, vm.VCenter, vm.Datastore.Moref, "DATASTORE", "DatastoreVimObjectRef");
                if (vm.Host != null) VimObjectRef(x, Ns.Ext, vm.VCenter, vm.Host.Moref, "HOST", "HostVimObjectRef");
                x.El("VirtualDisksMaxChainLength", 1, Ns.Ext);
                x.End();
                x.End();
            }
            if (!vm.IsTemplate) PowerLinks(x, h, vm.Power, vm.Deployed);
            x.Link("up", Refs.Href(vm.Parent), Refs.MediaType(vm.Parent));
            if (!vm.IsTemplate)
            {
                x.Link("edit", h, Mt.Vm);
                x.Link("reconfigureVm", h + "/action/reconfigureVm", Mt.Vm, vm.Name);
                if (!vm.Deployed) x.Link("remove", h);
            }
            x.Link("down", h + "/metadata", Mt.Metadata);
            x.Link("down", h + "/networkConnectionSection/", Mt.NetworkConnectionSection);
            x.El("Description", vm.Description);
            TasksElement(x, vm);
            WriteHardware(x, vm, h);
            x.W.WriteStartElement("OperatingSystemSection", Ns.Ovf);
            x.W.WriteAttributeString("id", Ns.Ovf, "101");
            x.W.WriteAttributeString("vcloud", "href", Ns.V, h + "/operatingSystemSection/");
            x.W.WriteAttributeString("vcloud", "type", Ns.V, Mt.P + "vcloud.operatingSystemSection+xml");
            x.W.WriteAttributeString("osType", Ns.Vmw, vm.OsType);
            x.El("Info", "Specifies the operating system installed", Ns.Ovf);
            x.El("Description", vm.GuestOs, Ns.Ovf);
            x.End();
            WriteNetworkConnectionSection(x, vm);
            x.W.WriteStartElement("GuestCustomizationSection", Ns.V);
            x.Attr("href", h + "/guestCustomizationSection/");
            x.Attr("type", Mt.P + "vcloud.guestCustomizationSection+xml");
            x.W.WriteAttributeString("required", Ns.Ovf, "false");
            x.El("Info", "Specifies Guest OS Customization Settings", Ns.Ovf);
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
            x.W.WriteStartElement("RuntimeInfoSection", Ns.V);
            x.W.WriteAttributeString("vcloud", "href", Ns.V, h + "/runtimeInfoSection");
            x.W.WriteAttributeString("vcloud", "type", Ns.V, Mt.P + "vcloud.virtualHardwareSection+xml");
            x.El("Info", "Specifies Runtime info", Ns.Ovf);
            x.W.WriteStartElement("VMWareTools", Ns.V);
            x.Attr("version", vm.ToolsVersion.ToString(CultureInfo.InvariantCulture));
            x.End();
            x.End();
            x.El("DateCreated", Iso(vm.Created));
            x.El("VAppScopedLocalId", vm.LocalId);
            x.W.WriteStartElement("VmCapabilities", Ns.V);
            x.Attr("href", h + "/vmCapabilities/");
            x.Attr("type", Mt.P + "vcloud.vmCapabilitiesSection+xml");
            x.El("MemoryHotAddEnabled", false);
            x.El("CpuHotAddEnabled", false);
            x.End();
            if (vm.Profile != null) x.Ref("StorageProfile", vm.Profile);
            x.End();
        }

        static void Rasd(XmlOut x, string name, string value)
        {
            x.El(name, value, Ns.Rasd);
        }

        void WriteHardware(XmlOut x, Vm vm, string h)
        {
            var w = x.W;
            w.WriteStartElement("VirtualHardwareSection", Ns.Ovf);
            w.WriteAttributeString("transport", Ns.Ovf, "");
            w.WriteAttributeString("vcloud", "href", Ns.V, h + "/virtualHardwareSection/");
            w.WriteAttributeString("vcloud", "type", Ns.V, Mt.P + "vcloud.virtualHardwareSection+xml");
            x.El("Info", "Virtual hardware requirements", Ns.Ovf);
            w.WriteStartElement("System", Ns.Ovf);
            x.El("ElementName", "Virtual Hardware Family", Ns.Vssd);
            x.El("InstanceID", "0", Ns.Vssd);
            x.El("VirtualSystemIdentifier", vm.Name, Ns.Vssd);
            x.El("VirtualSystemType", "vmx-" + vm.HwVersion.ToString(CultureInfo.InvariantCulture), Ns.Vssd);
            w.WriteEndElement();
            int instance = 1;
            foreach (var nic in vm.Nics)
            {
                w.WriteStartElement("Item", Ns.Ovf);
                Rasd(x, "Address", nic.Mac);
                Rasd(x, "AddressOnParent", nic.Index.ToString(CultureInfo.InvariantCulture));
                Rasd(x, "AutomaticAllocation", nic.Connected ? "true" : "false");
                w.WriteStartElement("Connection", Ns.Rasd);
                w.WriteAttributeString("vcloud", "ipAddressingMode", Ns.V, nic.Mode);
                if (nic.Ip.Length > 0) w.WriteAttributeString("vcloud", "ipAddress", Ns.V, nic.Ip);
                w.WriteAttributeString("vcloud", "primaryNetworkConnection", Ns.V, nic.Index == 0 ? "true" : "false");
                w.WriteString(nic.Network);
                w.WriteEndElement();
                Rasd(x, "Description", "Vmxnet3 ethernet adapter on \"" + nic.Network + "\"");
                Rasd(x, "ElementName", "Network adapter " + nic.Index.ToString(CultureInfo.InvariantCulture));
                Rasd(x, "InstanceID", (instance++).ToString(CultureInfo.InvariantCulture));
                Rasd(x, "ResourceSubType", "VMXNET3");
                Rasd(x, "ResourceType", "10");
                w.WriteEndElement();
            }
            w.WriteStartElement("Item", Ns.Ovf);
            Rasd(x, "Address", "0");
            Rasd(x, "Description", "SCSI Controller");
            Rasd(x, "ElementName", "SCSI Controller 0");
            Rasd(x, "InstanceID", "100");
            Rasd(x, "ResourceSubType", "lsilogicsas");
            Rasd(x, "ResourceType", "6");
            w.WriteEndElement();
            w.WriteStartElement("Item", Ns.Ovf);
            Rasd(x, "AddressOnParent", "0");
            Rasd(x, "Description", "Hard disk");
            Rasd(x, "ElementName", "Hard disk 1");
            w.WriteStartElement("HostResource", Ns.Rasd);
            w.WriteAttributeString("vcloud", "capacity", Ns.V, vm.DiskMB.ToString(CultureInfo.InvariantCulture));
            if (vm.Profile != null) w.WriteAttributeString("vcloud", "storageProfileHref", Ns.V, Refs.Href(vm.Profile));
            w.WriteAttributeString("vcloud", "busType", Ns.V, "6");
            w.WriteAttributeString("vcloud", "busSubType", Ns.V, "lsilogicsas");
            w.WriteEndElement();
            Rasd(x, "InstanceID", "2000");
            Rasd(x, "Parent", "100");
            Rasd(x, "ResourceType", "17");
            Rasd(x, "VirtualQuantity", (vm.DiskMB * 1024L * 1024L).ToString(CultureInfo.InvariantCulture));
            Rasd(x, "VirtualQuantityUnits", "byte");
            w.WriteEndElement();
            w.WriteStartElement("Item", Ns.Ovf);
            Rasd(x, "AllocationUnits", "hertz * 10^6");
            Rasd(x, "Description", "Number of Virtual CPUs");
            Rasd(x, "ElementName", vm.Cpus.ToString(CultureInfo.InvariantCulture) + " virtual CPU(s)");
            Rasd(x, "InstanceID", "4");
            Rasd(x, "Reservation", "0");
            Rasd(x, "ResourceType", "3");
            Rasd(x, "VirtualQuantity", vm.Cpus.ToString(CultureInfo.InvariantCulture));
            Rasd(x, "Weight", "0");
            w.WriteStartElement("CoresPerSocket", Ns.Vmw);
            w.WriteAttributeString("required", Ns.Ovf, "false");
            w.WriteString("1");
            w.WriteEndElement();
            w.WriteEndElement();
            w.WriteStartElement("Item", Ns.Ovf);
            Rasd(x, "AllocationUnits", "byte * 2^20");
            Rasd(x, "Description", "Memory Size");
            Rasd(x, "ElementName", vm.MemoryMB.ToString(CultureInfo.InvariantCulture) + " MB of memory");
            Rasd(x, "InstanceID", "5");
            Rasd(x, "Reservation", "0");
            Rasd(x, "ResourceType", "4");
            Rasd(x, "VirtualQuantity", vm.MemoryMB.ToString(CultureInfo.InvariantCulture));
            Rasd(x, "Weight", "0");
            w.WriteEndElement();
            w.WriteEndElement();
        }

        void WriteNetworkConnectionSection(XmlOut x, Vm vm, bool root = false)
        {
            string h = Refs.Href(vm) + "/networkConnectionSection/";
            if (root) x.Root("NetworkConnectionSection", Ns.V, "ovf");
            else x.W.WriteStartElement("NetworkConnectionSection", Ns.V);
            x.Attr("href", h);
            x.Attr("type", Mt.NetworkConnectionSection);
            x.W.WriteAttributeString("required", Ns.Ovf, "false");
            x.El("Info", "Specifies the available VM network connections", Ns.Ovf);
            if (vm.Nics.Count > 0) x.El("PrimaryNetworkConnectionIndex", vm.Nics[0].Index);
            foreach (var nic in vm.Nics)
            {
                x.W.WriteStartElement("NetworkConnection", Ns.V);
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
            x.Root("VAppTemplate", Ns.V, "ovf", "vssd", "rasd", "vmw", "vmext", "xsi");
            x.Attr("goldMaster", false);
            x.Attr("ovfDescriptorUploaded", true);
            x.Attr("status", 8);
            x.Attr("name", t.Name);
            x.Attr("id", Refs.Urn(t));
            x.Attr("href", Refs.Href(t));
            x.Attr("type", Mt.VAppTemplate);
            x.Link("up", Refs.Href(t.Vdc), Mt.Vdc);
            if (t.Catalog != null) x.Link("catalogItem", Refs.Api + "/catalogItem/" + t.CatalogItemId, Mt.CatalogItem);
            x.Link("down", Refs.Href(t) + "/metadata", Mt.Metadata);
            x.El("Description", t.Description);
            x.W.WriteStartElement("Children", Ns.V);
            foreach (var vm in t.Vms) WriteVm(x, r.Session, vm);
            x.End();
            x.El("DateCreated", Iso(t.Created));
            x.End();
            return Xml(r, 200, Mt.VAppTemplate, x);
        }

        Resp CatalogXml(Req r, Catalog c)
        {
            var x = new XmlOut();
            x.Root("Catalog", Ns.V);
            x.Attr("href", Refs.Href(c));
            x.Attr("id", Refs.Urn(c));
            x.Attr("name", c.Name);
            x.Attr("type", Mt.Catalog);
            x.Link("up", Refs.Href(c.Org), Mt.Org);
            x.Link("down", Refs.Href(c) + "/metadata", Mt.Metadata);
            x.El("Description", c.Description);
            x.W.WriteStartElement("CatalogItems", Ns.V);
            foreach (var t in c.Items)
            {
                x.W.WriteStartElement("CatalogItem", Ns.V);
                x.Attr("href", Refs.Api + "/catalogItem/" + t.CatalogItemId);
                x.Attr("id", "urn:vcloud:catalogitem:" + t.CatalogItemId);
                x.Attr("name", t.Name);
                x.Attr("type", Mt.CatalogItem);
                x.End();
            }
            x.End();
            x.El("IsPublished", c.Published);
            x.End();
            return Xml(r, 200, Mt.Catalog, x);
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
            x.Attr("href", Refs.Api + "/catalogItem/" + t.CatalogItemId);
            x.Attr("id", "urn:vcloud:catalogitem:" + t.CatalogItemId);
            x.Attr("name", t.Name);
            x.Attr("type", Mt.CatalogItem);
            x.Link("up", Refs.Href(t.Catalog), Mt.Catalog);
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
            x.W.WriteStartElement("OrganizationReferences", Ns.V);
            foreach (var o in cloud.Orgs) x.Ref("OrganizationReference", o, href: Refs.AdminHref(o), type: Mt.AdminOrg);
            x.End();
            x.W.WriteStartElement("ProviderVdcReferences", Ns.V);
            foreach (var p in cloud.Pvdcs) x.Ref("ProviderVdcReference", p, href: Refs.AdminHref(p), type: Mt.AdminProviderVdc);
            x.End();
            x.End();
            return Xml(r, 200, Mt.VCloud, x);
        }

        Resp ExtensionXml(Req r)
        {
            var x = new XmlOut();
            x.RootP("vmext", "VMWExtension", Ns.Ext, "vcloud");
            x.Attr("href", Refs.Api + "/admin/extension");
            x.Attr("type", Mt.Extension);
            string e = Refs.Api + "/admin/extension/";
            x.Link("down", e + "vimServerReferences", Mt.VimServerRefs);
            x.Link("down", e + "providerVdcReferences", Mt.P + "admin.vmwProviderVdcReferences+xml");
            x.End();
            return Xml(r, 200, Mt.Extension, x);
        }

        Resp VimServerRefsXml(Req r)
        {
            var x = new XmlOut();
            x.RootP("vmext", "VMWVimServerReferences", Ns.Ext, "vcloud");
            x.Attr("href", Refs.Api + "/admin/extension/vimServerReferences");
            x.Attr("type", Mt.VimServerRefs);
            foreach (var vc in cloud.VCenters) x.Ref("VimServerReference", vc, Ns.V);
            x.End();
            return Xml(r, 200, Mt.VimServerRefs, x);
        }

        Resp ProviderVdcRefsXml(Req r)
        {
            var x = new XmlOut();
            x.RootP("vmext", "VMWProviderVdcReferences", Ns.Ext, "vcloud");
            x.Attr("href", Refs.Api + "/admin/extension/providerVdcReferences");
            x.Attr("type", Mt.P + "admin.vmwProviderVdcReferences+xml");
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
                if (t != null && t.Org == o) { WriteTask(x, t, false); }
            }
            x.End();
            return Xml(r, 200, Mt.TasksList, x);
        }

        Resp VimServerXml(Req r, VCenter vc)
        {
            var x = new XmlOut();
            x.RootP("vmext", "VimServer", Ns.Ext, "vcloud");
            x.Attr("name", vc.Name);
            x.Attr("id", Refs.Urn(vc));
            x.Attr("href", Refs.Href(vc));
            x.Attr("type", Mt.VimServer);
            string h = Refs.Href(vc);
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
            x.Attr("name", p.Name);
            x.Attr("id", Refs.Urn(p));
            x.Attr("href", extension ? Refs.Href(p) : Refs.AdminHref(p));
            x.Attr("type", extension ? Mt.ProviderVdc : Mt.AdminProviderVdc);
            x.Link("alternate", extension ? Refs.AdminHref(p) : Refs.Href(p), extension ? Mt.AdminProviderVdc : Mt.ProviderVdc);
            x.El("Description", p.Description);
            x.W.WriteStartElement("StorageProfiles", Ns.V);
            foreach (var pol in p.VCenter.Policies)
            {
                x.W.WriteStartElement("ProviderVdcStorageProfile", Ns.V);
                x.Attr("href", Refs.Api + "/admin/pvdcStorageProfile/" + cloud.StableIdFor("pvdcsp/" + p.Id + "/" + pol.Name));
                x.Attr("name", pol.Name);
                x.Attr("type", Mt.P + "admin.pvdcStorageProfile+xml");
                x.End();
            }
            x.End();
            x.W.WriteStartElement("Vdcs", Ns.V);
            foreach (var v in cloud.Vdcs) if (v.Pvdc == p) x.Ref("VdcReference", v, href: Refs.AdminHref(v), type: Mt.AdminVdc);
            x.End();
            x.El("IsEnabled", true);
            if (extension)
            {
                x.W.WriteStartElement("DataStoreRefs", Ns.Ext);
                foreach (var d in p.Datastores) VimObjectRef(x, Ns.Ext, p.VCenter, d.Moref, "DATASTORE");
                x.End();
                x.W.WriteStartElement("ResourcePoolRefs", Ns.Ext);
                VimObjectRef(x, Ns.Ext, p.VCenter, p.ResourcePool, "RESOURCE_POOL");
                x.End();
                x.Ref("VimServer", p.VCenter, Ns.Ext);
                x.W.WriteStartElement("HostReferences", Ns.Ext);
                foreach (var hst in p.VCenter.Hosts)
                {
                    x.W.WriteStartElement("HostReference", Ns.Ext);
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

        Resp DatastoreXml(Req r, Datastore d)
        {
            var x = new XmlOut();
            x.RootP("vmext", "Datastore", Ns.Ext, "vcloud");
            x.Attr("name", d.Name);
            x.Attr("id", Refs.Urn(d));
            x.Attr("href", Refs.Href(d));
            x.Attr("type", Mt.Datastore);
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
            x.Attr("href", Refs.Api + "/entity/" + Refs.Urn(e));
            x.Attr("id", Refs.Urn(e));
            x.Attr("name", Refs.Urn(e));
            x.Attr("type", Mt.Entity);
            x.Link("alternate", Refs.Href(e), Refs.MediaType(e));
            x.End();
            return Xml(r, 200, Mt.Entity, x);
        }

        Resp TaskResp(Req r, SimTask t, int status)
        {
            var x = new XmlOut();
            x.Root("Task", Ns.V);
            WriteTaskBody(x, t);
            return Xml(r, status, Mt.Task, x);
        }

        void WriteTask(XmlOut x, SimTask t, bool root)
        {
            x.W.WriteStartElement("Task", Ns.V);
            WriteTaskBody(x, t);
        }

        void WriteTaskBody(XmlOut x, SimTask t)
        {
            x.Attr("cancelRequested", t.CancelRequested);
            if (t.EndTime.HasValue) x.Attr("endTime", Iso(t.EndTime.Value));
            x.Attr("expiryTime", Iso(t.StartTime.AddDays(90)));
            x.Attr("operation", t.Operation);
            x.Attr("operationName", t.OperationName);
            x.Attr("serviceNamespace", "com.vmware.vcloud");
            x.Attr("startTime", Iso(t.StartTime));
            x.Attr("status", t.Status);
            x.Attr("name", "task");
            x.Attr("id", Refs.Urn(t));
            x.Attr("href", Refs.Href(t));
            x.Attr("type", Mt.Task);
            if (!t.Finished) x.Link("task:cancel", Refs.Href(t) + "/action/cancel");
            x.W.WriteStartElement("Owner", Ns.V);
            x.Attr("href", t.OwnerHref);
            x.Attr("name", t.OwnerName);
            x.Attr("type", t.OwnerType);
            x.End();
            if (t.Error != null)
            {
                x.W.WriteStartElement("Error", Ns.V);
                x.Attr("majorErrorCode", t.Error.Status);
                x.Attr("minorErrorCode", t.Error.Minor);
                x.Attr("message", t.Error.Message);
                x.End();
            }
            if (t.User != null) x.Ref("User", t.User);
            if (t.Org != null) x.Ref("Organization", t.Org);
            x.El("Progress", Tasks.Progress(t));
            x.El("Details", t.Error != null ? t.Error.Message : "");
            x.End();
        }

        // ---- owner, access control, sections -----------------------------------------------------------------

        Resp OwnerXml(Req r, VApp va)
        {
            var x = new XmlOut();
            x.Root("Owner", Ns.V);
            x.Attr("href", Refs.Href(va) + "/owner");
            x.Attr("type", Mt.Owner);
            x.Link("up", Refs.Href(va), Mt.VApp);
            x.Link("edit", Refs.Href(va) + "/owner", Mt.Owner);
            if (va.Owner != null) x.Ref("User", va.Owner);
            x.End();
            return Xml(r, 200, Mt.Owner, x);
        }

        Resp ControlAccessXml(Req r, VApp va)
        {
            var x = new XmlOut();
            x.Root("ControlAccessParams", Ns.V);
            x.Attr("href", Refs.Href(va) + "/controlAccess/");
            x.Attr("type", Mt.ControlAccess);
            x.El("IsSharedToEveryone", va.SharedToEveryone);
            if (va.SharedToEveryone) x.El("EveryoneAccessLevel", va.EveryoneLevel);
            if (va.Acl.Count > 0)
            {
                x.W.WriteStartElement("AccessSettings", Ns.V);
                foreach (var a in va.Acl)
                {
                    x.W.WriteStartElement("AccessSetting", Ns.V);
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
            string h = Refs.Href(e) + "/metadata";
            var x = new XmlOut();
            x.Root("Metadata", Ns.V, "xsi");
            x.Attr("href", h);
            x.Attr("type", Mt.Metadata);
            x.Link("up", Refs.Href(e), Refs.MediaType(e));
            x.Link("add", h, Mt.Metadata);
            if (e.Metadata != null)
                foreach (var m in e.Metadata)
                {
                    string mh = h + "/" + Uri.EscapeDataString(m.Key);
                    x.W.WriteStartElement("MetadataEntry", Ns.V);
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
                x.W.WriteStartElement("Domain", Ns.V);
                x.Attr("visibility", "READONLY");
                x.W.WriteString(m.Domain);
                x.End();
            }
            if (withKey) x.El("Key", m.Key);
            x.W.WriteStartElement("TypedValue", Ns.V);
            x.W.WriteAttributeString("xsi", "type", Ns.Xsi, m.XsiType);
            x.El("Value", m.Value);
            x.End();
        }

        Resp MetadataValueXml(Req r, Entity e, MetaEntry m)
        {
            string h = Refs.Href(e) + "/metadata";
            var x = new XmlOut();
            x.Root("MetadataValue", Ns.V, "xsi");
            x.Attr("href", h + "/" + Uri.EscapeDataString(m.Key));
            x.Attr("type", Mt.MetadataValue);
            x.Link("up", h, Mt.Metadata);
            WriteMetaBody(x, m, false);
            x.End();
            return Xml(r, 200, Mt.MetadataValue, x);
        }
    }
}
