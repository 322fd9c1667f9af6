// The test double's control panel: tests script what each wrapper method does next and read back every
// call that reached the double, through the Mono API.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Linq;
using System.Text;

namespace vCloudSDKWrapper
{
    public class TestWrapperException : Exception
    {
        public TestWrapperException(string message) : base(message) { }
    }

    public static class TestControl
    {
        static readonly object gate = new object();
        static readonly Dictionary<string, string> actions = new Dictionary<string, string>();
        static readonly Dictionary<string, string> outs = new Dictionary<string, string>();
        static readonly Dictionary<string, string> seen = new Dictionary<string, string>();
        static readonly List<string> calls = new List<string>();
        static readonly HashSet<string> faults = new HashSet<string>();

        public static readonly List<SVMInfoLib> Vms = new List<SVMInfoLib>();
        public static readonly List<string> Strings = new List<string>();
        public static readonly List<SStorageProfileInfoLib> Profiles = new List<SStorageProfileInfoLib>();
        public static readonly List<SVCloudUserLib> Users = new List<SVCloudUserLib>();
        public static List<SInventoryLib> Tree = new List<SInventoryLib>();
        public static SMgmtVersionLib Version;
        public static string LastNode = "";
        public static string LastError = "";
        public static int WrapperObjects;

        // Server sessions that wrapper objects hold open: a login adds one, a logout ends it.
        static int openSessions;
        public static int OpenSessions() { return System.Threading.Volatile.Read(ref openSessions); }
        internal static void SessionOpened() { System.Threading.Interlocked.Increment(ref openSessions); }
        internal static void SessionClosed() { System.Threading.Interlocked.Decrement(ref openSessions); }

        // Holding constructors: the next wrapper constructor says it has started, then waits for a release.
        static readonly System.Threading.ManualResetEvent constructorEntered = new System.Threading.ManualResetEvent(false);
        static readonly System.Threading.ManualResetEvent constructorRelease = new System.Threading.ManualResetEvent(true);
        public static void HoldConstructors() { constructorEntered.Reset(); constructorRelease.Reset(); }
        public static bool WaitConstructorEntered() { return constructorEntered.WaitOne(60000); }
        public static void ReleaseConstructors() { constructorRelease.Set(); }
        internal static void ConstructorGate()
        {
            if (constructorRelease.WaitOne(0)) return;
            constructorEntered.Set();
            constructorRelease.WaitOne();
        }

        public static void Reset()
        {
            lock (gate)
            {
                actions.Clear(); outs.Clear(); seen.Clear(); calls.Clear(); faults.Clear();
                Vms.Clear(); Strings.Clear(); Profiles.Clear(); Users.Clear();
                Tree = new List<SInventoryLib>();
                Version = new SMgmtVersionLib();
                LastNode = ""; LastError = "";
                openSessions = 0;
            }
        }

        // What `method` does from now on: "true", "false", "null", "throw", "list" (the default for list
        // results), "out-then-false", "out-then-throw".
        public static void Script(string method, string action) { lock (gate) actions[method] = action; }

        // The value that `method` writes into its index-th by-reference text: "<null>" writes null,
        // "<keep>" leaves the slot alone (the default is "<keep>").
        public static void Out(string method, int index, string value) { lock (gate) outs[method + "#" + index] = value; }

        // Faults of the list machinery: "factory-throws", "factory-null", "enum-null", "movenext-throws",
        // "movenext-null", "movenext-string", "current-null", "current-throws", "add-throws", "replace-list",
        // "null-list", "cyclic-tree", "require-login" (operations other than Login, Logout and Initialize
        // fail on a wrapper object without a login).
        public static void Fault(string fault) { lock (gate) faults.Add(fault); }
        public static bool Has(string fault) { lock (gate) return faults.Contains(fault); }

        // What `method`'s index-th by-reference text held when the method was entered; "<null>" for null,
        // "<unseen>" when the method did not run.
        public static string Seen(string method, int index)
        {
            string v;
            lock (gate) return seen.TryGetValue(method + "#" + index, out v) ? v : "<unseen>";
        }

        public static string Calls() { lock (gate) return string.Join("\n", calls); }
        public static int CallCount() { lock (gate) return calls.Count; }
        public static void ClearCalls() { lock (gate) calls.Clear(); }

        public static void SetStrings(string pipeSeparated)
        {
            Strings.Clear();
            foreach (var s in pipeSeparated.Split('|')) Strings.Add(s == "<null>" ? null : s);
        }

        // name|uuid|hostName|moref|guestOSName|guestOSVersion|poweredState; "<null>" for a null field.
        public static void AddVm(string fields)
        {
            var f = fields.Split('|').Select(x => x == "<null>" ? null : x).ToArray();
            Vms.Add(new SVMInfoLib { name = f[0], uuid = f[1], hostName = f[2], moref = f[3],
                                     guestOSName = f[4], guestOSVersion = f[5], poweredState = f[6] });
        }

        // Generates `count` VMs named vm-00000.. for scale runs.
        public static void GenerateVms(int count)
        {
            Vms.Clear();
            Vms.Capacity = count;
            for (int i = 0; i < count; i++)
            {
                string n = i.ToString("D6", CultureInfo.InvariantCulture);
                Vms.Add(new SVMInfoLib { name = "vm-" + n, uuid = "uuid-" + n, hostName = "esx-" + (i % 16),
                                         moref = "vm-" + i, guestOSName = "Debian GNU/Linux", guestOSVersion = "12",
                                         poweredState = (i % 3 == 0) ? "POWERED_OFF" : "POWERED_ON" });
            }
        }

        // name|guid|moref|total|free|isDefault
        public static void AddProfile(string fields)
        {
            var f = fields.Split('|');
            Profiles.Add(new SStorageProfileInfoLib { name = f[0], guid = f[1], moref = f[2],
                i64TotalSizeInBytes = long.Parse(f[3], CultureInfo.InvariantCulture),
                i64FreeSpaceInBytes = long.Parse(f[4], CultureInfo.InvariantCulture), isDefault = f[5] == "1" });
        }

        // name|group|full|read with 0/1 flags
        public static void AddUser(string fields)
        {
            var f = fields.Split('|');
            Users.Add(new SVCloudUserLib { name = f[0], group = f[1] == "1", fullAccess = f[2] == "1", readAccess = f[3] == "1" });
        }

        public static void SetVersion(string version, string build, string full)
        {
            Version = new SMgmtVersionLib { strVersion = version, strBuild = build, strFullVersion = full };
        }

        // A tree in the form "a(b(c),d)": names only; type is the depth + 1, href "/" + name. A leaf's
        // children list is null when its name ends in '!', else empty.
        public static void SetTree(string text)
        {
            int pos = 0;
            Tree = ParseNodes(text, ref pos, 1);
        }

        // A chain of `depth` nested nodes under one root: deep-tree runs.
        public static void SetChain(int depth)
        {
            var leaf = new List<SInventoryLib>();
            var current = leaf;
            for (int i = depth - 1; i >= 0; i--)
            {
                var list = new List<SInventoryLib>();
                list.Add(new SInventoryLib { name = "n" + i, type = EInventoryType.eInventoryOrg, href = "/n" + i, children = current });
                current = list;
            }
            Tree = current;
        }

        static List<SInventoryLib> ParseNodes(string text, ref int pos, int depth)
        {
            var list = new List<SInventoryLib>();
            while (pos < text.Length && text[pos] != ')')
            {
                int start = pos;
                while (pos < text.Length && "(),".IndexOf(text[pos]) < 0) pos++;
                string name = text.Substring(start, pos - start);
                List<SInventoryLib> children;
                if (pos < text.Length && text[pos] == '(')
                {
                    pos++;
                    children = ParseNodes(text, ref pos, depth + 1);
                    pos++; // ')'
                }
                else
                {
                    children = name.EndsWith("!") ? null : new List<SInventoryLib>();
                }
                list.Add(new SInventoryLib { name = name.TrimEnd('!'), type = (EInventoryType)depth, href = "/" + name.TrimEnd('!'), children = children });
                if (pos < text.Length && text[pos] == ',') pos++;
            }
            return list;
        }

        // "name[type,href](children)" of a managed tree, to check what a native tree became.
        public static string Render(SInventoryLib node)
        {
            var sb = new StringBuilder();
            sb.Append(node.name).Append('[').Append((int)node.type).Append(',').Append(node.href).Append(']');
            if (node.children == null) { sb.Append("<null>"); return sb.ToString(); }
            sb.Append('(');
            sb.Append(string.Join(",", node.children.Select(Render)));
            sb.Append(')');
            return sb.ToString();
        }

        // ---- managed values for the value-layer and conversion tests ----

        public static string LastNodeText() { return LastNode; }

        public static object StringsList() { return Strings; }

        // The index-th root of Tree, boxed.
        public static object TreeNode(int index) { return Tree[index]; }

        public static string RenderNode(object boxedNode) { return Render((SInventoryLib)boxedNode); }

        public static object DateFromTicks(string ticks) { return new DateTime(long.Parse(ticks, CultureInfo.InvariantCulture)); }

        public static object TicksThrowing() { return new TicksThrows(); }

        // A boxed SFieldKinds with a known value in every field.
        public static object SampleFields()
        {
            return new SFieldKinds {
                text = "h\u00e9llo", nullText = null, emptyText = "", letter = "x", flag = true, int32 = -123456789,
                int64 = -81985529216486896L, when = new DateTime(2001, 9, 9, 1, 46, 40, DateTimeKind.Utc),
                nested = new SMgmtVersionLib { strVersion = "10.4", strBuild = "2000", strFullVersion = "10.4.0.2000" },
                minusOne = -1, kind = EInventoryType.eInventoryOrg, names = new List<string> { "a" } };
        }

        public static string DescribeFields(object boxed)
        {
            var f = (SFieldKinds)boxed;
            return string.Join("|", new string[] { f.text ?? "<null>", f.nullText ?? "<null>", f.emptyText ?? "<null>",
                f.flag ? "true" : "false", f.int32.ToString(CultureInfo.InvariantCulture),
                f.int64.ToString(CultureInfo.InvariantCulture), f.when.Ticks.ToString(CultureInfo.InvariantCulture) });
        }

        public static bool HolderConstructed(object holder) { return ((FieldHolder)holder).constructed; }

        // The names of this assembly's type definitions in metadata row order (the module type excluded).
        public static string TypeNamesInRowOrder()
        {
            return string.Join("\n", typeof(TestControl).Assembly.GetTypes()
                .OrderBy(t => t.MetadataToken).Select(t => t.Name));
        }

        // ---- used by the double's methods ----

        internal static string Action(string method, string fallback)
        {
            lock (gate)
            {
                string a;
                return actions.TryGetValue(method, out a) ? a : fallback;
            }
        }

        internal static void Record(string method, params object[] args)
        {
            string line = method + "(" + string.Join("|", args.Select(Format)) + ")";
            lock (gate) calls.Add(line);
        }

        static string Format(object value)
        {
            if (value == null) return "<null>";
            if (value is bool) return (bool)value ? "true" : "false";
            if (value is Enum) return Convert.ToInt32(value, CultureInfo.InvariantCulture).ToString(CultureInfo.InvariantCulture);
            return Convert.ToString(value, CultureInfo.InvariantCulture);
        }

        // Writes the scripted value of `method`'s index-th by-reference text into `slot`.
        internal static void WriteOut(string method, int index, ref string slot)
        {
            string v;
            lock (gate)
            {
                seen[method + "#" + index] = slot ?? "<null>";
                if (!outs.TryGetValue(method + "#" + index, out v)) v = "<keep>";
            }
            if (v == "<keep>") return;
            slot = v == "<null>" ? null : v;
        }

        // The bool result of `method` after its outputs were written; throws when scripted to.
        internal static object BoolResult(string method)
        {
            string a = Action(method, "true");
            switch (a)
            {
                case "false": case "out-then-false": return false;
                case "null": return null;
                case "throw": case "out-then-throw": throw new TestWrapperException(method + " failed on purpose");
                case "true-byte-2": return true;
                default: return true;
            }
        }

        // The list result of `method`: `list`, null, or an exception.
        internal static object ListResult<T>(string method, List<T> list)
        {
            string a = Action(method, "list");
            if (a == "null") return null;
            if (a == "throw") throw new TestWrapperException(method + " failed on purpose");
            return list;
        }
    }
}
