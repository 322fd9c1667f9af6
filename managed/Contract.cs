// The types that native callers reach by name: enumerations, record structures, typed lists, the list
// factory and the list enumerators. Native code finds every class, method and field here by its exact
// name and never by signature, so no name in this file may be overloaded.
using System.Collections;
using System.Collections.Generic;

namespace vCloudSDKWrapper
{
    // Kinds of cloud entities. Native code stores and passes these numbers unchanged.
    public enum EInventoryType : int
    {
        eInventoryUnknown = 0,
        eInventoryCloud = 1,
        eInventoryOrg = 2,
        eInventoryOrgVdc = 3,
        eInventoryVApp = 4,
        eInventoryVM = 5,
        eInventoryVCenter = 6,
        eInventoryProviderVdc = 7,
        eInventoryNetwork = 8,
        eInventoryStorageProfile = 9,
        eInventoryVAppTemplate = 10,
        eInventoryCatalog = 11,
        eInventoryDatastore = 12
    }

    // Which name a wildcard VM search matches against.
    public enum EFilterType : int
    {
        eFilterVMName = 0,
        eFilterVAppName = 1,
        eFilterVdcName = 2,
        eFilterOrgName = 3
    }

    // Native code creates these structures boxed without running a constructor, so every field must
    // tolerate starting as zero or null.

    public struct SInventoryLib
    {
        public string name;
        public string href;
        public EInventoryType type;
        public SInventoryLibList children;
    }

    public struct SVMInfoLib
    {
        public string name;
        public string uuid;
        public string hostName;
        public string moref;
        public string guestOSName;
        public string guestOSVersion;
        public string poweredState;
    }

    public struct SStorageProfileInfoLib
    {
        public string name;
        public string guid;
        public string moref;
        public long i64TotalSizeInBytes;
        public long i64FreeSpaceInBytes;
        public bool isDefault;
    }

    public struct SMgmtVersionLib
    {
        public string strVersion;
        public string strBuild;
        public string strFullVersion;
    }

    public struct SVCloudUserLib
    {
        public string name;
        public bool group;
        public bool fullAccess;
        public bool readAccess;
    }

    // Typed lists. Each declares its own single Add because native code looks Add up on the list's own
    // runtime class, not on a base class.

    public sealed class SStringInfoLibList : IEnumerable<string>
    {
        private readonly List<string> items = new List<string>();
        public void Add(string item) { items.Add(item); }
        public int Count { get { return items.Count; } }
        public string this[int index] { get { return items[index]; } }
        public IEnumerator<string> GetEnumerator() { return items.GetEnumerator(); }
        IEnumerator IEnumerable.GetEnumerator() { return items.GetEnumerator(); }
    }

    public sealed class SStorageProfileInfoLibList : IEnumerable<SStorageProfileInfoLib>
    {
        private readonly List<SStorageProfileInfoLib> items = new List<SStorageProfileInfoLib>();
        public void Add(SStorageProfileInfoLib item) { items.Add(item); }
        public int Count { get { return items.Count; } }
        public SStorageProfileInfoLib this[int index] { get { return items[index]; } }
        public IEnumerator<SStorageProfileInfoLib> GetEnumerator() { return items.GetEnumerator(); }
        IEnumerator IEnumerable.GetEnumerator() { return items.GetEnumerator(); }
    }

    public sealed class SVCloudUserLibList : IEnumerable<SVCloudUserLib>
    {
        private readonly List<SVCloudUserLib> items = new List<SVCloudUserLib>();
        public void Add(SVCloudUserLib item) { items.Add(item); }
        public int Count { get { return items.Count; } }
        public SVCloudUserLib this[int index] { get { return items[index]; } }
        public IEnumerator<SVCloudUserLib> GetEnumerator() { return items.GetEnumerator(); }
        IEnumerator IEnumerable.GetEnumerator() { return items.GetEnumerator(); }
    }

    public sealed class SInventoryLibList : IEnumerable<SInventoryLib>
    {
        private readonly List<SInventoryLib> items = new List<SInventoryLib>();
        public void Add(SInventoryLib item) { items.Add(item); }
        public int Count { get { return items.Count; } }
        public SInventoryLib this[int index] { get { return items[index]; } }
        public IEnumerator<SInventoryLib> GetEnumerator() { return items.GetEnumerator(); }
        IEnumerator IEnumerable.GetEnumerator() { return items.GetEnumerator(); }
    }

    public sealed class SVMInfoLibList : IEnumerable<SVMInfoLib>
    {
        private readonly List<SVMInfoLib> items = new List<SVMInfoLib>();
        public void Add(SVMInfoLib item) { items.Add(item); }
        // Room for this many items in all, made at once.
        internal void Reserve(int count) { if (items.Capacity < count) items.Capacity = count; }
        public int Count { get { return items.Count; } }
        public SVMInfoLib this[int index] { get { return items[index]; } }
        public IEnumerator<SVMInfoLib> GetEnumerator() { return items.GetEnumerator(); }
        IEnumerator IEnumerable.GetEnumerator() { return items.GetEnumerator(); }
    }

    // New empty lists for native callers, one method per element type.
    public static class vCloudSDKWrapperFactory
    {
        public static SStringInfoLibList CreateSStringInfoLibList() { return new SStringInfoLibList(); }
        public static SStorageProfileInfoLibList CreateSStorageProfileInfoLibList() { return new SStorageProfileInfoLibList(); }
        public static SVCloudUserLibList CreateSVCloudUserLibList() { return new SVCloudUserLibList(); }
        public static SInventoryLibList CreateSInventoryLibList() { return new SInventoryLibList(); }
    }

    // Enumerators for native callers: static GetEnumerator(list), then MoveNext() and Current() as plain
    // methods. Each takes a snapshot of the list, accepts any object (a list of another kind, or null,
    // enumerates as empty, since native code cannot check the type), and never throws from Current().

    internal sealed class Snapshot<T>
    {
        private readonly T[] items;
        private int index = -1;
        public Snapshot(IEnumerable<T> source) { items = source == null ? new T[0] : new List<T>(source).ToArray(); }
        public bool MoveNext()
        {
            if (index < items.Length) index++;
            return index < items.Length;
        }
        public T Current() { return index >= 0 && index < items.Length ? items[index] : default(T); }
    }

    public sealed class StringEnumerator
    {
        private readonly Snapshot<string> snap;
        private StringEnumerator(object list) { snap = new Snapshot<string>(list as IEnumerable<string>); }
        public static StringEnumerator GetEnumerator(object list) { return new StringEnumerator(list); }
        public bool MoveNext() { return snap.MoveNext(); }
        public string Current() { return snap.Current(); }
    }

    public sealed class SVCloudUserLibListEnumerator
    {
        private readonly Snapshot<SVCloudUserLib> snap;
        private SVCloudUserLibListEnumerator(object list) { snap = new Snapshot<SVCloudUserLib>(list as IEnumerable<SVCloudUserLib>); }
        public static SVCloudUserLibListEnumerator GetEnumerator(object list) { return new SVCloudUserLibListEnumerator(list); }
        public bool MoveNext() { return snap.MoveNext(); }
        public SVCloudUserLib Current() { return snap.Current(); }
    }

    public sealed class SStorageProfileInfoLibListEnumerator
    {
        private readonly Snapshot<SStorageProfileInfoLib> snap;
        private SStorageProfileInfoLibListEnumerator(object list) { snap = new Snapshot<SStorageProfileInfoLib>(list as IEnumerable<SStorageProfileInfoLib>); }
        public static SStorageProfileInfoLibListEnumerator GetEnumerator(object list) { return new SStorageProfileInfoLibListEnumerator(list); }
        public bool MoveNext() { return snap.MoveNext(); }
        public SStorageProfileInfoLib Current() { return snap.Current(); }
    }

    public sealed class SInventoryLibListEnumerator
    {
        private readonly Snapshot<SInventoryLib> snap;
        private SInventoryLibListEnumerator(object list) { snap = new Snapshot<SInventoryLib>(list as IEnumerable<SInventoryLib>); }
        public static SInventoryLibListEnumerator GetEnumerator(object list) { return new SInventoryLibListEnumerator(list); }
        public bool MoveNext() { return snap.MoveNext(); }
        public SInventoryLib Current() { return snap.Current(); }
    }

    public sealed class SVMInfoLibListEnumerator
    {
        private readonly Snapshot<SVMInfoLib> snap;
        private SVMInfoLibListEnumerator(object list) { snap = new Snapshot<SVMInfoLib>(list as IEnumerable<SVMInfoLib>); }
        public static SVMInfoLibListEnumerator GetEnumerator(object list) { return new SVMInfoLibListEnumerator(list); }
        public bool MoveNext() { return snap.MoveNext(); }
        public SVMInfoLib Current() { return snap.Current(); }
    }
}
