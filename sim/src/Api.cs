// The REST surface: version negotiation, login and sessions, authentication, routing to the handlers, and
// the Error answers of the XML and JSON APIs.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Security.Cryptography;
using System.Text;

namespace VcdSim
{
    class Session
    {
        public string Id;
        public string Token;   // the short token of the XML login
        public string Jwt;     // the bearer token
        public User User;
        public Org Org;
        public string Version;
        public long Budget = -1; // authenticated requests left before the token expires; -1 for no limit
        public int Generation;   // of the listener whose request made it: a cell restart ends every older one
        public bool IsSystem { get { return Org.IsSystem; } }
        public bool IsOrgAdmin { get { return IsSystem || User.IsOrgAdmin; } }
    }

    partial class Api
    {
        readonly Cloud cloud;
        readonly Faults faults;
        public readonly TaskEngine Tasks;
        // A loaded recording's answers (vcdsim --load), or null.
        public Replay Replay;
        readonly Dictionary<string, Session> byToken = new Dictionary<string, Session>(StringComparer.Ordinal);
        readonly Dictionary<string, Session> byJwt = new Dictionary<string, Session>(StringComparer.Ordinal);
        readonly RandomNumberGenerator rng = RandomNumberGenerator.Create();

        public Api(Cloud cloud, Faults faults)
        {
            this.cloud = cloud;
            this.faults = faults;
            Tasks = new TaskEngine(cloud, faults);
        }

        public int SessionCount { get { return byToken.Count; } }

        long answers;   // requests answered so far: with alternating prefixes, every other one gets ns5:

        // How this request's answer is written; the API version it negotiates adds the link twins.
        void ChooseManners()
        {
            bool prefixed = cloud.XmlPrefix == "ns5" || (cloud.XmlPrefix == "alternate" && (answers++ & 1) == 1);
            Manners.Current = new Manners { VcloudPrefix = prefixed ? "ns5" : null };
        }

        public Resp Handle(Req r)
        {
            lock (cloud.Gate)
            {
                Tasks.Tick();
                ChooseManners();
                try
                {
                    return Route(r);
                }
                catch (SimError e)
                {
                    return IsCloudApi(r) ? JsonError(r, e.Status, e.Minor, e.Message) : Error(r, e.Status, e.Minor, e.Message);
                }
            }
        }

        static bool IsCloudApi(Req r) { return r.Seg(0) == "cloudapi"; }

        // ---- errors ---------------------------------------------------------------------------------------

        public Resp Error(Req r, int status, string minor, string message)
        {
            var x = new XmlOut();
            x.Root("Error", Ns.V);
            x.Attr("majorErrorCode", status);
            x.Attr("message", "[ " + r.RequestId + " ] " + XmlSafe(message));
            x.Attr("minorErrorCode", minor);
            x.End();
            return new Resp
            {
                Status = status,
                ContentType = Mt.Error + ";version=" + (r.Version ?? cloud.HighestVersion.Text),
                Body = x.Done()
            };
        }

        // Messages may quote request text; characters XML cannot carry become '?'.
        public static string XmlSafe(string text)
        {
            var sb = new StringBuilder(text.Length);
            foreach (char c in text)
                sb.Append(System.Xml.XmlConvert.IsXmlChar(c) || char.IsSurrogate(c) ? c : '?');
            return sb.ToString();
        }

        public Resp JsonError(Req r, int status, string minor, string message)
        {
            string body = new JsonOut().Obj().Prop("minorErrorCode", minor)
                .Prop("message", "[ " + r.RequestId + " ] " + message).Key("stackTrace").Val((string)null)
                .EndObj().ToString();
            return Resp.Json(status, body);
        }

        // ---- versions ---------------------------------------------------------------------------------------

        // Reads "version=X" from the Accept header and refuses a missing or unsupported version with 406.
        void CheckVersion(Req r)
        {
            string accept = r.Header("Accept") ?? "";
            string found = null;
            foreach (string part in accept.Split(',', ';'))
            {
                string p = part.Trim();
                if (p.StartsWith("version=", StringComparison.OrdinalIgnoreCase))
                {
                    found = p.Substring(8).Trim().Trim('"');
                    break;
                }
            }
            if (found == null || cloud.FindVersion(found) == null)
                throw new SimError(406, "NOT_ACCEPTABLE", "The request has invalid accept header: Invalid API version requested. " +
                    "Supported API versions are: " + cloud.VersionListText() + " ([D] indicates deprecated versions)");
            r.Version = found;
            // Links come as +xml and +json twins from API 32.0 on.
            Manners.Current.LinkTwins = cloud.FindVersion(found).Number >= 32;
        }

        double VersionNumber(Req r)
        {
            var v = cloud.FindVersion(r.Version);
            return v == null ? 0 : v.Number;
        }

        Resp Versions(Req r)
        {
            var x = new XmlOut();
            x.Root("SupportedVersions", Ns.Versions);
            var list = new List<ApiVersion>(cloud.ApiVersions);
            list.Sort((a, b) => a.Number.CompareTo(b.Number));
            foreach (var v in list)
            {
                x.W.WriteStartElement("VersionInfo", Ns.Versions);
                x.Attr("deprecated", v.Deprecated);
                x.El("Version", v.Text, Ns.Versions);
                // /api/sessions is gone from 38.0: those versions point at the OpenAPI login instead.
                x.El("LoginUrl", v.Number >= 38 ? Refs.Base + "/cloudapi/1.0.0/sessions" : Refs.Api + "/sessions", Ns.Versions);
                if (v.Number >= 36)
                    x.El("ProviderLoginUrl", Refs.Base + "/cloudapi/1.0.0/sessions/provider", Ns.Versions);
                x.End();
            }
            x.El("SchemaRoot", Refs.Api + "/v1.5/schema/", Ns.Versions);
            x.End();
            // Servers answer this one document as plain text/xml, with no version.
            return new Resp { Status = 200, ContentType = "text/xml", Body = x.Done() };
        }

        // The Content-Type names the media type in lower case (orglist), while the document's type attribute
        // keeps its camel case (orgList), as servers write them.
        Resp Xml(Req r, int status, string media, XmlOut x)
        {
            string v = r.Version ?? cloud.HighestVersion.Text;
            return new Resp { Status = status, ContentType = media.ToLowerInvariant() + ";version=" + v, Body = x.Done() };
        }

        // ---- login ------------------------------------------------------------------------------------------

        // Checks "Authorization: Basic base64(user@org:password)"; the organisation follows the last '@'.
        User CheckCredentials(Req r)
        {
            string auth = r.Header("Authorization") ?? "";
            if (!auth.StartsWith("Basic ", StringComparison.OrdinalIgnoreCase))
                throw new SimError(401, "UNAUTHORIZED", "This operation is denied.");
            string text;
            try
            {
                text = Encoding.UTF8.GetString(Convert.FromBase64String(auth.Substring(6).Trim()));
            }
            catch (FormatException)
            {
                throw new SimError(401, "UNAUTHORIZED", "This operation is denied.");
            }
            int colon = text.IndexOf(':');
            string who = colon < 0 ? text : text.Substring(0, colon);
            string password = colon < 0 ? "" : text.Substring(colon + 1);
            int at = who.LastIndexOf('@');
            if (at <= 0) throw new SimError(401, "UNAUTHORIZED", "This operation is denied.");
            string userName = who.Substring(0, at), orgName = who.Substring(at + 1);
            foreach (var org in cloud.Orgs)
            {
                if (!string.Equals(org.Name, orgName, StringComparison.OrdinalIgnoreCase)) continue;
                foreach (var u in org.Users)
                    if (string.Equals(u.Name, userName, StringComparison.OrdinalIgnoreCase) && (u.Password == password || u.Password == null) && u.Enabled)
                        return u;
            }
            throw new SimError(401, "UNAUTHORIZED", "This operation is denied.");
        }

        Session NewSession(User u, string version)
        {
            var s = new Session
            {
                Id = Cloud.RandomId(),
                Token = Guid.NewGuid().ToString("N"),
                User = u,
                Org = u.Org,
                Version = version,
                Budget = faults.TokenBudget,
                Generation = RequestGeneration,
            };
            s.Jwt = MakeJwt(s);
            SessionsMade++;
            byToken[s.Token] = s;
            byJwt[s.Jwt] = s;
            return s;
        }

        static string B64Url(byte[] b)
        {
            return Convert.ToBase64String(b).TrimEnd('=').Replace('+', '-').Replace('/', '_');
        }

        // A token shaped like a signed JWT; the server only ever compares it as an opaque string.
        string MakeJwt(Session s)
        {
            long now = (long)(DateTime.UtcNow - new DateTime(1970, 1, 1)).TotalSeconds;
            string header = new JsonOut().Obj().Prop("alg", "RS256").Prop("typ", "JWT").EndObj().ToString();
            string payload = new JsonOut().Obj().Prop("iss", cloud.SiteId + "@vcdsim").Prop("sub", s.User.Name)
                .Prop("exp", now + 86400).Prop("iat", now).Prop("jti", s.Id).Prop("org", s.Org.Name)
                .Prop("orgId", s.Org.Id).Prop("roles", s.User.Role).EndObj().ToString();
            var sig = new byte[256];
            rng.GetBytes(sig);
            return B64Url(Encoding.UTF8.GetBytes(header)) + "." + B64Url(Encoding.UTF8.GetBytes(payload)) + "." + B64Url(sig);
        }

        void EndSession(Session s)
        {
            byToken.Remove(s.Token);
            byJwt.Remove(s.Jwt);
        }

        public void SetTokenBudget(long n)
        {
            lock (cloud.Gate)
                foreach (var s in byToken.Values) s.Budget = n;
        }

        Resp LegacyLogin(Req r)
        {
            if (r.Method != "POST") throw SimError.Method();
            if (VersionNumber(r) >= 38)
                throw new SimError(405, "METHOD_NOT_ALLOWED",
                    "The /api/sessions login is not supported from API version 38.0; use /cloudapi/1.0.0/sessions or /cloudapi/1.0.0/sessions/provider.");
            var u = CheckCredentials(r);
            var s = NewSession(u, r.Version);
            r.Session = s;
            var resp = SessionXml(r);
            resp.Header("x-vcloud-authorization", s.Token);
            resp.Header("X-VMWARE-VCLOUD-ACCESS-TOKEN", s.Jwt);
            resp.Header("X-VMWARE-VCLOUD-TOKEN-TYPE", "Bearer");
            return resp;
        }

        Resp SessionXml(Req r)
        {
            var s = r.Session;
            var x = HrefTypeDoc("Session", Refs.Api + "/session/", Mt.Session);
            x.Attr("user", s.User.Name);
            x.Attr("org", s.Org.Name);
            x.Attr("userId", Refs.Urn(s.User));
            x.Attr("roles", s.User.Role);
            x.Attr("locationId", s.Org.Id + "@" + cloud.SiteId);
            x.Link("down", Refs.Api + "/org/", Mt.OrgList);
            x.Link("remove", Refs.Api + "/session/");
            x.Link("down", Refs.Href(s.Org), Mt.Org, s.Org.Name);
            x.Link("down", Refs.Api + "/query", Mt.QueryList);
            x.Link("entityResolver", Refs.Api + "/entity/", Mt.Entity);
            x.Link("down:extensibility", Refs.Api + "/extensibility", Mt.ApiExtensibility);
            if (s.IsSystem)
            {
                x.Link("down", Refs.Api + "/admin/", Mt.VCloud);
                x.Link("down", Refs.Api + "/admin/extension", Mt.Extension);
            }
            x.Link("openapi", Refs.Base + "/cloudapi/", "application/json");
            x.End();
            return Xml(r, 200, Mt.Session, x);
        }

        string SessionJson(Session s)
        {
            var j = new JsonOut().Obj()
                .Prop("id", "urn:vcloud:session:" + s.Id)
                .Key("site").Obj().Prop("name", "vcdsim").Prop("id", "urn:vcloud:site:" + cloud.SiteId).EndObj()
                .Key("user").Obj().Prop("name", s.User.Name).Prop("id", Refs.Urn(s.User)).EndObj()
                .Key("org").Obj().Prop("name", s.Org.Name).Prop("id", Refs.Urn(s.Org)).EndObj()
                .Key("operatingOrg").Obj().Prop("name", s.Org.Name).Prop("id", Refs.Urn(s.Org)).EndObj()
                .Prop("location", "urn:vcloud:site:" + cloud.SiteId)
                .Key("roles").Arr().Val(s.User.Role).EndArr()
                .Key("roleRefs").Arr().Obj().Prop("name", s.User.Role)
                    .Prop("id", "urn:vcloud:role:" + cloud.StableIdFor("role/" + s.User.Role)).EndObj().EndArr()
                .Prop("sessionIdleTimeoutMinutes", 30)
                .EndObj();
            return j.ToString();
        }

        Resp JsonResp(Req r, int status, string json)
        {
            var resp = Resp.Json(status, json);
            resp.ContentType = "application/json;version=" + r.Version;
            return resp;
        }

        Resp RouteCloudApi(Req r)
        {
            if (r.Seg(1) != "1.0.0" || r.Seg(2) != "sessions") throw SimError.NotFound();
            // Servers below API 33 have no OpenAPI login.
            if (cloud.HighestVersion.Number < 33) throw SimError.NotFound();
            CheckVersion(r);
            string which = r.Seg(3);
            if (r.Method == "POST" && r.Segs.Length <= 4 && (which == null || which == "provider"))
            {
                if (r.Segs.Length == 4 && which != "provider") throw SimError.NotFound();
                var u = CheckCredentials(r);
                bool provider = which == "provider";
                if (provider && !u.Org.IsSystem)
                    throw new SimError(401, "UNAUTHORIZED", "This operation is denied: the provider login is for the System organization only.");
                if (!provider && u.Org.IsSystem && VersionNumber(r) >= 36)
                    throw new SimError(401, "UNAUTHORIZED", "This operation is denied: System organization users log in through /cloudapi/1.0.0/sessions/provider.");
                var s = NewSession(u, r.Version);
                var resp = JsonResp(r, 200, SessionJson(s));
                resp.Header("X-VMWARE-VCLOUD-ACCESS-TOKEN", s.Jwt);
                resp.Header("X-VMWARE-VCLOUD-TOKEN-TYPE", "Bearer");
                return resp;
            }
            if (r.Segs.Length != 4) throw SimError.NotFound();
            var sess = Authenticate(r, true);
            if (which != "current" && which != "urn:vcloud:session:" + sess.Id && which != sess.Id)
                throw SimError.Forbidden("SESSION_VIEW");
            return ByMethod(r, get: () => JsonResp(r, 200, SessionJson(sess)), delete: () => { SessionsLoggedOut++; EndSession(sess); return Resp.Empty(204); });
        }

        // ---- authentication --------------------------------------------------------------------------------

        // One of: "Authorization: Bearer <jwt>", "x-vcloud-authorization: <token>", or
        // "X-VMWARE-VCLOUD-ACCESS-TOKEN: <jwt>". A session whose request budget is spent expires here.
        Session Authenticate(Req r, bool json)
        {
            Session s = null;
            string auth = r.Header("Authorization");
            string legacy = r.Header("x-vcloud-authorization");
            string access = r.Header("X-VMWARE-VCLOUD-ACCESS-TOKEN");
            if (auth != null && auth.StartsWith("Bearer ", StringComparison.OrdinalIgnoreCase))
                byJwt.TryGetValue(auth.Substring(7).Trim(), out s);
            else if (legacy != null)
                byToken.TryGetValue(legacy.Trim(), out s);
            else if (access != null)
                byJwt.TryGetValue(access.Trim(), out s);
            if (s != null && s.Budget == 0)
            {
                SessionsEnded++;
                EndSession(s);
                s = null;
            }
            if (s == null)
                throw json ? new SimError(401, "NOT_AUTHENTICATED", "This operation is denied.")
                           : new SimError(401, "UNAUTHORIZED", "This operation is denied.");
            if (s.Budget > 0) s.Budget--;
            r.Session = s;
            return s;
        }

        // ---- access rules ----------------------------------------------------------------------------------

        // Tenants see their own organisation only; an object they may not see is answered like a missing one.
        void CheckVisible(Session s, Entity e, string right)
        {
            if (e == null) throw SimError.Forbidden(right);
            if (s.IsSystem) return;
            if (e.Org == null || e.Org != s.Org) throw SimError.Forbidden(right);
        }

        static void RequireSystem(Session s, string right)
        {
            if (!s.IsSystem) throw SimError.Forbidden(right);
        }

        static void RequireOrgAdmin(Session s, string right)
        {
            if (!s.IsOrgAdmin) throw SimError.Forbidden(right);
        }

        T Lookup<T>(Session s, string idText, string right) where T : Entity
        {
            var e = cloud.Find<T>(Refs.IdOf(idText));
            CheckVisible(s, e, right);
            return e;
        }

        // An object's admin view: for organisation administrators (and System) only.
        T AdminLookup<T>(Session s, string idText, string right) where T : Entity
        {
            var e = Lookup<T>(s, idText, right);
            RequireOrgAdmin(s, right);
            return e;
        }

        // ---- routing ---------------------------------------------------------------------------------------

        Resp Route(Req r)
        {
            string s0 = r.Seg(0);
            if (s0 == "cloudapi") return RouteCloudApi(r);
            if (s0 == "oauth") return OauthToken(r);
            if (s0 != "api") throw SimError.NotFound();
            string s1 = r.Seg(1);
            if (s1 == "versions" && r.Segs.Length == 2)
            {
                if (r.Method != "GET") throw SimError.Method();
                return (Replay == null ? null : Replay.Answer(r, null)) ?? Versions(r);
            }
            CheckVersion(r);
            if (s1 == "sessions" && r.Segs.Length == 2) return LegacyLogin(r);
            var s = Authenticate(r, false);
            if (Replay != null)
            {
                var recorded = Replay.Answer(r, s);
                if (recorded != null) return recorded;
            }
            int n = r.Segs.Length;
            switch (s1)
            {
                case "session":
                    if (n != 2) break;
                    return ByMethod(r, get: () => SessionXml(r), delete: () => { SessionsLoggedOut++; EndSession(s); return Resp.Empty(204); });
                case "org":
                    if (n == 2) return Get(r, () => OrgList(r));
                    if (n == 3) return Get(r, () => OrgXml(r, Lookup<Org>(s, r.Seg(2), "ORG_VIEW")));
                    if (IsMetadata(r)) return MetadataRoute(r, Lookup<Org>(s, r.Seg(2), "ORG_VIEW"));
                    break;
                case "admin":
                    return RouteAdmin(r);
                case "vdc":
                    if (n == 3) return Get(r, () => VdcXml(r, Lookup<Vdc>(s, r.Seg(2), "ORG_VDC_VIEW"), false));
                    if (IsMetadata(r)) return MetadataRoute(r, Lookup<Vdc>(s, r.Seg(2), "ORG_VDC_VIEW"));
                    break;
                case "vApp":
                    if (n >= 3) return RouteVApp(r);
                    break;
                case "vAppTemplate":
                    if (n == 3) return Get(r, () => TemplateOrVm(r));
                    if (n == 4 && r.Seg(3) == "metadata") return MetadataRoute(r, TemplateEntity(r));
                    break;
                case "catalog":
                    if (n == 3) return Get(r, () => CatalogXml(r, Lookup<Catalog>(s, r.Seg(2), "CATALOG_VIEW")));
                    if (IsMetadata(r)) return MetadataRoute(r, Lookup<Catalog>(s, r.Seg(2), "CATALOG_VIEW"));
                    break;
                case "catalogItem":
                    if (n == 3) return Get(r, () => CatalogItemXml(r));
                    break;
                case "network":
                    if (n == 3) return Get(r, () => NetworkXml(r, Lookup<Network>(s, r.Seg(2), "ORG_VDC_NETWORK_VIEW")));
                    if (IsMetadata(r)) return MetadataRoute(r, Lookup<Network>(s, r.Seg(2), "ORG_VDC_NETWORK_VIEW"));
                    break;
                case "vdcStorageProfile":
                    if (n == 3) return Get(r, () => StorageProfileXml(r, Lookup<StorageProfile>(s, r.Seg(2), "ORG_VDC_STORAGE_PROFILE_VIEW"), false));
                    if (IsMetadata(r)) return MetadataRoute(r, Lookup<StorageProfile>(s, r.Seg(2), "ORG_VDC_STORAGE_PROFILE_VIEW"));
                    break;
                case "tasksList":
                    if (n == 3) return Get(r, () => TasksListXml(r, Lookup<Org>(s, r.Seg(2), "TASK_VIEW")));
                    break;
                case "task":
                    return RouteTask(r);
                case "query":
                    if (n == 2) return Get(r, () => Query(r));
                    break;
                case "entity":
                    if (n == 3) return Get(r, () => EntityXml(r));
                    break;
                case "extensibility":
                    if (n == 2) return Get(r, () => ExtensibilityXml(r));
                    break;
            }
            throw SimError.NotFound();
        }

        static bool IsMetadata(Req r)
        {
            return r.Segs.Length >= 4 && r.Segs.Length <= 6 && r.Seg(3) == "metadata";
        }

        static Resp Get(Req r, Func<Resp> render)
        {
            if (r.Method != "GET") throw SimError.Method();
            return render();
        }

        Resp RouteAdmin(Req r)
        {
            var s = r.Session;
            int n = r.Segs.Length;
            string s2 = r.Seg(2);
            if (n == 2) return Get(r, () => { RequireSystem(s, "GENERAL_VIEW"); return VCloudXml(r); });
            if (n == 4)
            {
                switch (s2)
                {
                    case "org":
                        return Get(r, () => AdminOrgXml(r, AdminLookup<Org>(s, r.Seg(3), "ORG_VIEW")));
                    case "vdc":
                        return Get(r, () => VdcXml(r, AdminLookup<Vdc>(s, r.Seg(3), "ORG_VDC_VIEW"), true));
                    case "user":
                        return Get(r, () => UserXml(r, AdminLookup<User>(s, r.Seg(3), "GENERAL_USER_VIEW")));
                    case "group":
                        return Get(r, () => GroupXml(r, AdminLookup<Group>(s, r.Seg(3), "GROUP_VIEW")));
                    case "vdcStorageProfile":
                        return Get(r, () => StorageProfileXml(r, AdminLookup<StorageProfile>(s, r.Seg(3), "ORG_VDC_STORAGE_PROFILE_VIEW"), true));
                    case "network":
                        return Get(r, () => NetworkXml(r, Lookup<Network>(s, r.Seg(3), "ORG_VDC_NETWORK_VIEW")));
                    case "catalog":
                        return Get(r, () => CatalogXml(r, Lookup<Catalog>(s, r.Seg(3), "CATALOG_VIEW")));
                    case "providervdc":
                        return Get(r, () => { RequireSystem(s, "PROVIDER_VDC_VIEW"); return ProviderVdcXml(r, Lookup<ProviderVdc>(s, r.Seg(3), "PROVIDER_VDC_VIEW"), false); });
                }
            }
            if (s2 == "providervdc" && n >= 5)
            {
                RequireSystem(s, "PROVIDER_VDC_VIEW");
                var pvdc = Lookup<ProviderVdc>(s, r.Seg(3), "PROVIDER_VDC_VIEW");
                if (n == 5 && r.Seg(4) == "vdcReferences") return Get(r, () => VdcReferencesXml(r, pvdc));
                if (r.Seg(4) == "metadata" && n <= 7) return MetadataRoute(r, pvdc, 4);
            }
            if (s2 == "extension")
            {
                RequireSystem(s, "EXTENSION_VIEW");
                string s3 = r.Seg(3);
                if (n == 3) return Get(r, () => ExtensionXml(r));
                if (n == 4 && s3 == "vimServerReferences") return Get(r, () => VimServerRefsXml(r));
                if (n == 4 && s3 == "providerVdcReferences") return Get(r, () => ProviderVdcRefsXml(r));
                if (n >= 5 && s3 == "vimServer")
                {
                    var vc = Lookup<VCenter>(s, r.Seg(4), "VIM_SERVER_VIEW");
                    if (n == 5) return Get(r, () => VimServerXml(r, vc));
                    if (n == 6 && r.Seg(5) == "importVmIntoExistingVApp") return Post(r, () => ImportIntoVApp(r, vc));
                    if (n == 6 && r.Seg(5) == "importVmAsVApp") return Post(r, () => ImportAsVApp(r, vc));
                }
                if (n == 5 && s3 == "providervdc")
                    return Get(r, () => ProviderVdcXml(r, Lookup<ProviderVdc>(s, r.Seg(4), "PROVIDER_VDC_VIEW"), true));
                if (n == 5 && s3 == "datastore")
                    return Get(r, () => DatastoreXml(r, Lookup<Datastore>(s, r.Seg(4), "DATASTORE_VIEW")));
            }
            throw SimError.NotFound();
        }

        static Resp Post(Req r, Func<Resp> act)
        {
            if (r.Method != "POST") throw SimError.Method();
            return act();
        }

        // Answers with the handler for the request's method; a method without one is refused with 405.
        static Resp ByMethod(Req r, Func<Resp> get = null, Func<Resp> put = null, Func<Resp> post = null, Func<Resp> delete = null)
        {
            Func<Resp> handler = null;
            switch (r.Method)
            {
                case "GET": handler = get; break;
                case "PUT": handler = put; break;
                case "POST": handler = post; break;
                case "DELETE": handler = delete; break;
            }
            if (handler == null) throw SimError.Method();
            return handler();
        }

        Resp RouteTask(Req r)
        {
            var s = r.Session;
            int n = r.Segs.Length;
            if (n < 3) throw SimError.NotFound();
            var t = cloud.Find<SimTask>(Refs.IdOf(r.Seg(2)));
            if (t == null || (!s.IsSystem && t.Org != s.Org)) throw SimError.Forbidden("TASK_VIEW");
            if (n == 3) return Get(r, () => TaskResp(r, t, 200));
            if (n == 5 && r.Seg(3) == "action" && r.Seg(4) == "cancel")
                return Post(r, () => { Tasks.Cancel(t); return Resp.Empty(204); });
            throw SimError.NotFound();
        }

        public static string Iso(DateTime t)
        {
            return t.ToString("yyyy-MM-dd'T'HH:mm:ss.fffzzz", CultureInfo.InvariantCulture);
        }
    }
}
