// Builds an inventory: the fixture loader and the scale generator both go through these helpers, which
// register every object in the cloud's indexes with a stable id derived from its place in the tree.
using System;
using System.Collections.Generic;

namespace VcdSim
{
    class Builder
    {
        public readonly Cloud Cloud;
        readonly DateTime baseDate = new DateTime(2024, 3, 4, 9, 30, 0, DateTimeKind.Local);
        int created;

        public Builder(Cloud cloud)
        {
            Cloud = cloud;
        }

        DateTime NextDate()
        {
            return baseDate.AddMinutes(7 * (created++));
        }

        // Gives a new object the stable id of its seed, registers it and adds it to its parent's list (if it has
        // one) and to the cloud's.
        T Enlist<T>(T e, string seed, List<T> parentList, List<T> cloudList) where T : Entity
        {
            e.Id = Cloud.StableId(seed);
            Cloud.Register(e);
            if (parentList != null) parentList.Add(e);
            cloudList.Add(e);
            return e;
        }

        // The seed path of an object inside a VDC: organisation, VDC, name.
        static string InVdc(Vdc v, string name)
        {
            return v.Org.Name + "/" + v.Name + "/" + name;
        }

        public VCenter VCenter(string name, string url, string version, string user)
        {
            var vc = new VCenter
            {
                Name = name,
                Url = url,
                VcVersion = version,
                UserName = user,
                InstanceUuid = Cloud.StableIdFor("vcinstance/" + name),
            };
            return Enlist(vc, "vimserver/" + name, null, Cloud.VCenters);
        }

        public Host Host(VCenter vc, string name, string moref)
        {
            var h = new Host { Name = name, Moref = moref ?? "host-" + (100 + vc.Hosts.Count + 1) };
            vc.Hosts.Add(h);
            return h;
        }

        public Datastore Datastore(VCenter vc, string name, string moref, long capacityMB, long usedMB)
        {
            var d = new Datastore
            {
                Name = name,
                VCenter = vc,
                Moref = moref ?? "datastore-" + (200 + vc.Datastores.Count + 1),
                CapacityMB = capacityMB,
                UsedMB = usedMB,
            };
            return Enlist(d, "datastore/" + vc.Name + "/" + name, vc.Datastores, Cloud.Datastores);
        }

        public StoragePolicy Policy(VCenter vc, string name, string moref)
        {
            var p = new StoragePolicy { Name = name, Moref = moref ?? Cloud.StableIdFor("spbm/" + vc.Name + "/" + name) };
            vc.Policies.Add(p);
            return p;
        }

        public ProviderVdc Pvdc(string name, VCenter vc, string resourcePool, IEnumerable<Datastore> stores)
        {
            var p = new ProviderVdc
            {
                Name = name,
                VCenter = vc,
                ResourcePool = resourcePool ?? "resgroup-" + (8 + Cloud.Pvdcs.Count),
            };
            p.Datastores.AddRange(stores);
            return Enlist(p, "providervdc/" + name, null, Cloud.Pvdcs);
        }

        public Org Org(string name, string fullName, bool system)
        {
            var o = new Org { Name = name, FullName = fullName, IsSystem = system };
            o.Org = o;
            return Enlist(o, "org/" + name, null, Cloud.Orgs);
        }

        public User User(Org o, string name, string password, string role, string fullName, string email)
        {
            var u = new User
            {
                Name = name,
                Org = o,
                Password = password,
                Role = role,
                FullName = fullName ?? name,
                Email = email ?? name + "@" + o.Name.ToLowerInvariant() + ".example.test",
            };
            return Enlist(u, "user/" + o.Name + "/" + name, o.Users, Cloud.Users);
        }

        public Group Group(Org o, string name, string role, string description)
        {
            var g = new Group { Name = name, Org = o, Role = role, Description = description ?? "" };
            return Enlist(g, "group/" + o.Name + "/" + name, o.Groups, Cloud.Groups);
        }

        public Catalog Catalog(Org o, string name, string description, bool published)
        {
            var c = new Catalog { Name = name, Org = o, Description = description ?? "", Published = published };
            return Enlist(c, "catalog/" + o.Name + "/" + name, o.Catalogs, Cloud.Catalogs);
        }

        public Vdc Vdc(Org o, string name, ProviderVdc pvdc)
        {
            var v = new Vdc
            {
                Name = name,
                Org = o,
                Pvdc = pvdc,
                CpuLimitMhz = 40000,
                MemoryLimitMB = 131072,
                ResourcePool = pvdc == null ? "" : "resgroup-" + (100 + Cloud.Vdcs.Count),
            };
            return Enlist(v, "vdc/" + o.Name + "/" + name, o.Vdcs, Cloud.Vdcs);
        }

        public StorageProfile Profile(Vdc v, string name, StoragePolicy policy, long limitMB, bool isDefault)
        {
            var p = new StorageProfile
            {
                Name = name,
                Org = v.Org,
                Vdc = v,
                Policy = policy,
                LimitMB = limitMB,
                IsDefault = isDefault,
            };
            return Enlist(p, "sp/" + InVdc(v, name), v.Profiles, Cloud.Profiles);
        }

        public Network Network(Vdc v, string name, string gateway, string netmask, string ipStart, string ipEnd)
        {
            var n = new Network
            {
                Name = name,
                Org = v.Org,
                Vdc = v,
                Gateway = gateway,
                Netmask = netmask,
                IpStart = ipStart,
                IpEnd = ipEnd,
            };
            return Enlist(n, "network/" + InVdc(v, name), v.Networks, Cloud.Networks);
        }

        public VApp VApp(Vdc v, string name, User owner, string description)
        {
            var va = new VApp
            {
                Id = Cloud.StableId("vapp/" + InVdc(v, name)),
                Name = name,
                Org = v.Org,
                Vdc = v,
                Owner = owner,
                Description = description ?? "",
                Created = NextDate(),
            };
            Cloud.AddVApp(va);
            return va;
        }

        public VAppTemplate Template(Vdc v, string name, Catalog catalog, string description)
        {
            var t = new VAppTemplate
            {
                Name = name,
                Org = v.Org,
                Vdc = v,
                Catalog = catalog,
                Description = description ?? "",
                Created = NextDate(),
            };
            Enlist(t, "vapptemplate/" + InVdc(v, name), v.Templates, Cloud.Templates);
            t.CatalogItemId = Cloud.StableIdFor("catalogitem/" + t.Id);
            if (catalog != null) catalog.Items.Add(t);
            return t;
        }

        // A VM placed on the VDC's vCenter server; hosts and datastores are dealt out in turn when not given.
        public Vm Vm(VAppBase parent, string name, Power power, bool deployed, Network net, StorageProfile profile)
        {
            var v = parent.Vdc;
            var vc = v.VCenter;
            var vm = new Vm
            {
                Id = Cloud.StableId("vm/" + InVdc(v, parent.Name) + "/" + name),
                Name = name,
                Org = v.Org,
                Parent = parent,
                Power = power,
                Deployed = deployed,
                ComputerName = name,
                VCenter = vc,
                Profile = profile ?? v.DefaultProfile,
                Created = NextDate(),
                LocalId = name,
            };
            if (vc != null)
            {
                vm.Moref = Cloud.NextMoref(vc);
                if (vc.Hosts.Count > 0) vm.Host = vc.Hosts[Cloud.Vms.Count % vc.Hosts.Count];
                var stores = v.Pvdc.Datastores;
                if (stores.Count > 0) vm.Datastore = stores[Cloud.Vms.Count % stores.Count];
            }
            if (net != null)
            {
                var va = parent as VApp;
                if (va != null && va.FindNet(net.Name) == null)
                    va.Nets.Add(new VAppNet { Name = net.Name, Parent = net, FenceMode = "bridged" });
                vm.Nics.Add(new Nic { Index = 0, Network = net.Name, Ip = Cloud.NextIp(net), Mac = Cloud.NextMac(), Mode = "POOL" });
            }
            return vm;
        }

        // Registers a VM made by Vm() after its details are set.
        public void Add(Vm vm)
        {
            Cloud.AddVm(vm);
            if (vm.Profile != null) vm.Profile.UsedMB += vm.DiskMB;
        }
    }
}
