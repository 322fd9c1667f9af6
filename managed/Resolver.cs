// Finds cloud entities from the texts callers pass: a name (looked up within the scope the other texts
// give), an href, or a URN id. A name that matches more than one entity is an error, never a guess.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Xml.Linq;

namespace vCloudSDKWrapper
{
    internal sealed class Found
    {
        public string Href = "";
        public string Name = "";
        public QueryRecord Rec;     // the query record, for entities found through the query service
        public bool Kept;           // taken from what the session kept, not read from the server just now
    }

    // Organisation names this session has resolved, and the href and name each stood for. A kept entry
    // is believed only together with the answer that uses it: a server answer that names the
    // organisation differently, or finds nothing under it, drops it and the operation resolves afresh.
    // Initialize, Login and Logout start with none.
    internal sealed class NameCache
    {
        public readonly Session Owner;
        private readonly Dictionary<string, Found> kept = new Dictionary<string, Found>(StringComparer.Ordinal);
        private readonly object gate = new object();

        public NameCache(Session owner) { Owner = owner; }

        public Found Get(string key)
        {
            lock (gate)
            {
                Found f;
                if (!kept.TryGetValue(key, out f)) return null;
                return new Found { Href = f.Href, Name = f.Name, Kept = true };
            }
        }

        public void Put(string key, Found f)
        {
            lock (gate) kept[key] = new Found { Href = f.Href, Name = f.Name };
        }

        public void Drop(IEnumerable<string> keys)
        {
            lock (gate) foreach (var k in keys) kept.Remove(k);
        }
    }

    internal sealed class Resolver
    {
        private readonly Api api;
        public Resolver(Api api) { this.api = api; }

        private Session S { get { return api.S; } }
        public string VmType { get { return S.IsSystem ? "adminVM" : "vm"; } }
        public string VAppType { get { return S.IsSystem ? "adminVApp" : "vApp"; } }
        public string VdcType { get { return S.IsSystem ? "adminOrgVdc" : "orgVdc"; } }
        public string ProfileType { get { return S.IsSystem ? "adminOrgVdcStorageProfile" : "orgVdcStorageProfile"; } }

        public void RequireSystem(string what)
        {
            if (!S.IsSystem)
                throw new CloudException(what + " needs a System administrator session (logged in as " + S.Login + ")");
        }

        // The href of an object named by href or URN, after checking it is of the expected kind.
        // kind: org, vdc, vapp, vm, vapptemplate, vimserver, vdcstorageprofile.
        // Per entity kind (as in its URN): the path part that marks its href, and the path of its object
        // under the endpoint, to which the uuid is appended.
        private static readonly Dictionary<string, string[]> Kinds = new Dictionary<string, string[]>
        {
            { "org", new[] { "/org/", "api/org/" } },
            { "vdc", new[] { "/vdc/", "api/vdc/" } },
            { "vapp", new[] { "/vApp/vapp-", "api/vApp/vapp-" } },
            { "vm", new[] { "/vApp/vm-", "api/vApp/vm-" } },
            { "vapptemplate", new[] { "/vAppTemplate/vappTemplate-", "api/vAppTemplate/vappTemplate-" } },
            { "vimserver", new[] { "/vimServer/", "api/admin/extension/vimServer/" } },
            { "vdcstorageprofile", new[] { "/vdcStorageProfile/", "api/vdcStorageProfile/" } },
        };

        public static string ObjectHref(string text, string kind, string what)
        {
            string[] paths;
            if (!Kinds.TryGetValue(kind, out paths)) throw new ArgumentException("unknown entity kind '" + kind + "'", "kind");
            if (Ref.Form(text) == RefForm.Href)
            {
                string path = new Uri(text).AbsolutePath;
                if (path.IndexOf(paths[0], StringComparison.OrdinalIgnoreCase) < 0)
                    throw new CloudException("'" + text + "' is not the href of " + what);
                // An admin view href of an organisation or VDC maps onto its plain view.
                if ((kind == "org" || kind == "vdc") && path.IndexOf("/admin/", StringComparison.Ordinal) >= 0)
                    return paths[1] + Ref.Uuid(text);
                return text;
            }
            if (Ref.Form(text) == RefForm.Urn)
            {
                if (Ref.UrnKind(text) != kind) throw new CloudException("'" + text + "' is not the URN of " + what);
            }
            else if (!(kind == "vdcstorageprofile" && Ref.LooksLikeUuid(text)))
                throw new CloudException("'" + text + "' is not a reference to " + what);
            return paths[1] + Ref.Uuid(text);
        }

        // Picks the one record named exactly 'name' (case-insensitively when no exact match exists).
        public static QueryRecord Unique(IEnumerable<QueryRecord> records, string name, string what, string where)
        {
            var all = records.ToList();
            var hits = all.Where(r => r.Name == name).ToList();
            if (hits.Count == 0) hits = all.Where(r => string.Equals(r.Name, name, StringComparison.OrdinalIgnoreCase)).ToList();
            if (hits.Count == 1) return hits[0];
            if (hits.Count == 0) throw new CloudException(what + " '" + name + "' not found" + where, 404, "");
            throw new CloudException(what + " name '" + name + "' is ambiguous" + where + ": " + hits.Count + " match ("
                + string.Join(", ", hits.Take(5).Select(r => r.Href).ToArray()) + (hits.Count > 5 ? ", ..." : "")
                + "); give its href or URN instead");
        }

        private static string In(string what, string name) { return name.Length > 0 ? " in " + what + " '" + name + "'" : ""; }

        // ---- organisations ----

        public Found Org(string text)
        {
            if (text.Length == 0)
            {
                if (S.OrgHref.Length > 0) return new Found { Href = S.OrgHref, Name = S.OrgName };
                text = S.OrgName;
            }
            if (Ref.Form(text) != RefForm.Name)
            {
                var obj = api.GetObject(ObjectHref(text, "org", "an organisation"), Ns.Vcloud, "Org", "organisation '" + text + "'");
                return new Found { Href = obj.Attr("href"), Name = obj.Attr("name") };
            }
            var list = api.Get("api/org").Root;
            var records = list.Elements(Ns.Vcloud + "Org").Select(o =>
            {
                var r = new QueryRecord { Element = "Org" };
                r.Attrs["name"] = o.Attr("name");
                r.Attrs["href"] = o.Attr("href");
                return r;
            });
            var hit = Unique(records, text, "organisation", " (or not visible to " + S.Login + ")");
            return new Found { Href = hit.Href, Name = hit.Name };
        }

        // An organisation by name as the session kept it, else resolved now and kept. Only callers that
        // check the answers made with it take this path (VdcRecords: the records' organisation name).
        private Found KeptOrg(string text)
        {
            if (text.Length == 0 || Ref.Form(text) != RefForm.Name || api.Names == null) return Org(text);
            string key = "org\n" + text;
            var f = api.Names.Get(key);
            if (f != null)
            {
                api.KeptUsed.Add(key);
                return f;
            }
            f = Org(text);
            api.Names.Put(key, f);
            return f;
        }

        // A kept entry that the server's answer contradicts: the operation starts again without it.
        private static CloudException Stale(string what, string kept, string now)
        {
            return new CloudException(what + " '" + kept + "' kept by this session is now named '" + now + "'", 404, "");
        }

        public IEnumerable<Found> AllOrgs()
        {
            var list = api.Get("api/org").Root;
            return list.Elements(Ns.Vcloud + "Org").Select(o => new Found { Href = o.Attr("href"), Name = o.Attr("name") }).ToList();
        }

        // ---- VDCs ----

        public Found Vdc(string orgText, string vdcText)
        {
            if (vdcText.Length == 0) throw new CloudException("no VDC given");
            if (Ref.Form(vdcText) != RefForm.Name)
            {
                var obj = api.GetObject(ObjectHref(vdcText, "vdc", "a VDC"), Ns.Vcloud, "Vdc", "VDC '" + vdcText + "'");
                if (orgText.Length > 0)
                {
                    var org = Org(orgText);
                    var up = obj.Link("up", "application/vnd.vmware.vcloud.org+xml");
                    if (up != null && !Ref.Same(up.Attr("href"), org.Href))
                        throw new CloudException("VDC '" + obj.Attr("name") + "' does not belong to organisation '" + org.Name + "'");
                }
                return new Found { Href = obj.Attr("href"), Name = obj.Attr("name") };
            }
            if (orgText.Length == 0 && S.IsSystem)
            {
                var rec = Unique(api.Query(VdcType, api.Eq("name", vdcText)), vdcText, "VDC", "");
                rec.Attrs["href"] = PlainVdcHref(rec.Href);
                return new Found { Href = rec.Href, Name = rec.Name, Rec = rec };
            }
            var orgFound = KeptOrg(orgText);
            var hit = Unique(VdcRecords(orgFound, vdcText), vdcText, "VDC", In("organisation", orgFound.Name));
            return new Found { Href = hit.Href, Name = hit.Name, Rec = hit };
        }

        // The VDCs of an organisation, as query records, optionally only those named 'name'. An Org
        // document lists its VDCs only up to API 32, so the query service is asked at every version:
        // adminOrgVdc filtered by the organisation's href for System, orgVdc filtered by the organisation's
        // name for tenants (who see no other organisation anyway). Record hrefs are given in the plain
        // view, the form that filters and VDC documents use.
        public List<QueryRecord> VdcRecords(Found org, string name = null)
        {
            string filter = S.IsSystem ? api.Eq("org", org.Href) : api.Eq("orgName", org.Name);
            var records = api.Query(VdcType, Api.And(string.IsNullOrEmpty(name) ? null : api.Eq("name", name), filter)).ToList();
            foreach (var rec in records)
            {
                if (rec["org"].Length > 0 && !Ref.Same(rec["org"], org.Href))
                    throw new CloudException("the query for the VDCs of organisation '" + org.Name + "' answered with VDC '"
                        + rec.Name + "' of another organisation");
                if (org.Kept && rec["orgName"].Length > 0 && !string.Equals(rec["orgName"], org.Name, StringComparison.OrdinalIgnoreCase))
                    throw Stale("organisation", org.Name, rec["orgName"]);
                rec.Attrs["href"] = PlainVdcHref(rec.Href);
            }
            return records;
        }

        private static string PlainVdcHref(string href)
        {
            int at = href.IndexOf("/api/admin/vdc/", StringComparison.OrdinalIgnoreCase);
            return at < 0 ? href : href.Substring(0, at) + "/api/vdc/" + href.Substring(at + "/api/admin/vdc/".Length);
        }

        // ---- vApps ----

        public Found VApp(string orgText, string vdcText, string vappText)
        {
            if (vappText.Length == 0) throw new CloudException("no vApp given");
            if (Ref.Form(vappText) != RefForm.Name)
            {
                var obj = api.GetObject(ObjectHref(vappText, "vapp", "a vApp"), Ns.Vcloud, "VApp", "vApp '" + vappText + "'");
                string vdcHref = UpHref(obj, "application/vnd.vmware.vcloud.vdc+xml");
                CheckVdcScope(orgText, vdcText, vdcHref, "vApp '" + obj.Attr("name") + "'");
                return new Found { Href = obj.Attr("href"), Name = obj.Attr("name") };
            }
            string scope;
            string filter = ScopeFilter(orgText, vdcText, out scope);
            var rec = Unique(api.Query(VAppType, Api.And(api.Eq("name", vappText), filter)), vappText, "vApp", scope);
            return new Found { Href = rec.Href, Name = rec.Name, Rec = rec };
        }

        // A filter term and a description for a VDC scope, or for an organisation scope when no VDC is
        // given. Tenants see only their own organisation, so an organisation scope needs no term there.
        private string ScopeFilter(string orgText, string vdcText, out string scope)
        {
            if (vdcText.Length > 0)
            {
                var vdc = Vdc(orgText, vdcText);
                scope = In("VDC", vdc.Name);
                return api.Eq("vdc", vdc.Href);
            }
            if (orgText.Length > 0)
            {
                var org = Org(orgText);
                scope = In("organisation", org.Name);
                return S.IsSystem ? api.Eq("org", org.Href) : null;
            }
            scope = S.IsSystem ? " in the cloud" : In("organisation", S.OrgName);
            return null;
        }

        private static string UpHref(XElement obj, string type)
        {
            var up = obj.Link("up", type);
            return up == null ? "" : up.Attr("href");
        }

        private void CheckVdcScope(string orgText, string vdcText, string vdcHref, string what)
        {
            if (vdcText.Length > 0)
            {
                var vdc = Vdc(orgText, vdcText);
                if (!Ref.Same(vdc.Href, vdcHref)) throw new CloudException(what + " is not in VDC '" + vdc.Name + "'");
            }
            else if (orgText.Length > 0 && vdcHref.Length > 0)
            {
                var org = Org(orgText);
                var vdcObj = api.GetObject(vdcHref, Ns.Vcloud, "Vdc", "the VDC of " + what);
                if (!Ref.Same(UpHref(vdcObj, "application/vnd.vmware.vcloud.org+xml"), org.Href))
                    throw new CloudException(what + " is not in organisation '" + org.Name + "'");
            }
        }

        // ---- VMs ----

        // Finds a VM and its query record (name, vApp, VDC, status, and for System sessions the vCenter
        // placement). VMs of vApp templates are found only by reference.
        public Found Vm(string orgText, string vdcText, string vappText, string vmText)
        {
            if (vmText.Length == 0) throw new CloudException("no VM given");
            if (Ref.Form(vmText) != RefForm.Name)
            {
                var obj = api.GetObject(ObjectHref(vmText, "vm", "a VM"), Ns.Vcloud, "Vm", "VM '" + vmText + "'");
                string href = obj.Attr("href");
                var up = obj.Links().FirstOrDefault(l => l.Attr("rel") == "up");
                if (up == null) throw new CloudException("VM '" + obj.Attr("name") + "' names no vApp it belongs to");
                var rec = api.Query(VmType, api.Eq("container", up.Attr("href"))).FirstOrDefault(r => Ref.Same(r.Href, href));
                if (rec == null) throw new CloudException("VM '" + obj.Attr("name") + "' is not listed by the query service", 404, "");
                CheckVmScope(orgText, vdcText, vappText, rec);
                return new Found { Href = href, Name = obj.Attr("name"), Rec = rec };
            }
            string scope, filter;
            if (vappText.Length > 0 && Ref.Form(vappText) == RefForm.Name)
            {
                // One query for the VM by name in the VDC or organisation, its vApp told by the records'
                // container name. When that does not settle it (no such VM there, or VMs of that name in
                // several vApps of that name), the vApp is looked up first, for its own answer.
                string vappScope;
                string outer = ScopeFilter(orgText, vdcText, out vappScope);
                var named = api.Query(VmType, Api.And(api.Eq("name", vmText), "isVAppTemplate==false", outer))
                    .Where(r => r["isVAppTemplate"] != "true").ToList();
                var inVApp = named.Where(r => r["containerName"] == vappText).ToList();
                if (inVApp.Count == 0) inVApp = named.Where(r => string.Equals(r["containerName"], vappText, StringComparison.OrdinalIgnoreCase)).ToList();
                if (inVApp.Count > 0 && inVApp.Select(r => r["container"]).Distinct(StringComparer.OrdinalIgnoreCase).Count() == 1
                    && inVApp[0]["container"].Length > 0)
                {
                    var one = Unique(inVApp, vmText, "VM", In("vApp", inVApp[0]["containerName"]));
                    return new Found { Href = one.Href, Name = one.Name, Rec = one };
                }
            }
            if (vappText.Length > 0)
            {
                var vapp = VApp(orgText, vdcText, vappText);
                scope = In("vApp", vapp.Name);
                filter = api.Eq("container", vapp.Href);
            }
            else filter = ScopeFilter(orgText, vdcText, out scope);
            var hit = Unique(api.Query(VmType, Api.And(api.Eq("name", vmText), "isVAppTemplate==false", filter))
                .Where(r => r["isVAppTemplate"] != "true"), vmText, "VM", scope);
            return new Found { Href = hit.Href, Name = hit.Name, Rec = hit };
        }

        private void CheckVmScope(string orgText, string vdcText, string vappText, QueryRecord rec)
        {
            string what = "VM '" + rec.Name + "'";
            if (vappText.Length > 0 && !Matches(vappText, rec["container"], rec["containerName"]))
                throw new CloudException(what + " is not in vApp '" + vappText + "'");
            if (vdcText.Length > 0 && !Matches(vdcText, rec["vdc"], rec["vdcName"]))
                throw new CloudException(what + " is not in VDC '" + vdcText + "'");
            if (orgText.Length > 0)
            {
                var org = Org(orgText);
                bool elsewhere = S.IsSystem
                    ? rec["org"].Length > 0 && !Ref.Same(rec["org"], org.Href)
                    : !string.Equals(org.Name, S.OrgName, StringComparison.OrdinalIgnoreCase);
                if (elsewhere)
                    throw new CloudException(what + " is not in organisation '" + org.Name + "'");
            }
        }

        private static bool Matches(string text, string href, string name)
        {
            return Ref.Form(text) == RefForm.Name ? string.Equals(text, name, StringComparison.OrdinalIgnoreCase) : Ref.Same(text, href);
        }

        // ---- vCenter servers ----

        // A vCenter server by name, href, URN, instance UUID, URL or URL host.
        public Found VCenter(string text)
        {
            RequireSystem("finding a vCenter server");
            if (text.Length == 0) throw new CloudException("no vCenter server given");
            var all = api.Query("virtualCenter", null).ToList();
            List<QueryRecord> hits;
            if (Ref.Form(text) == RefForm.Urn) hits = all.Where(r => Ref.Same(r.Href, text) && Ref.UrnKind(text) == "vimserver").ToList();
            else
            {
                hits = all.Where(r => r.Name == text).ToList();
                if (hits.Count == 0) hits = all.Where(r => string.Equals(r.Name, text, StringComparison.OrdinalIgnoreCase)).ToList();
                if (hits.Count == 0) hits = all.Where(r => string.Equals(r["uuid"], text, StringComparison.OrdinalIgnoreCase)).ToList();
                if (hits.Count == 0 && Ref.Form(text) == RefForm.Href)
                {
                    hits = all.Where(r => text.IndexOf("/vimServer/", StringComparison.OrdinalIgnoreCase) >= 0 && Ref.Same(r.Href, text)).ToList();
                    if (hits.Count == 0) hits = all.Where(r => SameHost(r["url"], text)).ToList();
                }
                if (hits.Count == 0 && Ref.Form(text) == RefForm.Name) hits = all.Where(r => SameHost(r["url"], text)).ToList();
            }
            if (hits.Count == 1) return new Found { Href = hits[0].Href, Name = hits[0].Name, Rec = hits[0] };
            if (hits.Count == 0) throw new CloudException("vCenter server '" + text + "' is not registered in the cloud", 404, "");
            throw new CloudException("vCenter server '" + text + "' is ambiguous: " + hits.Count + " match ("
                + string.Join(", ", hits.Select(h => h.Name).ToArray()) + ")");
        }

        private static bool SameHost(string url, string text)
        {
            Uri a, b;
            if (!Uri.TryCreate(url, UriKind.Absolute, out a)) return false;
            string host = text;
            if (Uri.TryCreate(text, UriKind.Absolute, out b)) host = b.Host;
            return string.Equals(a.Host, host, StringComparison.OrdinalIgnoreCase);
        }

        // ---- storage profiles ----

        // A VDC storage profile by name (within vdc when given), href, URN or UUID, as its query record.
        public Found StorageProfile(string text, Found vdc)
        {
            if (text.Length == 0) throw new CloudException("no storage profile given");
            if (Ref.Form(text) == RefForm.Name && !Ref.LooksLikeUuid(text))
            {
                string filter = vdc == null ? null : api.Eq("vdc", vdc.Href);
                var rec = Unique(api.Query(ProfileType, Api.And(api.Eq("name", text), filter)), text, "storage profile",
                    vdc == null ? "" : In("VDC", vdc.Name));
                return new Found { Href = rec.Href, Name = rec.Name, Rec = rec };
            }
            var obj = api.GetObject(ObjectHref(text, "vdcstorageprofile", "a storage profile"), Ns.Vcloud, "VdcStorageProfile",
                "storage profile '" + text + "'");
            string vdcHref = UpHref(obj, "application/vnd.vmware.vcloud.vdc+xml");
            if (vdc != null && vdcHref.Length > 0 && !Ref.Same(vdcHref, vdc.Href))
                throw new CloudException("storage profile '" + obj.Attr("name") + "' does not belong to VDC '" + vdc.Name + "'");
            string href = obj.Attr("href");
            var hit = api.Query(ProfileType, vdcHref.Length > 0 ? api.Eq("vdc", vdcHref) : null).FirstOrDefault(r => Ref.Same(r.Href, href));
            if (hit == null) throw new CloudException("storage profile '" + obj.Attr("name") + "' is not listed by the query service", 404, "");
            return new Found { Href = href, Name = hit.Name, Rec = hit };
        }
    }
}
