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
            if (n == 3) return ByMethod(r, get: () => VAppXml(r, va), delete: () => DeleteVApp(r, va));
            if (n == 6 && a == "power" && b == "action") return Post(r, () => PowerAction(r, va, va.Vms, c));
            if (n == 5 && a == "action")
            {
                switch (b)
                {
                    case "deploy": return Post(r, () => Deploy(r, va, va.Vms));
                    case "undeploy": return Post(r, () => Undeploy(r, va, va.Vms));
                    case "discardSuspendedState": return Post(r, () => PowerAction(r, va, va.Vms, "discardSuspendedState"));
                    case "recomposeVApp": return Post(r, () => Recompose(r, va));
                    case "controlAccess": return Post(r, () => SetControlAccess(r, va));
                }
            }
            if (n == 4 && a == "controlAccess") return Get(r, () => ControlAccessXml(r, va));
            if (n == 4 && a == "owner") return ByMethod(r, get: () => OwnerXml(r, va), put: () => SetOwner(r, va));
            if (n == 4 && a == "networkConfigSection")
                return ByMethod(r, get: () => NetworkConfigSectionXml(r, va), put: () => SetNetworkConfig(r, va));
            if (a == "metadata" && n <= 6) return MetadataRoute(r, va);
            throw SimError.NotFound();
        }

        Resp VmRoute(Req r, Vm vm)
        {
            int n = r.Segs.Length;
            string a = r.Seg(3), b = r.Seg(4), c = r.Seg(5);
            var alone = new[] { vm };
            if (n == 3) return ByMethod(r, get: () => VmXml(r, vm), put: () => EditVm(r, vm), delete: () => DeleteVm(r, vm));
            if (n == 6 && a == "power" && b == "action") return Post(r, () => PowerAction(r, vm, alone, c));
            if (n == 5 && a == "action")
            {
                switch (b)
                {
                    case "deploy": return Post(r, () => Deploy(r, vm, alone));
                    case "undeploy": return Post(r, () => Undeploy(r, vm, alone));
                    case "discardSuspendedState": return Post(r, () => PowerAction(r, vm, alone, "discardSuspendedState"));
                    case "reconfigureVm": return Post(r, () => EditVm(r, vm));
                }
            }
            if (n == 4 && a == "networkConnectionSection")
                return ByMethod(r, get: () => NetworkConnectionSectionXml(r, vm), put: () => SetNetworkConnections(r, vm));
            if (a == "metadata" && n <= 6) return MetadataRoute(r, vm);
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

        // A power action on one VM, or on every VM of a vApp that it applies to; refused when it applies to none.
        Resp PowerAction(Req r, Entity target, IList<Vm> vms, string op)
        {
            if (!KnownPowerOp(op)) throw SimError.NotFound();
            NotBusyAround(target, vms);
            bool any = false;
            foreach (var vm in vms) if (PowerApplies(op, vm)) any = true;
            if (!any) throw SimError.Bad(PowerRefusal(op, target is Vm ? "VM" : "vApp", target.Name));
            var t = Tasks.Start(r.Session, target, "vapp" + Cap(op), Cap(op) + " " + TaskSubject(target),
                () => { foreach (var vm in vms) if (PowerApplies(op, vm)) PowerEffect(op, vm); cloud.Changed(); },
                Holding(target, vms));
            return Accepted(r, t);
        }

        // A change to one VM waits for a task on its vApp; a change to a whole vApp waits for tasks on its VMs.
        static void NotBusyAround(Entity target, IEnumerable<Vm> vms)
        {
            var vm = target as Vm;
            if (vm != null) NotBusy(vm.Parent);
            else NotBusy(vms);
        }

        // What a task on a VM holds (the VM) or on a vApp (the vApp and its VMs).
        static Entity[] Holding(Entity target, IEnumerable<Vm> vms)
        {
            return target is Vm ? new[] { target } : Holds(target, vms);
        }

        // How task operations name their object: "Virtual Machine web-01(<uuid>)".
        static string TaskSubject(Entity e)
        {
            return (e is Vm ? "Virtual Machine " : "Virtual Application ") + NameAndId(e);
        }

        static string NameAndId(Entity e)
        {
            return e.Name + "(" + e.Id + ")";
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
                var root = RequestRoot(r, Mt.Deploy, "DeployVAppParams");
                string p = root.GetAttribute("powerOn");
                if (p.Length > 0) powerOn = p == "true";
            }
            NotBusyAround(target, vms);
            bool any = false;
            foreach (var vm in vms) if (!vm.Deployed) any = true;
            if (!any) throw SimError.Bad("The requested operation could not be executed since \"" + target.Name + "\" is already deployed.");
            var t = Tasks.Start(r.Session, target, "vappDeploy", "Starting " + NameAndId(target),
                () =>
                {
                    foreach (var vm in vms)
                    {
                        vm.Deployed = true;
                        if (powerOn) vm.Power = Power.On;
                    }
                    cloud.Changed();
                }, Holding(target, vms));
            return Accepted(r, t);
        }

        Resp Undeploy(Req r, Entity target, IList<Vm> vms)
        {
            var root = RequestRoot(r, Mt.Undeploy, "UndeployVAppParams");
            string action = ChildText(root, "UndeployPowerAction", Ns.V) ?? "default";
            switch (action)
            {
                case "powerOff": case "suspend": case "shutdown": case "force": case "default": break;
                default: throw SimError.Bad("Invalid UndeployPowerAction \"" + action + "\".");
            }
            NotBusyAround(target, vms);
            bool any = false;
            foreach (var vm in vms) if (vm.Deployed) any = true;
            if (!any) throw SimError.Bad("The requested operation could not be executed since \"" + target.Name + "\" is not deployed.");
            var t = Tasks.Start(r.Session, target, "vappUndeploy" + Cap(action == "default" ? "powerOff" : action),
                "Stopping " + NameAndId(target),
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
                }, Holding(target, vms));
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
            var t = Tasks.Start(r.Session, vm, "vdcDeleteVm", "Deleting " + TaskSubject(vm),
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
            var t = Tasks.Start(r.Session, va, "vdcDeleteVapp", "Deleting " + TaskSubject(va),
                () => cloud.RemoveVApp(va), Holds(va, va.Vms));
            return Accepted(r, t);
        }

        // Removes the VMs named by DeleteItem elements; other recompose items are not served here.
        Resp Recompose(Req r, VApp va)
        {
            var root = RequestRoot(r, Mt.Recompose, "RecomposeVAppParams");
            var victims = new List<Vm>();
            foreach (XmlNode node in root.ChildNodes)
            {
                var el = node as XmlElement;
                if (el == null) continue;
                if (el.NamespaceURI == Ns.V && el.LocalName == "DeleteItem")
                {
                    string href = el.GetAttribute("href");
                    var vm = cloud.Find<Vm>(Refs.IdOf(href));
                    if (vm == null || vm.Parent != va)
                        throw SimError.InvalidReference("The DeleteItem reference " + href + " is not a VM of vApp \"" + va.Name + "\".");
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
            var t = Tasks.Start(r.Session, va, "vdcRecomposeVapp", "Updating " + TaskSubject(va),
                () => { foreach (var vm in victims) if (vm.Parent == va) cloud.RemoveVm(vm); }, Holds(va, victims));
            return Accepted(r, t);
        }

        // ---- metadata ----------------------------------------------------------------------------------------

        // .../metadata, .../metadata/{key} (the GENERAL domain) and .../metadata/{GENERAL|SYSTEM}/{key}.
        // at: the index of the "metadata" segment.
        Resp MetadataRoute(Req r, Entity e, int at = 3)
        {
            int n = r.Segs.Length - at + 3;
            // Metadata of vApps, VMs and templates belongs to their users; that of the containers around them
            // to the organization's administrators.
            if (r.Method != "GET" && e.Kind != Kind.VApp && e.Kind != Kind.Vm && e.Kind != Kind.VAppTemplate)
                RequireOrgAdmin(r.Session, "METADATA_EDIT");
            if (r.Method != "GET" && e.Kind == Kind.ProviderVdc) RequireSystem(r.Session, "METADATA_EDIT");
            if (n == 4) return ByMethod(r, get: () => MetadataXml(r, e), post: () => MergeMetadata(r, e));
            string domain = "GENERAL", key = r.Seg(at + 1);
            if (n == 6)
            {
                domain = r.Seg(at + 1);
                key = r.Seg(at + 2);
                if (domain != "GENERAL" && domain != "SYSTEM") throw SimError.NotFound();
            }
            return ByMethod(r,
                get: () => MetadataValueXml(r, e, ExistingMeta(e, key, domain)),
                put: () =>
                {
                    var entry = ParseMetaValue(RequestRoot(r, Mt.MetadataValue, "MetadataValue"), key, r.Session, domain);
                    return MetadataChange(r, e, "metadataUpdate", "Updating", () => SetMeta(e, entry));
                },
                delete: () =>
                {
                    var m = ExistingMeta(e, key, domain);
                    if (m.Domain == "SYSTEM") RequireSystem(r.Session, "METADATA_EDIT");
                    return MetadataChange(r, e, "metadataDelete", "Deleting", () => e.Meta.Remove(m));
                });
        }

        // A key that the object lacks in the domain asked for is answered like any entity that is not there.
        static MetaEntry ExistingMeta(Entity e, string key, string domain)
        {
            var m = e.FindMeta(key);
            if (m == null || m.Domain != domain) throw SimError.Forbidden("METADATA_VIEW");
            return m;
        }

        // A change to an object's metadata is a task on that object.
        Resp MetadataChange(Req r, Entity e, string opName, string verb, Action change)
        {
            var t = Tasks.Start(r.Session, e, opName, verb + " metadata of " + e.Name, () => { change(); cloud.Changed(); }, e);
            return Accepted(r, t);
        }

        Resp MergeMetadata(Req r, Entity e)
        {
            var root = RequestRoot(r, Mt.Metadata, "Metadata");
            var entries = new List<MetaEntry>();
            foreach (var el in Children(root, "MetadataEntry", Ns.V))
            {
                string key = ChildText(el, "Key", Ns.V);
                if (string.IsNullOrEmpty(key)) throw SimError.Bad("A MetadataEntry has no Key.");
                entries.Add(ParseMetaValue(el, key, r.Session));
            }
            if (entries.Count == 0) throw SimError.Bad("The Metadata request holds no MetadataEntry.");
            return MetadataChange(r, e, "metadataUpdate", "Updating", () => { foreach (var m in entries) SetMeta(e, m); });
        }

        static void SetMeta(Entity e, MetaEntry m)
        {
            var old = e.FindMeta(m.Key);
            if (old != null) { old.Type = m.Type; old.Value = m.Value; old.Domain = m.Domain; }
            else e.Meta.Add(m);
        }

        // Reads Domain and TypedValue (xsi:type and Value) and checks that the value fits its type.
        // pathDomain: the domain the request's path names (PUT .../metadata/SYSTEM/{key}); a Domain element
        // must agree with it.
        static MetaEntry ParseMetaValue(XmlElement parent, string key, Session s, string pathDomain = null)
        {
            var m = new MetaEntry { Key = key };
            var domain = Child(parent, "Domain", Ns.V);
            string d = domain != null ? domain.InnerText.Trim() : pathDomain ?? "GENERAL";
            if (d != "GENERAL" && d != "SYSTEM") throw SimError.Bad("Invalid metadata domain \"" + d + "\".");
            if (pathDomain == "SYSTEM" && d != "SYSTEM")
                throw SimError.Bad("The metadata domain \"" + d + "\" does not match the SYSTEM domain of the request.");
            if (d == "SYSTEM") RequireSystem(s, "METADATA_EDIT");
            m.Domain = d;
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
            var root = RequestRoot(r, Mt.Owner, "Owner");
            var u = Child(root, "User", Ns.V);
            if (u == null) throw SimError.Bad("The Owner element has no User.");
            var user = cloud.Find<User>(Refs.IdOf(u.GetAttribute("href")));
            if (user == null || user.Org != va.Org)
                throw SimError.InvalidReference("The user " + u.GetAttribute("href") + " is not a user of organization " + va.Org.Name + ".");
            va.Owner = user;
            cloud.Changed();
            return Resp.Empty(204);
        }

        Resp SetControlAccess(Req r, VApp va)
        {
            if (!r.Session.IsOrgAdmin && va.Owner != r.Session.User) throw SimError.Forbidden("VAPP_SHARE");
            var root = RequestRoot(r, Mt.ControlAccess, "ControlAccessParams");
            string shared = ChildText(root, "IsSharedToEveryone", Ns.V);
            if (shared != "true" && shared != "false") throw SimError.Bad("IsSharedToEveryone must be true or false.");
            string everyone = ChildText(root, "EveryoneAccessLevel", Ns.V);
            var acl = new List<AccessEntry>();
            var settings = Child(root, "AccessSettings", Ns.V);
            if (settings != null)
                foreach (var el in Children(settings, "AccessSetting", null))
                {
                    var subj = Child(el, "Subject", Ns.V);
                    if (subj == null) throw SimError.Bad("An AccessSetting has no Subject.");
                    string href = subj.GetAttribute("href");
                    var who = cloud.Find(Refs.IdOf(href));
                    if (who == null || (who.Kind != Kind.User && who.Kind != Kind.Group) || who.Org != va.Org)
                        throw SimError.InvalidReference("The subject " + href + " is not a user or group of organization " + va.Org.Name + ".");
                    if (subj.GetAttribute("type").Length == 0)
                        throw SimError.Bad("The subject " + href + " has no type.");
                    string level = ChildText(el, "AccessLevel", Ns.V);
                    if (level != "FullControl" && level != "Change" && level != "ReadOnly")
                        throw SimError.Bad("Invalid access level \"" + level + "\".");
                    foreach (var a in acl)
                        if (a.Subject == who) throw SimError.Bad("The subject " + who.Name + " appears more than once.");
                    acl.Add(new AccessEntry { Subject = who, Level = level });
                }
            // Everything is checked before anything changes: a refused request leaves the settings as they were.
            bool toEveryone = shared == "true";
            if (toEveryone && everyone != "FullControl" && everyone != "Change" && everyone != "ReadOnly")
                throw SimError.Bad("EveryoneAccessLevel is needed when the vApp is shared to everyone.");
            va.SharedToEveryone = toEveryone;
            if (toEveryone) va.EveryoneLevel = everyone;
            va.Acl.Clear();
            va.Acl.AddRange(acl);
            cloud.Changed();
            return ControlAccessXml(r, va);
        }

        // ---- network sections and VM edits -------------------------------------------------------------------

        Resp SetNetworkConnections(Req r, Vm vm)
        {
            var root = RequestRoot(r, Mt.NetworkConnectionSection, "NetworkConnectionSection");
            var va = (VApp)vm.Parent;
            var nics = new List<Nic>();
            foreach (var el in Children(root, "NetworkConnection", Ns.V))
            {
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
            var t = Tasks.Start(r.Session, vm, "vappUpdateVm", "Updating " + TaskSubject(vm),
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
            var root = RequestRoot(r, Mt.NetworkConfigSection, "NetworkConfigSection");
            var nets = new List<VAppNet>();
            foreach (var el in Children(root, "NetworkConfig", Ns.V))
            {
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
                        throw SimError.InvalidReference("The parent network of \"" + name + "\" is not a network of VDC \"" + va.Vdc.Name + "\".");
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
            var t = Tasks.Start(r.Session, va, "vappUpdateVapp", "Updating " + TaskSubject(va),
                () => { va.Nets.Clear(); va.Nets.AddRange(nets); cloud.Changed(); }, va);
            return Accepted(r, t);
        }

        // Applies the name, Description and StorageProfile of a Vm body; other sections are accepted and left as
        // they are.
        Resp EditVm(Req r, Vm vm)
        {
            var root = RequestRoot(r, Mt.Vm, "Vm");
            string name = root.GetAttribute("name");
            if (name.Length == 0) name = vm.Name;
            var dup = vm.Parent.FindVm(name);
            if (dup != null && dup != vm) throw SimError.DuplicateName("The VM name \"" + name + "\" is already used in this vApp.");
            string desc = ChildText(root, "Description", Ns.V);
            var sp = Child(root, "StorageProfile", Ns.V);
            var profile = sp == null ? null : ProfileIn(sp, vm.Vdc);
            NotBusy(vm.Parent);
            var t = Tasks.Start(r.Session, vm, "vappUpdateVm", "Updating " + TaskSubject(vm),
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
                if (p.Key == ImportKey(vc, moref))
                    throw SimError.Bad("The virtual machine " + moref + " is being imported already.");
        }

        // The reference elements of the import parameters (VApp, Vdc, VdcStorageProfile) are local elements of
        // the extension schema; the reference pages print them with the vcloud prefix of their type. Both
        // spellings are taken.
        static XmlElement RefChild(XmlElement parent, string local)
        {
            return Child(parent, local, Ns.Ext) ?? Child(parent, local, Ns.V);
        }

        // The storage profile a request names by reference; it must be one of the VDC's.
        StorageProfile ProfileIn(XmlElement reference, Vdc vdc)
        {
            var p = cloud.Find<StorageProfile>(Refs.IdOf(reference.GetAttribute("href")));
            if (p == null || p.Vdc != vdc)
                throw SimError.InvalidReference("The storage profile " + reference.GetAttribute("href") + " is not available in VDC \"" + vdc.Name + "\".");
            return p;
        }

        StorageProfile ImportProfile(XmlElement root, Vdc vdc)
        {
            var sp = RefChild(root, "VdcStorageProfile");
            return sp == null ? vdc.DefaultProfile : ProfileIn(sp, vdc);
        }

        // The vApp or VDC that an import request names by reference.
        T ImportTarget<T>(XmlElement root, string elem, string what) where T : Entity
        {
            var reference = RefChild(root, elem);
            if (reference == null) throw SimError.Bad("The import request names no " + elem + ".");
            var e = cloud.Find<T>(Refs.IdOf(reference.GetAttribute("href")));
            if (e == null) throw SimError.InvalidReference("The " + what + " " + reference.GetAttribute("href") + " does not exist.");
            return e;
        }

        static string ImportKey(VCenter vc, string moref)
        {
            return vc.Id + "/" + moref;
        }

        // Reserves the moref and the VM's name in its vApp until the import's task ends; then runs `ended`.
        void TrackImport(SimTask task, VCenter vc, string moref, VApp va, string vmName, Action ended = null)
        {
            task.OnEnd = () =>
            {
                pendingImports.RemoveAll(p => p.Task == task);
                if (ended != null) ended();
            };
            pendingImports.Add(new PendingImport { Key = ImportKey(vc, moref), VApp = va, VmName = vmName, Task = task });
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
            var root = RequestRoot(r, Mt.ImportIntoVApp, "ImportVmIntoExistingVAppParams", Ns.Ext);
            string moref = ChildText(root, "VmMoRef", Ns.Ext);
            var va = ImportTarget<VApp>(root, "VApp", "vApp");
            if (va.Vdc.VCenter != vc)
                throw SimError.Bad("The vApp \"" + va.Name + "\" lives in a VDC that is not backed by vCenter server \"" + vc.Name + "\".");
            CheckImportable(vc, moref);
            string name = ChildText(root, "VmName", Ns.Ext);
            if (string.IsNullOrEmpty(name)) name = moref;
            if (va.FindVm(name) != null) throw SimError.DuplicateName("The vApp \"" + va.Name + "\" already has a VM named \"" + name + "\".");
            foreach (var p in pendingImports)
                if (p.VApp == va && p.VmName == name)
                    throw SimError.DuplicateName("A VM named \"" + name + "\" is being imported into vApp \"" + va.Name + "\" already.");
            var profile = ImportProfile(root, va.Vdc);
            NotBusy(va.Vms);
            var vm = NewImportedVm(vc, va, moref, name, ChildText(root, "VmDescription", Ns.Ext), ChildText(root, "ComputerName", Ns.Ext), profile);
            var task = Tasks.Start(r.Session, va, "vdcImportVmIntoVapp", "Importing virtual machine " + moref + " into vApp \"" + va.Name + "\"",
                () =>
                {
                    if (!cloud.ById.ContainsKey(va.Id)) throw SimError.Bad("The vApp was deleted during the import.");
                    Imported(vm, profile);
                }, va);
            TrackImport(task, vc, moref, va, name);
            return Accepted(r, task);
        }

        Resp ImportAsVApp(Req r, VCenter vc)
        {
            var root = RequestRoot(r, Mt.ImportAsVApp, "ImportVmAsVAppParams", Ns.Ext);
            string vappName = root.GetAttribute("name");
            if (vappName.Length == 0) throw SimError.Bad("The import request has no vApp name.");
            bool powerOn = root.GetAttribute("powerOn") == "true";
            string moref = ChildText(root, "VmMoRef", Ns.Ext);
            var vdc = ImportTarget<Vdc>(root, "Vdc", "VDC");
            if (vdc.VCenter != vc)
                throw SimError.Bad("The VDC \"" + vdc.Name + "\" is not backed by vCenter server \"" + vc.Name + "\".");
            foreach (var other in vdc.VApps)
                if (string.Equals(other.Name, vappName, StringComparison.OrdinalIgnoreCase))
                    throw SimError.DuplicateName("The VDC \"" + vdc.Name + "\" already has a vApp named \"" + vappName + "\".");
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
            var task = Tasks.Start(r.Session, va, "vdcImportVmAsVapp", "Importing virtual machine " + moref + " as vApp \"" + vappName + "\"",
                () =>
                {
                    Imported(vm, profile);
                    if (powerOn) { vm.Power = Power.On; vm.Deployed = true; }
                }, va);
            // A vApp whose import failed or was canceled goes again.
            TrackImport(task, vc, moref, va, vmName,
                () => { if (task.Status != "success" && va.Vms.Count == 0 && cloud.ById.ContainsKey(va.Id)) cloud.RemoveVApp(va); });
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

        // The root element of a request body that must have this media type and this root.
        static XmlElement RequestRoot(Req r, string media, string local, string ns = Ns.V)
        {
            r.RequireContentType(media);
            var root = r.BodyXml().DocumentElement;
            if (root == null || root.LocalName != local || root.NamespaceURI != ns)
                throw SimError.Bad("Expected the element {" + ns + "}" + local + " but found {" +
                    (root == null ? "" : root.NamespaceURI) + "}" + (root == null ? "nothing" : root.LocalName) + ".");
            return root;
        }

        // The child elements with this name; a null namespace takes the name in any namespace.
        static IEnumerable<XmlElement> Children(XmlElement parent, string local, string ns)
        {
            foreach (XmlNode n in parent.ChildNodes)
            {
                var el = n as XmlElement;
                if (el != null && el.LocalName == local && (ns == null || el.NamespaceURI == ns)) yield return el;
            }
        }

        static XmlElement Child(XmlElement parent, string local, string ns)
        {
            foreach (var el in Children(parent, local, ns)) return el;
            return null;
        }

        static string ChildText(XmlElement parent, string local, string ns)
        {
            var el = Child(parent, local, ns);
            return el == null ? null : el.InnerText.Trim();
        }
    }
}
