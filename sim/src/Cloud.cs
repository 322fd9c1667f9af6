// The inventory: every object by id, one ordered list per kind, and the helpers that add and remove objects
// while keeping those indexes consistent. All access happens under Gate.
using System;
using System.Collections.Generic;
using System.Security.Cryptography;
using System.Text;

namespace VcdSim
{
    class ApiVersion
    {
        public string Text;
        public bool Deprecated;
        public double Number;
    }

    class Cloud
    {
        public readonly object Gate = new object();
        // Bumped on every change that a query could see; cached query results are keyed by it.
        public long Version;

        public readonly Dictionary<string, Entity> ById = new Dictionary<string, Entity>(StringComparer.OrdinalIgnoreCase);
        public readonly List<Org> Orgs = new List<Org>();
        public readonly List<User> Users = new List<User>();
        public readonly List<Group> Groups = new List<Group>();
        public readonly List<VCenter> VCenters = new List<VCenter>();
        public readonly List<Datastore> Datastores = new List<Datastore>();
        public readonly List<ProviderVdc> Pvdcs = new List<ProviderVdc>();
        public readonly List<Vdc> Vdcs = new List<Vdc>();
        public readonly List<StorageProfile> Profiles = new List<StorageProfile>();
        public readonly List<Network> Networks = new List<Network>();
        public readonly List<Catalog> Catalogs = new List<Catalog>();
        public readonly List<VAppTemplate> Templates = new List<VAppTemplate>();
        public readonly List<VApp> VApps = new List<VApp>();
        // Every VM, those of vApp templates included, in creation order (the query service's default order).
        public readonly List<Vm> Vms = new List<Vm>();
        // vCenter id + "/" + moref of every VM the cloud manages.
        public readonly Dictionary<string, Vm> ByMoref = new Dictionary<string, Vm>();

        public string ProductVersion = "10.5.1.23400185";
        public string ProductBuildDate = "Thu Feb 01 09:34:05 UTC 2024";
        public readonly List<ApiVersion> ApiVersions = new List<ApiVersion>();
        public string SiteId;
        // Where answers put the vcloud namespace: "alternate" (a prefix in every other answer), "ns5", "none".
        public string XmlPrefix = "alternate";

        readonly MD5 md5 = MD5.Create();

        public Cloud()
        {
            SiteId = StableId("site");
        }

        // A uuid derived from a seed text, so that a fixture or a generated cloud has the same ids on every run;
        // never one that is already taken.
        public string StableId(string seed)
        {
            string id = StableIdFor(seed);
            int n = 1;
            while (ById.ContainsKey(id))
                id = StableIdFor(seed + "#" + (n++));
            return id;
        }

        public string StableIdFor(string seed)
        {
            byte[] h = md5.ComputeHash(Encoding.UTF8.GetBytes(seed));
            h[6] = (byte)((h[6] & 0x0f) | 0x40);
            h[8] = (byte)((h[8] & 0x3f) | 0x80);
            var sb = new StringBuilder(36);
            for (int i = 0; i < 16; i++)
            {
                if (i == 4 || i == 6 || i == 8 || i == 10) sb.Append('-');
                sb.Append(h[i].ToString("x2"));
            }
            return sb.ToString();
        }

        public static string RandomId()
        {
            return Guid.NewGuid().ToString("D");
        }

        // Told of every change, under Gate (the journal of a long run).
        public Action Observer;

        public void Changed()
        {
            Version++;
            if (Observer != null) Observer();
        }

        public T Register<T>(T e) where T : Entity
        {
            ById[e.Id] = e;
            return e;
        }

        public Entity Find(string id)
        {
            Entity e;
            return id != null && ById.TryGetValue(id, out e) ? e : null;
        }

        public T Find<T>(string id) where T : Entity
        {
            return Find(id) as T;
        }

        public void AddVm(Vm vm)
        {
            Register(vm);
            vm.Parent.Vms.Add(vm);
            Vms.Add(vm);
            if (vm.VCenter != null && vm.Moref.Length > 0)
                ByMoref[vm.VCenter.Id + "/" + vm.Moref] = vm;
            Changed();
        }

        public void RemoveVm(Vm vm)
        {
            vm.Parent.Vms.Remove(vm);
            Vms.Remove(vm);
            ById.Remove(vm.Id);
            if (vm.VCenter != null) ByMoref.Remove(vm.VCenter.Id + "/" + vm.Moref);
            if (vm.Profile != null) vm.Profile.UsedMB = Math.Max(0, vm.Profile.UsedMB - vm.DiskMB);
            Changed();
        }

        public void AddVApp(VApp va)
        {
            Register(va);
            va.Vdc.VApps.Add(va);
            VApps.Add(va);
            Changed();
        }

        public void RemoveVApp(VApp va)
        {
            foreach (var vm in va.Vms.ToArray()) RemoveVm(vm);
            va.Vdc.VApps.Remove(va);
            VApps.Remove(va);
            ById.Remove(va.Id);
            Changed();
        }

        public Vm FindByMoref(VCenter vc, string moref)
        {
            Vm vm;
            return ByMoref.TryGetValue(vc.Id + "/" + moref, out vm) ? vm : null;
        }

        public ApiVersion HighestVersion
        {
            get
            {
                ApiVersion best = null;
                foreach (var v in ApiVersions) if (best == null || v.Number > best.Number) best = v;
                return best;
            }
        }

        public ApiVersion FindVersion(string text)
        {
            foreach (var v in ApiVersions) if (v.Text == text) return v;
            return null;
        }

        // A list that does not parse changes nothing.
        public void SetApiVersions(string list)
        {
            var parsed = new List<ApiVersion>();
            foreach (var raw in list.Split(','))
            {
                string t = raw.Trim();
                if (t.Length == 0) continue;
                bool dep = t.EndsWith("D", StringComparison.Ordinal);
                if (dep) t = t.Substring(0, t.Length - 1);
                double num;
                if (!double.TryParse(t, System.Globalization.NumberStyles.Float,
                                     System.Globalization.CultureInfo.InvariantCulture, out num))
                    throw new ArgumentException("not an API version: " + raw);
                parsed.Add(new ApiVersion { Text = t, Deprecated = dep, Number = num });
            }
            if (parsed.Count == 0) throw new ArgumentException("no API versions given");
            ApiVersions.Clear();
            ApiVersions.AddRange(parsed);
        }

        // The text the server lists in a 406 answer: highest first, deprecated ones marked [D].
        public string VersionListText()
        {
            var list = new List<ApiVersion>(ApiVersions);
            list.Sort((a, b) => b.Number.CompareTo(a.Number));
            var parts = new List<string>();
            foreach (var v in list) parts.Add(v.Deprecated ? v.Text + " [D]" : v.Text);
            return "[" + string.Join(", ", parts) + "]";
        }

        // vApp status number from its VMs: 4 all on, 8 all off, 3 all suspended, 10 mixed, 1 empty.
        public static int VAppStatus(VAppBase va)
        {
            if (va is VAppTemplate) return 8;
            if (va.Vms.Count == 0) return 1;
            bool on = false, off = false, susp = false;
            foreach (var vm in va.Vms)
            {
                if (vm.Power == Power.On) on = true;
                else if (vm.Power == Power.Off) off = true;
                else susp = true;
            }
            int kinds = (on ? 1 : 0) + (off ? 1 : 0) + (susp ? 1 : 0);
            if (kinds > 1) return 10;
            return on ? 4 : susp ? 3 : 8;
        }

        public static bool VAppDeployed(VAppBase va)
        {
            foreach (var vm in va.Vms) if (vm.Deployed) return true;
            return false;
        }

        public static int VmStatus(Vm vm)
        {
            if (vm.IsTemplate) return 8;
            return vm.Power == Power.On ? 4 : vm.Power == Power.Suspended ? 3 : 8;
        }

        public static string StatusName(int status)
        {
            switch (status)
            {
                case -1: return "FAILED_CREATION";
                case 0: return "UNRESOLVED";
                case 1: return "RESOLVED";
                case 2: return "DEPLOYED";
                case 3: return "SUSPENDED";
                case 4: return "POWERED_ON";
                case 8: return "POWERED_OFF";
                case 10: return "MIXED";
                default: return "UNKNOWN";
            }
        }

        public string NextMoref(VCenter vc)
        {
            string m;
            do { m = "vm-" + (vc.NextVmMoref++); } while (ByMoref.ContainsKey(vc.Id + "/" + m));
            return m;
        }

        int macCounter;
        public string NextMac()
        {
            int n = ++macCounter;
            return string.Format("00:50:56:{0:x2}:{1:x2}:{2:x2}", (n >> 16) & 0xff, (n >> 8) & 0xff, n & 0xff);
        }

        public static string NextIp(Network net)
        {
            if (net == null) return "";
            string[] p = net.IpStart.Split('.');
            int a, b, c, d;
            if (p.Length != 4 || !int.TryParse(p[0], out a) || !int.TryParse(p[1], out b) ||
                !int.TryParse(p[2], out c) || !int.TryParse(p[3], out d))
                return "";
            long v = ((long)a << 24) + (b << 16) + (c << 8) + d + net.NextIp++;
            return string.Format("{0}.{1}.{2}.{3}", (v >> 24) & 255, (v >> 16) & 255, (v >> 8) & 255, v & 255);
        }
    }
}
