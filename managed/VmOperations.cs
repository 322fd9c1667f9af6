// Operations on single VMs and vCenter servers: find, power on, back up, delete.
using System;
using System.Linq;
using System.Net.Http;
using System.Text;
using System.Threading;
using System.Xml.Linq;

namespace vCloudSDKWrapper
{
    public partial class vCloudWrapper
    {
        // vc: name, href, URN, instance UUID or URL host of a vCenter server (System sessions).
        public bool FindVCenterServer(string vc)
        {
            return Run("FindVCenterServer", false, api => { new Resolver(api).VCenter(N(vc)); return true; });
        }

        public bool PowerOnVM(string org, string vdc, string vm)
        {
            return Run("PowerOnVM", false, api =>
            {
                var found = new Resolver(api).Vm(N(org), N(vdc), "", N(vm));
                PowerOn(api, found.Href);
                return true;
            });
        }

        public bool FindVM(string org, string vdc, string vm)
        {
            return Run("FindVM", false, api => { new Resolver(api).Vm(N(org), N(vdc), "", N(vm)); return true; });
        }

        public bool FindVMInVApp(string org, string vdc, string vapp, string vm)
        {
            return Run("FindVMInVApp", false, api => { new Resolver(api).Vm(N(org), N(vdc), N(vapp), N(vm)); return true; });
        }

        public bool FindVMByNameFromVapp(string org, string vapp, string vm)
        {
            return Run("FindVMByNameFromVapp", false, api => { new Resolver(api).Vm(N(org), "", N(vapp), N(vm)); return true; });
        }

        public bool FindVMByNameFromVappAndGetMoref(string org, string vapp, string vm, ref string moref)
        {
            return Fill("FindVMByNameFromVappAndGetMoref", ref moref, api =>
            {
                var found = new Resolver(api).Vm(N(org), "", N(vapp), N(vm));
                string result = found.Rec["moref"];
                if (result.Length == 0) result = Placement(api, found.Href).MoRef;
                return result;
            });
        }

        public bool BackupVM(string org, string vdc, string vapp, string vm, ref string vmId, ref string vcName,
            ref string moref, ref string storageProfile, ref string vmXml)
        {
            VmPlacement p = null;
            bool ok = Run("BackupVM", false, api =>
            {
                var found = new Resolver(api).Vm(N(org), N(vdc), N(vapp), N(vm));
                p = Placement(api, found.Href);
                return true;
            });
            if (ok)
            {
                vmId = p.Id;
                vcName = p.VcName;
                moref = p.MoRef;
                storageProfile = p.StorageProfile;
                vmXml = p.Xml;
            }
            return ok;
        }

        // vmRef: the VM's href or URN (a name is accepted when it is unique in the organisation).
        public bool BackupVMWithVMRef(string org, string vmRef, ref string vappName, ref string vdcName, ref string vmName,
            ref string vcName, ref string moref, ref string vmXml)
        {
            VmPlacement p = null;
            QueryRecord rec = null;
            bool ok = Run("BackupVMWithVMRef", false, api =>
            {
                var found = new Resolver(api).Vm(N(org), "", "", N(vmRef));
                rec = found.Rec;
                p = Placement(api, found.Href);
                return true;
            });
            if (ok)
            {
                vappName = rec["containerName"];
                vdcName = rec["vdcName"];
                vmName = p.Name;
                vcName = p.VcName;
                moref = p.MoRef;
                vmXml = p.Xml;
            }
            return ok;
        }

        public bool DeleteVM(string org, string vdc, string vapp, string vm)
        {
            return Run("DeleteVM", false, api =>
            {
                var found = new Resolver(api).Vm(N(org), N(vdc), N(vapp), N(vm));
                UndeployAndRemove(api, found.Href);
                return true;
            });
        }

        public bool DeleteVMByNameFromVapp(string org, string vapp, string vm)
        {
            return Run("DeleteVMByNameFromVapp", false, api =>
            {
                var found = new Resolver(api).Vm(N(org), "", N(vapp), N(vm));
                UndeployAndRemove(api, found.Href);
                return true;
            });
        }

        // ---- shared steps ----

        private const string StatusPoweredOn = "4";
        private const string StatusSuspended = "3";

        // Powers a VM on and waits; a VM that is already on is left alone. When the VM is busy, its state
        // is read again after the other task, which may have powered it on already.
        internal static void PowerOn(Api api, string href)
        {
            var deadline = DateTime.UtcNow + api.Opt.TaskTimeout;
            while (true)
            {
                var vm = api.GetObject(href, Ns.Vcloud, "Vm", "VM");
                string what = "power on VM '" + vm.Attr("name") + "'";
                api.WaitForRunningTasks(vm, what);
                if (vm.Child(Ns.Vcloud, "Tasks") != null) vm = api.GetObject(href, Ns.Vcloud, "Vm", "VM");
                if (vm.Attr("status") == StatusPoweredOn)
                {
                    api.Log.Info(1, what + ": already powered on");
                    return;
                }
                var link = vm.Link("power:powerOn");
                string target = link != null ? link.Attr("href") : vm.Attr("href").TrimEnd('/') + "/power/action/powerOn";
                try
                {
                    api.Act(HttpMethod.Post, target, null, null, what, false);
                    return;
                }
                catch (CloudException e)
                {
                    if (!e.IsBusy || DateTime.UtcNow >= deadline) throw;
                    api.Log.Info(1, what + ": busy, reading its state again");
                    Thread.Sleep(api.Opt.TaskPollInterval);
                }
            }
        }

        // Undeploys a VM when it is deployed (powering it off), then removes it; waits for both tasks.
        internal static void UndeployAndRemove(Api api, string href)
        {
            var vm = api.GetObject(href, Ns.Vcloud, "Vm", "VM");
            string name = vm.Attr("name");
            api.WaitForRunningTasks(vm, "delete VM '" + name + "'");
            string status = vm.Attr("status");
            if (vm.Attr("deployed") == "true" || status == StatusPoweredOn || status == StatusSuspended)
            {
                var link = vm.Link("undeploy");
                string target = link != null ? link.Attr("href") : vm.Attr("href").TrimEnd('/') + "/action/undeploy";
                string body = "<UndeployVAppParams xmlns=\"" + Ns.Vcloud.NamespaceName + "\"><UndeployPowerAction>powerOff</UndeployPowerAction></UndeployVAppParams>";
                api.Act(HttpMethod.Post, target, body, "application/vnd.vmware.vcloud.undeployVAppParams+xml", "undeploy VM '" + name + "'");
                vm = api.GetObject(href, Ns.Vcloud, "Vm", "VM '" + name + "'");
            }
            var remove = vm.Link("remove");
            api.Act(HttpMethod.Delete, remove != null ? remove.Attr("href") : vm.Attr("href"), null, null, "remove VM '" + name + "'");
        }

        // What a backup agent needs of a VM: its ids, the vCenter behind it and the document itself.
        internal sealed class VmPlacement
        {
            public string Name = "", Id = "", VcName = "", VcHref = "", MoRef = "", StorageProfile = "", Xml = "";
        }

        internal static VmPlacement Placement(Api api, string href)
        {
            Reply reply;
            try { reply = api.Call(HttpMethod.Get, href); }
            catch (CloudException e)
            {
                if (e.IsNotFound) throw new CloudException("VM not found or not accessible (" + e.Message + ")", e.Status, e.MinorCode);
                throw;
            }
            var doc = RestClient.Document(reply);
            X.ExpectRoot(doc, Ns.Vcloud, "Vm", reply.What);
            var vm = doc.Root;
            var p = new VmPlacement
            {
                Name = vm.Attr("name"),
                Id = vm.Attr("id").Length > 0 ? vm.Attr("id") : "urn:vcloud:vm:" + Ref.Uuid(vm.Attr("href")),
                Xml = Encoding.UTF8.GetString(reply.Body)
            };
            var profile = vm.Child(Ns.Vcloud, "StorageProfile");
            if (profile != null) p.StorageProfile = profile.Attr("name");
            var objRef = vm.Descendants(Ns.Ext + "VmVimObjectRef").FirstOrDefault();
            if (objRef != null)
            {
                p.MoRef = objRef.ChildText(Ns.Ext, "MoRef");
                var server = objRef.Child(Ns.Ext, "VimServerRef");
                if (server != null)
                {
                    p.VcHref = server.Attr("href");
                    p.VcName = server.Attr("name");
                    if (p.VcName.Length == 0 && p.VcHref.Length > 0)
                        p.VcName = api.GetObject(p.VcHref, Ns.Ext, "VimServer", "vCenter server of VM '" + p.Name + "'").Attr("name");
                }
            }
            if (p.MoRef.Length == 0 || p.VcName.Length == 0)
            {
                if (!api.S.IsSystem)
                    throw new CloudException("the vCenter placement of VM '" + p.Name + "' is visible only to System administrators (logged in as " + api.S.Login + ")");
                throw new CloudException("the server reported no vCenter placement (VmVimInfo) for VM '" + p.Name + "'");
            }
            return p;
        }
    }
}
