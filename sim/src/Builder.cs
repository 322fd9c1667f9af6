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

        public VCenter VCenter(string name, string url, string version, string user)
        {
            var vc = new VCenter
            {
                Id = Cloud.StableId("vimserver/" + name),
                Name = name,
                Url = url,
                VcVersion = version,
                UserName = user,
            };
            vc.InstanceUuid = Cloud.StableIdFor("vcinstance/" + name);
            Cloud.Register(vc);
            Cloud.VCenters.Add(vc);
            return vc;
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
                Id = Cloud.StableId("datastore/" + vc.Name + "/" + name),
                Name = name,
                VCenter = vc,
                Moref = moref ?? "datastore-" + (200 + vc.Datastores.Count + 1),
                CapacityMB = capacityMB,
                UsedMB = usedMB,
            };
            Cloud.Register(d);
            vc.Datastores.Add(d);
            Cloud.Datastores.Add(d);
            return d;
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
                Id = Cloud.StableId("providervdc/" + name),
                Name = name,
                VCenter = vc,
                ResourcePool = resourcePool ?? "resgroup-" + (8 + Cloud.Pvdcs.Count),
            };
            p.Datastores.AddRange(stores);
            Cloud.Register(p);
            Cloud.Pvdcs.Add(p);
            return p;
        }

        public Org Org(string name, string fullName, bool system)
        {
            var o = new Org { Id = Cloud.StableId("org/" + name), Name = name, FullName = fullName, IsSystem = system };
            o.Org = o;
            Cloud.Register(o);
            Cloud.Orgs.Add(o);
            return o;
        }

        public User User(Org o, string name, string password, string role, string fullName, string email)
        {
            var u = new User
            {
                Id = Cloud.StableId("user/" + o.Name + "/" + name),
                Name = name,
                Org = o,
                Password = password,
                Role = role,
                FullName = fullName ?? name,
                Email = email ?? name + "@" + o.Name.ToLowerInvariant() + ".example.test",
            };
            Cloud.Register(u);
            o.Users.Add(u);
            Cloud.Users.Add(u);
            return u;
        }

        public Group Group(Org o, string name, string role, string description)
        {
            var g = new Group { Id = Cloud.StableId("group/" + o.Name + "/" + name), Name = name, Org = o, Role = role, Description = description ?? "" };
            Cloud.Register(g);
            o.Groups.Add(g);
            Cloud.Groups.Add(g);
            return g;
        }

        public Catalog Catalog(Org o, string name, string description, bool published)
        {
            var c = new Catalog { Id = Cloud.StableId("catalog/" + o.Name + "/" + name), Name = name, Org = o, Description = description ?? "", Published = published };
            Cloud.Register(c);
            o.Catalogs.Add(c);
            Cloud.Catalogs.Add(c);
            return c;
        }

        public Vdc Vdc(Org o, string name, ProviderVdc pvdc)
        {
            var v = new Vdc
            {
                Id = Cloud.StableId("vdc/" + o.Name + "/" + name),
                Name = name,
                Org = o,
                Pvdc = pvdc,
                CpuLimitMhz = 40000,
                MemoryLimitMB = 131072,
            };
            v.ResourcePool = pvdc == null ? "" : "resgroup-" + (100 + Cloud.Vdcs.Count);
            Cloud.Register(v);
            o.Vdcs.Add(v);
            Cloud.Vdcs.Add(v);
            return v;
        }

        public StorageProfile Profile(Vdc v, string name, StoragePolicy policy, long limitMB, bool isDefault)
        {
            var p = new StorageProfile
            {
                Id = Cloud.StableId("sp/" + v.Org.Name + "/" + v.Name + "/" + name),
                Name = name,
                Org = v.Org,
                Vdc = v,
                Policy = policy,
                LimitMB = limitMB,
                IsDefault = isDefault,
            };
            Cloud.Register(p);
            v.Profiles.Add(p);
            Cloud.Profiles.Add(p);
            return p;
        }

        public Network Network(Vdc v, string name, string gateway, string netmask, string ipStart, string ipEnd)
        {
            var n = new Network
            {
                Id = Cloud.StableId("network/" + v.Org.Name + "/" + v.Name + "/" + name),
                Name = name,
                Org = v.Org,
                Vdc = v,
                Gateway = gateway,
                Netmask = netmask,
                IpStart = ipStart,
                IpEnd = ipEnd,
            };
            Cloud.Register(n);
            v.Networks.Add(n);
            Cloud.Networks.Add(n);
            return n;
        }

        public VApp VApp(Vdc v, string name, User owner, string description)
        {
            var va = new VApp
            {
                Id = Cloud.StableId("vapp/" + v.Org.Name + "/" + v.Name + "/" + name),
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
                Id = Cloud.StableId("vapptemplate/" + v.Org.Name + "/" + v.Name + "/" + name),
                Name = name,
                Org = v.Org,
                Vdc = v,
                Catalog = catalog,
                Description = description ?? "",
                Created = NextDate(),
            };
            t.CatalogItemId = Cloud.StableIdFor("catalogitem/" + t.Id);
            Cloud.Register(t);
            v.Templates.Add(t);
            Cloud.Templates.Add(t);
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
                Id = Cloud.StableId("vm/" + v.Org.Name + "/" + v.Name + "/" + parent.Name + "/" + name),
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
