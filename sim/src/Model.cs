// The simulated cloud's objects: organisations, users, provider objects, VDCs, vApps, VMs and their parts.
using System;
using System.Collections.Generic;

namespace VcdSim
{
    enum Kind { Org, User, Group, Vdc, ProviderVdc, VCenter, Datastore, StorageProfile, Network, VApp, VAppTemplate, Vm, Catalog, Task, PvdcStorageProfile }

    enum Power { Off, On, Suspended }

    // Every addressable object: a uuid (the tail of its href and URN), a name, and the organisation it lives in
    // (null for provider objects such as vCenter servers).
    abstract class Entity
    {
        public string Id;
        public string Name;
        public Org Org;
        public List<MetaEntry> Metadata;
        // The task that currently holds this object; other changes are refused while it runs.
        public SimTask ActiveTask;
        public abstract Kind Kind { get; }

        public List<MetaEntry> Meta
        {
            get { if (Metadata == null) Metadata = new List<MetaEntry>(); return Metadata; }
        }

        public MetaEntry FindMeta(string key)
        {
            if (Metadata == null) return null;
            foreach (var m in Metadata)
                if (m.Key == key) return m;
            return null;
        }
    }

    class MetaEntry
    {
        public string Key;
        public string Type = "STRING"; // STRING, NUMBER, BOOLEAN, DATETIME
        public string Value;
        public string Domain = "GENERAL";

        public string XsiType
        {
            get
            {
                switch (Type)
                {
                    case "NUMBER": return "MetadataNumberValue";
                    case "BOOLEAN": return "MetadataBooleanValue";
                    case "DATETIME": return "MetadataDateTimeValue";
                    default: return "MetadataStringValue";
                }
            }
        }
    }

    class Org : Entity
    {
        public override Kind Kind { get { return Kind.Org; } }
        public string FullName = "";
        public string Description = "";
        public bool IsSystem;
        public bool Enabled = true;
        public readonly List<User> Users = new List<User>();
        public readonly List<Group> Groups = new List<Group>();
        public readonly List<Vdc> Vdcs = new List<Vdc>();
        public readonly List<Catalog> Catalogs = new List<Catalog>();
    }

    class User : Entity
    {
        public override Kind Kind { get { return Kind.User; } }
        public string FullName = "";
        public string Email = "";
        public string Password = "";
        public string Role = "vApp User";
        public bool Enabled = true;
        public readonly List<Group> Groups = new List<Group>();

        public bool IsOrgAdmin
        {
            get { return Role == "Organization Administrator" || Role == "System Administrator"; }
        }
    }

    class Group : Entity
    {
        public override Kind Kind { get { return Kind.Group; } }
        public string Description = "";
        public string Role = "vApp User";
    }

    class Host
    {
        public string Name;
        public string Moref;
    }

    // A vSphere storage policy as the vCenter server knows it; VDC storage profiles point at one.
    class StoragePolicy
    {
        public string Name;
        public string Moref;
    }

    class VCenter : Entity
    {
        public override Kind Kind { get { return Kind.VCenter; } }
        public string Url = "";
        public string InstanceUuid = "";
        public string VcVersion = "8.0.2";
        public string UserName = "";
        public string Description = "";
        public bool Enabled = true;
        public bool Connected = true;
        public readonly List<Host> Hosts = new List<Host>();
        public readonly List<Datastore> Datastores = new List<Datastore>();
        public readonly List<StoragePolicy> Policies = new List<StoragePolicy>();
        public int NextVmMoref = 1001;

        public StoragePolicy FindPolicy(string name)
        {
            foreach (var p in Policies) if (p.Name == name) return p;
            return null;
        }
    }

    class Datastore : Entity
    {
        public override Kind Kind { get { return Kind.Datastore; } }
        public VCenter VCenter;
        public string Moref = "";
        public string Type = "VMFS6";
        public long CapacityMB;
        public long UsedMB;
    }

    class ProviderVdc : Entity
    {
        public override Kind Kind { get { return Kind.ProviderVdc; } }
        public VCenter VCenter;
        public string Description = "";
        public string ResourcePool = "";
        public readonly List<Datastore> Datastores = new List<Datastore>();
    }

    class Vdc : Entity
    {
        public override Kind Kind { get { return Kind.Vdc; } }
        public ProviderVdc Pvdc;
        public string Description = "";
        public string AllocationModel = "AllocationVApp";
        public string ResourcePool = "";
        public bool Enabled = true;
        public long CpuLimitMhz;
        public long MemoryLimitMB;
        public readonly List<StorageProfile> Profiles = new List<StorageProfile>();
        public readonly List<Network> Networks = new List<Network>();
        public readonly List<VApp> VApps = new List<VApp>();
        public readonly List<VAppTemplate> Templates = new List<VAppTemplate>();

        public StorageProfile DefaultProfile
        {
            get
            {
                foreach (var p in Profiles) if (p.IsDefault) return p;
                return Profiles.Count > 0 ? Profiles[0] : null;
            }
        }

        public VCenter VCenter { get { return Pvdc == null ? null : Pvdc.VCenter; } }
    }

    class StorageProfile : Entity
    {
        public override Kind Kind { get { return Kind.StorageProfile; } }
        public Vdc Vdc;
        public StoragePolicy Policy;
        public long LimitMB;   // 0 means unlimited
        public long UsedMB;
        public bool IsDefault;
        public bool Enabled = true;
    }

    class Network : Entity
    {
        public override Kind Kind { get { return Kind.Network; } }
        public Vdc Vdc;
        public string Description = "";
        public string FenceMode = "bridged";
        public string Gateway = "192.168.0.1";
        public string Netmask = "255.255.255.0";
        public string Dns = "";
        public string IpStart = "192.168.0.10";
        public string IpEnd = "192.168.0.250";
        public bool Shared;
        public int NextIp;
    }

    // What vApps and vApp templates share: a VDC and a list of VMs.
    abstract class VAppBase : Entity
    {
        public Vdc Vdc;
        public string Description = "";
        public DateTime Created;
        public readonly List<Vm> Vms = new List<Vm>();

        public Vm FindVm(string name)
        {
            foreach (var v in Vms) if (string.Equals(v.Name, name, StringComparison.Ordinal)) return v;
            return null;
        }
    }

    class VApp : VAppBase
    {
        public override Kind Kind { get { return Kind.VApp; } }
        public User Owner;
        public bool AutoNature;
        public bool SharedToEveryone;
        public string EveryoneLevel = "ReadOnly";
        public readonly List<AccessEntry> Acl = new List<AccessEntry>();
        public readonly List<VAppNet> Nets = new List<VAppNet>();

        public VAppNet FindNet(string name)
        {
            foreach (var n in Nets) if (n.Name == name) return n;
            return null;
        }
    }

    class AccessEntry
    {
        public Entity Subject; // a User or a Group
        public string Level;   // FullControl, Change, ReadOnly
    }

    class VAppNet
    {
        public string Name;
        public Network Parent;
        public string FenceMode = "bridged";
    }

    class VAppTemplate : VAppBase
    {
        public override Kind Kind { get { return Kind.VAppTemplate; } }
        public Catalog Catalog;
        public string CatalogItemId;
    }

    class Catalog : Entity
    {
        public override Kind Kind { get { return Kind.Catalog; } }
        public string Description = "";
        public bool Published;
        public readonly List<VAppTemplate> Items = new List<VAppTemplate>();
    }

    class Nic
    {
        public int Index;
        public string Network; // vApp network name, or "none"
        public string Ip = "";
        public string Mac = "";
        public bool Connected = true;
        public string Mode = "POOL"; // DHCP, MANUAL, POOL, NONE
    }

    class Vm : Entity
    {
        public override Kind Kind { get { return Kind.Vm; } }
        public VAppBase Parent;
        public Power Power;
        public bool Deployed;
        public string Description = "";
        public string ComputerName = "";
        public string OsType = "otherLinux64Guest";
        public string GuestOs = "Other Linux (64-bit)";
        public int Cpus = 1;
        public int MemoryMB = 2048;
        public int HwVersion = 19;
        public int ToolsVersion = 12352;
        public long DiskMB = 40960;
        public VCenter VCenter;
        public string Moref = "";
        public Host Host;
        public Datastore Datastore;
        public StorageProfile Profile;
        public List<Nic> Nics = new List<Nic>();
        public DateTime Created;
        public string LocalId = "";

        public bool IsTemplate { get { return Parent is VAppTemplate; } }
        public Vdc Vdc { get { return Parent.Vdc; } }
    }
}
