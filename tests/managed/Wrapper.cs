// The test double of the managed wrapper: every method records its call, writes its scripted outputs and
// returns its scripted result (TestControl).
using System.Collections.Generic;
using System.Linq;

namespace vCloudSDKWrapper
{
    public class vCloudWrapper
    {
        static int created;
        public readonly int Serial;
        bool loggedIn;
        readonly System.Threading.ThreadLocal<string> lastError = new System.Threading.ThreadLocal<string>(() => "");

        public vCloudWrapper()
        {
            TestControl.ConstructorGate();
            Serial = System.Threading.Interlocked.Increment(ref created);
        }

        // The scripted result of `method`. An object whose constructor has not run (Serial 0) refuses
        // every call; with the "require-login" fault, so does an object without a login. A false result
        // leaves a text for getLastErrorString on the calling thread, as the real wrapper does.
        object Done(string method)
        {
            if (Serial == 0) throw new TestWrapperException(method + " called on a wrapper object that was never constructed");
            if (TestControl.Has("require-login") && !loggedIn && method != "Login" && method != "Logout" && method != "Initialize")
            {
                lastError.Value = method + ": not logged in (wrapper " + Serial + ")";
                return false;
            }
            object result = TestControl.BoolResult(method);
            if (result is bool && !(bool)result) lastError.Value = method + " failed (wrapper " + Serial + ")";
            return result;
        }

        // ---- connection and state ----

        public object Initialize(string logFile, string options, ulong debugLevel)
        {
            TestControl.Record("Initialize", logFile, options, debugLevel);
            return Done("Initialize");
        }

        public object Login(string url, string user, string password)
        {
            TestControl.Record("Login", url, user, password);
            object result = Done("Login");
            bool now = result is bool && (bool)result;
            if (now && !loggedIn) TestControl.SessionOpened();
            if (!now && loggedIn) TestControl.SessionClosed();
            loggedIn = now;
            return result;
        }

        public object Logout()
        {
            TestControl.Record("Logout", loggedIn ? "logged-in" : "not-logged-in", Serial);
            if (loggedIn) TestControl.SessionClosed();
            loggedIn = false;
            return Done("Logout");
        }

        // Not recorded: the bridge asks for the text after every failure the wrapper reports.
        public string getLastErrorString()
        {
            string a = TestControl.Action("getLastErrorString", "text");
            if (a == "null") return null;
            if (a == "throw") throw new TestWrapperException("getLastErrorString failed on purpose");
            if (a != "text") return a;
            return lastError.Value.Length > 0 ? lastError.Value : TestControl.LastError;
        }

        // ---- VM operations ----

        public object FindVCenterServer(string vc) { TestControl.Record("FindVCenterServer", vc); return Done("FindVCenterServer"); }
        public object PowerOnVM(string org, string vdc, string vm) { TestControl.Record("PowerOnVM", org, vdc, vm); return Done("PowerOnVM"); }
        public object FindVM(string org, string vdc, string vm) { TestControl.Record("FindVM", org, vdc, vm); return Done("FindVM"); }
        public object FindVMInVApp(string org, string vdc, string vapp, string vm) { TestControl.Record("FindVMInVApp", org, vdc, vapp, vm); return Done("FindVMInVApp"); }
        public object FindVMByNameFromVapp(string org, string vapp, string vm) { TestControl.Record("FindVMByNameFromVapp", org, vapp, vm); return Done("FindVMByNameFromVapp"); }

        public object FindVMByNameFromVappAndGetMoref(string org, string vapp, string vm, ref string moref)
        {
            const string m = "FindVMByNameFromVappAndGetMoref";
            TestControl.Record(m, org, vapp, vm, moref);
            TestControl.WriteOut(m, 0, ref moref);
            return Done(m);
        }

        public object DeleteVMByNameFromVapp(string org, string vapp, string vm) { TestControl.Record("DeleteVMByNameFromVapp", org, vapp, vm); return Done("DeleteVMByNameFromVapp"); }

        public object BackupVM(string org, string vdc, string vapp, string vm, ref string vmId, ref string vcName,
                               ref string moref, ref string storageProfile, ref string vmXml)
        {
            const string m = "BackupVM";
            TestControl.Record(m, org, vdc, vapp, vm, vmId, vcName, moref, storageProfile, vmXml);
            TestControl.WriteOut(m, 0, ref vmId); TestControl.WriteOut(m, 1, ref vcName); TestControl.WriteOut(m, 2, ref moref);
            TestControl.WriteOut(m, 3, ref storageProfile); TestControl.WriteOut(m, 4, ref vmXml);
            return Done(m);
        }

        public object BackupVMWithVMRef(string org, string vmRef, ref string vappName, ref string vdcName, ref string vmName,
                                        ref string vcName, ref string moref, ref string vmXml)
        {
            const string m = "BackupVMWithVMRef";
            TestControl.Record(m, org, vmRef, vappName, vdcName, vmName, vcName, moref, vmXml);
            TestControl.WriteOut(m, 0, ref vappName); TestControl.WriteOut(m, 1, ref vdcName); TestControl.WriteOut(m, 2, ref vmName);
            TestControl.WriteOut(m, 3, ref vcName); TestControl.WriteOut(m, 4, ref moref); TestControl.WriteOut(m, 5, ref vmXml);
            return Done(m);
        }

        public object RestoreVM(string org, string vdc, string vapp, string vmName, bool createVApp, string vcName, string moref,
                                string storageProfile, string network, string description, bool powerOn, ref string vmRef,
                                bool overwrite, string metadata)
        {
            const string m = "RestoreVM";
            TestControl.Record(m, org, vdc, vapp, vmName, createVApp, vcName, moref, storageProfile, network, description,
                               powerOn, vmRef, overwrite, metadata);
            TestControl.WriteOut(m, 0, ref vmRef);
            return Done(m);
        }

        public object DeleteVM(string org, string vdc, string vapp, string vm) { TestControl.Record("DeleteVM", org, vdc, vapp, vm); return Done("DeleteVM"); }

        // ---- inventory and VM queries ----

        public object GetMgmtVersion(ref SMgmtVersionLib version)
        {
            TestControl.Record("GetMgmtVersion", version.strVersion);
            version = TestControl.Version;
            return Done("GetMgmtVersion");
        }

        // Fills a by-reference list, or replaces or clears it when scripted to.
        object FillList<T>(string method, ref List<T> list, IEnumerable<T> items)
        {
            if (TestControl.Has("null-list")) list = null;
            else
            {
                if (TestControl.Has("replace-list")) list = new List<T>();
                if (list != null) list.AddRange(items);
            }
            return Done(method);
        }

        public object GetVdcListInOrg(string org, ref List<string> list)
        {
            TestControl.Record("GetVdcListInOrg", org, list == null ? "<no list>" : "list");
            return FillList("GetVdcListInOrg", ref list, TestControl.Strings);
        }

        public object GetVappListInVdc(string org, string vdc, ref List<string> list)
        {
            TestControl.Record("GetVappListInVdc", org, vdc, list == null ? "<no list>" : "list");
            return FillList("GetVappListInVdc", ref list, TestControl.Strings);
        }

        public object GetNetworkListInVApp(string org, string vdc, string vapp, ref List<string> list)
        {
            TestControl.Record("GetNetworkListInVApp", org, vdc, vapp, list == null ? "<no list>" : "list");
            return FillList("GetNetworkListInVApp", ref list, TestControl.Strings);
        }

        public object GetAssociatedDatastoreListForVdc(string vdc, ref List<string> list)
        {
            TestControl.Record("GetAssociatedDatastoreListForVdc", vdc, list == null ? "<no list>" : "list");
            return FillList("GetAssociatedDatastoreListForVdc", ref list, TestControl.Strings);
        }

        public object GetUserListInOrg(string org, ref List<string> list)
        {
            TestControl.Record("GetUserListInOrg", org, list == null ? "<no list>" : "list");
            return FillList("GetUserListInOrg", ref list, TestControl.Strings);
        }

        public object GetStorageProfileInfo(string profile, ref SStorageProfileInfoLib info)
        {
            TestControl.Record("GetStorageProfileInfo", profile, info.name);
            if (TestControl.Profiles.Count > 0) info = TestControl.Profiles[0];
            return Done("GetStorageProfileInfo");
        }

        public object GetStorageProfileInfoByMoref(string vc, string moref, ref SStorageProfileInfoLib info)
        {
            TestControl.Record("GetStorageProfileInfoByMoref", vc, moref, info.name);
            if (TestControl.Profiles.Count > 0) info = TestControl.Profiles[0];
            return Done("GetStorageProfileInfoByMoref");
        }

        public object GetStorageProfileListInVDC(string org, string vdc, ref List<SStorageProfileInfoLib> list)
        {
            TestControl.Record("GetStorageProfileListInVDC", org, vdc, list == null ? "<no list>" : "list");
            return FillList("GetStorageProfileListInVDC", ref list, TestControl.Profiles);
        }

        public object GetManagedHypervisorsInCloud()
        {
            TestControl.Record("GetManagedHypervisorsInCloud");
            return TestControl.ListResult("GetManagedHypervisorsInCloud", TreeResult());
        }

        public object GetUsersForVM(string org, string vdc, string vm, ref List<SVCloudUserLib> list)
        {
            TestControl.Record("GetUsersForVM", org, vdc, vm, list == null ? "<no list>" : "list");
            return FillList("GetUsersForVM", ref list, TestControl.Users);
        }

        public object BrowseInventory(string org, SInventoryLib node, ulong mask, int depth)
        {
            TestControl.Record("BrowseInventory", org, node.name, node.type, node.href, mask, depth);
            TestControl.LastNode = TestControl.Render(node);
            return TestControl.ListResult("BrowseInventory", TreeResult());
        }

        static List<SInventoryLib> TreeResult()
        {
            if (!TestControl.Has("cyclic-tree")) return TestControl.Tree;
            var list = new List<SInventoryLib>();
            list.Add(new SInventoryLib { name = "loop", type = EInventoryType.eInventoryOrg, href = "/loop", children = list });
            return list;
        }

        static object VmList(string method)
        {
            if (TestControl.Has("vm-without-state"))
            {
                var reduced = TestControl.Vms.Select(v => new SVMInfoLibNoState { name = v.name, uuid = v.uuid, hostName = v.hostName,
                    moref = v.moref, guestOSName = v.guestOSName, guestOSVersion = v.guestOSVersion }).ToList();
                return TestControl.ListResult(method, reduced);
            }
            if (TestControl.Has("count-lies") || TestControl.Has("count-throws"))
                return TestControl.Action(method, "list") == "null" ? null : new CountedList(TestControl.Vms);
            return TestControl.ListResult(method, TestControl.Vms);
        }

        public object GetVMStructListForEntity(string entity, EInventoryType type, ulong mask, int max)
        {
            TestControl.Record("GetVMStructListForEntity", entity, type, mask, max);
            return VmList("GetVMStructListForEntity");
        }

        public object GetVMStructListForEntityByName(string entity, EInventoryType type, ulong mask, int max)
        {
            TestControl.Record("GetVMStructListForEntityByName", entity, type, mask, max);
            return VmList("GetVMStructListForEntityByName");
        }

        public object GetVMInfoListForMetadataTag(string key, string value, ulong mask, int max)
        {
            TestControl.Record("GetVMInfoListForMetadataTag", key, value, mask, max);
            return VmList("GetVMInfoListForMetadataTag");
        }

        public object GetVMInfoForVM(string org, string vdc, string vm, ref SVMInfoLib info)
        {
            TestControl.Record("GetVMInfoForVM", org, vdc, vm, info.name);
            if (TestControl.Vms.Count > 0) info = TestControl.Vms[0];
            return Done("GetVMInfoForVM");
        }

        public object GetVMStructListForWildCard(string pattern, EFilterType filter)
        {
            TestControl.Record("GetVMStructListForWildCard", pattern, filter);
            return VmList("GetVMStructListForWildCard");
        }

        public object QueryVcenterForVDC(string vdc, ref string vcName, ref string vcUrl)
        {
            const string m = "QueryVcenterForVDC";
            TestControl.Record(m, vdc, vcName, vcUrl);
            TestControl.WriteOut(m, 0, ref vcName);
            TestControl.WriteOut(m, 1, ref vcUrl);
            return Done(m);
        }
    }
}
