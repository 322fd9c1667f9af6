// Changes: power and deployment actions, deletes and recompose, metadata, owner and access control, network
// sections, VM edits and the import of vCenter VMs. Each change is checked when asked for and takes effect
// when its task succeeds.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Text.RegularExpressions;
using System.Xml;

namespace VcdSim
{
    partial class Api
    {
        Resp Accepted(Req r, SimTask t)
        {
            return TaskResp(r, t, 202);
        }

        static void NotBusy(params Entity[] es)
        {
            foreach (var e in es)
                if (e != null && e.ActiveTask != null && !e.ActiveTask.Finished) throw SimError.Busy(e.Name);
        }

        static void NotBusy(IEnumerable<Vm> vms)
        {
            foreach (var vm in vms) NotBusy(vm);
        }

        // ---- routes ------------------------------------------------------------------------------------------

        Resp VAppRoute(Req r, VApp va)
        {
            int n = r.Segs.Length;
            string a = r.Seg(3), b = r.Seg(4), c = r.Seg(5);
            if (n == 3)
            {
                if (r.Method == "GET") return VAppXml(r, va);
                if (r.Method == "DELETE") return DeleteVApp(r, va);
                throw SimError.Method();
            }
            if (n == 6 && a == "power" && b == "action") return Post(r, () => VAppPower(r, va, c));
            if (n == 5 && a == "action")
            {
                switch (b)
                {
                    case "deploy": return Post(r, () => Deploy(r, va, va.Vms));
                    case "undeploy": return Post(r, () => Undeploy(r, va, va.Vms));
                    case "discardSuspendedState": return Post(r, () => VAppPower(r, va, "discardSuspendedState"));
                    case "recomposeVApp": return Post(r, () => Recompose(r, va));
                    case "controlAccess": return Post(r, () => SetControlAccess(r, va));
                }
            }
            if (n == 4 && a == "controlAccess") return Get(r, () => ControlAccessXml(r, va));
            if (n == 4 && a == "owner")
            {
                if (r.Method == "GET") return OwnerXml(r, va);
                if (r.Method == "PUT") return SetOwner(r, va);
                throw SimError.Method();
            }
            if (n == 4 && a == "networkConfigSection")
            {
                if (r.Method == "GET") { var x = new XmlOut(); WriteNetworkConfigSection(x, va, true); return Xml(r, 200, Mt.NetworkConfigSection, x); }
                if (r.Method == "PUT") return SetNetworkConfig(r, va);
                throw SimError.Method();
            }
            if (a == "metadata" && n <= 5) return MetadataRoute(r, va);
            throw SimError.NotFound();
        }

        Resp VmRoute(Req r, Vm vm)
        {
            int n = r.Segs.Length;
            string a = r.Seg(3), b = r.Seg(4), c = r.Seg(5);
            if (n == 3)
            {
                if (r.Method == "GET") return VmXml(r, vm);
                if (r.Method == "DELETE") return DeleteVm(r, vm);
                if (r.Method == "PUT") return EditVm(r, vm);
                throw SimError.Method();
            }
            if (n == 6 && a == "power" && b == "action") return Post(r, () => VmPower(r, vm, c));
            if (n == 5 && a == "action")
            {
                switch (b)
                {
                    case "deploy": return Post(r, () => Deploy(r, vm, new[] { vm }));
                    case "undeploy": return Post(r, () => Undeploy(r, vm, new[] { vm }));
                    case "discardSuspendedState": return Post(r, () => VmPower(r, vm, "discardSuspendedState"));
                    case "reconfigureVm": return Post(r, () => EditVm(r, vm));
                }
            }
            if (n == 4 && a == "networkConnectionSection")
            {
                if (r.Method == "GET") { var x = new XmlOut(); WriteNetworkConnectionSection(x, vm, true); return Xml(r, 200, Mt.NetworkConnectionSection, x); }
                if (r.Method == "PUT") return SetNetworkConnections(r, vm);
                throw SimError.Method();
            }
            if (a == "metadata" && n <= 5) return MetadataRoute(r, vm);
            throw SimError.NotFound();
        }

        // ---- power -------------------------------------------------------------------------------------------

        // Whether a power action applies to a VM in its present state, and the state it leaves behind.
        static bool PowerApplies(string op, Vm vm)
        {
            switch (op)
            {
                case "powerOn": return vm.Power != Power.On;
                case "powerOff": return vm.Power != Power.Off;
                case "shutdown": case "suspend": case "reset": case "reboot": return vm.Power == Power.On;
                case "discardSuspendedState": return vm.Power == Power.Suspended;
            }
            return false;
        }

        static void PowerEffect(string op, Vm vm)
        {
            switch (op)
            {
                case "powerOn": vm.Power = Power.On; vm.Deployed = true; break;
                case "powerOff": case "shutdown": case "discardSuspendedState": vm.Power = Power.Off; break;
                case "suspend": vm.Power = Power.Suspended; break;
            }
        }

        static string PowerRefusal(string op, string what, string name)
        {
            switch (op)
            {
                case "powerOn": return "The requested operation could not be executed since " + what + " \"" + name + "\" is already powered on.";
                case "powerOff": return "The requested operation could not be executed since " + what + " \"" + name + "\" is not powered on or suspended.";
                case "discardSuspendedState": return "The requested operation could not be executed since " + what + " \"" + name + "\" is not suspended.";
                default: return "The requested operation could not be executed since " + what + " \"" + name + "\" is not powered on.";
            }
        }

        static bool KnownPowerOp(string op)
        {
            switch (op)
            {
                case "powerOn": case "powerOff": case "shutdown": case "suspend": case "reset": case "reboot": case "discardSuspendedState":
                    return true;
            }
            return false;
        }

        Resp VmPower(Req r, Vm vm, string op)
        {
            if (!KnownPowerOp(op)) throw SimError.NotFound();
            NotBusy(vm.Parent);
            if (!PowerApplies(op, vm)) throw SimError.Bad(PowerRefusal(op, "VM", vm.Name));
            var t = Tasks.Start(r.Session, vm, "vapp" + Cap(op), Cap(op) + " Virtual Machine " + vm.Name + "(" + vm.Id + ")",
                () => { if (PowerApplies(op, vm)) PowerEffect(op, vm); cloud.Changed(); }, vm);
            return Accepted(r, t);
        }

        Resp VAppPower(Req r, VApp va, string op)
        {
            if (!KnownPowerOp(op)) throw SimError.NotFound();
            NotBusy(va.Vms);
            bool any = false;
            foreach (var vm in va.Vms) if (PowerApplies(op, vm)) any = true;
            if (!any) throw SimError.Bad(PowerRefusal(op, "vApp", va.Name));
            var t = Tasks.Start(r.Session, va, "vapp" + Cap(op), Cap(op) + " Virtual Application " + va.Name + "(" + va.Id + ")",
                () => { foreach (var vm in va.Vms) if (PowerApplies(op, vm)) PowerEffect(op, vm); cloud.Changed(); },
                Holds(va, va.Vms));
            return Accepted(r, t);
        }

        static Entity[] Holds(Entity first, IEnumerable<Vm> vms)
        {
            var list = new List<Entity> { first };
            foreach (var vm in vms) list.Add(vm);
            return list.ToArray();
        }

        static string Cap(string op)
        {
            return op.Length == 0 ? op : char.ToUpperInvariant(op[0]) + op.Substring(1);
        }

        Resp Deploy(Req r, Entity target, IList<Vm> vms)
        {
            bool powerOn = true;
            if (r.Body.Length > 0)
            {
                r.RequireContentType(Mt.Deploy);
                var doc = r.BodyXml();
                RequireRoot(doc, "DeployVAppParams", Ns.V);
                string p = doc.DocumentElement.GetAttribute("powerOn");
                if (p.Length > 0) powerOn = p == "true";
            }
            if (target is Vm) NotBusy(((Vm)target).Parent); else NotBusy(vms);
            bool any = false;
            foreach (var vm in vms) if (!vm.Deployed) any = true;
            if (!any) throw SimError.Bad("The requested operation could not be executed since \"" + target.Name + "\" is already deployed.");
            var t = Tasks.Start(r.Session, target, "vappDeploy", "Starting " + target.Name + "(" + target.Id + ")",
                () =>
                {
                    foreach (var vm in vms)
                    {
                        vm.Deployed = true;
                        if (powerOn) vm.Power = Power.On;
                    }
                    cloud.Changed();
                }, Holds(target, target is Vm ? new Vm[0] : vms));
            return Accepted(r, t);
        }

        Resp Undeploy(Req r, Entity target, IList<Vm> vms)
        {
            r.RequireContentType(Mt.Undeploy);
            var doc = r.BodyXml();
            RequireRoot(doc, "UndeployVAppParams", Ns.V);
            string action = ChildText(doc.DocumentElement, "UndeployPowerAction", Ns.V) ?? "default";
            switch (action)
            {
                case "powerOff": case "suspend": case "shutdown": case "force": case "default": break;
                default: throw SimError.Bad("Invalid UndeployPowerAction \"" + action + "\".");
            }
            if (target is Vm) NotBusy(((Vm)target).Parent); else NotBusy(vms);
            bool any = false;
            foreach (var vm in vms) if (vm.Deployed) any = true;
            if (!any) throw SimError.Bad("The requested operation could not be executed since \"" + target.Name + "\" is not deployed.");
            var t = Tasks.Start(r.Session, target, "vappUndeploy" + Cap(action == "default" ? "powerOff" : action),
                "Stopping " + target.Name + "(" + target.Id + ")",
                () =>
                {
                    foreach (var vm in vms)
                    {
                        if (!vm.Deployed) continue;
                        vm.Deployed = false;
                        if (action == "suspend") { if (vm.Power == Power.On) vm.Power = Power.Suspended; }
                        else vm.Power = Power.Off;
                    }
                    cloud.Changed();
                }, Holds(target, target is Vm ? new Vm[0] : vms));
            return Accepted(r, t);
        }

        // ---- deletes and recompose -----------------------------------------------------------------------------

        static void RequireStopped(Vm vm)
        {
            if (vm.Power != Power.Off || vm.Deployed)
                throw SimError.Bad("The VM \"" + vm.Name + "\" must be powered off and undeployed before it can be removed (it is " +
                    Cloud.StatusName(Cloud.VmStatus(vm)) + (vm.Deployed ? ", deployed" : ", undeployed") + ").");
        }

        Resp DeleteVm(Req r, Vm vm)
        {
            NotBusy(vm.Parent);
            NotBusy(vm);
            RequireStopped(vm);
            var t = Tasks.Start(r.Session, vm, "vdcDeleteVm", "Deleting Virtual Machine " + vm.Name + "(" + vm.Id + ")",
                () => cloud.RemoveVm(vm), vm);
            return Accepted(r, t);
        }

        Resp DeleteVApp(Req r, VApp va)
        {
            NotBusy(va.Vms);
            NotBusy(va);
            foreach (var vm in va.Vms)
                if (vm.Power != Power.Off || vm.Deployed)
                    throw SimError.Bad("The vApp \"" + va.Name + "\" must be stopped and undeployed before it can be deleted; VM \"" +
                        vm.Name + "\" is " + Cloud.StatusName(Cloud.VmStatus(vm)) + (vm.Deployed ? ", deployed" : "") + ".");
            var t = Tasks.Start(r.Session, va, "vdcDeleteVapp", "Deleting Virtual Application " + va.Name + "(" + va.Id + ")",
                () => cloud.RemoveVApp(va), Holds(va, va.Vms));
            return Accepted(r, t);
        }

        // Removes the VMs named by DeleteItem elements; other recompose items are not served here.
        Resp Recompose(Req r, VApp va)
        {
            r.RequireContentType(Mt.Recompose);
            var doc = r.BodyXml();
            RequireRoot(doc, "RecomposeVAppParams", Ns.V);
            var victims = new List<Vm>();
            foreach (XmlNode node in doc.DocumentElement.ChildNodes)
            {
                var el = node as XmlElement;
                if (el == null) continue;
                if (el.NamespaceURI == Ns.V && el.LocalName == "DeleteItem")
                {
                    string href = el.GetAttribute("href");
                    var vm = cloud.Find<Vm>(Refs.IdOf(href));
                    if (vm == null || vm.Parent != va)
                        throw new SimError(400, "INVALID_REFERENCE", "The DeleteItem reference " + href + " is not a VM of vApp \"" + va.Name + "\".");
                    if (vm.Power != Power.Off)
                        throw SimError.Bad("The VM \"" + vm.Name + "\" must be powered off before it can be removed from the vApp.");
                    if (!victims.Contains(vm)) victims.Add(vm);
                }
                else if (el.NamespaceURI == Ns.V && (el.LocalName == "Description" || el.LocalName == "AllEULAsAccepted"))
                {
                    continue;
                }
                else
                {
                    throw SimError.Bad("The recompose item " + el.LocalName + " is not supported by this server; only DeleteItem is.");
                }
            }
            if (victims.Count == 0) throw SimError.Bad("The recompose request names no item.");
            NotBusy(va);
            NotBusy(victims);
            var t = Tasks.Start(r.Session, va, "vdcRecomposeVapp", "Updating Virtual Application " + va.Name + "(" + va.Id + ")",
                () => { foreach (var vm in victims) if (vm.Parent == va) cloud.RemoveVm(vm); }, Holds(va, victims));
            return Accepted(r, t);
        }

        // ---- metadata ----------------------------------------------------------------------------------------

        Resp MetadataRoute(Req r, Entity e)
        {
            int n = r.Segs.Length;
            // Metadata of vApps, VMs and templates belongs to their users; that of the containers around them
            // to the organization's administrators.
            if (r.Method != "GET" && e.Kind != Kind.VApp && e.Kind != Kind.Vm && e.Kind != Kind.VAppTemplate)
                RequireOrgAdmin(r.Session, "METADATA_EDIT");
            if (n == 4)
            {
                if (r.Method == "GET") return MetadataXml(r, e);
                if (r.Method == "POST") return MergeMetadata(r, e);
                throw SimError.Method();
            }
            string key = r.Seg(4);
            var m = e.FindMeta(key);
            if (r.Method == "GET")
            {
                if (m == null) throw new SimError(404, "RESOURCE_NOT_FOUND", "The metadata key \"" + key + "\" does not exist.");
                return MetadataValueXml(r, e, m);
            }
            if (r.Method == "PUT")
            {
                r.RequireContentType(Mt.MetadataValue);
                var doc = r.BodyXml();
                RequireRoot(doc, "MetadataValue", Ns.V);
                var entry = ParseMetaValue(doc.DocumentElement, key, r.Session);
                var t = Tasks.Start(r.Session, e, "metadataUpdate", "Updating metadata of " + e.Name,
                    () => { SetMeta(e, entry); cloud.Changed(); }, e);
                return Accepted(r, t);
            }
            if (r.Method == "DELETE")
            {
                if (m == null) throw new SimError(404, "RESOURCE_NOT_FOUND", "The metadata key \"" + key + "\" does not exist.");
                if (m.Domain == "SYSTEM") RequireSystem(r.Session, "METADATA_EDIT");
                var t = Tasks.Start(r.Session, e, "metadataDelete", "Deleting metadata of " + e.Name,
                    () => { e.Meta.RemoveAll(x => x.Key == key); cloud.Changed(); }, e);
                return Accepted(r, t);
            }
            throw SimError.Method();
        }

        Resp MergeMetadata(Req r, Entity e)
        {
            r.RequireContentType(Mt.Metadata);
            var doc = r.BodyXml();
            RequireRoot(doc, "Metadata", Ns.V);
            var entries = new List<MetaEntry>();
            foreach (XmlNode node in doc.DocumentElement.ChildNodes)
            {
                var el = node as XmlElement;
                if (el == null || el.NamespaceURI != Ns.V || el.LocalName != "MetadataEntry") continue;
                string key = ChildText(el, "Key", Ns.V);
                if (string.IsNullOrEmpty(key)) throw SimError.Bad("A MetadataEntry has no Key.");
                entries.Add(ParseMetaValue(el, key, r.Session));
            }
            if (entries.Count == 0) throw SimError.Bad("The Metadata request holds no MetadataEntry.");
            var t = Tasks.Start(r.Session, e, "metadataUpdate", "Updating metadata of " + e.Name,
                () => { foreach (var m in entries) SetMeta(e, m); cloud.Changed(); }, e);
            return Accepted(r, t);
        }

        static void SetMeta(Entity e, MetaEntry m)
        {
            var old = e.FindMeta(m.Key);
            if (old != null) { old.Type = m.Type; old.Value = m.Value; old.Domain = m.Domain; }
            else e.Meta.Add(m);
        }

        // Reads Domain and TypedValue (xsi:type and Value) and checks that the value fits its type.
        static MetaEntry ParseMetaValue(XmlElement parent, string key, Session s)
        {
            var m = new MetaEntry { Key = key };
            var domain = Child(parent, "Domain", Ns.V);
            if (domain != null)
            {
                string d = domain.InnerText.Trim();
                if (d != "GENERAL" && d != "SYSTEM") throw SimError.Bad("Invalid metadata domain \"" + d + "\".");
                if (d == "SYSTEM") RequireSystem(s, "METADATA_EDIT");
                m.Domain = d;
            }
            var tv = Child(parent, "TypedValue", Ns.V);
            if (tv == null) throw SimError.Bad("The metadata entry \"" + key + "\" has no TypedValue.");
            string xt = tv.GetAttribute("type", Ns.Xsi);
            int colon = xt.IndexOf(':');
            if (colon >= 0) xt = xt.Substring(colon + 1);
            switch (xt)
            {
                case "MetadataStringValue": m.Type = "STRING"; break;
                case "MetadataNumberValue": m.Type = "NUMBER"; break;
                case "MetadataBooleanValue": m.Type = "BOOLEAN"; break;
                case "MetadataDateTimeValue": m.Type = "DATETIME"; break;
                default: throw SimError.Bad("Unknown metadata value type \"" + xt + "\" for key \"" + key + "\".");
            }
            string v = ChildText(tv, "Value", Ns.V);
            if (v == null) throw SimError.Bad("The metadata entry \"" + key + "\" has no Value.");
            long ln;
            DateTime dt;
            if (m.Type == "NUMBER" && !long.TryParse(v, NumberStyles.Integer, CultureInfo.InvariantCulture, out ln))
                throw SimError.Bad("The value \"" + v + "\" of \"" + key + "\" is not a number.");
            if (m.Type == "BOOLEAN" && v != "true" && v != "false")
                throw SimError.Bad("The value \"" + v + "\" of \"" + key + "\" is not true or false.");
            if (m.Type == "DATETIME" && !DateTime.TryParse(v, CultureInfo.InvariantCulture, DateTimeStyles.RoundtripKind, out dt))
                throw SimError.Bad("The value \"" + v + "\" of \"" + key + "\" is not a date and time.");
            m.Value = v;
            return m;
        }

        // ---- owner and access control ------------------------------------------------------------------------

        Resp SetOwner(Req r, VApp va)
        {
            RequireOrgAdmin(r.Session, "VAPP_CHANGE_OWNER");
            r.RequireContentType(Mt.Owner);
            var doc = r.BodyXml();
            RequireRoot(doc, "Owner", Ns.V);
            var u = Child(doc.DocumentElement, "User", Ns.V);
            if (u == null) throw SimError.Bad("The Owner element has no User.");
            var user = cloud.Find<User>(Refs.IdOf(u.GetAttribute("href")));
            if (user == null || user.Org != va.Org)
                throw new SimError(400, "INVALID_REFERENCE", "The user " + u.GetAttribute("href") + " is not a user of organization " + va.Org.Name + ".");
            va.Owner = user;
            cloud.Changed();
            return Resp.Empty(204);
        }

        Resp SetControlAccess(Req r, VApp va)
        {
            if (!r.Session.IsOrgAdmin && va.Owner != r.Session.User) throw SimError.Forbidden("VAPP_SHARE");
            r.RequireContentType(Mt.ControlAccess);
            var doc = r.BodyXml();
            RequireRoot(doc, "ControlAccessParams", Ns.V);
            var root = doc.DocumentElement;
            string shared = ChildText(root, "IsSharedToEveryone", Ns.V);
            if (shared != "true" && shared != "false") throw SimError.Bad("IsSharedToEveryone must be true or false.");
            string everyone = ChildText(root, "EveryoneAccessLevel", Ns.V);
            var acl = new List<AccessEntry>();
            var settings = Child(root, "AccessSettings", Ns.V);
            if (settings != null)
                foreach (XmlNode node in settings.ChildNodes)
                {
                    var el = node as XmlElement;
                    if (el == null || el.LocalName != "AccessSetting") continue;
                    var subj = Child(el, "Subject", Ns.V);
                    if (subj == null) throw SimError.Bad("An AccessSetting has no Subject.");
                    string href = subj.GetAttribute("href");
                    var who = cloud.Find(Refs.IdOf(href));
                    if (who == null || (who.Kind != Kind.User && who.Kind != Kind.Group) || who.Org != va.Org)
                        throw new SimError(400, "INVALID_REFERENCE", "The subject " + href + " is not a user or group of organization " + va.Org.Name + ".");
                    if (subj.GetAttribute("type").Length == 0)
                        throw SimError.Bad("The subject " + href + " has no type.");
                    string level = ChildText(el, "AccessLevel", Ns.V);
                    if (level != "FullControl" && level != "Change" && level != "ReadOnly")
                        throw SimError.Bad("Invalid access level \"" + level + "\".");
                    foreach (var a in acl)
                        if (a.Subject == who) throw SimError.Bad("The subject " + who.Name + " appears more than once.");
                    acl.Add(new AccessEntry { Subject = who, Level = level });
                }
            va.SharedToEveryone = shared == "true";
            if (va.SharedToEveryone)
            {
                if (everyone != "FullControl" && everyone != "Change" && everyone != "ReadOnly")
                    throw SimError.Bad("EveryoneAccessLevel is needed when the vApp is shared to everyone.");
                va.EveryoneLevel = everyone;
            }
            va.Acl.Clear();
            va.Acl.AddRange(acl);
            cloud.Changed();
            return ControlAccessXml(r, va);
        }

        // ---- network sections and VM edits -------------------------------------------------------------------

        Resp SetNetworkConnections(Req r, Vm vm)
        {
            r.RequireContentType(Mt.NetworkConnectionSection);
            var doc = r.BodyXml();
            RequireRoot(doc, "NetworkConnectionSection", Ns.V);
            var va = (VApp)vm.Parent;
            var nics = new List<Nic>();
            foreach (XmlNode node in doc.DocumentElement.ChildNodes)
            {
                var el = node as XmlElement;
                if (el == null || el.NamespaceURI != Ns.V || el.LocalName != "NetworkConnection") continue;
                var nic = new Nic { Network = el.GetAttribute("network") };
                if (nic.Network != "none" && va.FindNet(nic.Network) == null)
                    throw SimError.Bad("The network \"" + nic.Network + "\" is not a network of vApp \"" + va.Name + "\".");
                int idx;
                if (!int.TryParse(ChildText(el, "NetworkConnectionIndex", Ns.V), out idx) || idx < 0)
                    throw SimError.Bad("A NetworkConnection has no valid NetworkConnectionIndex.");
                foreach (var other in nics)
                    if (other.Index == idx) throw SimError.Bad("The NetworkConnectionIndex " + idx + " appears more than once.");
                nic.Index = idx;
                nic.Ip = ChildText(el, "IpAddress", Ns.V) ?? "";
                nic.Connected = ChildText(el, "IsConnected", Ns.V) != "false";
                nic.Mac = ChildText(el, "MACAddress", Ns.V) ?? "";
                nic.Mode = ChildText(el, "IpAddressAllocationMode", Ns.V) ?? "NONE";
                if (nic.Mode != "DHCP" && nic.Mode != "MANUAL" && nic.Mode != "POOL" && nic.Mode != "NONE")
                    throw SimError.Bad("Invalid IpAddressAllocationMode \"" + nic.Mode + "\".");
                if (nic.Mode == "MANUAL" && nic.Ip.Length == 0) throw SimError.Bad("A MANUAL network connection needs an IpAddress.");
                nics.Add(nic);
            }
            NotBusy(va);
            var t = Tasks.Start(r.Session, vm, "vappUpdateVm", "Updating Virtual Machine " + vm.Name + "(" + vm.Id + ")",
                () =>
                {
                    foreach (var nic in nics)
                    {
                        if (nic.Mac.Length == 0) nic.Mac = cloud.NextMac();
                        if (nic.Mode == "POOL" && nic.Ip.Length == 0)
                        {
                            var net = va.FindNet(nic.Network);
                            nic.Ip = Cloud.NextIp(net == null ? null : net.Parent);
                        }
                        if (nic.Mode == "NONE" || nic.Mode == "DHCP") nic.Ip = nic.Mode == "NONE" ? "" : nic.Ip;
                    }
                    nics.Sort((a, b) => a.Index.CompareTo(b.Index));
                    vm.Nics = nics;
                    cloud.Changed();
                }, vm);
            return Accepted(r, t);
        }

        Resp SetNetworkConfig(Req r, VApp va)
        {
            r.RequireContentType(Mt.NetworkConfigSection);
            var doc = r.BodyXml();
            RequireRoot(doc, "NetworkConfigSection", Ns.V);
            var nets = new List<VAppNet>();
            foreach (XmlNode node in doc.DocumentElement.ChildNodes)
            {
                var el = node as XmlElement;
                if (el == null || el.NamespaceURI != Ns.V || el.LocalName != "NetworkConfig") continue;
                string name = el.GetAttribute("networkName");
                if (name.Length == 0) throw SimError.Bad("A NetworkConfig has no networkName.");
                var conf = Child(el, "Configuration", Ns.V);
                if (conf == null) throw SimError.Bad("The NetworkConfig \"" + name + "\" has no Configuration.");
                var net = new VAppNet { Name = name, FenceMode = ChildText(conf, "FenceMode", Ns.V) ?? "bridged" };
                if (net.FenceMode != "bridged" && net.FenceMode != "isolated" && net.FenceMode != "natRouted")
                    throw SimError.Bad("Invalid FenceMode \"" + net.FenceMode + "\".");
                var parent = Child(conf, "ParentNetwork", Ns.V);
                if (parent != null)
                {
                    string href = parent.GetAttribute("href");
                    Network found = null;
                    foreach (var on in va.Vdc.Networks)
                        if ((href.Length > 0 && string.Equals(on.Id, Refs.IdOf(href), StringComparison.OrdinalIgnoreCase)) ||
                            (href.Length == 0 && on.Name == parent.GetAttribute("name")))
                            found = on;
                    if (found == null)
                        throw new SimError(400, "INVALID_REFERENCE", "The parent network of \"" + name + "\" is not a network of VDC \"" + va.Vdc.Name + "\".");
                    net.Parent = found;
                }
                else if (net.FenceMode == "bridged") throw SimError.Bad("The bridged network \"" + name + "\" needs a ParentNetwork.");
                foreach (var other in nets)
                    if (other.Name == name) throw SimError.Bad("The network \"" + name + "\" appears more than once.");
                nets.Add(net);
            }
            foreach (var vm in va.Vms)
                foreach (var nic in vm.Nics)
                {
                    bool kept = nic.Network == "none";
                    foreach (var net in nets) if (net.Name == nic.Network) kept = true;
                    if (!kept) throw SimError.Bad("The network \"" + nic.Network + "\" is still used by VM \"" + vm.Name + "\".");
                }
            NotBusy(va.Vms);
            var t = Tasks.Start(r.Session, va, "vappUpdateVapp", "Updating Virtual Application " + va.Name + "(" + va.Id + ")",
                () => { va.Nets.Clear(); va.Nets.AddRange(nets); cloud.Changed(); }, va);
            return Accepted(r, t);
        }

        // Applies the name, Description and StorageProfile of a Vm body; other sections are accepted and left as
        // they are.
        Resp EditVm(Req r, Vm vm)
        {
            r.RequireContentType(Mt.Vm);
            var doc = r.BodyXml();
            RequireRoot(doc, "Vm", Ns.V);
            var root = doc.DocumentElement;
            string name = root.GetAttribute("name");
            if (name.Length == 0) name = vm.Name;
            var dup = vm.Parent.FindVm(name);
            if (dup != null && dup != vm) throw new SimError(400, "DUPLICATE_NAME", "The VM name \"" + name + "\" is already used in this vApp.");
            string desc = ChildText(root, "Description", Ns.V);
            StorageProfile profile = null;
            var sp = Child(root, "StorageProfile", Ns.V);
            if (sp != null)
            {
                profile = cloud.Find<StorageProfile>(Refs.IdOf(sp.GetAttribute("href")));
                if (profile == null || profile.Vdc != vm.Vdc)
                    throw new SimError(400, "INVALID_REFERENCE", "The storage profile " + sp.GetAttribute("href") + " is not available in VDC \"" + vm.Vdc.Name + "\".");
            }
            NotBusy(vm.Parent);
            var t = Tasks.Start(r.Session, vm, "vappUpdateVm", "Updating Virtual Machine " + vm.Name + "(" + vm.Id + ")",
                () =>
                {
                    vm.Name = name;
                    if (desc != null) vm.Description = desc;
                    if (profile != null && profile != vm.Profile)
                    {
                        if (vm.Profile != null) vm.Profile.UsedMB = Math.Max(0, vm.Profile.UsedMB - vm.DiskMB);
                        vm.Profile = profile;
                        profile.UsedMB += vm.DiskMB;
                    }
                    cloud.Changed();
                }, vm);
            return Accepted(r, t);
        }

        // ---- importing vCenter VMs ---------------------------------------------------------------------------

        static readonly Regex MorefPattern = new Regex("^vm-[0-9]+$");

        class PendingImport
        {
            public string Key;      // vCenter id + "/" + moref
            public VApp VApp;
            public string VmName;
            public SimTask Task;
        }

        readonly List<PendingImport> pendingImports = new List<PendingImport>();

        // Any well-formed VM moref that the cloud does not manage yet stands for a VM present in the vCenter
        // server, such as one a backup product has just restored there.
        void CheckImportable(VCenter vc, string moref)
        {
            if (string.IsNullOrEmpty(moref) || !MorefPattern.IsMatch(moref))
                throw SimError.Bad("VmMoRef \"" + moref + "\" is not a virtual machine reference of vCenter server \"" + vc.Name + "\".");
            var managed = cloud.FindByMoref(vc, moref);
            if (managed != null)
                throw SimError.Bad("The virtual machine " + moref + " of vCenter server \"" + vc.Name + "\" is already managed as VM \"" + managed.Name + "\".");
            foreach (var p in pendingImports)
                if (p.Key == vc.Id + "/" + moref)
                    throw SimError.Bad("The virtual machine " + moref + " is being imported already.");
        }

        // The reference elements of the import parameters (VApp, Vdc, VdcStorageProfile) are local elements of
        // the extension schema; the reference pages print them with the vcloud prefix of their type. Both
        // spellings are taken.
        static XmlElement RefChild(XmlElement parent, string local)
        {
            return Child(parent, local, Ns.Ext) ?? Child(parent, local, Ns.V);
        }

        StorageProfile ImportProfile(XmlElement root, Vdc vdc)
        {
            var sp = RefChild(root, "VdcStorageProfile");
            if (sp == null) return vdc.DefaultProfile;
            var p = cloud.Find<StorageProfile>(Refs.IdOf(sp.GetAttribute("href")));
            if (p == null || p.Vdc != vdc)
                throw new SimError(400, "INVALID_REFERENCE", "The storage profile " + sp.GetAttribute("href") + " is not available in VDC \"" + vdc.Name + "\".");
            return p;
        }

        Vm NewImportedVm(VCenter vc, VApp va, string moref, string name, string desc, string computer, StorageProfile profile)
        {
            var vm = new Vm
            {
                Id = Cloud.RandomId(),
                Name = name,
                Org = va.Org,
                Parent = va,
                Description = desc ?? "",
                ComputerName = string.IsNullOrEmpty(computer) ? name : computer,
                VCenter = vc,
                Moref = moref,
                Host = vc.Hosts.Count > 0 ? vc.Hosts[0] : null,
                Datastore = va.Vdc.Pvdc != null && va.Vdc.Pvdc.Datastores.Count > 0 ? va.Vdc.Pvdc.Datastores[0] : null,
                Profile = profile,
                Cpus = 2,
                MemoryMB = 4096,
                Created = DateTime.Now,
                LocalId = name,
            };
            vm.Nics.Add(new Nic { Index = 0, Network = "none", Connected = false, Mode = "NONE", Mac = cloud.NextMac() });
            return vm;
        }

        void Imported(Vm vm, StorageProfile profile)
        {
            cloud.AddVm(vm);
            if (profile != null) profile.UsedMB += vm.DiskMB;
        }

        Resp ImportIntoVApp(Req r, VCenter vc)
        {
            r.RequireContentType(Mt.ImportIntoVApp);
            var doc = r.BodyXml();
            RequireRoot(doc, "ImportVmIntoExistingVAppParams", Ns.Ext);
            var root = doc.DocumentElement;
            string moref = ChildText(root, "VmMoRef", Ns.Ext);
            var vaRef = RefChild(root, "VApp");
            if (vaRef == null) throw SimError.Bad("The import request names no VApp.");
            var va = cloud.Find<VApp>(Refs.IdOf(vaRef.GetAttribute("href")));
            if (va == null) throw new SimError(400, "INVALID_REFERENCE", "The vApp " + vaRef.GetAttribute("href") + " does not exist.");
            if (va.Vdc.VCenter != vc)
                throw SimError.Bad("The vApp \"" + va.Name + "\" lives in a VDC that is not backed by vCenter server \"" + vc.Name + "\".");
            CheckImportable(vc, moref);
            string name = ChildText(root, "VmName", Ns.Ext);
            if (string.IsNullOrEmpty(name)) name = moref;
            if (va.FindVm(name) != null) throw new SimError(400, "DUPLICATE_NAME", "The vApp \"" + va.Name + "\" already has a VM named \"" + name + "\".");
            foreach (var p in pendingImports)
                if (p.VApp == va && p.VmName == name)
                    throw new SimError(400, "DUPLICATE_NAME", "A VM named \"" + name + "\" is being imported into vApp \"" + va.Name + "\" already.");
            var profile = ImportProfile(root, va.Vdc);
            NotBusy(va.Vms);
            var vm = NewImportedVm(vc, va, moref, name, ChildText(root, "VmDescription", Ns.Ext), ChildText(root, "ComputerName", Ns.Ext), profile);
            SimTask task = null;
            task = Tasks.Start(r.Session, va, "vdcImportVmIntoVapp", "Importing virtual machine " + moref + " into vApp \"" + va.Name + "\"",
                () =>
                {
                    if (!cloud.ById.ContainsKey(va.Id)) throw SimError.Bad("The vApp was deleted during the import.");
                    Imported(vm, profile);
                }, va);
            task.OnEnd = () => pendingImports.RemoveAll(p => p.Task == task);
            pendingImports.Add(new PendingImport { Key = vc.Id + "/" + moref, VApp = va, VmName = name, Task = task });
            return Accepted(r, task);
        }

        Resp ImportAsVApp(Req r, VCenter vc)
        {
            r.RequireContentType(Mt.ImportAsVApp);
            var doc = r.BodyXml();
            RequireRoot(doc, "ImportVmAsVAppParams", Ns.Ext);
            var root = doc.DocumentElement;
            string vappName = root.GetAttribute("name");
            if (vappName.Length == 0) throw SimError.Bad("The import request has no vApp name.");
            bool powerOn = root.GetAttribute("powerOn") == "true";
            string moref = ChildText(root, "VmMoRef", Ns.Ext);
            var vdcRef = RefChild(root, "Vdc");
            if (vdcRef == null) throw SimError.Bad("The import request names no Vdc.");
            var vdc = cloud.Find<Vdc>(Refs.IdOf(vdcRef.GetAttribute("href")));
            if (vdc == null) throw new SimError(400, "INVALID_REFERENCE", "The VDC " + vdcRef.GetAttribute("href") + " does not exist.");
            if (vdc.VCenter != vc)
                throw SimError.Bad("The VDC \"" + vdc.Name + "\" is not backed by vCenter server \"" + vc.Name + "\".");
            foreach (var other in vdc.VApps)
                if (string.Equals(other.Name, vappName, StringComparison.OrdinalIgnoreCase))
                    throw new SimError(400, "DUPLICATE_NAME", "The VDC \"" + vdc.Name + "\" already has a vApp named \"" + vappName + "\".");
            CheckImportable(vc, moref);
            var profile = ImportProfile(root, vdc);
            string vmName = ChildText(root, "VmName", Ns.Ext);
            if (string.IsNullOrEmpty(vmName)) vmName = vappName;
            string desc = ChildText(root, "Description", Ns.Ext) ?? ChildText(root, "Description", Ns.V) ?? "";
            var va = new VApp
            {
                Id = Cloud.RandomId(),
                Name = vappName,
                Org = vdc.Org,
                Vdc = vdc,
                Description = desc,
                Created = DateTime.Now,
                Owner = r.Session.IsSystem ? null : r.Session.User,
            };
            if (va.Owner == null && vdc.Org.Users.Count > 0) va.Owner = FirstAdmin(vdc.Org);
            cloud.AddVApp(va);
            var vm = NewImportedVm(vc, va, moref, vmName, "", ChildText(root, "ComputerName", Ns.Ext), profile);
            SimTask task = null;
            task = Tasks.Start(r.Session, va, "vdcImportVmAsVapp", "Importing virtual machine " + moref + " as vApp \"" + vappName + "\"",
                () =>
                {
                    Imported(vm, profile);
                    if (powerOn) { vm.Power = Power.On; vm.Deployed = true; }
                }, va);
            task.OnEnd = () =>
            {
                pendingImports.RemoveAll(p => p.Task == task);
                if (task.Status != "success" && va.Vms.Count == 0 && cloud.ById.ContainsKey(va.Id)) cloud.RemoveVApp(va);
            };
            pendingImports.Add(new PendingImport { Key = vc.Id + "/" + moref, VApp = va, VmName = vmName, Task = task });
            return VAppXmlStatus(r, va, 201);
        }

        static User FirstAdmin(Org o)
        {
            foreach (var u in o.Users) if (u.IsOrgAdmin) return u;
            return o.Users.Count > 0 ? o.Users[0] : null;
        }

        Resp VAppXmlStatus(Req r, VApp va, int status)
        {
            var resp = VAppXml(r, va);
            resp.Status = status;
            return resp;
        }

        // ---- XML request helpers -----------------------------------------------------------------------------

        static void RequireRoot(XmlDocument doc, string local, string ns)
        {
            var root = doc.DocumentElement;
            if (root == null || root.LocalName != local || root.NamespaceURI != ns)
                throw SimError.Bad("Expected the element {" + ns + "}" + local + " but found {" +
                    (root == null ? "" : root.NamespaceURI) + "}" + (root == null ? "nothing" : root.LocalName) + ".");
        }

        static XmlElement Child(XmlElement parent, string local, string ns)
        {
            foreach (XmlNode n in parent.ChildNodes)
            {
                var el = n as XmlElement;
                if (el != null && el.LocalName == local && el.NamespaceURI == ns) return el;
            }
            return null;
        }

        static string ChildText(XmlElement parent, string local, string ns)
        {
            var el = Child(parent, local, ns);
            return el == null ? null : el.InnerText.Trim();
        }
    }
}
