// The test double's records, list factory and enumerators: the shapes the bridge reads by name.
using System;
using System.Collections.Generic;

namespace vCloudSDKWrapper
{
    public enum EInventoryType
    {
        eInventoryUnknown = 0, eInventoryCloud = 1, eInventoryOrg = 2, eInventoryOrgVdc = 3, eInventoryVApp = 4,
        eInventoryVM = 5, eInventoryVCenter = 6, eInventoryProviderVdc = 7, eInventoryNetwork = 8,
        eInventoryStorageProfile = 9, eInventoryVAppTemplate = 10, eInventoryCatalog = 11, eInventoryDatastore = 12
    }

    public enum EFilterType { eFilterVMName = 0, eFilterVAppName = 1, eFilterVdcName = 2, eFilterOrgName = 3 }

    public struct SVMInfoLib
    {
        public string name, uuid, hostName, moref, guestOSName, guestOSVersion, poweredState;
    }

    // A VM record without the poweredState field, for the missing-field rule.
    public struct SVMInfoLibNoState
    {
        public string name, uuid, hostName, moref, guestOSName, guestOSVersion;
    }

    public struct SStorageProfileInfoLib
    {
        public string name, guid, moref;
        public long i64TotalSizeInBytes, i64FreeSpaceInBytes;
        public bool isDefault;
    }

    public struct SVCloudUserLib
    {
        public string name;
        public bool group, fullAccess, readAccess;
    }

    public struct SInventoryLib
    {
        public string name;
        public EInventoryType type;
        public string href;
        public List<SInventoryLib> children;
    }

    public struct SMgmtVersionLib
    {
        public string strVersion, strBuild, strFullVersion;
    }

    // A struct of every field kind the value layer reads, for its own tests.
    public struct SFieldKinds
    {
        public string text, nullText, emptyText, letter;
        public bool flag;
        public int int32;
        public long int64;
        public DateTime when;
        public SMgmtVersionLib nested;
        public int minusOne;
        public EInventoryType kind;
        public List<string> names;
    }

    public class FieldHolder
    {
        public string text = "hello";
        public string empty = "";
        public string none = null;
        public bool constructed;
        public FieldHolder() { constructed = true; }
    }

    // Objects with a Ticks property that are not a DateTime: a value type whose Ticks raises, and a
    // reference type, which the runtime cannot unbox.
    public struct TicksThrows
    {
        public long Ticks { get { throw new TestWrapperException("Ticks failed on purpose"); } }
    }

    public class TicksClass
    {
        public long Ticks { get { return 630822816000000000L; } }
    }

    // An enumerator class that lacks its Current method.
    public class EnumeratorWithoutCurrent
    {
        public static object GetEnumerator(object list) { return new EnumeratorWithoutCurrent(); }
        public object MoveNext() { return false; }
    }

    // A list whose Count is wrong ("count-lies": int.MaxValue) or raises ("count-throws"): the count is
    // only a hint, the enumeration is what the bridge reads.
    public class CountedList : System.Collections.IEnumerable
    {
        readonly System.Collections.IEnumerable items;
        public CountedList(System.Collections.IEnumerable items) { this.items = items; }
        public int Count
        {
            get
            {
                if (TestControl.Has("count-throws")) throw new TestWrapperException("Count failed on purpose");
                return int.MaxValue;
            }
        }
        public System.Collections.IEnumerator GetEnumerator() { return items.GetEnumerator(); }
    }

    // A list type without Add, for the native-to-managed fill's missing-method rule.
    public class ListWithoutAdd
    {
        public int Count() { return 0; }
    }

#if !LEAN_DOUBLE
    // The lean build of the double (LEAN_DOUBLE) lacks the list factory, StringEnumerator and the Current
    // method of SVMInfoLibListEnumerator, for the bridge's messages about each.
    public static class vCloudSDKWrapperFactory
    {
        static void Check()
        {
            if (TestControl.Has("factory-throws")) throw new TestWrapperException("factory failed on purpose");
        }

        public static object CreateSStringInfoLibList() { Check(); return TestControl.Has("factory-null") ? null : new List<string>(); }
        public static object CreateSStorageProfileInfoLibList() { Check(); return TestControl.Has("factory-null") ? null : new List<SStorageProfileInfoLib>(); }
        public static object CreateSVCloudUserLibList() { Check(); return TestControl.Has("factory-null") ? null : new List<SVCloudUserLib>(); }
        public static object CreateSInventoryLibList()
        {
            Check();
            if (TestControl.Has("factory-null")) return null;
            if (TestControl.Has("list-without-add")) return new ListWithoutAdd();
            return new AddCheckingList();
        }
    }

#endif

    // The inventory list handed to the bridge for filling: a List whose Add can fail on request.
    public class AddCheckingList : List<SInventoryLib>
    {
        public new void Add(SInventoryLib item)
        {
            if (TestControl.Has("add-throws")) throw new TestWrapperException("Add failed on purpose");
            base.Add(item);
        }
    }

    // The enumeration and its faults, shared by the five enumerator classes below. Each of those declares its
    // own GetEnumerator, MoveNext and Current, as the bridge looks them up in that class alone.
    public class ListEnumerator
    {
        readonly System.Collections.IEnumerator inner;
        public ListEnumerator(object list) { inner = ((System.Collections.IEnumerable)list).GetEnumerator(); }

        public object MoveNext()
        {
            if (TestControl.Has("movenext-throws")) throw new TestWrapperException("MoveNext failed on purpose");
            if (TestControl.Has("movenext-null")) return null;
            if (TestControl.Has("movenext-string")) return "yes";
            return inner.MoveNext();
        }

        public object Current()
        {
            if (TestControl.Has("current-throws")) throw new TestWrapperException("Current failed on purpose");
            if (TestControl.Has("current-null")) return null;
            return inner.Current;
        }

        public static bool Refuse()
        {
            if (TestControl.Has("enum-throws")) throw new TestWrapperException("GetEnumerator failed on purpose");
            return TestControl.Has("enum-null");
        }
    }

#if !LEAN_DOUBLE
    public class StringEnumerator
    {
        readonly ListEnumerator e;
        StringEnumerator(object list) { e = new ListEnumerator(list); }
        public static object GetEnumerator(object list) { return ListEnumerator.Refuse() ? null : new StringEnumerator(list); }
        public object MoveNext() { return e.MoveNext(); }
        public object Current() { return e.Current(); }
    }

#endif

    public class SVCloudUserLibListEnumerator
    {
        readonly ListEnumerator e;
        SVCloudUserLibListEnumerator(object list) { e = new ListEnumerator(list); }
        public static object GetEnumerator(object list) { return ListEnumerator.Refuse() ? null : new SVCloudUserLibListEnumerator(list); }
        public object MoveNext() { return e.MoveNext(); }
        public object Current() { return e.Current(); }
    }

    public class SStorageProfileInfoLibListEnumerator
    {
        readonly ListEnumerator e;
        SStorageProfileInfoLibListEnumerator(object list) { e = new ListEnumerator(list); }
        public static object GetEnumerator(object list) { return ListEnumerator.Refuse() ? null : new SStorageProfileInfoLibListEnumerator(list); }
        public object MoveNext() { return e.MoveNext(); }
        public object Current() { return e.Current(); }
    }

    public class SInventoryLibListEnumerator
    {
        readonly ListEnumerator e;
        SInventoryLibListEnumerator(object list) { e = new ListEnumerator(list); }
        public static object GetEnumerator(object list) { return ListEnumerator.Refuse() ? null : new SInventoryLibListEnumerator(list); }
        public object MoveNext() { return e.MoveNext(); }
        public object Current() { return e.Current(); }
    }

    public class SVMInfoLibListEnumerator
    {
        readonly ListEnumerator e;
        SVMInfoLibListEnumerator(object list) { e = new ListEnumerator(list); }
        public static object GetEnumerator(object list) { return ListEnumerator.Refuse() ? null : new SVMInfoLibListEnumerator(list); }
        public object MoveNext() { return e.MoveNext(); }
#if !LEAN_DOUBLE
        public object Current() { return e.Current(); }
#endif
    }
}
