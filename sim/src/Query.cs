// The query service: typed queries over the inventory with filters, sorting, field selection and paging.
// A query's matching set is computed once per inventory version and cached, so that walking the pages of a
// large result costs one pass over the inventory plus one page of work per request.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Linq;
using System.Text;

namespace VcdSim
{
    enum FieldKind { Text, Ref, Bool, Int, Date }

    class QField
    {
        public string Name;
        public FieldKind Kind;
        public Func<Entity, string> Str;   // Text, Bool, Int, Date
        public Func<Entity, Entity> Ref;   // Ref: the object the attribute points at
    }

    class QType
    {
        public string Name;
        public string RecordElem;
        public string RefElem;
        public bool SystemOnly;
        public bool NoReferences;
        public bool Uncached;   // the matching set changes without an inventory change (tasks)
        public Func<Session, IEnumerable<Entity>> Source;
        public readonly List<QField> Fields = new List<QField>();
        public readonly Dictionary<string, QField> ByName = new Dictionary<string, QField>(StringComparer.Ordinal);

        QType Add(string name, FieldKind k, Func<Entity, string> str, Func<Entity, Entity> rf)
        {
            var f = new QField { Name = name, Kind = k, Str = str, Ref = rf };
            Fields.Add(f);
            ByName[name] = f;
            return this;
        }

        public QType Text(string n, Func<Entity, string> f) { return Add(n, FieldKind.Text, f, null); }
        public QType Bool(string n, Func<Entity, bool> f) { return Add(n, FieldKind.Bool, e => f(e) ? "true" : "false", null); }
        public QType Int(string n, Func<Entity, long> f) { return Add(n, FieldKind.Int, e => f(e).ToString(CultureInfo.InvariantCulture), null); }
        public QType Date(string n, Func<Entity, DateTime> f) { return Add(n, FieldKind.Date, e => Api.Iso(f(e)), null); }
        public QType Ref(string n, Func<Entity, Entity> f) { return Add(n, FieldKind.Ref, null, f); }
    }

    // A datastore as one provider VDC uses it: the rows of the datastoreProviderVdcRelation query.
    class DatastoreUse : Entity
    {
        public override Kind Kind { get { return Kind.Datastore; } }
        public Datastore Store;
        public ProviderVdc Pvdc;
    }

    // A storage policy as one provider VDC offers it: the rows of the providerVdcStorageProfile query.
    class PvdcProfile : Entity
    {
        public override Kind Kind { get { return Kind.PvdcStorageProfile; } }
        public ProviderVdc Pvdc;
        public StoragePolicy Policy;
    }

    // ---- filters ---------------------------------------------------------------------------------------------

    abstract class FNode
    {
        public abstract bool Eval(Entity e);
    }

    // Conditions joined by ';' (All: every one must hold) or by ',' (any one may).
    class JoinNode : FNode
    {
        public bool All;
        public readonly List<FNode> Parts = new List<FNode>();
        public override bool Eval(Entity e) { foreach (var p in Parts) if (p.Eval(e) != All) return !All; return All; }
    }

    class CondNode : FNode
    {
        public QField Field;        // null for a metadata condition
        public string MetaKey, MetaDomain, MetaType;
        public string Op;           // ==, !=, =gt=, =ge=, =lt=, =le=
        public string Value;
        public string ValueLower;
        public string RefId;

        public override bool Eval(Entity e)
        {
            if (Field == null) return EvalMeta(e);
            if (Field.Kind == FieldKind.Ref)
            {
                var target = Field.Ref(e);
                bool eq;
                if (Value.IndexOf('*') >= 0) eq = target != null && Glob.Match(Refs.Href(target).ToLowerInvariant(), ValueLower);
                else eq = target != null && RefMatches(target);
                return Op == "!=" ? !eq : eq;
            }
            return Compare(Field.Kind, Field.Str(e) ?? "", Op, Value, ValueLower);
        }

        // A reference value is the object's href (in a form the server gives out for it: its own view or its
        // admin view, any host), its URN (of the right kind), or its bare uuid. An href of another kind of
        // object with the same uuid does not match.
        bool RefMatches(Entity target)
        {
            if (!string.Equals(target.Id, RefId, StringComparison.OrdinalIgnoreCase)) return false;
            if (Value.StartsWith("urn:", StringComparison.OrdinalIgnoreCase))
                return ValueLower.StartsWith("urn:vcloud:" + Refs.UrnKind(target.Kind).ToLowerInvariant() + ":", StringComparison.Ordinal);
            int at = ValueLower.IndexOf("/api/", StringComparison.Ordinal);
            if (at < 0) return Value.IndexOf('/') < 0;
            string path = ValueLower.Substring(at).TrimEnd('/');
            return path == ApiPath(Refs.Href(target)) || path == ApiPath(Refs.AdminHref(target));
        }

        static string ApiPath(string href)
        {
            int at = href.IndexOf("/api/", StringComparison.Ordinal);
            return (at < 0 ? href : href.Substring(at)).TrimEnd('/').ToLowerInvariant();
        }

        bool EvalMeta(Entity e)
        {
            if (e.Metadata == null) return false;
            foreach (var m in e.Metadata)
            {
                if (m.Key != MetaKey || m.Domain != MetaDomain) continue;
                if (m.Type != MetaType) return false;
                var kind = MetaType == "NUMBER" ? FieldKind.Int : MetaType == "DATETIME" ? FieldKind.Date :
                           MetaType == "BOOLEAN" ? FieldKind.Bool : FieldKind.Text;
                return Compare(kind, m.Value, Op, Value, ValueLower);
            }
            return false;
        }

        // == is case-insensitive and takes '*' wildcards; != is its plain negation; the ordering operators
        // compare numbers as numbers and dates as dates.
        public static bool Compare(FieldKind kind, string actual, string op, string value, string valueLower)
        {
            if (op == "==" || op == "!=")
            {
                bool eq;
                if (op == "==" && value.IndexOf('*') >= 0) eq = Glob.Match(actual.ToLowerInvariant(), valueLower);
                else if (kind == FieldKind.Int)
                {
                    long a, b;
                    eq = long.TryParse(actual, out a) && long.TryParse(value, out b) ? a == b
                         : string.Equals(actual, value, StringComparison.OrdinalIgnoreCase);
                }
                else eq = string.Equals(actual, value, StringComparison.OrdinalIgnoreCase);
                return op == "==" ? eq : !eq;
            }
            int c;
            if (kind == FieldKind.Int)
            {
                long a, b;
                if (!long.TryParse(actual, out a) || !long.TryParse(value, out b)) return false;
                c = a.CompareTo(b);
            }
            else if (kind == FieldKind.Date)
            {
                DateTime a, b;
                if (!DateTime.TryParse(actual, CultureInfo.InvariantCulture, DateTimeStyles.AdjustToUniversal, out a) ||
                    !DateTime.TryParse(value, CultureInfo.InvariantCulture, DateTimeStyles.AdjustToUniversal, out b)) return false;
                c = a.CompareTo(b);
            }
            else c = string.Compare(actual, value, StringComparison.OrdinalIgnoreCase);
            switch (op)
            {
                case "=gt=": return c > 0;
                case "=ge=": return c >= 0;
                case "=lt=": return c < 0;
                default: return c <= 0;
            }
        }
    }

    static class Glob
    {
        // Matches text against a pattern whose only special character is '*' (any run of characters).
        public static bool Match(string text, string pattern)
        {
            string[] parts = pattern.Split('*');
            if (parts.Length == 1) return text == pattern;
            int pos = 0;
            if (!text.StartsWith(parts[0], StringComparison.Ordinal)) return false;
            pos = parts[0].Length;
            for (int i = 1; i < parts.Length - 1; i++)
            {
                if (parts[i].Length == 0) continue;
                int at = text.IndexOf(parts[i], pos, StringComparison.Ordinal);
                if (at < 0) return false;
                pos = at + parts[i].Length;
            }
            string last = parts[parts.Length - 1];
            return text.Length - pos >= last.Length && text.EndsWith(last, StringComparison.Ordinal);
        }
    }

    // Parses the filter language: conditions joined by ';' (and, binding tighter) and ',' (or), grouped with
    // parentheses. In a value, '\' makes the next character literal; unescaped '(' is an error.
    class FilterParser
    {
        readonly string s;
        readonly QType type;
        readonly bool decode;
        int i;

        FilterParser(string s, QType type, bool decode) { this.s = s; this.type = type; this.decode = decode; }

        // decode: each value (and metadata key) is percent-encoded, as filterEncoded=true says below API 35.
        public static FNode Parse(string text, QType type, bool decode = false)
        {
            var p = new FilterParser(text, type, decode);
            var node = p.ParseOr();
            if (p.i != p.s.Length) throw p.Fail("unexpected '" + p.s[p.i] + "'");
            return node;
        }

        SimError Fail(string why)
        {
            return SimError.Bad("Bad filter \"" + s + "\" at position " + i + ": " + why + ".");
        }

        // ',' (or) binds looser than ';' (and).
        FNode ParseOr() { return ParseJoin(',', false, ParseAnd); }

        FNode ParseAnd() { return ParseJoin(';', true, ParsePrimary); }

        // One part, or several separated by sep.
        FNode ParseJoin(char sep, bool all, Func<FNode> part)
        {
            var first = part();
            if (i >= s.Length || s[i] != sep) return first;
            var join = new JoinNode { All = all };
            join.Parts.Add(first);
            while (i < s.Length && s[i] == sep) { i++; join.Parts.Add(part()); }
            return join;
        }

        FNode ParsePrimary()
        {
            if (i < s.Length && s[i] == '(')
            {
                i++;
                var n = ParseOr();
                if (i >= s.Length || s[i] != ')') throw Fail("missing ')'");
                i++;
                return n;
            }
            return ParseCond();
        }

        FNode ParseCond()
        {
            int start = i;
            while (i < s.Length && s[i] != '=' && s[i] != '!')
            {
                if ("(),;".IndexOf(s[i]) >= 0) throw Fail("expected a comparison");
                i++;
            }
            string selector = s.Substring(start, i - start).Trim();
            if (selector.Length == 0) throw Fail("missing attribute name");
            string op;
            if (string.CompareOrdinal(s, i, "==", 0, 2) == 0) { op = "=="; i += 2; }
            else if (string.CompareOrdinal(s, i, "!=", 0, 2) == 0) { op = "!="; i += 2; }
            else
            {
                op = null;
                foreach (string o in new[] { "=gt=", "=ge=", "=lt=", "=le=" })
                    if (string.CompareOrdinal(s, i, o, 0, 4) == 0) { op = o; i += 4; break; }
                if (op == null) throw Fail("unknown operator");
            }
            var sb = new StringBuilder();
            while (i < s.Length)
            {
                char c = s[i];
                if (c == '\\' && i + 1 < s.Length) { sb.Append(s[i + 1]); i += 2; continue; }
                if (c == ',' || c == ';' || c == ')') break;
                if (c == '(') throw Fail("'(' in a value must be escaped as '\\('");
                sb.Append(c);
                i++;
            }
            string value = decode ? Uri.UnescapeDataString(sb.ToString()) : sb.ToString();
            var cond = new CondNode { Op = op };
            if (selector.StartsWith("metadata", StringComparison.Ordinal) && (selector.Length > 8 && (selector[8] == ':' || selector[8] == '@')))
            {
                string rest = selector.Substring(8);
                cond.MetaDomain = "GENERAL";
                if (rest.StartsWith("@", StringComparison.Ordinal))
                {
                    int colon = rest.IndexOf(':');
                    if (colon < 0) throw Fail("metadata selector without ':'");
                    cond.MetaDomain = rest.Substring(1, colon - 1);
                    if (cond.MetaDomain != "SYSTEM" && cond.MetaDomain != "GENERAL") throw Fail("unknown metadata domain");
                    rest = rest.Substring(colon);
                }
                cond.MetaKey = decode ? Uri.UnescapeDataString(rest.Substring(1)) : rest.Substring(1);
                if (cond.MetaKey.Length == 0) throw Fail("metadata selector without a key");
                int tc = value.IndexOf(':');
                string mt = tc < 0 ? "" : value.Substring(0, tc);
                if (mt != "STRING" && mt != "NUMBER" && mt != "BOOLEAN" && mt != "DATETIME")
                    throw Fail("a metadata value needs a type prefix STRING:, NUMBER:, BOOLEAN: or DATETIME:");
                cond.MetaType = mt;
                value = value.Substring(tc + 1);
                long n;
                if (mt == "NUMBER" && !long.TryParse(value, out n)) throw Fail("'" + value + "' is not a number");
                if (mt == "BOOLEAN" && op != "==" && op != "!=") throw Fail("booleans only compare with == and !=");
            }
            else
            {
                QField f;
                if (!type.ByName.TryGetValue(selector, out f))
                    throw Fail("the property '" + selector + "' does not exist for query type '" + type.Name + "'");
                if ((f.Kind == FieldKind.Bool || f.Kind == FieldKind.Ref) && op != "==" && op != "!=")
                    throw Fail("the property '" + selector + "' only compares with == and !=");
                cond.Field = f;
                if (f.Kind == FieldKind.Ref) cond.RefId = Refs.IdOf(value);
            }
            cond.Value = value;
            cond.ValueLower = value.ToLowerInvariant();
            return cond;
        }
    }

    // ---- the service ------------------------------------------------------------------------------------------

    partial class Api
    {
        public const int MaxPageSize = 128;
        const int DefaultPageSize = 25;

        Dictionary<string, QType> queryTypes;

        class CachedResult
        {
            public long Version;
            public Entity[] Items;
            public long LastUse;
        }

        readonly Dictionary<string, CachedResult> queryCache = new Dictionary<string, CachedResult>();
        long cacheClock;

        IEnumerable<Entity> Scoped<T>(Session s, List<T> all) where T : Entity
        {
            if (s.IsSystem) return all;
            return all.Where(e => e.Org == s.Org);
        }

        static VApp VAppOf(Entity e) { return ((Vm)e).Parent as VApp; }
        static User OwnerOfVm(Entity e) { var va = VAppOf(e); return va == null ? null : va.Owner; }

        static Nic FirstNic(Vm vm)
        {
            foreach (var n in vm.Nics) if (n.Network != "none") return n;
            return null;
        }

        void BuildQueryTypes()
        {
            queryTypes = new Dictionary<string, QType>(StringComparer.Ordinal);
            foreach (bool admin in new[] { false, true })
            {
                var vm = new QType { Name = admin ? "adminVM" : "vm", RecordElem = admin ? "AdminVMRecord" : "VMRecord", RefElem = "VMReference", SystemOnly = admin };
                vm.Source = s => Scoped(s, cloud.Vms);
                vm.Text("name", e => e.Name)
                  .Text("containerName", e => ((Vm)e).Parent.Name)
                  .Ref("container", e => ((Vm)e).Parent)
                  .Text("ownerName", e => { var u = OwnerOfVm(e); return u == null ? "system" : u.Name; })
                  .Ref("owner", e => OwnerOfVm(e))
                  .Text("vdcName", e => ((Vm)e).Vdc.Name)
                  .Ref("vdc", e => ((Vm)e).Vdc)
                  .Bool("isVAppTemplate", e => ((Vm)e).IsTemplate)
                  .Bool("isDeleted", e => false)
                  .Text("guestOs", e => ((Vm)e).GuestOs)
                  .Text("detectedGuestOs", e => ((Vm)e).Power == Power.On ? ((Vm)e).GuestOs : "")
                  .Int("numberOfCpus", e => ((Vm)e).Cpus)
                  .Int("memoryMB", e => ((Vm)e).MemoryMB)
                  .Text("status", e => Cloud.StatusName(Cloud.VmStatus((Vm)e)))
                  .Text("networkName", e => { var n = FirstNic((Vm)e); return n == null ? "" : n.Network; })
                  .Text("ipAddress", e => { var n = FirstNic((Vm)e); return n == null ? "" : n.Ip; })
                  .Bool("isBusy", e => e.ActiveTask != null && !e.ActiveTask.Finished)
                  .Bool("isDeployed", e => ((Vm)e).Deployed)
                  .Bool("isPublished", e => { var t = ((Vm)e).Parent as VAppTemplate; return t != null && t.Catalog != null && t.Catalog.Published; })
                  .Text("catalogName", e => { var t = ((Vm)e).Parent as VAppTemplate; return t != null && t.Catalog != null ? t.Catalog.Name : ""; })
                  .Int("hardwareVersion", e => ((Vm)e).HwVersion)
                  .Text("vmToolsStatus", e => ((Vm)e).Power == Power.On ? "toolsOk" : "toolsNotRunning")
                  .Bool("isInMaintenanceMode", e => false)
                  .Bool("isAutoNature", e => { var va = VAppOf(e); return va != null && va.AutoNature; })
                  .Text("storageProfileName", e => ((Vm)e).Profile == null ? "" : ((Vm)e).Profile.Name)
                  .Text("gcStatus", e => "GC_COMPLETE")
                  .Date("dateCreated", e => ((Vm)e).Created)
                  .Int("totalStorageAllocatedMb", e => ((Vm)e).DiskMB)
                  .Bool("isExpired", e => false)
                  .Text("description", e => ((Vm)e).Description)
                  .Text("vappScopedLocalId", e => ((Vm)e).LocalId);
                if (admin)
                    vm.Text("hostName", e => ((Vm)e).Host == null ? "" : ((Vm)e).Host.Name)
                      .Ref("vc", e => ((Vm)e).VCenter)
                      .Text("moref", e => ((Vm)e).Moref)
                      .Ref("org", e => e.Org)
                      .Text("datastoreName", e => ((Vm)e).Datastore == null ? "" : ((Vm)e).Datastore.Name)
                      .Int("vmToolsVersion", e => ((Vm)e).ToolsVersion)
                      .Bool("isVdcEnabled", e => ((Vm)e).Vdc.Enabled)
                      .Text("vmNameInVc", e => e.Name + " (" + e.Id + ")");
                queryTypes[vm.Name] = vm;

                var va2 = new QType { Name = admin ? "adminVApp" : "vApp", RecordElem = admin ? "AdminVAppRecord" : "VAppRecord", RefElem = "VAppReference", SystemOnly = admin };
                va2.Source = s => Scoped(s, cloud.VApps);
                va2.Text("name", e => e.Name)
                   .Text("vdcName", e => ((VApp)e).Vdc.Name)
                   .Ref("vdc", e => ((VApp)e).Vdc)
                   .Text("ownerName", e => ((VApp)e).Owner == null ? "system" : ((VApp)e).Owner.Name)
                   .Ref("owner", e => ((VApp)e).Owner)
                   .Text("status", e => Cloud.StatusName(Cloud.VAppStatus((VApp)e)))
                   .Bool("isDeployed", e => Cloud.VAppDeployed((VApp)e))
                   .Bool("isEnabled", e => true)
                   .Bool("isExpired", e => false)
                   .Bool("isBusy", e => e.ActiveTask != null && !e.ActiveTask.Finished)
                   .Int("numberOfVMs", e => ((VApp)e).Vms.Count)
                   .Int("numberOfCpus", e => ((VApp)e).Vms.Sum(v => v.Cpus))
                   .Int("memoryAllocationMB", e => ((VApp)e).Vms.Sum(v => v.MemoryMB))
                   .Int("storageKB", e => ((VApp)e).Vms.Sum(v => v.DiskMB) * 1024)
                   .Date("creationDate", e => ((VApp)e).Created)
                   .Bool("isInMaintenanceMode", e => false)
                   .Bool("isAutoNature", e => ((VApp)e).AutoNature)
                   .Text("description", e => ((VApp)e).Description);
                if (admin) va2.Ref("org", e => e.Org).Text("orgName", e => e.Org.Name);
                queryTypes[va2.Name] = va2;

                var vdc = new QType { Name = admin ? "adminOrgVdc" : "orgVdc", RecordElem = admin ? "AdminVdcRecord" : "OrgVdcRecord", RefElem = "OrgVdcReference", SystemOnly = admin };
                vdc.Source = s => Scoped(s, cloud.Vdcs);
                vdc.Text("name", e => e.Name)
                   .Text("description", e => ((Vdc)e).Description)
                   .Bool("isEnabled", e => ((Vdc)e).Enabled)
                   .Bool("isBusy", e => false)
                   .Int("status", e => 1)
                   .Text("orgName", e => e.Org.Name);
                // A tenant's records name the organisation but carry no href to it, as real servers send them.
                if (admin) vdc.Ref("org", e => e.Org);
                vdc.Text("allocationModel", e => ((Vdc)e).AllocationModel)
                   .Int("cpuLimitMhz", e => ((Vdc)e).CpuLimitMhz)
                   .Int("cpuAllocationMhz", e => ((Vdc)e).CpuLimitMhz)
                   .Int("cpuUsedMhz", e => UsedCpu((Vdc)e))
                   .Int("memoryLimitMB", e => ((Vdc)e).MemoryLimitMB)
                   .Int("memoryAllocationMB", e => ((Vdc)e).MemoryLimitMB)
                   .Int("memoryUsedMB", e => UsedMemory((Vdc)e))
                   .Int("storageLimitMB", e => ((Vdc)e).Profiles.Sum(p => p.LimitMB))
                   .Int("storageUsedMB", e => ((Vdc)e).Profiles.Sum(p => p.UsedMB))
                   .Int("numberOfVApps", e => ((Vdc)e).VApps.Count)
                   .Int("numberOfVAppTemplates", e => ((Vdc)e).Templates.Count)
                   .Int("numberOfStorageProfiles", e => ((Vdc)e).Profiles.Count)
                   .Int("numberOfVMs", e => ((Vdc)e).VApps.Sum(v => v.Vms.Count));
                if (admin)
                    vdc.Text("providerVdcName", e => ((Vdc)e).Pvdc == null ? "" : ((Vdc)e).Pvdc.Name)
                       .Ref("providerVdc", e => ((Vdc)e).Pvdc)
                       .Text("vcName", e => ((Vdc)e).VCenter == null ? "" : ((Vdc)e).VCenter.Name)
                       .Ref("vc", e => ((Vdc)e).VCenter)
                       .Bool("isSystemVdc", e => false);
                queryTypes[vdc.Name] = vdc;

                var sp = new QType { Name = admin ? "adminOrgVdcStorageProfile" : "orgVdcStorageProfile", RecordElem = admin ? "AdminOrgVdcStorageProfileRecord" : "OrgVdcStorageProfileRecord", RefElem = "OrgVdcStorageProfileReference", SystemOnly = admin };
                sp.Source = s => Scoped(s, cloud.Profiles);
                sp.Text("name", e => e.Name)
                  .Bool("isEnabled", e => ((StorageProfile)e).Enabled)
                  .Bool("isDefaultStorageProfile", e => ((StorageProfile)e).IsDefault)
                  .Int("storageUsedMB", e => ((StorageProfile)e).UsedMB)
                  .Int("storageLimitMB", e => ((StorageProfile)e).LimitMB)
                  .Int("iopsAllocated", e => 0)
                  .Int("iopsLimit", e => 0)
                  .Int("numberOfConditions", e => 0)
                  .Ref("vdc", e => ((StorageProfile)e).Vdc)
                  .Text("vdcName", e => ((StorageProfile)e).Vdc.Name)
                  .Bool("isVdcBusy", e => false);
                if (admin)
                    sp.Ref("org", e => e.Org)
                      .Ref("vc", e => ((StorageProfile)e).Vdc.VCenter)
                      .Text("storageProfileMoref", e => ((StorageProfile)e).Policy == null ? "" : ((StorageProfile)e).Policy.Moref);
                queryTypes[sp.Name] = sp;

                var user = new QType { Name = admin ? "adminUser" : "user", RecordElem = admin ? "AdminUserRecord" : "UserRecord", RefElem = "UserReference", SystemOnly = admin };
                user.Source = s => Scoped(s, cloud.Users);
                user.Text("name", e => e.Name)
                    .Text("fullName", e => ((User)e).FullName)
                    .Bool("isEnabled", e => ((User)e).Enabled)
                    .Bool("isLdapUser", e => false)
                    .Text("roleNames", e => ((User)e).Role)
                    .Ref("org", e => e.Org)
                    .Int("storedVMQuota", e => 0)
                    .Int("deployedVMQuota", e => 0)
                    .Int("numberOfDeployedVMs", e => cloud.VApps.Where(v => v.Owner == e).Sum(v => v.Vms.Count(m => m.Deployed)))
                    .Int("numberOfStoredVMs", e => cloud.VApps.Where(v => v.Owner == e).Sum(v => v.Vms.Count(m => !m.Deployed)))
                    .Text("identityProviderType", e => "INTEGRATED");
                queryTypes[user.Name] = user;

                var tpl = new QType { Name = admin ? "adminVAppTemplate" : "vAppTemplate", RecordElem = admin ? "AdminVAppTemplateRecord" : "VAppTemplateRecord", RefElem = "VAppTemplateReference", SystemOnly = admin };
                tpl.Source = s => Scoped(s, cloud.Templates);
                tpl.Text("name", e => e.Name)
                   .Text("vdcName", e => ((VAppTemplate)e).Vdc.Name)
                   .Ref("vdc", e => ((VAppTemplate)e).Vdc)
                   .Text("catalogName", e => ((VAppTemplate)e).Catalog == null ? "" : ((VAppTemplate)e).Catalog.Name)
                   .Ref("catalog", e => ((VAppTemplate)e).Catalog)
                   .Text("status", e => "RESOLVED")
                   .Bool("isPublished", e => ((VAppTemplate)e).Catalog != null && ((VAppTemplate)e).Catalog.Published)
                   .Bool("isGoldMaster", e => false)
                   .Bool("isExpired", e => false)
                   .Bool("isBusy", e => false)
                   .Int("numberOfVMs", e => ((VAppTemplate)e).Vms.Count)
                   .Date("creationDate", e => ((VAppTemplate)e).Created)
                   .Text("description", e => ((VAppTemplate)e).Description);
                if (admin) tpl.Ref("org", e => e.Org);
                queryTypes[tpl.Name] = tpl;
            }

            var vc = new QType { Name = "virtualCenter", RecordElem = "VirtualCenterRecord", RefElem = "VirtualCenterReference", SystemOnly = true };
            vc.Source = s => cloud.VCenters;
            vc.Text("name", e => e.Name)
              .Text("url", e => ((VCenter)e).Url)
              .Text("uuid", e => ((VCenter)e).InstanceUuid)
              .Text("vcVersion", e => ((VCenter)e).VcVersion)
              .Bool("isEnabled", e => ((VCenter)e).Enabled)
              .Bool("isBusy", e => false)
              .Bool("isSupported", e => true)
              .Bool("isConnected", e => ((VCenter)e).Connected)
              .Text("listenerState", e => "CONNECTED")
              .Text("status", e => "READY")
              .Text("userName", e => ((VCenter)e).UserName);
            queryTypes[vc.Name] = vc;

            var org = new QType { Name = "organization", RecordElem = "OrgRecord", RefElem = "OrganizationReference" };
            org.Source = s => s.IsSystem ? (IEnumerable<Entity>)cloud.Orgs : new Entity[] { s.Org };
            org.Text("name", e => e.Name)
               .Text("displayName", e => ((Org)e).FullName)
               .Bool("isEnabled", e => ((Org)e).Enabled)
               .Bool("isReadOnly", e => false)
               .Int("numberOfVdcs", e => ((Org)e).Vdcs.Count)
               .Int("numberOfCatalogs", e => ((Org)e).Catalogs.Count)
               .Int("numberOfVApps", e => ((Org)e).Vdcs.Sum(v => v.VApps.Count))
               .Int("numberOfGroups", e => ((Org)e).Groups.Count);
            queryTypes[org.Name] = org;

            var net = new QType { Name = "orgVdcNetwork", RecordElem = "OrgVdcNetworkRecord", RefElem = "OrgVdcNetworkReference" };
            net.Source = s => Scoped(s, cloud.Networks);
            net.Text("name", e => e.Name)
               .Ref("vdc", e => ((Network)e).Vdc)
               .Text("vdcName", e => ((Network)e).Vdc.Name)
               .Text("defaultGateway", e => ((Network)e).Gateway)
               .Text("netmask", e => ((Network)e).Netmask)
               .Text("dns1", e => ((Network)e).Dns)
               .Int("linkType", e => ((Network)e).FenceMode == "bridged" ? 0 : ((Network)e).FenceMode == "natRouted" ? 1 : 2)
               .Bool("isShared", e => ((Network)e).Shared)
               .Bool("isBusy", e => false);
            queryTypes[net.Name] = net;

            var cat = new QType { Name = "catalog", RecordElem = "CatalogRecord", RefElem = "CatalogReference" };
            cat.Source = s => Scoped(s, cloud.Catalogs);
            cat.Text("name", e => e.Name)
               .Text("description", e => ((Catalog)e).Description)
               .Bool("isPublished", e => ((Catalog)e).Published)
               .Bool("isShared", e => ((Catalog)e).Published)
               .Text("orgName", e => e.Org.Name)
               .Text("ownerName", e => { var a = FirstAdmin(e.Org); return a == null ? "system" : a.Name; })
               .Int("numberOfVAppTemplates", e => ((Catalog)e).Items.Count)
               .Int("numberOfMedia", e => 0);
            queryTypes[cat.Name] = cat;

            var ds = new QType { Name = "datastore", RecordElem = "DatastoreRecord", RefElem = "DatastoreReference", SystemOnly = true };
            ds.Source = s => cloud.Datastores;
            ds.Text("name", e => e.Name)
              .Text("datastoreType", e => ((Datastore)e).Type)
              .Bool("isEnabled", e => true)
              .Bool("isDeleted", e => false)
              .Int("storageUsedMB", e => ((Datastore)e).UsedMB)
              .Int("storageMB", e => ((Datastore)e).CapacityMB)
              .Int("provisionedStorageMB", e => ((Datastore)e).UsedMB)
              .Int("requestedStorageMB", e => ((Datastore)e).UsedMB)
              .Ref("vc", e => ((Datastore)e).VCenter)
              .Text("vcName", e => ((Datastore)e).VCenter.Name)
              .Text("moref", e => ((Datastore)e).Moref);
            queryTypes[ds.Name] = ds;

            // One record per datastore and provider VDC that uses it; the record's href is the datastore's.
            var relations = new List<Entity>();
            foreach (var p in cloud.Pvdcs)
                foreach (var d in p.Datastores)
                    relations.Add(new DatastoreUse { Id = d.Id, Name = d.Name, Store = d, Pvdc = p });
            var dsr = new QType { Name = "datastoreProviderVdcRelation", RecordElem = "DatastoreProviderVdcRelationRecord", RefElem = "", SystemOnly = true, NoReferences = true };
            dsr.Source = s => relations;
            dsr.Text("name", e => e.Name)
               .Text("datastoreType", e => ((DatastoreUse)e).Store.Type)
               .Bool("isEnabled", e => true)
               .Bool("isDeleted", e => false)
               .Int("storageUsedMB", e => ((DatastoreUse)e).Store.UsedMB)
               .Int("storageMB", e => ((DatastoreUse)e).Store.CapacityMB)
               .Int("provisionedStorageMB", e => ((DatastoreUse)e).Store.UsedMB)
               .Int("requestedStorageMB", e => ((DatastoreUse)e).Store.UsedMB)
               .Ref("vc", e => ((DatastoreUse)e).Store.VCenter)
               .Text("vcName", e => ((DatastoreUse)e).Store.VCenter.Name)
               .Text("moref", e => ((DatastoreUse)e).Store.Moref)
               .Ref("providerVdc", e => ((DatastoreUse)e).Pvdc)
               .Ref("datastore", e => ((DatastoreUse)e).Store);
            queryTypes[dsr.Name] = dsr;

            var pv = new QType { Name = "providerVdc", RecordElem = "VMWProviderVdcRecord", RefElem = "VMWProviderVdcReference", SystemOnly = true };
            pv.Source = s => cloud.Pvdcs;
            pv.Text("name", e => e.Name)
              .Text("description", e => ((ProviderVdc)e).Description)
              .Bool("isEnabled", e => true)
              .Bool("isBusy", e => false)
              .Int("status", e => 1)
              .Text("vcName", e => ((ProviderVdc)e).VCenter.Name)
              .Ref("vc", e => ((ProviderVdc)e).VCenter)
              .Int("numberOfDatastores", e => ((ProviderVdc)e).Datastores.Count);
            queryTypes[pv.Name] = pv;

            var pvsps = new List<Entity>();
            foreach (var p in cloud.Pvdcs)
                foreach (var pol in p.VCenter.Policies)
                    pvsps.Add(new PvdcProfile { Id = cloud.StableIdFor("pvdcsp/" + p.Id + "/" + pol.Name), Name = pol.Name, Pvdc = p, Policy = pol });
            var pvsp = new QType { Name = "providerVdcStorageProfile", RecordElem = "ProviderVdcStorageProfileRecord", RefElem = "ProviderVdcStorageProfileReference", SystemOnly = true };
            pvsp.Source = s => pvsps;
            pvsp.Text("name", e => e.Name)
                .Ref("providerVdc", e => ((PvdcProfile)e).Pvdc)
                .Ref("vc", e => ((PvdcProfile)e).Pvdc.VCenter)
                .Text("storageProfileMoref", e => ((PvdcProfile)e).Policy.Moref)
                .Bool("isEnabled", e => true)
                .Int("storageTotalMB", e => ((PvdcProfile)e).Pvdc.Datastores.Sum(d => d.CapacityMB))
                .Int("storageUsedMB", e => ((PvdcProfile)e).Pvdc.Datastores.Sum(d => d.UsedMB))
                .Int("storageProvisionedMB", e => ((PvdcProfile)e).Pvdc.Datastores.Sum(d => d.UsedMB))
                .Int("storageRequestedMB", e => ((PvdcProfile)e).Pvdc.Datastores.Sum(d => d.UsedMB))
                .Int("numberOfConditions", e => 0);
            queryTypes[pvsp.Name] = pvsp;

            // Tasks: "task" holds those of the user's own organization, "adminTask" (System) every one.
            foreach (bool admin in new[] { false, true })
            {
                var task = new QType { Name = admin ? "adminTask" : "task", RecordElem = admin ? "AdminTaskRecord" : "TaskRecord", RefElem = admin ? "AdminTaskReference" : "TaskReference", SystemOnly = admin, Uncached = true };
                task.Source = s => cloud.ById.Values.OfType<SimTask>().Where(t => admin || t.Org == s.Org).OrderBy(t => t.StartTime).ToList();
                task.Text("name", e => ((SimTask)e).OperationName)
                    .Text("operationFull", e => ((SimTask)e).Operation)
                    .Text("status", e => ((SimTask)e).Status)
                    .Date("startDate", e => ((SimTask)e).StartTime)
                    .Text("endDate", e => ((SimTask)e).EndTime.HasValue ? Iso(((SimTask)e).EndTime.Value) : "")
                    .Text("ownerName", e => ((SimTask)e).User == null ? "" : ((SimTask)e).User.Name)
                    .Text("object", e => ((SimTask)e).OwnerHref ?? "")
                    .Text("objectName", e => ((SimTask)e).OwnerName ?? "")
                    .Text("objectType", e => ((SimTask)e).OwnerType ?? "")
                    .Text("serviceNamespace", e => "com.vmware.cloud")
                    .Ref("org", e => e.Org)
                    .Text("orgName", e => e.Org == null ? "" : e.Org.Name);
                queryTypes[task.Name] = task;
            }
        }

        static int ParseInt(Req r, string name, int dflt)
        {
            string v = r.Query[name];
            if (v == null) return dflt;
            int n;
            if (!int.TryParse(v, NumberStyles.Integer, CultureInfo.InvariantCulture, out n))
                throw SimError.Bad("The query parameter " + name + " must be a whole number, not \"" + v + "\".");
            return n;
        }

        Entity[] Results(Session s, QType qt, string filterText, FNode filter, QField sortField, bool desc)
        {
            string key = qt.Name + "\n" + (s.IsSystem ? "*" : s.Org.Id) + "\n" + filterText + "\n" +
                         (sortField == null ? "" : (desc ? "-" : "+") + sortField.Name);
            CachedResult c;
            if (!qt.Uncached && queryCache.TryGetValue(key, out c) && c.Version == cloud.Version)
            {
                c.LastUse = ++cacheClock;
                return c.Items;
            }
            IEnumerable<Entity> seq = qt.Source(s);
            if (filter != null) seq = seq.Where(filter.Eval);
            if (sortField != null)
            {
                Func<Entity, string> keyOf = sortField.Kind == FieldKind.Ref
                    ? (Func<Entity, string>)(e => { var t = sortField.Ref(e); return t == null ? "" : Refs.Href(t); })
                    : sortField.Str;
                if (sortField.Kind == FieldKind.Int)
                {
                    Func<Entity, long> num = e => { long n; long.TryParse(sortField.Str(e), out n); return n; };
                    seq = desc ? seq.OrderByDescending(num) : seq.OrderBy(num);
                }
                else seq = desc ? seq.OrderByDescending(keyOf, StringComparer.OrdinalIgnoreCase)
                                : seq.OrderBy(keyOf, StringComparer.OrdinalIgnoreCase);
            }
            var items = seq.ToArray();
            if (queryCache.Count >= 16)
            {
                string oldest = null;
                long best = long.MaxValue;
                foreach (var kv in queryCache) if (kv.Value.LastUse < best) { best = kv.Value.LastUse; oldest = kv.Key; }
                queryCache.Remove(oldest);
            }
            queryCache[key] = new CachedResult { Version = cloud.Version, Items = items, LastUse = ++cacheClock };
            return items;
        }

        Resp Query(Req r)
        {
            if (queryTypes == null) BuildQueryTypes();
            var s = r.Session;
            string type = r.Query["type"];
            if (type == null) return QueryListXml(r);
            QType qt;
            if (!queryTypes.TryGetValue(type, out qt))
                throw SimError.Bad("The query type \"" + type + "\" is not supported. Query types are case-sensitive.");
            if (qt.SystemOnly && !s.IsSystem) throw SimError.Forbidden("QUERY_" + type.ToUpperInvariant());
            string format = r.Query["format"] ?? "records";
            if (format != "records" && format != "references" && format != "idrecords")
                throw SimError.Bad("Invalid query format \"" + format + "\".");
            if (format == "references" && qt.NoReferences)
                throw SimError.Bad("The query type \"" + type + "\" has no references format.");
            int page = ParseInt(r, "page", 1);
            int pageSize = ParseInt(r, "pageSize", DefaultPageSize);
            int offset = ParseInt(r, "offset", 0);
            if (page < 1) throw SimError.Bad("The page number must be 1 or more.");
            if (pageSize < 1) throw SimError.Bad("The page size must be 1 or more.");
            if (offset < 0) throw SimError.Bad("The offset must be 0 or more.");
            if (pageSize > MaxPageSize) pageSize = MaxPageSize;
            Churner.OnPage(cloud, faults, type, page, offset);

            string filterText = r.Query["filter"] ?? "";
            // Below API 35 filterEncoded=true makes the server decode each value; from 35 on it has no effect.
            bool encoded = VersionNumber(r) < 35 && string.Equals(r.Query["filterEncoded"], "true", StringComparison.OrdinalIgnoreCase);
            FNode filter = filterText.Length == 0 ? null : FilterParser.Parse(filterText, qt, encoded);
            // Cached results are keyed by the filter's text, which means something else once decoded.
            if (encoded && filterText.Length > 0) filterText = "%" + filterText;

            string sortAsc = r.Query["sortAsc"], sortDesc = r.Query["sortDesc"];
            if (sortAsc != null && sortDesc != null) throw SimError.Bad("Use sortAsc or sortDesc, not both.");
            QField sortField = null;
            string sortName = sortAsc ?? sortDesc;
            if (sortName != null && !qt.ByName.TryGetValue(sortName, out sortField))
                throw SimError.Bad("The property '" + sortName + "' does not exist for query type '" + type + "' and cannot be sorted on.");

            List<QField> fields = null;
            var metaKeys = new List<string>();
            string fieldsText = r.Query["fields"];
            if (!string.IsNullOrEmpty(fieldsText))
            {
                fields = new List<QField>();
                foreach (string raw in fieldsText.Split(','))
                {
                    string f = raw.Trim();
                    if (f.Length == 0) continue;
                    if (f.StartsWith("metadata:", StringComparison.Ordinal)) { metaKeys.Add(f.Substring(9)); continue; }
                    if (f.StartsWith("metadata@", StringComparison.Ordinal))
                    {
                        int colon = f.IndexOf(':');
                        if (colon > 0) { metaKeys.Add(f.Substring(colon + 1)); continue; }
                    }
                    QField qf;
                    if (!qt.ByName.TryGetValue(f, out qf))
                        throw SimError.Bad("The property '" + f + "' does not exist for query type '" + type + "'.");
                    fields.Add(qf);
                }
                if (metaKeys.Count > 8) throw SimError.Bad("At most 8 metadata fields can be requested.");
            }

            var items = Results(s, qt, filterText, filter, sortField, sortDesc != null);
            long total = Math.Max(0, items.Length - offset);
            int lastPage = (int)Math.Max(1, (total + pageSize - 1) / pageSize);
            if (page > lastPage)
                throw SimError.Bad("The requested page " + page + " does not exist; the last page is " + lastPage + ".");
            int first = offset + (page - 1) * pageSize;
            int count = (int)Math.Min(pageSize, items.Length - first);

            var x = new XmlOut();
            bool refs = format == "references";
            string media = refs ? Mt.References : format == "idrecords" ? Mt.IdRecords : Mt.Records;
            if (metaKeys.Count > 0) x.Root(refs ? "QueryResultReferences" : "QueryResultRecords", Ns.V, "xsi");
            else x.Root(refs ? "QueryResultReferences" : "QueryResultRecords", Ns.V);
            x.Attr("name", type);
            x.Attr("page", page);
            x.Attr("pageSize", pageSize);
            x.Attr("total", total);
            x.Attr("href", PageHref(r, type, format, page, pageSize));
            x.Attr("type", media);
            foreach (string f in new[] { "records", "references", "idrecords" })
                if (f != format && !(f == "references" && qt.NoReferences))
                    x.Link("alternate", PageHref(r, type, f, page, pageSize), f == "references" ? Mt.References : f == "idrecords" ? Mt.IdRecords : Mt.Records);
            if (page > 1)
            {
                x.Link("firstPage", PageHref(r, type, format, 1, pageSize), media);
                x.Link("previousPage", PageHref(r, type, format, page - 1, pageSize), media);
            }
            if (page < lastPage)
            {
                x.Link("nextPage", PageHref(r, type, format, page + 1, pageSize), media);
                x.Link("lastPage", PageHref(r, type, format, lastPage, pageSize), media);
            }
            bool ids = format == "idrecords";
            string recordElem = faults.RecordElementOf(qt.Name, qt.RecordElem);
            for (int k = 0; k < count; k++)
            {
                var e = items[first + k];
                if (refs)
                {
                    x.W.WriteStartElement(qt.RefElem, Ns.V);
                    x.Attr("href", Refs.Href(e));
                    x.Attr("id", Refs.Urn(e));
                    x.Attr("name", e.Name);
                    x.Attr("type", Refs.MediaType(e));
                    x.End();
                    continue;
                }
                x.W.WriteStartElement(recordElem, Ns.V);
                if (ids) x.Attr("id", Refs.Urn(e));
                else x.Attr("href", Refs.Href(e));
                foreach (var f in fields ?? qt.Fields)
                {
                    if (f.Kind == FieldKind.Ref)
                    {
                        var t = f.Ref(e);
                        if (t != null) x.Attr(f.Name, ids ? Refs.Urn(t) : Refs.Href(t));
                    }
                    else x.Attr(f.Name, f.Str(e) ?? "");
                }
                if (metaKeys.Count > 0) WriteRecordMetadata(x, e, metaKeys);
                x.End();
            }
            x.End();
            return Xml(r, 200, media, x);
        }

        static void WriteRecordMetadata(XmlOut x, Entity e, List<string> keys)
        {
            bool open = false;
            foreach (string k in keys)
            {
                var m = e.FindMeta(k);
                if (m == null) continue;
                if (!open) { x.W.WriteStartElement("Metadata", Ns.V); open = true; }
                x.W.WriteStartElement("MetadataEntry", Ns.V);
                WriteMetaBody(x, m, true);
                x.End();
            }
            if (open) x.End();
        }

        // The href of one page of the same query: every parameter kept, page and format replaced.
        static string PageHref(Req r, string type, string format, int page, int pageSize)
        {
            var sb = new StringBuilder(Refs.Api + "/query?type=" + Uri.EscapeDataString(type));
            sb.Append("&page=").Append(page).Append("&pageSize=").Append(pageSize).Append("&format=").Append(format);
            foreach (string k in new[] { "filter", "filterEncoded", "sortAsc", "sortDesc", "fields", "offset", "links" })
            {
                string v = r.Query[k];
                if (!string.IsNullOrEmpty(v)) sb.Append('&').Append(k).Append('=').Append(Uri.EscapeDataString(v));
            }
            return sb.ToString();
        }

        Resp QueryListXml(Req r)
        {
            var x = new XmlOut();
            x.Root("QueryList", Ns.V);
            x.Attr("href", Refs.Api + "/query");
            x.Attr("type", Mt.QueryList);
            var names = new List<string>(queryTypes.Keys);
            names.Sort(StringComparer.Ordinal);
            foreach (string n in names)
            {
                if (queryTypes[n].SystemOnly && !r.Session.IsSystem) continue;
                if (!queryTypes[n].NoReferences)
                    x.Link("down", Refs.Api + "/query?type=" + n + "&format=references", Mt.References, n);
                x.Link("down", Refs.Api + "/query?type=" + n + "&format=records", Mt.Records, n);
                x.Link("down", Refs.Api + "/query?type=" + n + "&format=idrecords", Mt.IdRecords, n);
            }
            x.End();
            return Xml(r, 200, Mt.QueryList, x);
        }
    }
}
