// Restore: imports a VM that the agent rebuilt in vCenter into a vApp, then applies its network,
// metadata and power state.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Net.Http;
using System.Text;
using System.Xml.Linq;

namespace vCloudSDKWrapper
{
    public partial class vCloudWrapper
    {
        // vmRef comes in as the original VM's reference ("" if none; logged only) and goes back as the
        // imported VM's href. metadata: key=value;... with \; \= \\ escapes.
        public bool RestoreVM(string org, string vdc, string vapp, string vmName, bool createVApp, string vcName, string moref,
            string storageProfile, string network, string description, bool powerOn, ref string vmRef, bool overwrite, string metadata)
        {
            string original = vmRef ?? "";
            return Fill("RestoreVM", ref vmRef, api =>
            {
                var job = new RestoreJob(api)
                {
                    Org = N(org), Vdc = N(vdc), VApp = N(vapp), VmName = N(vmName), CreateVApp = createVApp, VcName = N(vcName),
                    MoRef = N(moref), StorageProfile = N(storageProfile), Network = N(network), Description = description ?? "",
                    PowerOn = powerOn, Original = N(original), Overwrite = overwrite, Metadata = RestoreJob.ParseMetadata(metadata ?? "")
                };
                return job.Run();
            });
        }
    }

    internal sealed class RestoreJob
    {
        private readonly Api api;
        private readonly Resolver r;
        public string Org = "", Vdc = "", VApp = "", VmName = "", VcName = "", MoRef = "", StorageProfile = "", Network = "",
            Description = "", Original = "";
        public bool CreateVApp, PowerOn, Overwrite;
        public List<KeyValuePair<string, string>> Metadata = new List<KeyValuePair<string, string>>();

        public RestoreJob(Api api)
        {
            this.api = api;
            r = new Resolver(api);
        }

        public static List<KeyValuePair<string, string>> ParseMetadata(string text)
        {
            var result = new List<KeyValuePair<string, string>>();
            var key = new StringBuilder();
            var value = new StringBuilder();
            bool inValue = false;
            Action flush = () =>
            {
                string k = key.ToString().Trim();
                if (k.Length == 0 && !inValue && value.Length == 0) return;
                if (k.Length == 0) throw new CloudException("metadata entry without a key: '=" + value + "'");
                if (!inValue) throw new CloudException("metadata entry '" + k + "' has no '=value'");
                result.Add(new KeyValuePair<string, string>(k, value.ToString()));
            };
            for (int i = 0; i < text.Length; i++)
            {
                char c = text[i];
                if (c == '\\' && i + 1 < text.Length) { (inValue ? value : key).Append(text[++i]); continue; }
                if (c == ';')
                {
                    flush();
                    key.Clear(); value.Clear(); inValue = false;
                    continue;
                }
                if (c == '=' && !inValue) { inValue = true; continue; }
                (inValue ? value : key).Append(c);
            }
            flush();
            return result;
        }

        public string Run()
        {
            r.RequireSystem("restoring a VM");
            if (VmName.Length == 0) throw new CloudException("no VM name given");
            if (MoRef.Length == 0) throw new CloudException("no vCenter moref of the restored VM given");
            if (VApp.Length == 0) throw new CloudException("no vApp given");
            api.Log.Info(1, "RestoreVM: '" + VmName + "' from " + MoRef + " on " + VcName + " into vApp '" + VApp + "'"
                + (Original.Length > 0 ? " (original " + Original + ")" : ""));

            // Everything named is checked before anything changes.
            var vdc = r.Vdc(Org, Vdc);
            var vc = r.VCenter(VcName);
            Found profile = StorageProfile.Length > 0 ? r.StorageProfile(StorageProfile, vdc) : null;
            string networkHref = Network.Length > 0 ? VdcNetwork(vdc, Network) : "";
            Found vapp = null;
            try { vapp = r.VApp(Org, vdc.Href, VApp); }
            catch (CloudException e)
            {
                if (e.Status != 404 || Ref.Form(VApp) != RefForm.Name) throw;
                if (!CreateVApp) throw new CloudException("vApp '" + VApp + "' not found in VDC '" + vdc.Name + "' and createVApp is false");
            }

            string vmHref;
            if (vapp != null)
            {
                var existing = VmsIn(vapp.Href).Where(v => v.Attr("name") == VmName).ToList();
                if (existing.Count > 0 && !Overwrite)
                    throw new CloudException("vApp '" + vapp.Name + "' already holds a VM named '" + VmName + "' (overwrite is false)");
                // The VM being overwritten goes only once its replacement is in place, so a failed import
                // loses nothing: the replacement arrives under a passing name and takes the name after.
                string importName = existing.Count == 0 ? VmName : VmName + "-restoring-" + Guid.NewGuid().ToString("N").Substring(0, 8);
                vmHref = ImportIntoVApp(vc, vapp, profile, importName);
                foreach (var old in existing)
                {
                    api.Log.Info(1, "RestoreVM: removing the VM being overwritten, " + old.Attr("href"));
                    vCloudWrapper.UndeployAndRemove(api, old.Attr("href"));
                }
                if (importName != VmName) Rename(vmHref);
            }
            else vmHref = ImportAsVApp(vc, vdc, profile, out vapp);

            if (Network.Length > 0) Connect(vapp.Href, vmHref, networkHref);
            if (Metadata.Count > 0) SetMetadata(vmHref);
            if (PowerOn) vCloudWrapper.PowerOn(api, vmHref);
            return vmHref;
        }

        private IEnumerable<XElement> VmsIn(string vappHref)
        {
            var obj = api.GetObject(vappHref, Ns.Vcloud, "VApp", "vApp");
            var children = obj.Child(Ns.Vcloud, "Children");
            return children == null ? Enumerable.Empty<XElement>() : children.Elements(Ns.Vcloud + "Vm").ToList();
        }

        private string VdcNetwork(Found vdc, string name)
        {
            var obj = api.GetObject(vdc.Href, Ns.Vcloud, "Vdc", "VDC '" + vdc.Name + "'");
            var nets = obj.Child(Ns.Vcloud, "AvailableNetworks");
            var hit = nets == null ? null : nets.Elements(Ns.Vcloud + "Network").FirstOrDefault(n => n.Attr("name") == name);
            if (hit == null) throw new CloudException("network '" + name + "' is not available in VDC '" + vdc.Name + "'");
            return hit.Attr("href");
        }

        private string ImportUrl(Found vc, string action)
        {
            return "api/admin/extension/vimServer/" + Ref.Uuid(vc.Href) + "/" + action;
        }

        private string ImportIntoVApp(Found vc, Found vapp, Found profile, string name)
        {
            var body = new XElement(Ns.Ext + "ImportVmIntoExistingVAppParams",
                new XAttribute("sourceMove", api.Opt.ImportMove ? "true" : "false"),
                new XElement(Ns.Ext + "VmName", name),
                Description.Length > 0 ? new XElement(Ns.Ext + "VmDescription", Description) : null,
                new XElement(Ns.Ext + "VmMoRef", MoRef),
                profile != null ? new XElement(Ns.Ext + "VdcStorageProfile", new XAttribute("href", profile.Href)) : null,
                new XElement(Ns.Ext + "VApp", new XAttribute("href", vapp.Href)));
            api.Act(HttpMethod.Post, ImportUrl(vc, "importVmIntoExistingVApp"), body.ToString(SaveOptions.DisableFormatting),
                "application/vnd.vmware.admin.importVmIntoExistingVAppParams+xml", "import VM '" + name + "' into vApp '" + vapp.Name + "'");
            var vm = VmsIn(vapp.Href).Where(v => v.Attr("name") == name).ToList();
            if (vm.Count != 1)
                throw new CloudException("the import into vApp '" + vapp.Name + "' succeeded but " + vm.Count + " VMs named '" + name + "' are there now");
            return vm[0].Attr("href");
        }

        private string ImportAsVApp(Found vc, Found vdc, Found profile, out Found vapp)
        {
            var body = new XElement(Ns.Ext + "ImportVmAsVAppParams",
                new XAttribute("name", VApp),
                new XAttribute("sourceMove", api.Opt.ImportMove ? "true" : "false"),
                new XElement(Ns.Ext + "VmName", VmName),
                new XElement(Ns.Ext + "VmMoRef", MoRef),
                profile != null ? new XElement(Ns.Ext + "VdcStorageProfile", new XAttribute("href", profile.Href)) : null,
                new XElement(Ns.Ext + "Vdc", new XAttribute("href", vdc.Href)));
            var doc = api.Act(HttpMethod.Post, ImportUrl(vc, "importVmAsVApp"), body.ToString(SaveOptions.DisableFormatting),
                "application/vnd.vmware.admin.importVmAsVAppParams+xml", "import VM '" + VmName + "' as new vApp '" + VApp + "'");
            if (doc == null || doc.Root == null || doc.Root.Name != Ns.Vcloud + "VApp")
                throw new CloudException("the import as vApp '" + VApp + "' answered without the new vApp");
            vapp = new Found { Href = doc.Root.Attr("href"), Name = doc.Root.Attr("name") };
            var vms = VmsIn(vapp.Href).ToList();
            if (vms.Count != 1) throw new CloudException("the new vApp '" + VApp + "' holds " + vms.Count + " VMs instead of 1");
            var vm = vms[0];
            string href = vm.Attr("href");
            if (vm.Attr("name") != VmName || Description.Length > 0) Rename(href);
            return href;
        }

        // Sets the VM's name and description (the import as a new vApp has no field for the VM's description,
        // and a replacement arrives under a passing name), with the reconfigureVm action: a Vm document that
        // holds only a name and a Description changes just those.
        private void Rename(string vmHref)
        {
            var vm = api.GetObject(vmHref, Ns.Vcloud, "Vm", "imported VM");
            var link = vm.Link("reconfigureVm");
            var body = new XElement(Ns.Vcloud + "Vm", new XAttribute("name", VmName), new XElement(Ns.Vcloud + "Description", Description));
            api.Act(HttpMethod.Post, link != null ? link.Attr("href") : vm.Attr("href").TrimEnd('/') + "/action/reconfigureVm",
                body.ToString(SaveOptions.DisableFormatting), "application/vnd.vmware.vcloud.vm+xml",
                "set the name and description of VM '" + VmName + "'");
        }

        // Adds the VDC network to the vApp when it lacks it, then attaches the VM's primary NIC (or a
        // new one) to it.
        private void Connect(string vappHref, string vmHref, string networkHref)
        {
            var vapp = api.GetObject(vappHref, Ns.Vcloud, "VApp", "vApp");
            var config = vapp.Child(Ns.Vcloud, "NetworkConfigSection");
            if (config == null) throw new CloudException("vApp '" + vapp.Attr("name") + "' has no NetworkConfigSection");
            if (!config.Elements(Ns.Vcloud + "NetworkConfig").Any(n => n.Attr("networkName") == Network))
            {
                var section = new XElement(config);
                var added = new XElement(Ns.Vcloud + "NetworkConfig", new XAttribute("networkName", Network),
                    new XElement(Ns.Vcloud + "Configuration",
                        new XElement(Ns.Vcloud + "ParentNetwork", new XAttribute("href", networkHref)),
                        new XElement(Ns.Vcloud + "FenceMode", "bridged")));
                var last = section.Elements(Ns.Vcloud + "NetworkConfig").LastOrDefault();
                if (last != null) last.AddAfterSelf(added);
                else
                {
                    var info = section.Element(Ns.Ovf + "Info");
                    if (info != null) info.AddAfterSelf(added); else section.AddFirst(added);
                }
                section.Elements(Ns.Vcloud + "Link").Remove();
                string target = config.Attr("href").Length > 0 ? config.Attr("href") : vappHref.TrimEnd('/') + "/networkConfigSection/";
                api.Act(HttpMethod.Put, target, section.ToString(SaveOptions.DisableFormatting),
                    "application/vnd.vmware.vcloud.networkConfigSection+xml", "add network '" + Network + "' to vApp '" + vapp.Attr("name") + "'");
            }

            var vm = api.GetObject(vmHref, Ns.Vcloud, "Vm", "imported VM");
            var nics = vm.Child(Ns.Vcloud, "NetworkConnectionSection");
            if (nics == null) throw new CloudException("VM '" + VmName + "' has no NetworkConnectionSection");
            var conn = new XElement(nics);
            conn.Elements(Ns.Vcloud + "Link").Remove();
            string primary = conn.ChildText(Ns.Vcloud, "PrimaryNetworkConnectionIndex");
            var nic = conn.Elements(Ns.Vcloud + "NetworkConnection")
                .FirstOrDefault(n => n.ChildText(Ns.Vcloud, "NetworkConnectionIndex") == primary)
                ?? conn.Elements(Ns.Vcloud + "NetworkConnection").FirstOrDefault();
            if (nic != null)
            {
                nic.SetAttributeValue("network", Network);
                var connected = nic.Child(Ns.Vcloud, "IsConnected");
                if (connected != null) connected.Value = "true";
            }
            else
            {
                nic = new XElement(Ns.Vcloud + "NetworkConnection", new XAttribute("network", Network),
                    new XElement(Ns.Vcloud + "NetworkConnectionIndex", "0"),
                    new XElement(Ns.Vcloud + "IsConnected", "true"),
                    new XElement(Ns.Vcloud + "IpAddressAllocationMode", "DHCP"));
                var index = conn.Child(Ns.Vcloud, "PrimaryNetworkConnectionIndex");
                if (index == null)
                {
                    index = new XElement(Ns.Vcloud + "PrimaryNetworkConnectionIndex", "0");
                    var info = conn.Element(Ns.Ovf + "Info");
                    if (info != null) info.AddAfterSelf(index); else conn.AddFirst(index);
                }
                index.AddAfterSelf(nic);
            }
            string nicsTarget = nics.Attr("href").Length > 0 ? nics.Attr("href") : vmHref.TrimEnd('/') + "/networkConnectionSection/";
            api.Act(HttpMethod.Put, nicsTarget, conn.ToString(SaveOptions.DisableFormatting),
                "application/vnd.vmware.vcloud.networkConnectionSection+xml", "connect VM '" + VmName + "' to network '" + Network + "'");
        }

        private void SetMetadata(string vmHref)
        {
            var body = new XElement(Ns.Vcloud + "Metadata", new XAttribute(XNamespace.Xmlns + "xsi", Ns.Xsi.NamespaceName),
                Metadata.Select(kv => new XElement(Ns.Vcloud + "MetadataEntry",
                    new XElement(Ns.Vcloud + "Key", kv.Key),
                    new XElement(Ns.Vcloud + "TypedValue", new XAttribute(Ns.Xsi + "type", "MetadataStringValue"),
                        new XElement(Ns.Vcloud + "Value", kv.Value)))));
            api.Act(HttpMethod.Post, vmHref.TrimEnd('/') + "/metadata", body.ToString(SaveOptions.DisableFormatting),
                "application/vnd.vmware.vcloud.metadata+xml", "set the metadata of VM '" + VmName + "'");
        }
    }
}
